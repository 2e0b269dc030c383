#include "wanseer_library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace wanseer_tools {

namespace {

std::string binary_directory() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return {};
  }
  const std::string binary(path, static_cast<std::size_t>(length));
  return binary.substr(0, binary.rfind('/'));
}

template <typename Function>
bool look_up(void* handle, const char* name, Function& target, std::string& error) {
  dlerror();
  void* const symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    const char* const reason = dlerror();
    error += std::string("no symbol ") + name + ": " + (reason ? reason : "null symbol") + "\n";
    return false;
  }
  target = reinterpret_cast<Function>(symbol);
  return true;
}

}  // namespace

std::vector<std::string> library_candidates_near_binary() {
  const std::string directory = binary_directory();
  if (directory.empty()) {
    return {};
  }
  std::vector<std::string> candidates;
  for (const char* relative : {WANSEER_TOOLS_INSTALL_LIBDIR, "lib", "src"}) {
    const std::string candidate = directory + "/../" + relative + "/" + library_file_name;
    bool seen = false;
    for (const auto& earlier : candidates) {
      seen = seen || earlier == candidate;
    }
    if (!seen) {
      candidates.push_back(candidate);
    }
  }
  return candidates;
}

std::unique_ptr<wanseer_library> wanseer_library::load(std::string& error) {
  std::vector<std::string> attempts;
  const char* const chosen = std::getenv(library_variable);
  if (chosen != nullptr && chosen[0] != '\0') {
    attempts.emplace_back(chosen);
  } else {
    attempts = library_candidates_near_binary();
    attempts.emplace_back(library_file_name);
  }
  for (const auto& attempt : attempts) {
    void* const handle = dlopen(attempt.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* const reason = dlerror();
      error += reason ? reason : attempt + ": cannot be loaded";
      error += '\n';
      continue;
    }
    std::unique_ptr<wanseer_library> library(new wanseer_library(handle, attempt));
    if (library->resolve(error)) {
      error.clear();
      return library;
    }
  }
  return nullptr;
}

bool wanseer_library::resolve(std::string& error) {
  bool complete = look_up(handle_, "wanseer_init", exports_.init, error);
  complete = look_up(handle_, "wanseer_startup", exports_.startup, error) && complete;
  complete = look_up(handle_, "wanseer_stop", exports_.stop, error) && complete;
  complete = look_up(handle_, "wanseer_get", exports_.get, error) && complete;
  return complete;
}

wanseer_library::~wanseer_library() {
  dlclose(handle_);
}

}  // namespace wanseer_tools
