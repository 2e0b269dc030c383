// What the process holds, counted from the outside of the library: open
// descriptors, threads, heap in use and CPU time used.
#ifndef WANSEER_TESTS_SOAK_PROCESS_RESOURCES_H
#define WANSEER_TESTS_SOAK_PROCESS_RESOURCES_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <set>

#include "support/cpu_time.h"

namespace wanseer::testing {

// Entries of /proc/self/fd (the directory's own descriptor excluded).
std::size_t open_descriptor_count();
// The numbers of the open descriptors whose /proc/self/fd link starts with
// `kind`, e.g. "socket:" or "anon_inode:[eventfd]".
std::set<int> descriptors_of_kind(const char* kind);
// Entries of /proc/self/task.
std::size_t thread_count();
// Bytes of the heap in use (mallinfo2), 0 under a sanitizer, whose allocator
// does not report it.
std::size_t heap_in_use();

// Polls `done` until it holds or `limit` passes; the result of the last poll.
// A thread that was just joined may still show in /proc for a moment.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(5));

// How many start/stop cycles a soak test runs: the build's default, or
// WANSEER_SOAK_CYCLES from the environment.
int soak_cycles();

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_SOAK_PROCESS_RESOURCES_H
