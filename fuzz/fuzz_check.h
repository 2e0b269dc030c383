// A failed check in a fuzz target: a message and abort(), which libFuzzer
// reports as a crash, saving the input that caused it.
#ifndef WANSEER_FUZZ_CHECK_H
#define WANSEER_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition, why)                                                               \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, why); \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

#endif  // WANSEER_FUZZ_CHECK_H
