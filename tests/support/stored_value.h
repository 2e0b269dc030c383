// The value the library keeps under its key, read back through wanseer_get
// and put there directly through the store, for tests that link the
// library's objects and for those that link the built library alike.
#ifndef WANSEER_TESTS_STORED_VALUE_H
#define WANSEER_TESTS_STORED_VALUE_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "loopback_probe_server.h"

namespace wanseer::testing {

struct stored_read {
  std::int32_t status = 0;
  std::int32_t length = 0;
  address_bytes bytes{};
};
stored_read read_stored(std::int32_t room = 4);
// The bytes read_stored gives while nothing is stored.
inline constexpr address_bytes nothing_stored = {0, 0, 0, 0};

// Writes `bytes` under `key` through the store itself; false if it refused.
bool store_under(const std::string& key, const std::vector<std::uint8_t>& bytes);

// Polls wanseer_get until it delivers `expected`; false after `limit`.
// When `may_show` is not empty, reading any other value on the way (a value
// the worker should never have stored) ends the wait with false at once.
bool wait_until_stored(const address_bytes& expected,
                       std::chrono::milliseconds limit = std::chrono::seconds(30),
                       const std::vector<address_bytes>& may_show = {});

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_STORED_VALUE_H
