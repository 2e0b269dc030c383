#include "worker_descriptors.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstddef>

namespace wanseer {

namespace {

// The worker's UDP socket plus the resolver's sockets (one per name server
// and protocol); far more than one worker ever holds at once.
constexpr std::size_t capacity = 32;

// Each slot holds a descriptor plus one, so that the zero-initialised list
// is empty and loading the library runs no code.
std::array<std::atomic<int>, capacity> tracked{};
constexpr int empty_slot = 0;

}  // namespace

void track_worker_descriptor(int fd) noexcept {
  if (fd < 0) {
    return;
  }
  for (auto& slot : tracked) {
    int expected = empty_slot;
    if (slot.compare_exchange_strong(expected, fd + 1, std::memory_order_acq_rel)) {
      return;
    }
  }
}

void untrack_worker_descriptor(int fd) noexcept {
  if (fd < 0) {
    return;
  }
  for (auto& slot : tracked) {
    int expected = fd + 1;
    if (slot.compare_exchange_strong(expected, empty_slot, std::memory_order_acq_rel)) {
      return;
    }
  }
}

void close_worker_descriptors_in_child() noexcept {
  for (auto& slot : tracked) {
    const int held = slot.exchange(empty_slot, std::memory_order_acq_rel);
    if (held != empty_slot) {
      ::close(held - 1);
    }
  }
}

}  // namespace wanseer
