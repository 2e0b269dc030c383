#include "open_count.h"

namespace pellary {

// One per thread that ever opened the store; unlinked when the thread ends.
struct open_count::slot {
  explicit slot(open_count& counter) : owner(counter) {
    std::lock_guard<std::mutex> lock(owner.slots_mutex_);
    next = owner.slots_;
    if (next != nullptr) {
      next->previous = this;
    }
    owner.slots_ = this;
  }
  slot(const slot&) = delete;
  slot& operator=(const slot&) = delete;
  ~slot() { owner.retire(*this); }

  open_count& owner;
  // Written only by the owning thread; read by others under slots_mutex_.
  std::atomic<std::int32_t> count{0};
  slot* next = nullptr;
  slot* previous = nullptr;
};

std::atomic<std::int32_t>* open_count::enrol() {
  if (detail::own_slot_gone) {
    return nullptr;
  }
  thread_local slot mine(*this);
  detail::own_count = &mine.count;
  return &mine.count;
}

bool open_count::open_while_ending() {
  ended_opens_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool open_count::close_while_ending() {
  std::int64_t now = ended_opens_.load(std::memory_order_relaxed);
  do {
    if (now == 0) {
      return false;
    }
  } while (!ended_opens_.compare_exchange_weak(now, now - 1, std::memory_order_relaxed));
  return true;
}

void open_count::retire(slot& ended) {
  detail::own_count = nullptr;
  detail::own_slot_gone = true;
  std::lock_guard<std::mutex> lock(slots_mutex_);
  ended_opens_.fetch_add(ended.count.load(std::memory_order_relaxed), std::memory_order_relaxed);
  if (ended.previous != nullptr) {
    ended.previous->next = ended.next;
  } else {
    slots_ = ended.next;
  }
  if (ended.next != nullptr) {
    ended.next->previous = ended.previous;
  }
}

bool open_count::any_open() {
  if (ended_opens_.load(std::memory_order_relaxed) > 0) {
    return true;
  }
  std::lock_guard<std::mutex> lock(slots_mutex_);
  for (const slot* each = slots_; each != nullptr; each = each->next) {
    if (each->count.load(std::memory_order_relaxed) > 0) {
      return true;
    }
  }
  return false;
}

}  // namespace pellary
