// Vector forms of the ChaCha four-block function, compiled with target attributes (never with
// global -march flags) and chosen at run time by the processor's features. Each yields exactly
// the portable form's words: the same additions, XORs and rotations, on several words at once.
//   sse2:   word k of the four blocks in one 128-bit register (16 registers), then a transpose;
//   avx2:   one row of two blocks per 256-bit register, two such states interleaved;
//   avx512: one row of all four blocks per 512-bit register.
#include "simulation/chacha_simd.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VOSTREL_CHACHA_X86 1
#endif

namespace vostrel::chacha {

#ifdef VOSTREL_CHACHA_X86

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// ---------------------------------------------------------------------------------------------
// SSE2: lanes are blocks.

__attribute__((target("sse2"))) inline __m128i rotl_sse2(__m128i v, int n) {
    return _mm_or_si128(_mm_slli_epi32(v, n), _mm_srli_epi32(v, 32 - n));
}

__attribute__((target("sse2"))) inline void qr_sse2(__m128i* x, int a, int b, int c, int d) {
    x[a] = _mm_add_epi32(x[a], x[b]);
    x[d] = rotl_sse2(_mm_xor_si128(x[d], x[a]), 16);
    x[c] = _mm_add_epi32(x[c], x[d]);
    x[b] = rotl_sse2(_mm_xor_si128(x[b], x[c]), 12);
    x[a] = _mm_add_epi32(x[a], x[b]);
    x[d] = rotl_sse2(_mm_xor_si128(x[d], x[a]), 8);
    x[c] = _mm_add_epi32(x[c], x[d]);
    x[b] = rotl_sse2(_mm_xor_si128(x[b], x[c]), 7);
}

template <int Rounds>
__attribute__((target("sse2"))) void four_blocks_sse2(const std::uint32_t key[8],
                                                      std::uint64_t counter,
                                                      std::uint64_t stream_id,
                                                      std::uint32_t out[64]) {
    __m128i input[16];
    for (int k = 0; k < 4; ++k) input[k] = _mm_set1_epi32(int(kSigma[k]));
    for (int k = 0; k < 8; ++k) input[4 + k] = _mm_set1_epi32(int(key[k]));
    std::uint32_t low[4], high[4];
    for (int b = 0; b < 4; ++b) {
        const std::uint64_t block = counter + std::uint64_t(b);
        low[b] = std::uint32_t(block);
        high[b] = std::uint32_t(block >> 32);
    }
    input[12] = _mm_setr_epi32(int(low[0]), int(low[1]), int(low[2]), int(low[3]));
    input[13] = _mm_setr_epi32(int(high[0]), int(high[1]), int(high[2]), int(high[3]));
    input[14] = _mm_set1_epi32(int(std::uint32_t(stream_id)));
    input[15] = _mm_set1_epi32(int(std::uint32_t(stream_id >> 32)));
    __m128i x[16];
    for (int k = 0; k < 16; ++k) x[k] = input[k];
    for (int r = 0; r < Rounds; r += 2) {
        qr_sse2(x, 0, 4, 8, 12);
        qr_sse2(x, 1, 5, 9, 13);
        qr_sse2(x, 2, 6, 10, 14);
        qr_sse2(x, 3, 7, 11, 15);
        qr_sse2(x, 0, 5, 10, 15);
        qr_sse2(x, 1, 6, 11, 12);
        qr_sse2(x, 2, 7, 8, 13);
        qr_sse2(x, 3, 4, 9, 14);
    }
    for (int k = 0; k < 16; ++k) x[k] = _mm_add_epi32(x[k], input[k]);
    // Transpose each group of four words: lanes become blocks' consecutive words.
    for (int g = 0; g < 4; ++g) {
        const __m128i t0 = _mm_unpacklo_epi32(x[4 * g + 0], x[4 * g + 1]);  // w0b0 w1b0 w0b1 w1b1
        const __m128i t1 = _mm_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);  // w2b0 w3b0 w2b1 w3b1
        const __m128i t2 = _mm_unpackhi_epi32(x[4 * g + 0], x[4 * g + 1]);  // w0b2 w1b2 w0b3 w1b3
        const __m128i t3 = _mm_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 + 4 * g), _mm_unpacklo_epi64(t0, t1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 + 4 * g), _mm_unpackhi_epi64(t0, t1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 + 4 * g), _mm_unpacklo_epi64(t2, t3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48 + 4 * g), _mm_unpackhi_epi64(t2, t3));
    }
}

// ---------------------------------------------------------------------------------------------
// AVX2: a register holds one row of two blocks; two states (blocks 0-1 and 2-3) interleaved.

__attribute__((target("avx2"))) inline __m256i rotl_avx2(__m256i v, int n) {
    return _mm256_or_si256(_mm256_slli_epi32(v, n), _mm256_srli_epi32(v, 32 - n));
}

__attribute__((target("avx2"))) inline __m256i rotl16_avx2(__m256i v) {
    const __m256i mask = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2,
                                          3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(v, mask);
}

__attribute__((target("avx2"))) inline __m256i rotl8_avx2(__m256i v) {
    const __m256i mask = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3,
                                          0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(v, mask);
}

__attribute__((target("avx2"))) inline void qr_avx2(__m256i& a, __m256i& b, __m256i& c,
                                                    __m256i& d) {
    a = _mm256_add_epi32(a, b);
    d = rotl16_avx2(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d);
    b = rotl_avx2(_mm256_xor_si256(b, c), 12);
    a = _mm256_add_epi32(a, b);
    d = rotl8_avx2(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d);
    b = rotl_avx2(_mm256_xor_si256(b, c), 7);
}

template <int Rounds>
__attribute__((target("avx2"))) void four_blocks_avx2(const std::uint32_t key[8],
                                                      std::uint64_t counter,
                                                      std::uint64_t stream_id,
                                                      std::uint32_t out[64]) {
    const __m256i row0 =
        _mm256_setr_epi32(int(kSigma[0]), int(kSigma[1]), int(kSigma[2]), int(kSigma[3]),
                          int(kSigma[0]), int(kSigma[1]), int(kSigma[2]), int(kSigma[3]));
    const __m256i row1 = _mm256_setr_epi32(int(key[0]), int(key[1]), int(key[2]), int(key[3]),
                                           int(key[0]), int(key[1]), int(key[2]), int(key[3]));
    const __m256i row2 = _mm256_setr_epi32(int(key[4]), int(key[5]), int(key[6]), int(key[7]),
                                           int(key[4]), int(key[5]), int(key[6]), int(key[7]));
    const int id_low = int(std::uint32_t(stream_id));
    const int id_high = int(std::uint32_t(stream_id >> 32));
    __m256i row3[2];
    for (int s = 0; s < 2; ++s) {
        const std::uint64_t first = counter + std::uint64_t(2 * s);
        const std::uint64_t second = counter + std::uint64_t(2 * s + 1);
        row3[s] = _mm256_setr_epi32(int(std::uint32_t(first)), int(std::uint32_t(first >> 32)),
                                    id_low, id_high, int(std::uint32_t(second)),
                                    int(std::uint32_t(second >> 32)), id_low, id_high);
    }
    __m256i a0 = row0, b0 = row1, c0 = row2, d0 = row3[0];
    __m256i a1 = row0, b1 = row1, c1 = row2, d1 = row3[1];
    for (int r = 0; r < Rounds; r += 2) {
        qr_avx2(a0, b0, c0, d0);
        qr_avx2(a1, b1, c1, d1);
        // Diagonals become columns: rotate rows 1, 2, 3 left by 1, 2, 3 words.
        b0 = _mm256_shuffle_epi32(b0, _MM_SHUFFLE(0, 3, 2, 1));
        c0 = _mm256_shuffle_epi32(c0, _MM_SHUFFLE(1, 0, 3, 2));
        d0 = _mm256_shuffle_epi32(d0, _MM_SHUFFLE(2, 1, 0, 3));
        b1 = _mm256_shuffle_epi32(b1, _MM_SHUFFLE(0, 3, 2, 1));
        c1 = _mm256_shuffle_epi32(c1, _MM_SHUFFLE(1, 0, 3, 2));
        d1 = _mm256_shuffle_epi32(d1, _MM_SHUFFLE(2, 1, 0, 3));
        qr_avx2(a0, b0, c0, d0);
        qr_avx2(a1, b1, c1, d1);
        b0 = _mm256_shuffle_epi32(b0, _MM_SHUFFLE(2, 1, 0, 3));
        c0 = _mm256_shuffle_epi32(c0, _MM_SHUFFLE(1, 0, 3, 2));
        d0 = _mm256_shuffle_epi32(d0, _MM_SHUFFLE(0, 3, 2, 1));
        b1 = _mm256_shuffle_epi32(b1, _MM_SHUFFLE(2, 1, 0, 3));
        c1 = _mm256_shuffle_epi32(c1, _MM_SHUFFLE(1, 0, 3, 2));
        d1 = _mm256_shuffle_epi32(d1, _MM_SHUFFLE(0, 3, 2, 1));
    }
    __m256i state[2][4] = {{_mm256_add_epi32(a0, row0), _mm256_add_epi32(b0, row1),
                            _mm256_add_epi32(c0, row2), _mm256_add_epi32(d0, row3[0])},
                           {_mm256_add_epi32(a1, row0), _mm256_add_epi32(b1, row1),
                            _mm256_add_epi32(c1, row2), _mm256_add_epi32(d1, row3[1])}};
    for (int s = 0; s < 2; ++s) {
        const __m256i* v = state[s];
        std::uint32_t* first = out + 32 * s;
        std::uint32_t* second = first + 16;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(first),
                            _mm256_permute2x128_si256(v[0], v[1], 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(first + 8),
                            _mm256_permute2x128_si256(v[2], v[3], 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(second),
                            _mm256_permute2x128_si256(v[0], v[1], 0x31));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(second + 8),
                            _mm256_permute2x128_si256(v[2], v[3], 0x31));
    }
}

// ---------------------------------------------------------------------------------------------
// AVX-512: a register holds one row of all four blocks (one block per 128-bit lane).

// GCC 12's AVX-512 intrinsics start from a deliberately undefined register, which
// -Wuninitialized reports wherever they are inlined; the value is never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

__attribute__((target("avx512f"))) inline void qr_avx512(__m512i& a, __m512i& b, __m512i& c,
                                                         __m512i& d) {
    a = _mm512_add_epi32(a, b);
    d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 16);
    c = _mm512_add_epi32(c, d);
    b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 12);
    a = _mm512_add_epi32(a, b);
    d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 8);
    c = _mm512_add_epi32(c, d);
    b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 7);
}

// 4·States blocks as States interleaved states of the four-block layout (each register holds one
// row of four blocks). One state's quarter-round is a serial chain of twelve one-cycle steps, so
// a single state leaves the vector units idle most of the time; several independent chains keep
// them busy. Block b lands at out[16 b].
template <int Rounds, int States>
__attribute__((target("avx512f"))) void blocks_avx512(const std::uint32_t key[8],
                                                      std::uint64_t counter,
                                                      std::uint64_t stream_id, std::uint32_t* out) {
    const __m512i row0 = _mm512_broadcast_i32x4(
        _mm_setr_epi32(int(kSigma[0]), int(kSigma[1]), int(kSigma[2]), int(kSigma[3])));
    const __m512i row1 =
        _mm512_broadcast_i32x4(_mm_setr_epi32(int(key[0]), int(key[1]), int(key[2]), int(key[3])));
    const __m512i row2 =
        _mm512_broadcast_i32x4(_mm_setr_epi32(int(key[4]), int(key[5]), int(key[6]), int(key[7])));
    const int id_low = int(std::uint32_t(stream_id));
    const int id_high = int(std::uint32_t(stream_id >> 32));
    int words[16 * States];
    for (int b = 0; b < 4 * States; ++b) {
        const std::uint64_t block = counter + std::uint64_t(b);
        words[4 * b + 0] = int(std::uint32_t(block));
        words[4 * b + 1] = int(std::uint32_t(block >> 32));
        words[4 * b + 2] = id_low;
        words[4 * b + 3] = id_high;
    }
    __m512i row3[States], a[States], b[States], c[States], d[States];
    for (int s = 0; s < States; ++s) {
        row3[s] = _mm512_loadu_si512(words + 16 * s);
        a[s] = row0;
        b[s] = row1;
        c[s] = row2;
        d[s] = row3[s];
    }
    for (int r = 0; r < Rounds; r += 2) {
        for (int s = 0; s < States; ++s) qr_avx512(a[s], b[s], c[s], d[s]);
        for (int s = 0; s < States; ++s) {
            b[s] = _mm512_shuffle_epi32(b[s], _MM_PERM_ADCB);  // rotate words left by 1
            c[s] = _mm512_shuffle_epi32(c[s], _MM_PERM_BADC);  // by 2
            d[s] = _mm512_shuffle_epi32(d[s], _MM_PERM_CBAD);  // by 3
        }
        for (int s = 0; s < States; ++s) qr_avx512(a[s], b[s], c[s], d[s]);
        for (int s = 0; s < States; ++s) {
            b[s] = _mm512_shuffle_epi32(b[s], _MM_PERM_CBAD);
            c[s] = _mm512_shuffle_epi32(c[s], _MM_PERM_BADC);
            d[s] = _mm512_shuffle_epi32(d[s], _MM_PERM_ADCB);
        }
    }
    for (int s = 0; s < States; ++s) {
        const __m512i as = _mm512_add_epi32(a[s], row0);
        const __m512i bs = _mm512_add_epi32(b[s], row1);
        const __m512i cs = _mm512_add_epi32(c[s], row2);
        const __m512i ds = _mm512_add_epi32(d[s], row3[s]);
        // Transpose the 4x4 grid of 128-bit lanes: register r lane k -> block k row r.
        const __m512i t0 = _mm512_shuffle_i32x4(as, bs, 0x44);  // a0 a1 b0 b1
        const __m512i t1 = _mm512_shuffle_i32x4(as, bs, 0xee);  // a2 a3 b2 b3
        const __m512i t2 = _mm512_shuffle_i32x4(cs, ds, 0x44);  // c0 c1 d0 d1
        const __m512i t3 = _mm512_shuffle_i32x4(cs, ds, 0xee);  // c2 c3 d2 d3
        std::uint32_t* group = out + 64 * s;
        _mm512_storeu_si512(group + 0, _mm512_shuffle_i32x4(t0, t2, 0x88));   // a0 b0 c0 d0
        _mm512_storeu_si512(group + 16, _mm512_shuffle_i32x4(t0, t2, 0xdd));  // a1 b1 c1 d1
        _mm512_storeu_si512(group + 32, _mm512_shuffle_i32x4(t1, t3, 0x88));
        _mm512_storeu_si512(group + 48, _mm512_shuffle_i32x4(t1, t3, 0xdd));
    }
}

template <int Rounds>
void four_blocks_avx512(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream_id,
                        std::uint32_t out[64]) {
    blocks_avx512<Rounds, 1>(key, counter, stream_id, out);
}

template <int Rounds>
void sixteen_blocks_avx512(const std::uint32_t key[8], std::uint64_t counter,
                           std::uint64_t stream_id, std::uint32_t out[256]) {
    blocks_avx512<Rounds, 4>(key, counter, stream_id, out);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

template <template <int> class Pick>
ChachaFourBlocks by_rounds(int rounds) {
    switch (rounds) {
        case 8: return Pick<8>::function;
        case 12: return Pick<12>::function;
        case 20: return Pick<20>::function;
        default: return nullptr;
    }
}

template <int R>
struct PickSse2 {
    static constexpr ChachaFourBlocks function = &four_blocks_sse2<R>;
};
template <int R>
struct PickAvx2 {
    static constexpr ChachaFourBlocks function = &four_blocks_avx2<R>;
};
template <int R>
struct PickAvx512 {
    static constexpr ChachaFourBlocks function = &four_blocks_avx512<R>;
};

template <int R>
struct PickSixteenAvx512 {
    static constexpr ChachaSixteenBlocks function = &sixteen_blocks_avx512<R>;
};

template <template <int> class Pick>
ChachaSixteenBlocks sixteen_by_rounds(int rounds) {
    switch (rounds) {
        case 8: return Pick<8>::function;
        case 12: return Pick<12>::function;
        case 20: return Pick<20>::function;
        default: return nullptr;
    }
}

}  // namespace

bool simd_supported(ChachaVariant variant) {
    __builtin_cpu_init();
    switch (variant) {
        case ChachaVariant::Sse2: return __builtin_cpu_supports("sse2");
        case ChachaVariant::Avx2: return __builtin_cpu_supports("avx2");
        case ChachaVariant::Avx512: return __builtin_cpu_supports("avx512f");
        case ChachaVariant::Portable: return true;
    }
    return false;
}

ChachaFourBlocks simd_four_blocks(ChachaVariant variant, int rounds) {
    switch (variant) {
        case ChachaVariant::Sse2: return by_rounds<PickSse2>(rounds);
        case ChachaVariant::Avx2: return by_rounds<PickAvx2>(rounds);
        case ChachaVariant::Avx512: return by_rounds<PickAvx512>(rounds);
        case ChachaVariant::Portable: break;
    }
    return nullptr;
}

ChachaSixteenBlocks simd_sixteen_blocks(ChachaVariant variant, int rounds) {
    if (variant == ChachaVariant::Avx512) return sixteen_by_rounds<PickSixteenAvx512>(rounds);
    return nullptr;
}

#else  // no vector forms on this architecture

bool simd_supported(ChachaVariant variant) { return variant == ChachaVariant::Portable; }
ChachaFourBlocks simd_four_blocks(ChachaVariant, int) { return nullptr; }
ChachaSixteenBlocks simd_sixteen_blocks(ChachaVariant, int) { return nullptr; }

#endif

}  // namespace vostrel::chacha
