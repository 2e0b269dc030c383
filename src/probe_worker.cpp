#include "probe_worker.h"

#include <pthread.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "fork_handlers.h"
#include "module_state.h"
#include "probe_channel.h"
#include "schedule_random.h"
#include "server_locator.h"
#include "stun_exchange.h"
#include "value_store.h"
#include "worker_wait.h"

namespace wanseer {

namespace {

enum class attempt_end { replied, missed, stopped, network_changed };

// Waits out the rest of an attempt that has nothing more to hear, so that
// misses never follow each other without a pause.
attempt_end wait_out(worker_wait& waits, steady_deadline deadline) {
  switch (waits.wait_until(deadline)) {
    case wait_end::stopped:
      return attempt_end::stopped;
    case wait_end::network_changed:
      return attempt_end::network_changed;
    case wait_end::deadline_passed:
    case wait_end::socket_readable:
      break;
  }
  return attempt_end::missed;
}

// One attempt: finds where to ask (a lookup of a host name is part of the
// attempt), asks, and waits for the reply.  The receive waits `timeout` from
// the moment the request has left, less what the lookup took: a thread
// delayed between the start of the attempt and the send still gives the
// server its whole timeout.  An attempt with nothing to ask, or whose STUN
// transaction ended without an address, still waits out its timeout.  A
// stop ends it at once, and so does a relevant network change, in the
// lookup, the exchange or the wait: the reply would tell of the old
// network.  `sent` is when the request left.
attempt_end attempt(probe_channel& channel, server_locator& server, worker_wait& waits,
                    const probe_schedule& schedule, std::chrono::milliseconds timeout,
                    unsigned char (&reply)[reply_length], steady_deadline& sent) {
  const auto started = std::chrono::steady_clock::now();
  channel.reopen_if_closed();
  // The lookup hears the news unless changes are held: then it is read
  // after the lookup.
  waits.phase_end(started + timeout);
  bool changed = false;
  const auto ends_lookup = [&waits, &changed] {
    changed = stop_requested.is_raised() || waits.network_changed();
    return changed;
  };
  const auto address = server.address_for_attempt(started + timeout, worker_waits, ends_lookup);
  if (!address) {
    if (stop_requested.is_raised()) {
      return attempt_end::stopped;
    }
    if (changed) {
      return attempt_end::network_changed;
    }
    return wait_out(waits, started + timeout);
  }
  const auto lookup_took = std::chrono::steady_clock::now() - started;
  channel.aim_at(*address);
  channel.discard_queued();
  sent = std::chrono::steady_clock::now();
  if (server.speaks_stun()) {
    // The first request leaves at once; the deadline is timed from it.
    const steady_deadline deadline = std::chrono::steady_clock::now() + timeout - lookup_took;
    const stun_outcome outcome = ask_stun_server(channel, reply, deadline, schedule, waits);
    switch (outcome.how) {
      case stun_outcome::kind::answered:
        return attempt_end::replied;
      case stun_outcome::kind::stopped:
        return attempt_end::stopped;
      case stun_outcome::kind::network_changed:
        return attempt_end::network_changed;
      case stun_outcome::kind::failed:
        break;
    }
    if (outcome.alternate) {
      server.ask_alternate_next(ipv4_endpoint(outcome.alternate->address, outcome.alternate->port));
    }
    return wait_out(waits, deadline);
  }
  channel.send_request();
  const steady_deadline deadline = std::chrono::steady_clock::now() + timeout - lookup_took;
  for (;;) {
    if (channel.await_reply(reply, waits.phase_end(deadline), worker_waits)) {
      return attempt_end::replied;
    }
    if (stop_requested.is_raised()) {
      return attempt_end::stopped;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return attempt_end::missed;
    }
    if (waits.network_changed()) {
      return attempt_end::network_changed;
    }
  }
}

// After a relevant change: lets the news settle, so that a burst of it
// costs one request, and keeps early requests at least early_request_gap
// apart.  Then the next attempt looks the server's name up afresh and lets
// the kernel choose the source address for the new network.  False on a
// stop.
bool settle_after_change(const probe_schedule& schedule, worker_wait& waits, server_locator& server,
                         probe_channel& channel, steady_deadline& next_early_request) {
  const steady_deadline leave =
      std::max(std::chrono::steady_clock::now() + schedule.change_settle(), next_early_request);
  // News that comes meanwhile is part of this change.
  waits.hold_changes_until(leave);
  if (waits.wait_until(leave) == wait_end::stopped) {
    return false;
  }
  waits.absorb_news();
  next_early_request = leave + schedule.duration(schedule.early_request_gap);
  waits.hold_changes_until(next_early_request);
  server.network_changed();
  channel.disconnect();
  return true;
}

}  // namespace

void run_probe(const probe_job& job) {
  store_session store;
  // The store may set up state of its own for this thread, under a lock of
  // its own, and the resolver opens what it keeps for the worker's life:
  // part of the start that a fork waits for.
  schedule_random random;
  std::optional<server_locator> server;
  if (store.is_open()) {
    server.emplace(job.server, random);
  }
  worker_start_ends();
  if (!server) {
    return;
  }
  probe_channel channel;
  worker_wait waits(worker_waits, job.schedule.follow_network_changes);

  int timeout_count = job.schedule.first_receive_timeout;
  // Zeroed once: a reply always fills all of it.
  unsigned char reply_buffer[reply_length] = {};
  steady_deadline next_early_request{};

  if (stop_requested.is_raised()) {
    return;
  }
  for (;;) {
    steady_deadline sent = std::chrono::steady_clock::now();
    attempt_end ended = attempt(channel, *server, waits, job.schedule,
                                job.schedule.duration(timeout_count), reply_buffer, sent);
    if (ended == attempt_end::replied) {
      pellary_write(key_name, reply_buffer, static_cast<std::int32_t>(reply_length));
      // Counted from the request, so the mean stays the schedule's whatever
      // the round trip; a reply that took longer than the interval is
      // followed by the next request at once.  The receive timeout is kept:
      // a reply never shrinks it.
      switch (waits.wait_until(sent + job.schedule.interval_after_reply(random.next()))) {
        case wait_end::deadline_passed:
        case wait_end::socket_readable:
          continue;
        case wait_end::stopped:
          return;
        case wait_end::network_changed:
          ended = attempt_end::network_changed;
          break;
      }
    }
    switch (ended) {
      case attempt_end::stopped:
        return;
      case attempt_end::network_changed:
        // Not a miss: the timeout stays as it is.
        if (!settle_after_change(job.schedule, waits, *server, channel, next_early_request)) {
          return;
        }
        continue;
      case attempt_end::missed:
      case attempt_end::replied:
        break;
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
    // Named, so that a host's ps, top and debugger (and the tests' count of
    // threads still listed after a join) can tell the worker apart.
    ::pthread_setname_np(::pthread_self(), worker_thread_name);
    run_probe(*owned);
  }
  return ACE_THR_FUNC_RETURN();
}

}  // namespace wanseer
