#include "read_cache.h"

namespace pellary {

namespace {

// Owns the thread's cache and takes it away, for good, when the thread ends.
struct cache_holder {
  read_cache cache;
  ~cache_holder() {
    detail::own_read_cache = nullptr;
    detail::read_cache_gone = true;
  }
};

}  // namespace

read_cache* make_read_cache() {
  if (detail::read_cache_gone) {
    return nullptr;
  }
  thread_local cache_holder holder;
  detail::own_read_cache = &holder.cache;
  return &holder.cache;
}

}  // namespace pellary
