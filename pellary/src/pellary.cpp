// The value store: one process-wide map from key to bytes, and the count of
// nested opens of each thread, both behind one mutex.  The stored value
// changes about once a minute, so nothing here is worth more than a plain
// lock; and nothing uses thread-local storage, so the library loads with
// dlopen into any host, however much static TLS the host has used.

#include "pellary.h"

#include <pthread.h>

#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

class value_store {
 public:
  int32_t open() {
    const std::lock_guard<std::mutex> hold(lock_);
    std::int32_t& mine = opens_[std::this_thread::get_id()];
    if (mine == std::numeric_limits<std::int32_t>::max()) {
      return PELLARY_UNAVAILABLE;
    }
    ++mine;
    ++all_opens_;
    return PELLARY_OK;
  }

  int32_t close() {
    const std::lock_guard<std::mutex> hold(lock_);
    const auto mine = opens_.find(std::this_thread::get_id());
    if (mine == opens_.end()) {
      return PELLARY_NOT_OPEN;
    }
    // A thread that holds nothing has no entry: the map stays as small as
    // the number of threads with an open outstanding.
    if (--mine->second == 0) {
      opens_.erase(mine);
    }
    --all_opens_;
    return PELLARY_OK;
  }

  int32_t write(std::string_view key, const unsigned char* data, std::size_t length) {
    std::vector<unsigned char> value(data, data + length);
    const std::lock_guard<std::mutex> hold(lock_);
    if (all_opens_ == 0) {
      return PELLARY_NOT_OPEN;
    }
    const auto found = values_.find(key);
    if (found == values_.end()) {
      values_.emplace(std::string(key), std::move(value));
    } else {
      found->second.swap(value);
    }
    return PELLARY_OK;
  }

  int32_t read(std::string_view key, unsigned char* buffer, int32_t* length) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (all_opens_ == 0) {
      return PELLARY_NOT_OPEN;
    }
    const auto found = values_.find(key);
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

  // Around fork: the lock is taken before the fork, so no other thread is
  // half way through a change when the process is copied, and released on
  // both sides after it.  The child then holds exactly what the store held
  // at the fork, and its one thread finds the lock free.
  void lock_for_fork() { lock_.lock(); }
  void unlock_after_fork() { lock_.unlock(); }

 private:
  std::mutex lock_;
  std::map<std::string, std::vector<unsigned char>, std::less<>> values_;
  // Opens outstanding per thread.  The opens of a thread that ended without
  // closing stay in force, as the contract says.
  std::map<std::thread::id, std::int32_t> opens_;
  std::int64_t all_opens_ = 0;
};

// Made while the library loads, before any thread can call in, rather than
// on first use: the first use may come from any thread, and a host built
// without the C++ runtime's guard hooks (a C host under ThreadSanitizer)
// could not see that initialisation as ordered.  Never destroyed: values
// must outlive every static destructor of the process that might still read
// them.
value_store* const the_store = new value_store();

// Registered once, at load, after the store exists.  The library is linked
// nodelete, so the handlers stay valid for the life of the process.
[[maybe_unused]] const int fork_handlers =
    pthread_atfork([] { the_store->lock_for_fork(); }, [] { the_store->unlock_after_fork(); },
                   [] { the_store->unlock_after_fork(); });

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
  return store().write(key, static_cast<const unsigned char*>(data),
                       static_cast<std::size_t>(length));
}

int32_t pellary_read(const char* key, void* buffer, int32_t* length) {
  if (!is_key(key) || length == nullptr || *length < 0 || (buffer == nullptr && *length > 0)) {
    return PELLARY_BAD_ARGUMENT;
  }
  return store().read(key, static_cast<unsigned char*>(buffer), length);
}

}  // extern "C"
