#include "worker_harness.h"

#include <atomic>
#include <thread>

#include "probe_control.h"
#include "wanseer.h"

namespace wanseer::testing {

probe_schedule scaled_schedule(std::chrono::milliseconds unit) {
  probe_schedule schedule;
  schedule.unit = unit;
  // The tests' namespace is the machine's, where anything else running may
  // change links and addresses at any moment: news would bring requests
  // forward at random in tests that count them.  The namespace tests of
  // the command follow network changes.
  schedule.follow_network_changes = false;
  return schedule;
}

running_worker::running_worker(const std::string& server, const probe_schedule& schedule) {
  start_probe(server.c_str(), schedule);
}

running_worker::~running_worker() {
  stop();
}

std::chrono::nanoseconds running_worker::stop() {
  const auto started = std::chrono::steady_clock::now();
  if (running_) {
    running_ = false;
    stop_probe();
  }
  return std::chrono::steady_clock::now() - started;
}

std::string use_fresh_key() {
  static std::atomic<int> counter{0};
  const std::string key = "test-key-" + std::to_string(counter.fetch_add(1));
  wanseer_init(nullptr, key.c_str());
  return key;
}

stored_read read_stored(std::int32_t room) {
  stored_read result;
  unsigned char buffer[16] = {};
  result.length = room;
  result.status = wanseer_get(buffer, &result.length);
  std::copy(buffer, buffer + 4, result.bytes.begin());
  return result;
}

bool wait_until_stored(const address_bytes& expected, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const stored_read value = read_stored();
    if (value.status == 0 && value.bytes == expected) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

}  // namespace wanseer::testing
