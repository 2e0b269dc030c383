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
// attempt), asks, and waits for the reply.  The receive waits `timeout` from
// the moment the request has left, less what the lookup took: a thread
// delayed between the start of the attempt and the send still gives the
// server its whole timeout.  An attempt with nothing to ask still waits out
// its timeout, so that misses never follow each other without a pause.
bool attempt(probe_channel& channel, server_locator& server, std::chrono::milliseconds timeout,
             unsigned char (&reply)[reply_length]) {
  const auto started = std::chrono::steady_clock::now();
  channel.reopen_if_closed();
  const auto address = server.address_for_attempt(started + timeout, worker_waits);
  if (!address) {
    worker_waits.wait_for(-1, started + timeout);
    return false;
  }
  const auto lookup_took = std::chrono::steady_clock::now() - started;
  channel.aim_at(*address);
  channel.discard_queued();
  if (server.speaks_stun()) {
    // The first request leaves at once; the deadline is timed from it.
    const steady_deadline deadline = std::chrono::steady_clock::now() + timeout - lookup_took;
    return ask_stun_server(channel, reply, deadline, worker_waits);
  }
  channel.send_request();
  const steady_deadline deadline = std::chrono::steady_clock::now() + timeout - lookup_took;
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
    if (attempt(channel, *server, job.schedule.duration(timeout_count), reply_buffer)) {
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
