// How much a soak test does, and the heap it may find in use.
#ifndef WANSEER_TESTS_SOAK_BUDGET_H
#define WANSEER_TESTS_SOAK_BUDGET_H

#include <cstddef>

#include "support/process_resources.h"

namespace wanseer::testing {

// Bytes of the heap in use (mallinfo2), 0 under a sanitizer, whose allocator
// does not report it.
std::size_t heap_in_use();

// How many start/stop cycles a soak test runs: the build's default, or
// WANSEER_SOAK_CYCLES from the environment.
int soak_cycles();

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_SOAK_BUDGET_H
