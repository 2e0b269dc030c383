// libwanseer.so.1 loaded with dlopen, as a host program loads it.
#ifndef WANSEER_TOOLS_WANSEER_LIBRARY_H
#define WANSEER_TOOLS_WANSEER_LIBRARY_H

#include <cstdint>
#include <memory>
#include <string>

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
  // Loads the file named by $WANSEER_LIBRARY when it is set and not empty
  // (an empty value counts as unset, so that "WANSEER_LIBRARY= wanseer ..."
  // clears it), else libwanseer.so.1 through the dynamic loader's own
  // search, as any host program finds it.  Nothing beside the binary is
  // tried: an installed wanseer run by root must not load a library planted
  // in a folder near it.  The build tree's copy of the program finds the
  // build's library through its run path, which the install removes.
  // On failure `error` says what the attempt reported.
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

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_WANSEER_LIBRARY_H
