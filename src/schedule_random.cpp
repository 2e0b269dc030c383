#include "schedule_random.h"

#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

namespace wanseer {

namespace {

std::uint64_t fallback_seed() noexcept {
  timespec real{};
  timespec boot{};
  ::clock_gettime(CLOCK_REALTIME, &real);
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  const auto thread = static_cast<std::uint64_t>(::syscall(SYS_gettid));
  return static_cast<std::uint64_t>(real.tv_nsec) ^
         (static_cast<std::uint64_t>(real.tv_sec) << 30) ^
         (static_cast<std::uint64_t>(boot.tv_nsec) << 17) ^ (thread << 44) ^
         static_cast<std::uint64_t>(::getpid());
}

}  // namespace

schedule_random::schedule_random() noexcept {
  std::uint64_t seed = 0;
  // GRND_NONBLOCK: early in boot, before the pool is ready, the fallback
  // serves rather than a worker that hangs.
  if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    seed = fallback_seed();
  }
  state_ = seed;
}

std::uint64_t schedule_random::next() noexcept {
  state_ += 0x9e3779b97f4a7c15ULL;
  std::uint64_t mixed = state_;
  mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9ULL;
  mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebULL;
  return mixed ^ (mixed >> 31);
}

}  // namespace wanseer
