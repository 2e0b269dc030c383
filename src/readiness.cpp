#include "readiness.h"

#include <sys/epoll.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace wanseer {

namespace {

static_assert(EPOLLIN == POLLIN && EPOLLOUT == POLLOUT && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP);

// Whole milliseconds left, rounded up so that the wait never ends early and
// never turns into a string of zero-length waits just before the deadline.
int milliseconds_until(steady_deadline deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The worker never watches more than the resolver's sockets and its own.
constexpr std::size_t most_watched = 32;

// Tags of what the set holds; a socket of one wait is tagged with its index.
constexpr std::uint64_t wake_tag = UINT64_MAX;
constexpr std::uint64_t news_tag = UINT64_MAX - 1;

// The sockets of one wait, in the set while it lasts.
class wait_members {
 public:
  wait_members(int set, pollfd* watched, std::size_t count) : set_(set) {
    for (std::size_t i = 0; i < count; ++i) {
      watched[i].revents = 0;
      epoll_event event{};
      event.events = static_cast<std::uint32_t>(watched[i].events);
      event.data.u64 = i;
      // A descriptor that is not open cannot be watched: it never becomes
      // ready, and the wait goes on with the rest.
      if (watched[i].fd >= 0 && ::epoll_ctl(set, EPOLL_CTL_ADD, watched[i].fd, &event) == 0) {
        added_[count_++] = watched[i].fd;
      }
    }
  }
  wait_members(const wait_members&) = delete;
  wait_members& operator=(const wait_members&) = delete;
  ~wait_members() {
    for (std::size_t i = 0; i < count_; ++i) {
      ::epoll_ctl(set_, EPOLL_CTL_DEL, added_[i], nullptr);
    }
  }

 private:
  int set_;
  int added_[most_watched] = {};
  std::size_t count_ = 0;
};

}  // namespace

bool wait_set::arm(int wake) noexcept {
  unique_fd set(::epoll_create1(EPOLL_CLOEXEC));
  if (!set.valid()) {
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = wake_tag;
  if (::epoll_ctl(set.get(), EPOLL_CTL_ADD, wake, &event) != 0) {
    return false;
  }
  set_ = std::move(set);
  wake_ = wake;
  return true;
}

bool wait_set::add_news(int news) noexcept {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = news_tag;
  if (news < 0 || ::epoll_ctl(set_.get(), EPOLL_CTL_ADD, news, &event) != 0) {
    return false;
  }
  news_ = news;
  news_watched_ = true;
  return true;
}

void wait_set::watch_news(bool watching) noexcept {
  if (news_ < 0 || watching == news_watched_) {
    return;
  }
  // Out of the set while not watched: epoll reports an error on a member
  // whatever events it asks for, and news that overflows its socket is one.
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = news_tag;
  const int done = watching ? ::epoll_ctl(set_.get(), EPOLL_CTL_ADD, news_, &event)
                            : ::epoll_ctl(set_.get(), EPOLL_CTL_DEL, news_, nullptr);
  if (done == 0) {
    news_watched_ = watching;
  }
}

void wait_set::remove_news() noexcept {
  if (news_ >= 0 && news_watched_) {
    ::epoll_ctl(set_.get(), EPOLL_CTL_DEL, news_, nullptr);
  }
  news_ = -1;
  news_watched_ = false;
}

readiness wait_set::wait_for(int socket, steady_deadline deadline) const {
  pollfd watched{socket, POLLIN, 0};
  return wait_for_any(&watched, 1, deadline);
}

readiness wait_set::wait_for_any(pollfd* watched, std::size_t count,
                                 steady_deadline deadline) const {
  if (count > most_watched) {
    count = most_watched;
  }
  const wait_members members(set_.get(), watched, count);
  epoll_event ready[most_watched + 2];  // the sockets, the wake handle, the news
  for (;;) {
    const int timeout = milliseconds_until(deadline);
    if (timeout == 0) {
      return readiness::deadline_passed;
    }
    const int found = ::epoll_wait(set_.get(), ready, static_cast<int>(count + 2), timeout);
    if (found < 0) {
      if (errno == EINTR) {
        continue;
      }
      // No set (never while a worker runs): the wake handle alone, so that
      // even this wait ends with the stop.
      pollfd wake{wake_, POLLIN, 0};
      return ::poll(&wake, 1, timeout) > 0 ? readiness::woken : readiness::deadline_passed;
    }
    bool woken = false;
    bool socket_ready = false;
    for (int i = 0; i < found; ++i) {
      if (ready[i].data.u64 == wake_tag || ready[i].data.u64 == news_tag) {
        woken = true;
      } else if (ready[i].data.u64 < count) {
        watched[ready[i].data.u64].revents = static_cast<short>(ready[i].events);
        socket_ready = true;
      }
    }
    if (socket_ready) {
      return readiness::socket_readable;
    }
    if (woken) {
      return readiness::woken;
    }
  }
}

}  // namespace wanseer
