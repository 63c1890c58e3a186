#pragma once

// Checks of the invariants the transcoder relies on (the room a value reserves covers what it
// writes, a cursor never passes its end). Compiled into debug builds and into the sanitizer and
// fuzz builds (VELUNDA_CHECKED); release builds trust the computed sizes and pay nothing.

#include <cstdio>
#include <cstdlib>

#if !defined(NDEBUG) && !defined(VELUNDA_CHECKED)
#define VELUNDA_CHECKED 1
#endif

#if defined(VELUNDA_CHECKED)
#define VELUNDA_ASSERT(condition)                                                                  \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
#else
#define VELUNDA_ASSERT(condition) static_cast<void>(0)
#endif
