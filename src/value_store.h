// The shared value store operations this library calls, and a scope that
// pairs each successful open with exactly one close.
#ifndef WANSEER_VALUE_STORE_H
#define WANSEER_VALUE_STORE_H

#include <cstdint>

extern "C" {
// -1: the store cannot be used; any other value: open.
std::int32_t pellary_open(void);
std::int32_t pellary_close(void);
std::int32_t pellary_write(const char* key, const void* data, std::int32_t length);
// 1: nothing stored under key; other results are the store's own.
std::int32_t pellary_read(const char* key, void* buffer, std::int32_t* length);
}

namespace wanseer {

inline constexpr std::int32_t store_unavailable = -1;
inline constexpr std::int32_t store_read_nothing_stored = 1;

class store_session {
 public:
  store_session() noexcept : open_(pellary_open() != store_unavailable) {}
  store_session(const store_session&) = delete;
  store_session& operator=(const store_session&) = delete;
  ~store_session() {
    if (open_) {
      pellary_close();
    }
  }

  bool is_open() const noexcept { return open_; }

 private:
  bool open_;
};

}  // namespace wanseer

#endif  // WANSEER_VALUE_STORE_H
