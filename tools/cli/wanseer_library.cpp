#include "wanseer_library.h"

#include <dlfcn.h>

#include <cstdlib>

namespace wanseer_tools {

namespace {

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

std::unique_ptr<wanseer_library> wanseer_library::load(std::string& error) {
  const char* const chosen = std::getenv(library_variable);
  const std::string attempt = chosen != nullptr && chosen[0] != '\0' ? chosen : library_file_name;
  void* const handle = dlopen(attempt.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* const reason = dlerror();
    error += reason ? reason : attempt + ": cannot be loaded";
    error += '\n';
    return nullptr;
  }
  std::unique_ptr<wanseer_library> library(new wanseer_library(handle, attempt));
  if (!library->resolve(error)) {
    return nullptr;
  }
  error.clear();
  return library;
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
