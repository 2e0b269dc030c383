#include "loopback_probe_server.h"

#include <numeric>
#include <stdexcept>

namespace wanseer::testing {

loopback_probe_server::loopback_probe_server(answer_policy policy, request_records records)
    : policy_(std::move(policy)), records_(records) {
  // Gaps between arrivals are only as good as the stamps.
  if (!socket_.wait_for_kernel_stamps(stop_socket_)) {
    throw std::runtime_error("the kernel takes no receive timestamps");
  }
  thread_ = std::thread([this] { serve(); });
}

loopback_probe_server::~loopback_probe_server() {
  // The datagram ends the wait at once; should it be lost, the flag ends it
  // within a second.
  stopping_ = true;
  stop_socket_.send_to(socket_.port(), {'s', 't', 'o', 'p'});
  thread_.join();
}

std::string loopback_probe_server::address() const {
  return "127.0.0.1:" + std::to_string(socket_.port());
}

void loopback_probe_server::set_policy(answer_policy policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  policy_ = std::move(policy);
  request_policy_ = nullptr;
}

void loopback_probe_server::set_policy(request_answer_policy policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  request_policy_ = std::move(policy);
}

void loopback_probe_server::serve() {
  while (!stopping_) {
    auto received = socket_.receive(std::chrono::seconds(1));
    if (!received || received->sender_port == stop_socket_.port()) {
      continue;
    }
    if (received->arrival.count() == 0) {
      // Not expected once stamps are on; the read time is never too early.
      received->arrival = std::chrono::system_clock::now().time_since_epoch();
    }
    answer reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reply = request_policy_ ? request_policy_(request_count_, received->bytes)
                              : policy_(request_count_);
    }
    switch (reply.how) {
      case answer::kind::silence:
        break;
      case answer::kind::reply:
        socket_.send_to(received->sender_port, reply.bytes);
        break;
      case answer::kind::reply_from_other_port:
        other_socket_.send_to(received->sender_port, reply.bytes);
        break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++request_count_;
      last_sender_port_ = received->sender_port;
      if (records_ == request_records::kept) {
        requests_.push_back({received->arrival, received->sender_port, std::move(received->bytes)});
      }
    }
    arrived_.notify_all();
  }
}

bool loopback_probe_server::wait_for_requests(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, limit, [&] { return request_count_ >= count; });
}

std::vector<request_record> loopback_probe_server::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::size_t loopback_probe_server::request_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_count_;
}

void loopback_probe_server::send_to_worker(const std::vector<std::uint8_t>& bytes,
                                           bool from_other_port) {
  std::uint16_t worker_port = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    worker_port = last_sender_port_;
  }
  (from_other_port ? other_socket_ : socket_).send_to(worker_port, bytes);
}

std::vector<std::chrono::nanoseconds> gaps_between(const std::vector<request_record>& requests) {
  std::vector<std::chrono::nanoseconds> gaps;
  for (std::size_t i = 1; i < requests.size(); ++i) {
    gaps.push_back(requests[i].arrival - requests[i - 1].arrival);
  }
  return gaps;
}

std::string gaps_off_schedule(const std::vector<std::chrono::nanoseconds>& gaps,
                              const std::vector<int>& units, std::chrono::milliseconds unit,
                              double slack) {
  if (gaps.size() < units.size()) {
    return "only " + std::to_string(gaps.size()) + " gaps";
  }
  std::string wrong;
  std::string all;
  std::chrono::nanoseconds total{0};
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(gaps[i]).count();
    all += " " + std::to_string(ms);
    total += gaps[i];
    if (gaps[i] + stamp_tolerance < unit * units[i]) {
      wrong +=
          "gap " + std::to_string(i) + " shorter than " + std::to_string(units[i]) + " units; ";
    }
  }
  const auto expected =
      std::chrono::duration<double>(unit) * std::accumulate(units.begin(), units.end(), 0);
  if (total >= expected * slack) {
    wrong += "the gaps together took more than " + std::to_string(slack) + " times their sum; ";
  }
  return wrong.empty() ? wrong : wrong + "gaps (ms):" + all;
}

}  // namespace wanseer::testing
