// AVX2+FMA forms of exp and log over arrays, four lanes at a time, compiled with target
// attributes (never global -march flags) and used only where the processor has both features.
// Each lane takes exactly the steps of the C library's FMA build (the one it selects on such
// processors): the same reduction, table look-ups and polynomial, with a fused multiply-add
// exactly where that build has one and a rounded product and sum everywhere else; the order of
// the steps below is the library's, so every result is the library's double. Lanes whose input
// needs the library's careful paths (NaN, infinities, zero, subnormals, huge or tiny exponents,
// log of negatives) are recomputed by the library call itself.
#include "core/vector_math_forms.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/libm_tables.hpp"
#include "core/vector_math.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define VOSTREL_VECTOR_MATH_X86 1
#endif

namespace vostrel::vector_math::forms {

#ifdef VOSTREL_VECTOR_MATH_X86

namespace {

#define VOSTREL_AVX2_FMA __attribute__((target("avx2,fma")))

// Constants are built once per call and hidden from the optimiser (an empty asm that may change
// them): otherwise it rebuilds those it can from an immediate inside the loops, three steps
// through a general register each time, rather than keep them in a register or on the stack.
VOSTREL_AVX2_FMA inline __m256i broadcast_int(std::uint64_t bits) {
    __m256i v = _mm256_set1_epi64x(static_cast<long long>(bits));
    asm("" : "+x"(v));
    return v;
}

VOSTREL_AVX2_FMA inline __m256d broadcast(std::uint64_t bits) {
    return _mm256_castsi256_pd(broadcast_int(bits));
}

VOSTREL_AVX2_FMA inline __m256d broadcast_value(double value) {
    return broadcast(std::bit_cast<std::uint64_t>(value));
}

// The pairs of doubles at the four lanes' byte offsets into a table, as two vectors (the first
// and the second of each pair). Four 16-byte loads and two shuffles: cheaper than two gathers on
// the processors at hand.
VOSTREL_AVX2_FMA inline void load_pairs(const std::uint64_t* table, __m256i byte_offset,
                                        __m256i* first, __m256i* second) {
    const char* base = reinterpret_cast<const char*>(table);
    const __m128i low = _mm256_castsi256_si128(byte_offset);
    const __m128i high = _mm256_extracti128_si256(byte_offset, 1);
    auto pair = [base](long long offset) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(base + offset));
    };
    const __m128i p0 = pair(_mm_cvtsi128_si64(low));
    const __m128i p1 = pair(_mm_extract_epi64(low, 1));
    const __m128i p2 = pair(_mm_cvtsi128_si64(high));
    const __m128i p3 = pair(_mm_extract_epi64(high, 1));
    const __m256i p02 = _mm256_inserti128_si256(_mm256_castsi128_si256(p0), p2, 1);
    const __m256i p13 = _mm256_inserti128_si256(_mm256_castsi128_si256(p1), p3, 1);
    *first = _mm256_unpacklo_epi64(p02, p13);
    *second = _mm256_unpackhi_epi64(p02, p13);
}

// --------------------------------------------------------------------------------------------
// exp

struct ExpConstants {
    __m256d inv_ln2_n, neg_ln2_hi_n, neg_ln2_lo_n, shift, c2, c3, c4, c5;
    __m256d abs_mask, tiny, large, cut;
    __m256i pair_offset;  // the byte offset of pair k mod N is (k << 4) & pair_offset
};

VOSTREL_AVX2_FMA inline ExpConstants exp_constants() {
    const libm::ExpFigures& f = libm::kExp;
    return {broadcast(f.inv_ln2_n),   broadcast(f.neg_ln2_hi_n), broadcast(f.neg_ln2_lo_n),
            broadcast(f.shift),       broadcast(f.poly[0]),      broadcast(f.poly[1]),
            broadcast(f.poly[2]),     broadcast(f.poly[3]),      broadcast(0x7fffffffffffffffULL),
            broadcast_value(0x1p-54), broadcast_value(512.0),    broadcast_value(kExpUnderflowCut),
            broadcast_int(127 << 4)};
}

// exp of four lanes on the main path (2^-54 <= |x| < 512).
VOSTREL_AVX2_FMA inline __m256d exp_main(const ExpConstants& c, __m256d x) {
    // k = round(x N/ln2) from the bits of x N/ln2 + shift (one fused step), r = x - k ln2/N.
    const __m256d kd_shifted = _mm256_fmadd_pd(x, c.inv_ln2_n, c.shift);
    const __m256i ki = _mm256_castpd_si256(kd_shifted);
    const __m256d kd = _mm256_sub_pd(kd_shifted, c.shift);
    __m256d r = _mm256_fmadd_pd(kd, c.neg_ln2_hi_n, x);
    r = _mm256_fmadd_pd(kd, c.neg_ln2_lo_n, r);
    // scale = 2^(k/N): the table's bits for k mod N plus k << 45.
    __m256i tail_bits, scale_bits;
    load_pairs(libm::kExp.table, _mm256_and_si256(_mm256_slli_epi64(ki, 4), c.pair_offset),
               &tail_bits, &scale_bits);
    scale_bits = _mm256_add_epi64(scale_bits, _mm256_slli_epi64(ki, 45));
    const __m256d tail = _mm256_castsi256_pd(tail_bits);
    const __m256d scale = _mm256_castsi256_pd(scale_bits);
    // tmp = tail + r + r^2 (C2 + r C3) + r^4 (C4 + r C5), fused as the library fuses it.
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d tmp = _mm256_fmadd_pd(_mm256_fmadd_pd(r, c.c3, c.c2), r2, _mm256_add_pd(r, tail));
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    tmp = _mm256_fmadd_pd(r4, _mm256_fmadd_pd(r, c.c5, c.c4), tmp);
    return _mm256_fmadd_pd(scale, tmp, scale);
}

// exp of four lanes; *special gets a bit per lane whose result must come from the library call.
// Lanes below the underflow cut are answered with +0 here.
VOSTREL_AVX2_FMA inline __m256d exp_lanes(const ExpConstants& c, __m256d x, int* special) {
    // The main path serves 2^-54 <= |x| < 512 (NaN fails both tests).
    const __m256d ax = _mm256_and_pd(x, c.abs_mask);
    const __m256d ordinary = _mm256_and_pd(_mm256_cmp_pd(ax, c.tiny, _CMP_GE_OQ),
                                           _mm256_cmp_pd(ax, c.large, _CMP_LT_OQ));
    const __m256d below_cut = _mm256_cmp_pd(x, c.cut, _CMP_LT_OQ);
    *special = ~_mm256_movemask_pd(_mm256_or_pd(ordinary, below_cut)) & 0xf;
    return _mm256_andnot_pd(below_cut, exp_main(c, x));
}

// --------------------------------------------------------------------------------------------
// log

// The library's pairs (1/c, log c), one per subinterval, each in 32 bytes, placed by the bits
// 45..51 of x itself rather than of x less the offset (subinterval i = those bits less 48, mod N):
// a lane's byte offset is then its input's 16-bit word at byte 5 (bits 40..55) and one mask,
// computed by the integer units from the input in memory.
struct alignas(32) LogPair {
    std::uint64_t invc, logc, unused[2];
};

const LogPair* log_pairs() {
    static const auto pairs = [] {
        std::array<LogPair, 128> placed{};
        for (std::size_t bits = 0; bits < 128; ++bits) {
            const std::size_t i = (bits - 48) % 128;
            placed[bits] = {libm::kLog.table[2 * i], libm::kLog.table[2 * i + 1], {0, 0}};
        }
        return placed;
    }();
    return pairs.data();
}

struct LogConstants {
    __m256d ln2_hi, ln2_lo, a0, a1, a2, a3, a4;
    __m256d b[11];
    __m256d one, minus_one, split;
    // Range tests and the exponent k as unsigned arithmetic on the bits: each "start" has its
    // sign bit flipped, so that subtracting it gives the difference with its sign bit flipped,
    // which compares as a signed integer the way the difference compares unsigned.
    __m256i offset_flipped, mantissa_mask, offset, two_52;
    __m256i normal_start_flipped, normal_width_flipped, near_start_flipped, near_width_flipped;
    __m256d two_52_k_bias;  // 2^52 + 2048
    const LogPair* pairs;
};

VOSTREL_AVX2_FMA inline LogConstants log_constants() {
    const libm::LogFigures& f = libm::kLog;
    constexpr std::uint64_t sign = 0x8000000000000000ULL;
    LogConstants c;
    c.ln2_hi = broadcast(f.ln2_hi);
    c.ln2_lo = broadcast(f.ln2_lo);
    c.a0 = broadcast(f.poly[0]);
    c.a1 = broadcast(f.poly[1]);
    c.a2 = broadcast(f.poly[2]);
    c.a3 = broadcast(f.poly[3]);
    c.a4 = broadcast(f.poly[4]);
    for (int k = 0; k < 11; ++k) c.b[k] = broadcast(f.poly1[k]);
    c.one = broadcast_value(1.0);
    c.minus_one = broadcast_value(-1.0);
    c.split = broadcast_value(0x1p27);
    c.offset_flipped = broadcast_int(0x3fe6000000000000ULL ^ sign);
    c.mantissa_mask = broadcast_int(0x000fffffffffffffULL);
    c.offset = broadcast_int(0x3fe6000000000000ULL);
    c.two_52 = broadcast_int(0x4330000000000000ULL);
    // The main path takes x in [2^-1022, inf), the path near 1 x in [1 - 2^-4, 1 + 0x1.09p-4):
    // bits less start below width (unsigned). Everything else (zero, subnormals, infinities,
    // NaN, negatives) takes the library call.
    c.normal_start_flipped = broadcast_int(0x0010000000000000ULL ^ sign);
    c.normal_width_flipped = broadcast_int((0x7ff0000000000000ULL - 0x0010000000000000ULL) ^ sign);
    c.near_start_flipped = broadcast_int(0x3fee000000000000ULL ^ sign);
    c.near_width_flipped = broadcast_int((0x3ff1090000000000ULL - 0x3fee000000000000ULL) ^ sign);
    c.two_52_k_bias = broadcast_value(0x1p52 + 2048.0);
    c.pairs = log_pairs();
    return c;
}

// The main path: x = 2^k z with z in [0x1.6p-1, 0x1.6p0), r = z/c - 1 by one fused step. `in`
// holds the four inputs (ix's lanes) in memory.
VOSTREL_AVX2_FMA inline __m256d log_main(const LogConstants& c, __m256i ix, const double* in) {
    // tmp = x's bits less the offset, with its sign bit flipped: k + 2048 = tmp >> 52, exactly
    // as a double 2^52 + (k + 2048) less 2^52 + 2048; z keeps x's mantissa under the offset's
    // exponent.
    const __m256i tmp = _mm256_sub_epi64(ix, c.offset_flipped);
    const __m256i k_biased = _mm256_srli_epi64(tmp, 52);
    const __m256d kd =
        _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(k_biased, c.two_52)), c.two_52_k_bias);
    const __m256d z =
        _mm256_castsi256_pd(_mm256_add_epi64(_mm256_and_si256(tmp, c.mantissa_mask), c.offset));
    // Each lane's pair: four 16-byte loads and two shuffles, cheaper than two gathers on the
    // processors at hand.
    const char* base = reinterpret_cast<const char*>(c.pairs);
    auto pair = [base, in](int lane) {
        std::uint16_t word;  // bits 40..55 of the input
        std::memcpy(&word, reinterpret_cast<const char*>(in + lane) + 5, sizeof word);
        return _mm_load_si128(reinterpret_cast<const __m128i*>(base + (word & 0xfe0u)));
    };
    const __m128i p0 = pair(0), p1 = pair(1), p2 = pair(2), p3 = pair(3);
    const __m256i p02 = _mm256_inserti128_si256(_mm256_castsi128_si256(p0), p2, 1);
    const __m256i p13 = _mm256_inserti128_si256(_mm256_castsi128_si256(p1), p3, 1);
    const __m256d invc = _mm256_castsi256_pd(_mm256_unpacklo_epi64(p02, p13));
    const __m256d logc = _mm256_castsi256_pd(_mm256_unpackhi_epi64(p02, p13));

    const __m256d r = _mm256_fmadd_pd(z, invc, c.minus_one);
    // hi + lo = r + log(c) + k ln2.
    const __m256d w = _mm256_fmadd_pd(kd, c.ln2_hi, logc);
    const __m256d hi = _mm256_add_pd(r, w);
    const __m256d lo = _mm256_fmadd_pd(kd, c.ln2_lo, _mm256_add_pd(_mm256_sub_pd(w, hi), r));
    // y = lo + r^2 A0 + r^3 (A1 + r A2 + r^2 (A3 + r A4)) + hi.
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d p =
        _mm256_fmadd_pd(_mm256_fmadd_pd(r, c.a4, c.a3), r2, _mm256_fmadd_pd(r, c.a2, c.a1));
    const __m256d y = _mm256_fmadd_pd(_mm256_mul_pd(r, r2), p, _mm256_fmadd_pd(r2, c.a0, lo));
    return _mm256_add_pd(y, hi);
}

// The path near 1: r = x - 1, a degree-12 polynomial, and r + B0 r^2 kept exact enough by
// splitting r into halves.
VOSTREL_AVX2_FMA inline __m256d log_near_one(const LogConstants& c, __m256d x) {
    const __m256d* b = c.b;
    const __m256d r = _mm256_sub_pd(x, c.one);
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d r3 = _mm256_mul_pd(r, r2);
    const __m256d p1 = _mm256_fmadd_pd(r2, b[3], _mm256_fmadd_pd(r, b[2], b[1]));
    const __m256d p2 = _mm256_fmadd_pd(r2, b[6], _mm256_fmadd_pd(r, b[5], b[4]));
    const __m256d p3 =
        _mm256_fmadd_pd(r3, b[10], _mm256_fmadd_pd(r2, b[9], _mm256_fmadd_pd(r, b[8], b[7])));
    const __m256d poly = _mm256_fmadd_pd(_mm256_fmadd_pd(p3, r3, p2), r3, p1);
    // rhi = r + r 2^27 - r 2^27, both steps fused.
    const __m256d rhi = _mm256_fnmadd_pd(r, c.split, _mm256_fmadd_pd(r, c.split, r));
    const __m256d rlo = _mm256_sub_pd(r, rhi);
    const __m256d rhi2 = _mm256_mul_pd(rhi, rhi);
    const __m256d hi = _mm256_fmadd_pd(rhi2, b[0], r);
    __m256d lo = _mm256_fmadd_pd(rhi2, b[0], _mm256_sub_pd(r, hi));
    lo = _mm256_fmadd_pd(_mm256_mul_pd(b[0], rlo), _mm256_add_pd(r, rhi), lo);
    return _mm256_add_pd(hi, _mm256_fmadd_pd(poly, r3, lo));
}

// --------------------------------------------------------------------------------------------
// Arrays: chunks of up to kChunk values, each taken four lanes at a time; the lanes flagged
// special take the library call on their saved input (y may be x). A first pass over a chunk
// checks whether every value takes the main path (the usual case): if so, the chunk's loop takes
// it with no test at all. Otherwise the chunk's first values choose how log's two paths are
// handled, so that the branches in the loop go the same way almost every time: all near 1, a
// vector takes that path alone; otherwise a scan of the chunk first saves the inputs and
// positions of its values near 1 and of those for the library call, the loop then takes the main
// path for every value with no test at all, and the saved values are computed after it (those
// near 1 four at a time), replacing the main path's results, so that no vector pays for both
// paths or for a test in the loop. Whatever the choice, every value gets its own path's result.

// The values of a chunk: every one known to take the main path, or, by its first ones, mostly
// the main path (exp), all near 1, or a mix (log).
enum class Paths { AllMain, Main, Near, Mixed };

// The range test of a main path on the top halves of the bits of eight doubles (sign, exponent
// and the first 20 bits of the mantissa, as 32-bit integers), after `abs_mask` (0x7fffffff or
// all ones): in [start, start + width) and not in [hole, hole + hole_width). Both functions'
// bounds have zero low halves, so the halves decide exactly. As for LogConstants, each start and
// width has its sign bit flipped, so that differences compare as signed integers the way they
// compare unsigned.
struct HighHalfRange {
    __m256i abs_mask, start, width, hole, hole_width;

    VOSTREL_AVX2_FMA static __m256i flipped(std::uint32_t v) {
        return _mm256_set1_epi32(static_cast<int>(v ^ 0x80000000u));
    }
    VOSTREL_AVX2_FMA HighHalfRange(std::uint32_t mask, std::uint32_t range_start,
                                   std::uint32_t range_width, std::uint32_t hole_start,
                                   std::uint32_t hole_size)
        : abs_mask(_mm256_set1_epi32(static_cast<int>(mask))),
          start(flipped(range_start)),
          width(flipped(range_width)),
          hole(flipped(hole_start)),
          hole_width(flipped(hole_size)) {}

    // The top halves of the doubles x[0..8), in the order x[0], x[1], x[4], x[5], x[2], x[3],
    // x[6], x[7].
    VOSTREL_AVX2_FMA static __m256i high_halves(const double* x) {
        const __m256 a = _mm256_loadu_ps(reinterpret_cast<const float*>(x));
        const __m256 b = _mm256_loadu_ps(reinterpret_cast<const float*>(x + 4));
        return _mm256_castps_si256(_mm256_shuffle_ps(a, b, 0xdd));
    }
    // All ones in the 32-bit elements of top halves in [start, start + width), and in those in
    // [hole, hole + hole_width).
    VOSTREL_AVX2_FMA __m256i in_range(__m256i high) const {
        return _mm256_cmpgt_epi32(width, _mm256_sub_epi32(high, start));
    }
    VOSTREL_AVX2_FMA __m256i in_hole(__m256i high) const {
        return _mm256_cmpgt_epi32(hole_width, _mm256_sub_epi32(high, hole));
    }

    // All ones in the 32-bit elements of the doubles x[0..8) that pass.
    VOSTREL_AVX2_FMA __m256i pass(const double* x) const {
        const __m256i high = _mm256_and_si256(high_halves(x), abs_mask);
        return _mm256_andnot_si256(in_hole(high), in_range(high));
    }

    // Whether every value of x[0..n) passes, tested every 32 values so that a chunk that fails
    // stops early.
    VOSTREL_AVX2_FMA bool all_pass(const double* x, std::size_t n) const {
        std::size_t i = 0;
        for (; i + 32 <= n; i += 32) {
            const __m256i ok =
                _mm256_and_si256(_mm256_and_si256(pass(x + i), pass(x + i + 8)),
                                 _mm256_and_si256(pass(x + i + 16), pass(x + i + 24)));
            if (_mm256_movemask_ps(_mm256_castsi256_ps(ok)) != 0xff) return false;
        }
        __m256i ok = _mm256_set1_epi32(-1);
        for (; i + 8 <= n; i += 8) ok = _mm256_and_si256(ok, pass(x + i));
        if (i < n) {
            // The last few, padded with copies of the first.
            alignas(32) double padded[8];
            for (std::size_t k = 0; k < 8; ++k) padded[k] = i + k < n ? x[i + k] : x[0];
            ok = _mm256_and_si256(ok, pass(padded));
        }
        return _mm256_movemask_ps(_mm256_castsi256_ps(ok)) == 0xff;
    }
};

constexpr std::size_t kChunk = 256;

// The lanes of a chunk taken after its loop: those near 1 in a mixed chunk (in a second pass,
// four at a time), and those whose input needs the library call. The loop itself makes no call,
// so that its constants stay in registers.
struct Deferred {
    alignas(32) double x[kChunk + 4];
    // Positions in the chunk; a scan stores eight at a time past those it keeps.
    alignas(16) std::uint32_t at[kChunk + 8];
    std::size_t count = 0;
    // The vectors with lanes for the library call: their inputs (y may be x), positions and
    // lanes.
    alignas(32) double special_x[kChunk / 4 + 1][4];
    std::uint32_t special_at[kChunk / 4 + 1];
    int special_lanes[kChunk / 4 + 1];
    std::size_t special_count = 0;

    VOSTREL_AVX2_FMA void defer_special(__m256d v, int lanes, std::uint32_t i) {
        _mm256_store_pd(special_x[special_count], v);
        special_at[special_count] = i;
        special_lanes[special_count] = lanes;
        ++special_count;
    }
};

// For an 8-bit mask: the numbers of its set bits in order.
struct SetBits {
    alignas(8) std::uint8_t at[256][8];
};

constexpr SetBits make_set_bits() {
    SetBits t{};
    for (int mask = 0; mask < 256; ++mask) {
        int k = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if ((mask >> bit) & 1) t.at[mask][k++] = static_cast<std::uint8_t>(bit);
        }
    }
    return t;
}

constexpr SetBits kSetBits = make_set_bits();

struct ExpForm {
    using Constants = ExpConstants;
    static constexpr double kPadding = 1.0;
    static constexpr bool kTwoPaths = false;  // every chunk that is not all main is Paths::Main
    VOSTREL_AVX2_FMA static Constants constants() { return exp_constants(); }
    static double scalar(double x) { return decay_exp(x); }
    VOSTREL_AVX2_FMA static Paths paths(const Constants&, const double*, std::size_t) {
        return Paths::Main;
    }
    // Every |x| in [2^-54, 512).
    VOSTREL_AVX2_FMA static bool all_main(const double* x, std::size_t n) {
        const HighHalfRange main_path(0x7fffffffu, 0x3c900000u, 0x40800000u - 0x3c900000u, 0, 0);
        return main_path.all_pass(x, n);
    }
    template <Paths Chunk>
    VOSTREL_AVX2_FMA static __m256d lanes(const Constants& c, __m256d x, const double*,
                                          std::uint32_t, Deferred*, int* special) {
        if constexpr (Chunk == Paths::AllMain) {
            *special = 0;
            return exp_main(c, x);
        } else {
            return exp_lanes(c, x, special);
        }
    }
    // Four lanes below the underflow cut (a run of compensator tails long before the horizon,
    // say) need none of the work: their exps are +0.
    VOSTREL_AVX2_FMA static bool all_known(const Constants& c, __m256d x, __m256d* y) {
        *y = _mm256_setzero_pd();
        return _mm256_movemask_pd(_mm256_cmp_pd(x, c.cut, _CMP_LT_OQ)) == 0xf;
    }
    VOSTREL_AVX2_FMA static __m256d deferred_lanes(const Constants&, __m256d x) { return x; }
};

struct LogForm {
    using Constants = LogConstants;
    static constexpr double kPadding = 2.0;
    static constexpr bool kTwoPaths = true;  // chunks not all main are Paths::Near or Paths::Mixed
    VOSTREL_AVX2_FMA static Constants constants() { return log_constants(); }
    static double scalar(double x) { return std::log(x); }

    // All ones in the lanes near 1, and in the lanes of normal positive finite x.
    VOSTREL_AVX2_FMA static __m256d near_one(const Constants& c, __m256i ix) {
        const __m256i u = _mm256_sub_epi64(ix, c.near_start_flipped);
        return _mm256_castsi256_pd(_mm256_cmpgt_epi64(c.near_width_flipped, u));
    }
    VOSTREL_AVX2_FMA static __m256d normal(const Constants& c, __m256i ix) {
        const __m256i u = _mm256_sub_epi64(ix, c.normal_start_flipped);
        return _mm256_castsi256_pd(_mm256_cmpgt_epi64(c.normal_width_flipped, u));
    }

    // Every x in [2^-1022, inf) and not in [1 - 2^-4, 1 + 0x1.09p-4).
    VOSTREL_AVX2_FMA static HighHalfRange main_range() {
        return HighHalfRange(0xffffffffu, 0x00100000u, 0x7ff00000u - 0x00100000u, 0x3fee0000u,
                             0x3ff10900u - 0x3fee0000u);
    }
    VOSTREL_AVX2_FMA static bool all_main(const double* x, std::size_t n) {
        return main_range().all_pass(x, n);
    }

    // The paths of the first values of a chunk (up to 32): all near 1, or a mix.
    VOSTREL_AVX2_FMA static Paths paths(const Constants& c, const double* x, std::size_t n) {
        int near = 0;
        const std::size_t sample = n < 32 ? n & ~std::size_t{3} : 32;
        for (std::size_t i = 0; i < sample; i += 4) {
            const __m256i ix = _mm256_castpd_si256(_mm256_loadu_pd(x + i));
            near += __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(near_one(c, ix))));
        }
        return near > 0 && static_cast<std::size_t>(near) == sample ? Paths::Near : Paths::Mixed;
    }

    // Saves the inputs and positions of the values of x[0..n) that the main path does not serve:
    // those near 1 one by one, the vectors with lanes for the library call (rare) as vectors.
    VOSTREL_AVX2_FMA static void collect(const Constants& c, const double* x, std::size_t n,
                                         Deferred* d) {
        d->special_count = 0;
        const HighHalfRange range = main_range();
        std::size_t count = 0;
        __m256i normal_all = _mm256_set1_epi32(-1);
        // The positions of the values near 1, eight values at a time with no branch: the set
        // bits of their mask, from a table, stored in full, the count moved by the number of
        // bits.
        auto scan = [&](const double* eight, std::size_t at) VOSTREL_AVX2_FMA {
            // Back into the order of the values before the mask is taken.
            const __m256i high = _mm256_permute4x64_epi64(HighHalfRange::high_halves(eight), 0xd8);
            normal_all = _mm256_and_si256(normal_all, range.in_range(high));
            const unsigned near =
                static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(range.in_hole(high))));
            const __m256i offsets = _mm256_cvtepu8_epi32(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kSetBits.at[near])));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(d->at + count),
                                _mm256_add_epi32(offsets, _mm256_set1_epi32(static_cast<int>(at))));
            count += static_cast<std::size_t>(__builtin_popcount(near));
        };
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) scan(x + i, i);
        if (i < n) {
            // The last few, padded with an argument of the main path.
            alignas(32) double padded[8];
            for (std::size_t k = 0; k < 8; ++k) padded[k] = i + k < n ? x[i + k] : kPadding;
            scan(padded, i);
        }
        for (std::size_t j = 0; j < count; ++j) d->x[j] = x[d->at[j]];
        d->count = count;
        if (_mm256_movemask_ps(_mm256_castsi256_ps(normal_all)) == 0xff) return;
        // Some value needs the library call: the vectors that hold one (the last padded), as in
        // the loop of a chunk with tests.
        for (i = 0; i < n; i += 4) {
            alignas(32) double padded[4];
            const double* four = x + i;
            if (i + 4 > n) {
                for (std::size_t lane = 0; lane < 4; ++lane) {
                    padded[lane] = i + lane < n ? x[i + lane] : kPadding;
                }
                four = padded;
            }
            const __m256d v = _mm256_loadu_pd(four);
            const int special = _mm256_movemask_pd(normal(c, _mm256_castpd_si256(v))) ^ 0xf;
            if (special != 0) d->defer_special(v, special, static_cast<std::uint32_t>(i));
        }
    }

    template <Paths Chunk>
    VOSTREL_AVX2_FMA static __m256d lanes(const Constants& c, __m256d x, const double* in,
                                          std::uint32_t, Deferred*, int* special) {
        const __m256i ix = _mm256_castpd_si256(x);
        if constexpr (Chunk == Paths::AllMain || Chunk == Paths::Mixed) {
            // Every value near 1 or for the library call was collected before the loop.
            *special = 0;
            return log_main(c, ix, in);
        } else {
            const __m256d near = near_one(c, ix);
            const __m256d ordinary = normal(c, ix);
            if (_mm256_movemask_pd(near) == 0xf) {
                *special = 0;
                return log_near_one(c, x);
            }
            *special = _mm256_movemask_pd(ordinary) ^ 0xf;
            const __m256d y = log_main(c, ix, in);
            return _mm256_movemask_pd(near) == 0 ? y
                                                 : _mm256_blendv_pd(y, log_near_one(c, x), near);
        }
    }
    VOSTREL_AVX2_FMA static bool all_known(const Constants&, __m256d, __m256d*) { return false; }
    VOSTREL_AVX2_FMA static __m256d deferred_lanes(const Constants& c, __m256d x) {
        return log_near_one(c, x);
    }
};

// What a chunk's loop does besides its own values, once per vector: nothing, for plain arrays;
// for sums of logarithms, the next four additions of the previous chunk's finished values, so
// that the sum's chain of dependent additions runs alongside the independent work of the chunk.
struct NoSum {
    VOSTREL_AVX2_FMA void step() {}
};

template <bool Subtract>
struct OrderedSum {
    double sum;
    // The caller's next data, of which `stride` bytes (whole cache lines) are asked for at each
    // step, so that it has all arrived by the last step.
    const char* fetch;
    const char* fetch_end;
    std::size_t stride;
    const double* values = nullptr;  // the previous chunk's results
    std::size_t count = 0;
    std::size_t next = 0;

    VOSTREL_AVX2_FMA void step() {
        if (fetch < fetch_end) {
            for (std::size_t line = 0; line < stride; line += 64) __builtin_prefetch(fetch + line);
            fetch += stride;
        }
        if (count - next >= 4) {
            const double* v = values + next;
            sum = Subtract ? sum - v[0] : sum + v[0];
            sum = Subtract ? sum - v[1] : sum + v[1];
            sum = Subtract ? sum - v[2] : sum + v[2];
            sum = Subtract ? sum - v[3] : sum + v[3];
            next += 4;
        } else {
            finish();
        }
    }
    VOSTREL_AVX2_FMA void finish() {
        for (; next < count; ++next) sum = Subtract ? sum - values[next] : sum + values[next];
    }
};

template <class Form, Paths Chunk, class Sum = NoSum>
VOSTREL_AVX2_FMA void map_chunk(const typename Form::Constants& c, const double* x, double* y,
                                std::size_t n, Deferred* deferred, Sum* sum = nullptr) {
    if constexpr (Chunk == Paths::Mixed) {
        Form::collect(c, x, n, deferred);
    } else {
        deferred->count = 0;
        deferred->special_count = 0;
    }
    // The running sum, if any, in a local for the loop, so that it stays in a register even
    // where this function is not inlined into its caller.
    Sum running{};
    if constexpr (!std::is_same_v<Sum, NoSum>) running = *sum;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        if constexpr (!std::is_same_v<Sum, NoSum>) running.step();
        const __m256d v = _mm256_loadu_pd(x + i);
        if constexpr (Chunk != Paths::AllMain) {
            __m256d known;
            if (Form::all_known(c, v, &known)) {
                _mm256_storeu_pd(y + i, known);
                continue;
            }
        }
        int special;
        const std::uint32_t at = static_cast<std::uint32_t>(i);
        _mm256_storeu_pd(y + i, Form::template lanes<Chunk>(c, v, x + i, at, deferred, &special));
        if (special != 0) deferred->defer_special(v, special, at);
    }
    if constexpr (!std::is_same_v<Sum, NoSum>) *sum = running;
    if (i < n) {
        // The remainder, padded with an ordinary argument.
        const std::size_t rest = n - i;
        alignas(32) double padded[4];
        for (std::size_t lane = 0; lane < 4; ++lane) {
            padded[lane] = lane < rest ? x[i + lane] : Form::kPadding;
        }
        int special;
        alignas(32) double out[4];
        const std::uint32_t at = static_cast<std::uint32_t>(i);
        const __m256d v = _mm256_load_pd(padded);
        _mm256_store_pd(out, Form::template lanes<Chunk>(c, v, padded, at, deferred, &special));
        for (std::size_t lane = 0; lane < rest; ++lane) y[i + lane] = out[lane];
        special &= (1 << rest) - 1;
        if (special != 0) deferred->defer_special(v, special, at);
    }
    // The deferred lanes near 1, four at a time; the last vector is padded with copies of its
    // first.
    const std::size_t count = deferred->count;
    for (std::size_t j = 0; j < count; j += 4) {
        for (std::size_t lane = count - j; lane < 4; ++lane) deferred->x[j + lane] = deferred->x[j];
        alignas(32) double out[4];
        _mm256_store_pd(out, Form::deferred_lanes(c, _mm256_load_pd(deferred->x + j)));
        const std::size_t valid = count - j < 4 ? count - j : 4;
        for (std::size_t lane = 0; lane < valid; ++lane) y[deferred->at[j + lane]] = out[lane];
    }
    // The lanes for the library call.
    for (std::size_t j = 0; j < deferred->special_count; ++j) {
        const double* input = deferred->special_x[j];
        const std::uint32_t at = deferred->special_at[j];
        for (int lane = 0; lane < 4; ++lane) {
            if ((deferred->special_lanes[j] >> lane) & 1) y[at + lane] = Form::scalar(input[lane]);
        }
    }
}

template <class Form>
VOSTREL_AVX2_FMA void map_array(const double* x, double* y, std::size_t n) {
    const typename Form::Constants c = Form::constants();
    Deferred deferred;
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t m = n - start < kChunk ? n - start : kChunk;
        const double* xs = x + start;
        double* ys = y + start;
        if (Form::all_main(xs, m)) {
            map_chunk<Form, Paths::AllMain>(c, xs, ys, m, &deferred);
            continue;
        }
        if constexpr (Form::kTwoPaths) {
            if (Form::paths(c, xs, m) == Paths::Near) {
                map_chunk<Form, Paths::Near>(c, xs, ys, m, &deferred);
            } else {
                map_chunk<Form, Paths::Mixed>(c, xs, ys, m, &deferred);
            }
        } else {
            map_chunk<Form, Paths::Main>(c, xs, ys, m, &deferred);
        }
    }
}

// sum +- log(x[0]) +- log(x[1]) ... in order: each chunk's logarithms are summed while the next
// chunk's are computed. Chunks are shorter than map_array's, so that even a call of a few hundred
// values has most of its additions run alongside the next chunk; the first values of the call
// choose how its vectors meet log's two paths.
constexpr std::size_t kSumChunk = 64;

template <Paths Chunk, bool Subtract>
VOSTREL_AVX2_FMA void sum_chunks(const LogConstants& c, const double* x, std::size_t n,
                                 OrderedSum<Subtract>* sum) {
    Deferred deferred;
    alignas(32) double logs[2][kSumChunk];
    for (std::size_t first = 0, turn = 0; first < n; first += kSumChunk, turn ^= 1) {
        const std::size_t m = n - first < kSumChunk ? n - first : kSumChunk;
        if (LogForm::all_main(x + first, m)) {
            map_chunk<LogForm, Paths::AllMain>(c, x + first, logs[turn], m, &deferred, sum);
        } else {
            map_chunk<LogForm, Chunk>(c, x + first, logs[turn], m, &deferred, sum);
        }
        sum->finish();
        sum->values = logs[turn];
        sum->count = m;
        sum->next = 0;
    }
    sum->finish();
}

template <bool Subtract>
VOSTREL_AVX2_FMA double sum_logs(double start, const double* x, std::size_t n, const void* prefetch,
                                 std::size_t prefetch_bytes) {
    const LogConstants c = log_constants();
    const char* fetch = static_cast<const char*>(prefetch);
    const std::size_t steps = n / 4 + 1;
    const std::size_t lines_per_step = (prefetch_bytes / 64 + steps - 1) / steps;
    OrderedSum<Subtract> sum{start, fetch, fetch + (fetch == nullptr ? 0 : prefetch_bytes),
                             64 * lines_per_step};
    if (LogForm::paths(c, x, n) == Paths::Near) {
        sum_chunks<Paths::Near>(c, x, n, &sum);
    } else {
        sum_chunks<Paths::Mixed>(c, x, n, &sum);
    }
    return sum.sum;
}

bool has_avx2_fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace

ArrayFunction exp_avx2_fma() { return has_avx2_fma() ? &map_array<ExpForm> : nullptr; }
ArrayFunction log_avx2_fma() { return has_avx2_fma() ? &map_array<LogForm> : nullptr; }
SumFunction add_logs_avx2_fma() { return has_avx2_fma() ? &sum_logs<false> : nullptr; }
SumFunction subtract_logs_avx2_fma() { return has_avx2_fma() ? &sum_logs<true> : nullptr; }

#else

ArrayFunction exp_avx2_fma() { return nullptr; }
ArrayFunction log_avx2_fma() { return nullptr; }
SumFunction add_logs_avx2_fma() { return nullptr; }
SumFunction subtract_logs_avx2_fma() { return nullptr; }

#endif

}  // namespace vostrel::vector_math::forms
