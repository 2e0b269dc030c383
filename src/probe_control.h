// Starting and stopping the worker.
#ifndef WANSEER_PROBE_CONTROL_H
#define WANSEER_PROBE_CONTROL_H

#include "probe_schedule.h"

namespace wanseer {

// What wanseer_startup does, with the schedule as a value so that tests can
// run the worker on a shorter unit.  On failure errno tells why and no
// worker was started.
void start_probe(const char* server, const probe_schedule& schedule);

// What wanseer_stop does.
void stop_probe();

}  // namespace wanseer

#endif  // WANSEER_PROBE_CONTROL_H
