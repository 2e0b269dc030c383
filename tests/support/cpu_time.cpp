#include "cpu_time.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace wanseer::testing {

std::chrono::nanoseconds thread_cpu_time(clockid_t thread_clock) {
  timespec used{};
  if (::clock_gettime(thread_clock, &used) != 0) {
    return std::chrono::nanoseconds(0);
  }
  return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double cpu_seconds(pid_t process) {
  std::ifstream stat_file("/proc/" + std::to_string(process) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(stat_file)),
                         std::istreambuf_iterator<char>());
  const auto name_end = stat.rfind(')');
  if (name_end == std::string::npos) {
    return 0;
  }
  // Fields after the command name, which is in parentheses and may hold
  // spaces: utime and stime are the 12th and 13th of them.
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int index = 1; index <= 13 && fields >> field; ++index) {
    if (index >= 12) {
      ticks += std::stoull(field);
    }
  }
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace wanseer::testing
