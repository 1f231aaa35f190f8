// What every target checks besides the sanitisers: a broken promise is
// reported and ends the run like a crash, with the input kept.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                      \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "fuzz finding: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                \
    }                                                                              \
  } while (0)
