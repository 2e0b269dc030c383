// CPU time used, and how soon a stop must return: the measures that tests
// and benchmarks of the worker and the tools share.
#ifndef WANSEER_TESTS_CPU_TIME_H
#define WANSEER_TESTS_CPU_TIME_H

#include <sys/types.h>
#include <time.h>

#include <chrono>

namespace wanseer::testing {

// Every wait of the worker ends when a stop is asked for; this much leaves
// room for a loaded 2-core machine and a sanitizer.
inline constexpr std::chrono::seconds prompt_stop{2};

// CPU time one thread has used so far, read from its clock
// (pthread_getcpuclockid); zero once the thread has ended.
std::chrono::nanoseconds thread_cpu_time(clockid_t thread_clock);

// User plus system CPU time of this whole process, in seconds.
double cpu_seconds();
// The same for another process of this machine; 0 if it cannot be read.
double cpu_seconds(pid_t process);

}  // namespace wanseer::testing

#endif  // WANSEER_TESTS_CPU_TIME_H
