// The order in which the targets of a name's SRV records are asked
// (RFC 2782): by priority, lowest first; among targets of one priority, by a
// draw weighted by their weights, so that a fleet shares the load among
// them as their owner asks.  The draw comes from the worker's own seeded
// random source, so hosts started together still draw apart.
#ifndef WANSEER_SERVICE_ORDER_H
#define WANSEER_SERVICE_ORDER_H

#include <vector>

#include "name_lookup.h"
#include "schedule_random.h"

namespace wanseer {

// Puts `targets` in the order they are to be asked.  Of one priority, each
// next target is drawn from those left with a chance of its weight over
// their weights' sum; targets of weight 0 come before the draw (RFC 2782),
// so that they are picked only when a draw of 0 falls on them or all of
// the priority weigh 0 (then in the order of the answer).
void order_service_targets(std::vector<service_target>& targets, schedule_random& random);

}  // namespace wanseer

#endif  // WANSEER_SERVICE_ORDER_H
