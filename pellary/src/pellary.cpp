// The value store: a process-wide map from key to bytes behind one mutex,
// plus a counter of nested opens.

#include "pellary.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLARY_WITH_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define PELLARY_WITH_LSAN 1
#endif
#if PELLARY_WITH_LSAN
#include <sanitizer/lsan_interface.h>
#endif

#include <atomic>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

// LeakSanitizer's word for "kept on purpose": the store and everything it
// holds stay unreported even once a dlclose has unloaded this library and
// with it the one pointer to the store.
template <typename T>
T* mark_immortal(T* object) {
#if PELLARY_WITH_LSAN
  __lsan_ignore_object(object);
#endif
  return object;
}

class value_store {
 public:
  int32_t open() {
    int32_t count = open_count_.load(std::memory_order_relaxed);
    do {
      if (count == std::numeric_limits<int32_t>::max()) {
        return PELLARY_UNAVAILABLE;
      }
    } while (!open_count_.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel));
    return PELLARY_OK;
  }

  int32_t close() {
    int32_t count = open_count_.load(std::memory_order_relaxed);
    do {
      if (count == 0) {
        return PELLARY_NOT_OPEN;
      }
    } while (!open_count_.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel));
    return PELLARY_OK;
  }

  bool is_open() const { return open_count_.load(std::memory_order_acquire) > 0; }

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
  std::atomic<int32_t> open_count_{0};
  std::mutex mutex_;
  std::map<std::string, std::vector<unsigned char>, std::less<>> values_;
};

// Never destroyed: values must outlive every static destructor of the
// process that might still read them.
value_store& store() {
  static auto* const instance = mark_immortal(new value_store());
  return *instance;
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
