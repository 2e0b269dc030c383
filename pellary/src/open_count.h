// The count of nested opens, kept per thread so that the open/close pair
// around every read costs no contended atomic operation: each thread counts
// its own opens in a slot that only it writes, and the store is open while
// any slot (or a thread that ended with opens outstanding) is above zero.
#ifndef PELLARY_OPEN_COUNT_H
#define PELLARY_OPEN_COUNT_H

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>

namespace pellary {

namespace detail {
// The calling thread's count once it has a slot.  A plain pointer in the
// initial-exec model costs one load, where the slot object itself, with its
// constructor and destructor, would cost a call into the dynamic TLS
// resolver on every use.
inline thread_local std::atomic<std::int32_t>* own_count
    __attribute__((tls_model("initial-exec"))) = nullptr;
// Set when the thread's slot has been retired at thread exit.
inline thread_local bool own_slot_gone __attribute__((tls_model("initial-exec"))) = false;
}  // namespace detail

class open_count {
 public:
  // False when this thread's count is at its limit.
  bool open() {
    std::atomic<std::int32_t>* const own_slot = own();
    if (own_slot == nullptr) {
      return open_while_ending();
    }
    auto& count = *own_slot;
    const std::int32_t now = count.load(std::memory_order_relaxed);
    if (now == std::numeric_limits<std::int32_t>::max()) {
      return false;
    }
    // Only this thread writes its slot: a plain store is enough.
    count.store(now + 1, std::memory_order_relaxed);
    return true;
  }

  // False when this thread holds no open.
  bool close() {
    std::atomic<std::int32_t>* const own_slot = own();
    if (own_slot == nullptr) {
      return close_while_ending();
    }
    auto& count = *own_slot;
    const std::int32_t now = count.load(std::memory_order_relaxed);
    if (now == 0) {
      return false;
    }
    count.store(now - 1, std::memory_order_relaxed);
    return true;
  }

  // Open from any thread's point of view.
  bool is_open() {
    std::atomic<std::int32_t>* const own_slot = own();
    return (own_slot != nullptr && own_slot->load(std::memory_order_relaxed) > 0) || any_open();
  }

  struct slot;

 private:
  // The calling thread's count; null once the thread is ending and its slot
  // is gone.
  std::atomic<std::int32_t>* own() {
    auto* const count = detail::own_count;
    return count != nullptr ? count : enrol();
  }
  // Makes the calling thread's slot, unless it is already gone.
  std::atomic<std::int32_t>* enrol();
  // A thread whose slot is gone (a call from a thread-exit destructor)
  // counts its opens with those of ended threads.
  bool open_while_ending();
  bool close_while_ending();
  // Whether any thread holds an open; the slow path of is_open.
  bool any_open();
  void retire(slot& ended);

  std::mutex slots_mutex_;  // guards the list of slots, not their counts
  slot* slots_ = nullptr;
  // Opens left outstanding by threads that have ended.
  std::atomic<std::int64_t> ended_opens_{0};

  friend struct slot;
};

}  // namespace pellary

#endif  // PELLARY_OPEN_COUNT_H
