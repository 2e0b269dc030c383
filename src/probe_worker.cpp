#include "probe_worker.h"

#include <memory>
#include <optional>

#include "fork_handlers.h"
#include "module_state.h"
#include "probe_channel.h"
#include "server_locator.h"
#include "stun_exchange.h"
#include "value_store.h"

namespace wanseer {

namespace {

// Pauses between two requests after a reply, in one wait that a stop ends
// at once.  Returns false when a stop is requested.
bool pause_after_reply(const probe_schedule& schedule) {
  const auto pause_end = std::chrono::steady_clock::now() +
                         schedule.duration(schedule.pause_steps * schedule.pause_step);
  worker_waits.wait_for(-1, pause_end);
  return !stop_requested.is_raised();
}

// One attempt: finds where to ask (a lookup of a host name is part of the
// attempt), asks, and waits for the reply until `deadline`.  An attempt
// with nothing to ask still waits out its deadline, so that misses never
// follow each other without a pause.
bool attempt(probe_channel& channel, server_locator& server, steady_deadline deadline,
             unsigned char (&reply)[reply_length]) {
  channel.reopen_if_closed();
  const auto address = server.address_for_attempt(deadline, worker_waits);
  if (!address) {
    worker_waits.wait_for(-1, deadline);
    return false;
  }
  channel.aim_at(*address);
  channel.discard_queued();
  if (server.speaks_stun()) {
    return ask_stun_server(channel, reply, deadline, worker_waits);
  }
  channel.send_request();
  return channel.await_reply(reply, deadline, worker_waits);
}

}  // namespace

void run_probe(const probe_job& job) {
  store_session store;
  // The store may set up state of its own for this thread, under a lock of
  // its own, and the resolver opens what it keeps for the worker's life:
  // part of the start that a fork waits for.
  std::optional<server_locator> server;
  if (store.is_open()) {
    server.emplace(job.server);
  }
  worker_start_ends();
  if (!server) {
    return;
  }
  probe_channel channel;

  int timeout_count = job.schedule.first_receive_timeout;
  // Zeroed once: a reply always fills all of it.
  unsigned char reply_buffer[reply_length] = {};

  if (stop_requested.is_raised()) {
    return;
  }
  for (;;) {
    const steady_deadline deadline =
        std::chrono::steady_clock::now() + job.schedule.duration(timeout_count);
    if (attempt(channel, *server, deadline, reply_buffer)) {
      pellary_write(key_name, reply_buffer, static_cast<std::int32_t>(reply_length));
      if (!pause_after_reply(job.schedule)) {
        return;
      }
      // The receive timeout is kept: a reply never shrinks it.
      continue;
    }
    server->attempt_missed();
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
