#include "stored_value.h"

#include <algorithm>

#include "pellary.h"
#include "process_resources.h"
#include "wanseer.h"

namespace wanseer::testing {

stored_read read_stored(std::int32_t room) {
  stored_read result;
  unsigned char buffer[16] = {};
  result.length = room;
  result.status = wanseer_get(buffer, &result.length);
  std::copy(buffer, buffer + 4, result.bytes.begin());
  return result;
}

bool store_under(const std::string& key, const std::vector<std::uint8_t>& bytes) {
  if (pellary_open() != 0) {
    return false;
  }
  const bool written =
      pellary_write(key.c_str(), bytes.data(), static_cast<std::int32_t>(bytes.size())) == 0;
  pellary_close();
  return written;
}

bool wait_until_stored(const address_bytes& expected, std::chrono::milliseconds limit,
                       const std::vector<address_bytes>& may_show) {
  bool unexpected = false;
  const bool ended = eventually(
      [&] {
        const stored_read value = read_stored();
        if (value.status == 0 && value.bytes == expected) {
          return true;
        }
        unexpected = !may_show.empty() &&
                     std::find(may_show.begin(), may_show.end(), value.bytes) == may_show.end();
        return unexpected;
      },
      limit);
  return ended && !unexpected;
}

}  // namespace wanseer::testing
