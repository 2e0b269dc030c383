// A temporary folder for one test, removed with what is in it, and the
// lines of a file in it.
#ifndef WANSEER_TESTS_TOOLS_SCRATCH_FOLDER_H
#define WANSEER_TESTS_TOOLS_SCRATCH_FOLDER_H

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace wanseer_tests {

class scratch_folder {
 public:
  scratch_folder() {
    char folder_template[] = "/tmp/wanseer-tools-test-XXXXXX";
    const char* made = mkdtemp(folder_template);
    path_ = made != nullptr ? made : "";
  }
  scratch_folder(const scratch_folder&) = delete;
  scratch_folder& operator=(const scratch_folder&) = delete;
  ~scratch_folder() {
    if (!path_.empty()) {
      [[maybe_unused]] const int status = std::system(("rm -rf '" + path_ + "'").c_str());
    }
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(line);
  }
  return lines;
}

}  // namespace wanseer_tests

#endif  // WANSEER_TESTS_TOOLS_SCRATCH_FOLDER_H
