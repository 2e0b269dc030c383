// libwanseer.so.1 loaded with dlopen, as a host program loads it.
#ifndef WANSEER_TOOLS_WANSEER_LIBRARY_H
#define WANSEER_TOOLS_WANSEER_LIBRARY_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace wanseer_tools {

inline constexpr char library_file_name[] = "libwanseer.so.1";
inline constexpr char library_variable[] = "WANSEER_LIBRARY";

struct wanseer_exports {
  void (*init)(const void* reserved, const char* key) = nullptr;
  void (*startup)(const char* server) = nullptr;
  void (*stop)() = nullptr;
  std::int32_t (*get)(void* buffer, std::int32_t* length) = nullptr;
};

class wanseer_library {
 public:
  // Tries, in order: the file named by $WANSEER_LIBRARY when it is set and
  // not empty (and nothing else then; an empty value counts as unset, so
  // that "WANSEER_LIBRARY= wanseer ..." clears it); next to this program's binary in ../<libdir>,
  // ../lib and ../src (the build tree); then the dynamic loader's own
  // search for libwanseer.so.1.  The copy beside the binary comes first
  // because it is the one built or installed with it, and because finding
  // it costs one file lookup where the loader's search may cost a hundred.
  // On failure `error` says what each attempt reported.
  static std::unique_ptr<wanseer_library> load(std::string& error);

  wanseer_library(const wanseer_library&) = delete;
  wanseer_library& operator=(const wanseer_library&) = delete;
  ~wanseer_library();

  const wanseer_exports& exports() const { return exports_; }
  const std::string& path() const { return path_; }

 private:
  wanseer_library(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  bool resolve(std::string& error);

  void* handle_;
  std::string path_;
  wanseer_exports exports_;
};

// The places load() tries before the loader's own search, for --help.
std::vector<std::string> library_candidates_near_binary();

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_WANSEER_LIBRARY_H
