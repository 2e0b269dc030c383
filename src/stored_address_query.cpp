// wanseer_get: the stored address, read afresh from the value store on every
// call.

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "module_state.h"
#include "value_store.h"

extern "C" std::int32_t wanseer_get(void* buffer, std::int32_t* length) {
  constexpr std::int32_t failed = -1;
  constexpr std::int32_t nothing_stored = -2;
  // Without a buffer, or a count telling how much of it is the caller's,
  // touch nothing: the count is not even looked at.
  if (buffer == nullptr || length == nullptr || *length < 0) {
    errno = EINVAL;
    return failed;
  }
  // Cleared before the store is asked, so a caller never finds stale bytes
  // even when the store is unavailable.
  std::memset(buffer, 0, static_cast<std::size_t>(*length));
  const wanseer::store_session store;
  if (!store.is_open()) {
    errno = EIO;
    return failed;
  }
  const std::int32_t read = pellary_read(wanseer::key_name, buffer, length);
  return read == wanseer::store_read_nothing_stored ? nothing_stored : read;
}
