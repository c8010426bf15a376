// A minimal check harness for the C++ tests: CHECK records failures without stopping,
// CHECK_RANGES_EQUAL compares two ranges and prints the first differing index, and
// check_summary() prints "N passed, N failed" and gives the exit status.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <type_traits>

namespace vostrel::test {

inline int& passed_count() {
    static int n = 0;
    return n;
}
inline int& failed_count() {
    static int n = 0;
    return n;
}

inline void record(bool ok, const char* expression, const char* file, int line) {
    if (ok) {
        ++passed_count();
    } else {
        ++failed_count();
        std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, expression);
    }
}

// Element equality for range checks: doubles by their bits (so -0.0 differs from 0.0 and a NaN
// equals itself), everything else by ==.
template <class T>
bool same_element(const T& a, const T& b) {
    if constexpr (std::is_same_v<T, double>) {
        return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
    } else {
        return a == b;
    }
}

inline void print_element(double value) { std::fprintf(stderr, "%.17g (%a)", value, value); }
template <class T>
void print_element(T value) {
    std::fprintf(stderr, "%llu (0x%llx)", static_cast<unsigned long long>(value),
                 static_cast<unsigned long long>(value));
}

// Records one check for two ranges of the same element type: equal sizes and equal elements.
// A failure names the first differing index and both values. Returns whether the check passed.
template <class A, class B>
bool record_ranges(const A& actual, const B& expected, const char* text, const char* file,
                   int line) {
    const std::size_t n_actual = std::size(actual);
    const std::size_t n_expected = std::size(expected);
    if (n_actual != n_expected) {
        record(false, text, file, line);
        std::fprintf(stderr, "  sizes differ: %zu and %zu\n", n_actual, n_expected);
        return false;
    }
    auto a = std::begin(actual);
    auto b = std::begin(expected);
    for (std::size_t i = 0; i < n_actual; ++i, ++a, ++b) {
        if (!same_element(*a, *b)) {
            record(false, text, file, line);
            std::fprintf(stderr, "  first difference at index %zu: ", i);
            print_element(*a);
            std::fprintf(stderr, " != ");
            print_element(*b);
            std::fprintf(stderr, "\n");
            return false;
        }
    }
    record(true, text, file, line);
    return true;
}

inline int check_summary() {
    std::printf("%d passed, %d failed\n", passed_count(), failed_count());
    return failed_count() == 0 ? 0 : 1;
}

}  // namespace vostrel::test

#define CHECK_RANGES_EQUAL(actual, expected) \
    ::vostrel::test::record_ranges(actual, expected, #actual " == " #expected, __FILE__, __LINE__)
#define CHECK(expression) \
    ::vostrel::test::record(static_cast<bool>(expression), #expression, __FILE__, __LINE__)
