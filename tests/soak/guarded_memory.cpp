#include "guarded_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace wanseer::testing {

guarded_block::guarded_block(std::size_t size, std::uint8_t fill) : size_(size) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t usable = (size + front_guard + page - 1) / page * page;
  mapped_ = usable + page;
  mapping_ = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping_ == MAP_FAILED) {
    throw std::bad_alloc();
  }
  auto* start = static_cast<std::uint8_t*>(mapping_);
  ::mprotect(start + usable, page, PROT_NONE);
  block_ = start + usable - size;
  std::memset(start, guard_byte, usable - size);
  std::memset(block_, fill, size);
}

guarded_block::~guarded_block() {
  ::munmap(mapping_, mapped_);
}

bool guarded_block::front_guard_intact() const {
  for (std::size_t i = 1; i <= front_guard; ++i) {
    if (block_[-static_cast<std::ptrdiff_t>(i)] != guard_byte) {
      return false;
    }
  }
  return true;
}

std::size_t guarded_block::count_of(std::uint8_t fill) const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < size_; ++i) {
    count += block_[i] == fill ? 1 : 0;
  }
  return count;
}

}  // namespace wanseer::testing
