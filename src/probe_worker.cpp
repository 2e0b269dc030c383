#include "probe_worker.h"

#include <memory>

#include "fork_handlers.h"
#include "module_state.h"
#include "probe_channel.h"
#include "value_store.h"

namespace wanseer {

namespace {

// Pauses between two requests after a reply.  Returns false as soon as a
// stop is requested.
bool pause_after_reply(const probe_schedule& schedule) {
  for (int step = 0; step < schedule.pause_steps; ++step) {
    const auto step_end = std::chrono::steady_clock::now() + schedule.duration(schedule.pause_step);
    wait_for(-1, stop_requested.wake_handle(), step_end);
    if (stop_requested.is_raised()) {
      return false;
    }
  }
  return true;
}

ACE_Time_Value as_time_value(std::chrono::milliseconds duration) {
  ACE_Time_Value value;
  value.msec(static_cast<long>(duration.count()));
  return value;
}

}  // namespace

void run_probe(const probe_job& job) {
  store_session store;
  // The store may set up state of its own for this thread, under a lock of
  // its own: part of the start that a fork waits for.
  worker_start_ends();
  if (!store.is_open()) {
    return;
  }
  probe_channel channel(job.server_text.c_str());

  int timeout_count = job.schedule.first_receive_timeout;
  ACE_Time_Value receive_timeout = as_time_value(job.schedule.duration(timeout_count));
  // Zeroed once: a reply always fills all of it.
  unsigned char reply_buffer[reply_length] = {};

  if (stop_requested.is_raised()) {
    return;
  }
  for (;;) {
    channel.send_request();
    if (channel.await_reply(reply_buffer, receive_timeout, stop_requested.wake_handle())) {
      pellary_write(key_name, reply_buffer, static_cast<std::int32_t>(reply_length));
      if (!pause_after_reply(job.schedule)) {
        return;
      }
      // The receive timeout is kept: a reply never shrinks it.
      continue;
    }
    if (timeout_count < job.schedule.longest_receive_timeout) {
      ++timeout_count;
      receive_timeout = as_time_value(job.schedule.duration(timeout_count));
    }
    if (stop_requested.is_raised()) {
      return;
    }
  }
}

extern "C" ACE_THR_FUNC_RETURN probe_worker(void* job) {
  if (job != nullptr) {
    const std::unique_ptr<probe_job> owned(static_cast<probe_job*>(job));
    run_probe(*owned);
  }
  return ACE_THR_FUNC_RETURN();
}

}  // namespace wanseer
