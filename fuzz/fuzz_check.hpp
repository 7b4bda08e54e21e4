#pragma once
// A property that fails inside a fuzz target must end the run loudly, whether it runs under
// libFuzzer or through the plain replay; abort() does both and leaves the input behind.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)
