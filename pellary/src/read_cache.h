// What the calling thread last read, tagged with the store's version at the
// time.  While the version stands, the same read is answered from here
// without touching the shared lock: readers on many threads then share
// nothing but one counter that only writers change.
#ifndef PELLARY_READ_CACHE_H
#define PELLARY_READ_CACHE_H

#include <cstdint>
#include <string>
#include <vector>

namespace pellary {

struct read_cache {
  // The store's version when the entry was filled; 0 while it holds nothing
  // (the store counts its versions from 1).
  std::uint64_t version = 0;
  std::string key;
  bool found = false;
  std::vector<unsigned char> value;
};

namespace detail {
// The calling thread's cache once it has one; a plain pointer in the
// initial-exec model costs one load per read.
inline thread_local read_cache* own_read_cache __attribute__((tls_model("initial-exec"))) = nullptr;
// Set when the thread's cache has been destroyed at thread exit.
inline thread_local bool read_cache_gone __attribute__((tls_model("initial-exec"))) = false;
}  // namespace detail

// The calling thread's cache, made on first use; null once the thread is
// ending and its cache is gone.
read_cache* make_read_cache();

inline read_cache* own_read_cache() {
  read_cache* const cache = detail::own_read_cache;
  return cache != nullptr ? cache : make_read_cache();
}

}  // namespace pellary

#endif  // PELLARY_READ_CACHE_H
