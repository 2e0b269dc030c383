// The value store: a process-wide map from key to bytes behind one mutex,
// plus the count of nested opens.

#include "pellary.h"

#include "open_count.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

class value_store {
 public:
  int32_t open() { return opens_.open() ? PELLARY_OK : PELLARY_UNAVAILABLE; }
  int32_t close() { return opens_.close() ? PELLARY_OK : PELLARY_NOT_OPEN; }
  bool is_open() { return opens_.is_open(); }
  void write(std::string_view key, const unsigned char* data, std::size_t length) {
    std::vector<unsigned char> value(data, data + length);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) {
      values_.emplace(std::string(key), std::move(value));
    } else {
      found->second.swap(value);
    }
  }

  int32_t read(std::string_view key, unsigned char* buffer, int32_t* length) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) {
      return PELLARY_NOT_FOUND;
    }
    const auto size = static_cast<int32_t>(found->second.size());
    if (size > *length) {
      *length = size;
      return PELLARY_TOO_SMALL;
    }
    if (size > 0) {
      std::memcpy(buffer, found->second.data(), found->second.size());
    }
    *length = size;
    return PELLARY_OK;
  }

 private:
  pellary::open_count opens_;
  std::mutex mutex_;
  std::map<std::string, std::vector<unsigned char>, std::less<>> values_;
};

// Made while the library loads, before any thread can call in, rather than
// on first use: the first use may come from any thread, and a host built
// without the C++ runtime's guard hooks (a C host under ThreadSanitizer)
// could not see that initialisation as ordered.  Never destroyed: values
// must outlive every static destructor of the process that might still read
// them.
value_store* const the_store = new value_store();

value_store& store() {
  return *the_store;
}

bool is_key(const char* key) {
  return key != nullptr && key[0] != '\0';
}

}  // namespace

extern "C" {

int32_t pellary_open(void) {
  return store().open();
}

int32_t pellary_close(void) {
  return store().close();
}

int32_t pellary_write(const char* key, const void* data, int32_t length) {
  if (!is_key(key) || length < 0 || (data == nullptr && length > 0)) {
    return PELLARY_BAD_ARGUMENT;
  }
  if (!store().is_open()) {
    return PELLARY_NOT_OPEN;
  }
  store().write(key, static_cast<const unsigned char*>(data), static_cast<std::size_t>(length));
  return PELLARY_OK;
}

int32_t pellary_read(const char* key, void* buffer, int32_t* length) {
  if (!is_key(key) || length == nullptr || *length < 0 || (buffer == nullptr && *length > 0)) {
    return PELLARY_BAD_ARGUMENT;
  }
  if (!store().is_open()) {
    return PELLARY_NOT_OPEN;
  }
  return store().read(key, static_cast<unsigned char*>(buffer), length);
}

}  // extern "C"
