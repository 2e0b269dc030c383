#include "steady_answer_server.h"

namespace wanseer::testing {

steady_answer_server::steady_answer_server(std::vector<std::uint8_t> answer)
    : answer_(std::move(answer)), thread_([this] { serve(); }) {}

steady_answer_server::~steady_answer_server() {
  stop_socket_.send_to(socket_.port(), {'s', 't', 'o', 'p'});
  thread_.join();
}

void steady_answer_server::serve() {
  for (;;) {
    const auto received = socket_.receive(std::chrono::seconds(1));
    if (!received) {
      continue;
    }
    if (received->sender_port == stop_socket_.port()) {
      return;
    }
    // Answer first: a test that sees the count rise may stop the worker.
    socket_.send_to(received->sender_port, answer_);
    requests_.fetch_add(1);
  }
}

}  // namespace wanseer::testing
