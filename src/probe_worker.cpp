#include "probe_worker.h"

#include <memory>

#include "fork_handlers.h"
#include "module_state.h"
#include "probe_channel.h"
#include "schedule_random.h"
#include "server_locator.h"
#include "value_store.h"

namespace wanseer {

namespace {

// Pauses after a reply until the next request is due, in one wait that a
// stop ends at once.  Returns false when a stop is requested.
bool pause_until(steady_deadline next_request) {
  wait_for(-1, stop_requested.wake_handle(), next_request);
  return !stop_requested.is_raised();
}

// One attempt: finds where to ask (a lookup of a host name is part of the
// attempt), asks, and waits for the reply until `deadline`.  An attempt
// with nothing to ask still waits out its deadline, so that misses never
// follow each other without a pause.
// `sent` is when the request left.
bool attempt(probe_channel& channel, server_locator& server, steady_deadline deadline,
             unsigned char (&reply)[reply_length], steady_deadline& sent) {
  const int wake = stop_requested.wake_handle();
  channel.reopen_if_closed();
  const auto address = server.address_for_attempt(deadline, wake);
  if (!address) {
    wait_for(-1, wake, deadline);
    return false;
  }
  channel.aim_at(*address);
  channel.discard_queued();
  sent = std::chrono::steady_clock::now();
  channel.send_request();
  return channel.await_reply(reply, deadline, wake);
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
  server_locator server(job.server_text.c_str());
  probe_channel channel;
  schedule_random random;

  int timeout_count = job.schedule.first_receive_timeout;
  // Zeroed once: a reply always fills all of it.
  unsigned char reply_buffer[reply_length] = {};

  if (stop_requested.is_raised()) {
    return;
  }
  for (;;) {
    const steady_deadline deadline =
        std::chrono::steady_clock::now() + job.schedule.duration(timeout_count);
    steady_deadline sent = deadline;
    if (attempt(channel, server, deadline, reply_buffer, sent)) {
      pellary_write(key_name, reply_buffer, static_cast<std::int32_t>(reply_length));
      // Counted from the request, so the mean stays the schedule's whatever
      // the round trip; a reply that took longer than the interval is
      // followed by the next request at once.
      if (!pause_until(sent + job.schedule.interval_after_reply(random.next()))) {
        return;
      }
      // The receive timeout is kept: a reply never shrinks it.
      continue;
    }
    server.attempt_missed();
    channel.disconnect();
    if (timeout_count < job.schedule.longest_receive_timeout) {
      ++timeout_count;
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
