// Minimal checking for the native engine tests: each failed expectation is
// printed, and the process exits non-zero if any failed.
#pragma once

#include <cstdio>
#include <cstdlib>

inline int failures = 0;

#define EXPECT(condition, ...)                                              \
    do {                                                                    \
        if (!(condition)) {                                                 \
            ++failures;                                                     \
            std::printf("%s:%d: expected %s: ", __FILE__, __LINE__, #condition); \
            std::printf(__VA_ARGS__);                                       \
            std::printf("\n");                                              \
            if (failures > 20) std::exit(1);                                \
        }                                                                   \
    } while (0)

inline int finish(const char* name) {
    std::printf("%s: %s\n", name, failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
