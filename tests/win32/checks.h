// Checks for the programs that drive the Windows dialog: a failed check is
// printed and counted, and the program goes on; main reports g_failures.
#pragma once
#include <cstdio>

inline int g_failures = 0;

#define CHECK(cond)                                                                  \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      ++g_failures;                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                                \
  } while (0)
#define CHECK_MSG(cond, ...)                                                          \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      ++g_failures;                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                              \
      std::fputc('\n', stderr);                                                       \
    }                                                                                 \
  } while (0)
