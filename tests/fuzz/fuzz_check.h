// What a fuzz target does when a property of the code under test fails: name it and
// abort, so that libFuzzer keeps the input as a crash.
#pragma once
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                      \
      std::abort();                                                             \
    }                                                                           \
  } while (0)
