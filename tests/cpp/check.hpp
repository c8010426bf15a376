// A minimal check harness for the C++ tests: CHECK records failures without stopping, and
// check_summary() prints "N passed, N failed" and gives the exit status.
#pragma once

#include <cstdio>

namespace vostrel::test {

inline int& passed_count() { static int n = 0; return n; }
inline int& failed_count() { static int n = 0; return n; }

inline void record(bool ok, const char* expression, const char* file, int line) {
    if (ok) {
        ++passed_count();
    } else {
        ++failed_count();
        std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, expression);
    }
}

inline int check_summary() {
    std::printf("%d passed, %d failed\n", passed_count(), failed_count());
    return failed_count() == 0 ? 0 : 1;
}

}  // namespace vostrel::test

#define CHECK(expression) ::vostrel::test::record(static_cast<bool>(expression), #expression, __FILE__, __LINE__)
