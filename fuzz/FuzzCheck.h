// What every fuzz target uses to state a property: a broken one prints what broke and
// stops at a trap, so libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      __builtin_trap();                                                                    \
    }                                                                                      \
  } while (0)
