// Scalar models of the C library's exp and log on their main paths (and log's path near 1), step
// by step, with a chosen set of the multiply-adds fused: bit `site` of `fused` set means that step
// is one fused operation. With every bit set the model is the library's FMA build (the
// verification program checks it against the library); with none set, its baseline build. The
// self-check's hard cases are arguments on which a model with one bit changed, or with none set,
// differs from the library. Built with -ffp-contract=off like everything else, so an unfused step
// is a rounded product and a rounded sum.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/libm_tables.hpp"

namespace vostrel::libm_model {

inline double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }
inline std::uint64_t to_bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// a*b + c, fused when bit `site` of `fused` is set.
inline double madd(unsigned fused, int site, double a, double b, double c) {
    return ((fused >> site) & 1u) ? std::fma(a, b, c) : a * b + c;
}

constexpr int kExpSites = 8;

// exp on its main path (2^-54 <= |x| < 512).
inline double exp_model(double x, unsigned fused) {
    const libm::ExpFigures& f = libm::kExp;
    const double shift = from_bits(f.shift);
    const double kd_shifted = madd(fused, 0, x, from_bits(f.inv_ln2_n), shift);
    const std::uint64_t ki = to_bits(kd_shifted);
    const double kd = kd_shifted - shift;
    double r = madd(fused, 1, kd, from_bits(f.neg_ln2_hi_n), x);
    r = madd(fused, 2, kd, from_bits(f.neg_ln2_lo_n), r);
    const std::uint64_t i = ki % 128;
    const double tail = from_bits(f.table[2 * i]);
    const double scale = from_bits(f.table[2 * i + 1] + (ki << 45));
    const double r2 = r * r;
    double tmp =
        madd(fused, 3, madd(fused, 4, r, from_bits(f.poly[1]), from_bits(f.poly[0])), r2, tail + r);
    tmp =
        madd(fused, 5, r2 * r2, madd(fused, 6, r, from_bits(f.poly[3]), from_bits(f.poly[2])), tmp);
    return madd(fused, 7, scale, tmp, scale);
}

constexpr int kLogSites = 23;

// log of a normal positive x; sites 0-7 on the main path (site 0 unfused is the baseline build's
// (z - chi - clo) invc), 8-22 on the path near 1.
inline double log_model(double x, unsigned fused) {
    const libm::LogFigures& f = libm::kLog;
    auto a = [&f](int k) { return from_bits(f.poly[k]); };
    auto b = [&f](int k) { return from_bits(f.poly1[k]); };
    const std::uint64_t ix = to_bits(x);
    if (ix - 0x3fee000000000000ULL < 0x3ff1090000000000ULL - 0x3fee000000000000ULL) {
        if (x == 1.0) return 0.0;
        const double r = x - 1.0;
        const double r2 = r * r;
        const double r3 = r * r2;
        const double p1 = madd(fused, 8, r2, b(3), madd(fused, 9, r, b(2), b(1)));
        const double p2 = madd(fused, 10, r2, b(6), madd(fused, 11, r, b(5), b(4)));
        const double p3 =
            madd(fused, 12, r3, b(10), madd(fused, 13, r2, b(9), madd(fused, 14, r, b(8), b(7))));
        const double poly = madd(fused, 15, madd(fused, 16, p3, r3, p2), r3, p1);
        const double t = madd(fused, 18, r, 0x1p27, r);
        const double rhi = ((fused >> 19) & 1u) ? std::fma(-r, 0x1p27, t) : t - r * 0x1p27;
        const double rlo = r - rhi;
        const double rr = rhi * rhi;
        const double hi = madd(fused, 20, rr, b(0), r);
        double lo = madd(fused, 21, rr, b(0), r - hi);
        lo = madd(fused, 22, b(0) * rlo, r + rhi, lo);
        return hi + madd(fused, 17, poly, r3, lo);
    }
    const std::uint64_t tmp = ix - 0x3fe6000000000000ULL;
    const std::uint64_t i = (tmp >> 45) % 128;
    const double kd = static_cast<double>(static_cast<std::int64_t>(tmp) >> 52);
    const double z = from_bits(ix - (tmp & 0xfff0000000000000ULL));
    const double invc = from_bits(f.table[2 * i]);
    const double logc = from_bits(f.table[2 * i + 1]);
    const double chi = from_bits(f.table2[2 * i]);
    const double clo = from_bits(f.table2[2 * i + 1]);
    const double r = (fused & 1u) ? std::fma(z, invc, -1.0) : (z - chi - clo) * invc;
    const double w = madd(fused, 1, kd, from_bits(f.ln2_hi), logc);
    const double hi = w + r;
    const double lo = madd(fused, 2, kd, from_bits(f.ln2_lo), (w - hi) + r);
    const double r2 = r * r;
    const double p =
        madd(fused, 3, madd(fused, 4, r, a(4), a(3)), r2, madd(fused, 5, r, a(2), a(1)));
    return madd(fused, 6, r * r2, p, madd(fused, 7, r2, a(0), lo)) + hi;
}

}  // namespace vostrel::libm_model
