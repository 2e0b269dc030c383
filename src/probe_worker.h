// The background worker: asks the probe server for this host's external
// address and keeps the answer in the value store under key_name.
#ifndef WANSEER_PROBE_WORKER_H
#define WANSEER_PROBE_WORKER_H

#include <ace/Thread_Manager.h>

#include "probe_schedule.h"
#include "server_text.h"

namespace wanseer {

// What the worker is handed at its start and owns until it ends.
struct probe_job {
  server_text_parts server;
  probe_schedule schedule;
};

// What the worker calls its thread (pthread_setname_np), as wanseer.h
// documents it.
inline constexpr char worker_thread_name[] = "wanseer";

// Thread entry; `job` is a probe_job allocated with new, which the worker
// takes over and deletes when it ends.  Its result means nothing.
extern "C" ACE_THR_FUNC_RETURN probe_worker(void* job);

// The worker's loop, run on the calling thread until stop_requested is
// raised, or at once back when the store cannot be opened.  Waits through
// worker_waits.
void run_probe(const probe_job& job);

}  // namespace wanseer

#endif  // WANSEER_PROBE_WORKER_H
