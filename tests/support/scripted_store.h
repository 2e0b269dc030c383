// A stand-in for the value store whose answers a test sets, for the cases the
// real store cannot produce (an open that is refused, a read result of the
// test's choice) and to count the calls made to it.
#ifndef WANSEER_TESTS_SCRIPTED_STORE_H
#define WANSEER_TESTS_SCRIPTED_STORE_H

#include <atomic>
#include <cstdint>

namespace wanseer::testing {

struct scripted_store {
  std::atomic<bool> refuse_open{false};
  // Returned by every read; the read also fills the buffer with 0xAB.
  std::atomic<std::int32_t> read_result{0};
  std::atomic<int> opens{0};
  std::atomic<int> closes{0};
  std::atomic<int> reads{0};
  std::atomic<int> writes{0};
  std::atomic<std::int32_t> last_read_length{-1};

  void reset();
};

extern scripted_store the_store;

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_SCRIPTED_STORE_H
