#include "soak_budget.h"

#include <malloc.h>

#include <cstdlib>

namespace wanseer::testing {

std::size_t heap_in_use() {
#if defined(WANSEER_SOAK_SANITIZED)
  return 0;
#else
  return ::mallinfo2().uordblks;
#endif
}

int soak_cycles() {
  if (const char* text = std::getenv("WANSEER_SOAK_CYCLES")) {
    const int cycles = std::atoi(text);
    if (cycles > 0) {
      return cycles;
    }
  }
  return WANSEER_SOAK_DEFAULT_CYCLES;
}

}  // namespace wanseer::testing
