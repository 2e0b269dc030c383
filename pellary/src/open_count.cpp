#include "open_count.h"

#include <limits>

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

namespace {
// The calling thread's slot once it has one.  A plain pointer in the
// initial-exec model costs one load per call, where the slot object itself,
// with its constructor and destructor, would cost a call into the dynamic
// TLS resolver every time.
thread_local open_count::slot* cached_slot __attribute__((tls_model("initial-exec"))) = nullptr;
}  // namespace

open_count::slot& open_count::own_slot() {
  if (cached_slot == nullptr) {
    thread_local slot mine(*this);
    cached_slot = &mine;
  }
  return *cached_slot;
}

void open_count::retire(slot& ended) {
  cached_slot = nullptr;
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

bool open_count::open() {
  auto& count = own_slot().count;
  const std::int32_t now = count.load(std::memory_order_relaxed);
  if (now == std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  // Only this thread writes its slot: a plain store is enough.
  count.store(now + 1, std::memory_order_relaxed);
  return true;
}

bool open_count::close() {
  auto& count = own_slot().count;
  const std::int32_t now = count.load(std::memory_order_relaxed);
  if (now == 0) {
    return false;
  }
  count.store(now - 1, std::memory_order_relaxed);
  return true;
}

bool open_count::is_open() {
  if (own_slot().count.load(std::memory_order_relaxed) > 0) {
    return true;
  }
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
