// What the process holds, counted from the outside of the library: open
// descriptors and threads; and waiting for a condition with a deadline.
#ifndef WANSEER_TESTS_PROCESS_RESOURCES_H
#define WANSEER_TESTS_PROCESS_RESOURCES_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <set>

namespace wanseer::testing {

// Entries of /proc/self/fd (the directory's own descriptor excluded).
std::size_t open_descriptor_count();
// The numbers of the open descriptors whose /proc/self/fd link starts with
// `kind`, e.g. "socket:" or "anon_inode:[eventfd]".
std::set<int> descriptors_of_kind(const char* kind);
// Entries of /proc/self/task.
std::size_t thread_count();
// Polls `done` until it holds or `limit` passes; the result of the last poll.
// A thread that was just joined may still show in /proc for a moment.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_PROCESS_RESOURCES_H
