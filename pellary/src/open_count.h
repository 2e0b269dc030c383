// The count of nested opens, kept per thread so that the open/close pair
// around every read costs no contended atomic operation: each thread counts
// its own opens in a slot that only it writes, and the store is open while
// any slot (or a thread that ended with opens outstanding) is above zero.
#ifndef PELLARY_OPEN_COUNT_H
#define PELLARY_OPEN_COUNT_H

#include <atomic>
#include <cstdint>
#include <mutex>

namespace pellary {

class open_count {
 public:
  // False when this thread's count is at its limit.
  bool open();
  // False when this thread holds no open.
  bool close();
  // Open from any thread's point of view.
  bool is_open();

  struct slot;

 private:
  slot& own_slot();
  void retire(slot& ended);

  std::mutex slots_mutex_;  // guards the list of slots, not their counts
  slot* slots_ = nullptr;
  // Opens left outstanding by threads that have ended.
  std::atomic<std::int64_t> ended_opens_{0};

  friend struct slot;
};

}  // namespace pellary

#endif  // PELLARY_OPEN_COUNT_H
