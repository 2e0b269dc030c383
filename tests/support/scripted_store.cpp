#include "scripted_store.h"

#include <cstring>

#include "value_store.h"

namespace wanseer::testing {

scripted_store the_store;

void scripted_store::reset() {
  refuse_open = false;
  read_result = 0;
  opens = closes = reads = writes = 0;
  last_read_length = -1;
}

}  // namespace wanseer::testing

using wanseer::testing::the_store;

extern "C" {

std::int32_t pellary_open(void) {
  if (the_store.refuse_open) {
    return -1;
  }
  ++the_store.opens;
  return 0;
}

std::int32_t pellary_close(void) {
  ++the_store.closes;
  return 0;
}

std::int32_t pellary_write(const char*, const void*, std::int32_t) {
  ++the_store.writes;
  return 0;
}

std::int32_t pellary_read(const char*, void* buffer, std::int32_t* length) {
  ++the_store.reads;
  the_store.last_read_length = *length;
  std::memset(buffer, 0xAB, static_cast<std::size_t>(*length));
  return the_store.read_result;
}

}  // extern "C"
