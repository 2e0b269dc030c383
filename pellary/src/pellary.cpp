// The value store: a process-wide map from key to bytes behind a
// reader-writer lock, a version that every write bumps, per-thread caches of
// the last read (valid while the version stands), and the count of nested
// opens.

#include "pellary.h"

#include "open_count.h"
#include "read_cache.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
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
    std::lock_guard<std::shared_mutex> lock(mutex_);
    auto found = values_.find(key);
    if (found == values_.end()) {
      values_.emplace(std::string(key), std::move(value));
    } else {
      found->second.swap(value);
    }
    // Still under the lock: a reader that sees the old version after this
    // write has returned cannot exist.
    version_.fetch_add(1, std::memory_order_release);
  }

  int32_t read(std::string_view key, unsigned char* buffer, int32_t* length) {
    pellary::read_cache* const cache = pellary::own_read_cache();
    if (cache == nullptr) {  // a thread in its last moments
      pellary::read_cache once;
      fill(once, key);
      return deliver(once, buffer, length);
    }
    if (cache->version != version_.load(std::memory_order_acquire) || cache->key != key) {
      fill(*cache, key);
    }
    return deliver(*cache, buffer, length);
  }

 private:
  // What the store holds under `key` now, and the version that says so.
  void fill(pellary::read_cache& cache, std::string_view key) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    cache.version = version_.load(std::memory_order_relaxed);
    cache.key.assign(key);
    const auto found = values_.find(key);
    cache.found = found != values_.end();
    if (cache.found) {
      cache.value.assign(found->second.begin(), found->second.end());
    } else {
      cache.value.clear();
    }
  }

  static int32_t deliver(const pellary::read_cache& cache, unsigned char* buffer, int32_t* length) {
    if (!cache.found) {
      return PELLARY_NOT_FOUND;
    }
    const auto size = static_cast<int32_t>(cache.value.size());
    if (size > *length) {
      *length = size;
      return PELLARY_TOO_SMALL;
    }
    if (size > 0) {
      std::memcpy(buffer, cache.value.data(), cache.value.size());
    }
    *length = size;
    return PELLARY_OK;
  }

  pellary::open_count opens_;
  std::shared_mutex mutex_;  // guards values_; writers also bump version_
  std::map<std::string, std::vector<unsigned char>, std::less<>> values_;
  std::atomic<std::uint64_t> version_{1};
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
