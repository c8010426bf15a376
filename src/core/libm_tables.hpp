// Figures of the C library's double-precision exp and log (glibc 2.28 and later): constants,
// polynomial coefficients and 128-entry tables, as IEEE-754 bit patterns. The vector forms of
// vector_math need them to take the library's steps exactly; libm_tables.cpp is generated from
// the library's own bytes by gen_libm_tables.py.
#pragma once

#include <cstdint>

namespace vostrel::libm {

// exp(x) = 2^(k/N) exp(r), N = 128: k = round(x N/ln2) by adding and subtracting `shift`,
// r = x + k (-ln2/N)_hi + k (-ln2/N)_lo, and the polynomial C2..C5 in r.
struct ExpFigures {
    std::uint64_t inv_ln2_n;
    std::uint64_t neg_ln2_hi_n;
    std::uint64_t neg_ln2_lo_n;
    std::uint64_t shift;
    std::uint64_t poly[4];
    // Pairs for i = k mod N: the tail (a small correction) and the bits of 2^(i/N) less i << 45.
    std::uint64_t table[2 * 128];
};

// log(x) = k ln2 + log(c) + log1p(z/c - 1), x = 2^k z, c the centre of z's subinterval.
struct LogFigures {
    std::uint64_t ln2_hi;
    std::uint64_t ln2_lo;
    std::uint64_t poly[5];          // A0..A4 of the general path
    std::uint64_t poly1[11];        // B0..B10 of the path near 1
    std::uint64_t table[2 * 128];   // pairs (1/c, log c)
    std::uint64_t table2[2 * 128];  // pairs (c high, c low), for the library's build without FMA
};

extern const ExpFigures kExp;
extern const LogFigures kLog;

}  // namespace vostrel::libm
