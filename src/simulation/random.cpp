// The random stream and its samplers: seed expansion, the portable ChaCha block function and the
// choice among its forms, buffer refills, and the slow paths of the ziggurat and Poisson samplers.
#include "simulation/random.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "simulation/chacha_simd.hpp"

namespace vostrel {

// ---------------------------------------------------------------------------------------------
// Block function, portable form

namespace {

inline std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotl(x[b] ^ x[c], 7);
}

template <int Rounds>
void four_blocks_portable(const std::uint32_t key[8], std::uint64_t counter,
                          std::uint64_t stream_id, std::uint32_t out[64]) {
    for (int b = 0; b < 4; ++b) {
        const std::uint64_t block = counter + std::uint64_t(b);
        std::uint32_t input[16];
        chacha::fill_input(key, block, stream_id, input);
        std::uint32_t x[16];
        for (int k = 0; k < 16; ++k) x[k] = input[k];
        for (int r = 0; r < Rounds; r += 2) {
            quarter_round(x, 0, 4, 8, 12);
            quarter_round(x, 1, 5, 9, 13);
            quarter_round(x, 2, 6, 10, 14);
            quarter_round(x, 3, 7, 11, 15);
            quarter_round(x, 0, 5, 10, 15);
            quarter_round(x, 1, 6, 11, 12);
            quarter_round(x, 2, 7, 8, 13);
            quarter_round(x, 3, 4, 9, 14);
        }
        for (int k = 0; k < 16; ++k) out[16 * b + k] = x[k] + input[k];
    }
}

}  // namespace

const char* chacha_variant_name(ChachaVariant variant) {
    switch (variant) {
        case ChachaVariant::Portable: return "portable";
        case ChachaVariant::Sse2: return "sse2";
        case ChachaVariant::Avx2: return "avx2";
        case ChachaVariant::Avx512: return "avx512";
    }
    return "unknown";
}

bool chacha_variant_supported(ChachaVariant variant) {
    if (variant == ChachaVariant::Portable) return true;
    return chacha::simd_supported(variant);
}

ChachaFourBlocks chacha_four_blocks(ChachaVariant variant, int rounds) {
    if (!chacha_variant_supported(variant)) return nullptr;
    if (variant != ChachaVariant::Portable) return chacha::simd_four_blocks(variant, rounds);
    switch (rounds) {
        case 8: return &four_blocks_portable<8>;
        case 12: return &four_blocks_portable<12>;
        case 20: return &four_blocks_portable<20>;
        default: return nullptr;
    }
}

ChachaVariant best_chacha_variant() {
    static const ChachaVariant best = [] {
        for (ChachaVariant v : {ChachaVariant::Avx512, ChachaVariant::Avx2, ChachaVariant::Sse2}) {
            if (chacha_variant_supported(v) && chacha_four_blocks(v, 12) != nullptr) return v;
        }
        return ChachaVariant::Portable;
    }();
    return best;
}

// ---------------------------------------------------------------------------------------------
// Seeding and drawing

void expand_seed(std::uint64_t seed, std::uint32_t key[8]) {
    std::uint64_t state = seed;
    for (int k = 0; k < 8; ++k) {
        state = state * 0x5851f42d4c957f2dULL + 0xa17654e46fbe17f3ULL;
        const std::uint32_t x = std::uint32_t(((state >> 45) ^ (state >> 27)));
        const unsigned r = unsigned(state >> 59);
        key[k] = (x >> r) | (x << ((32 - r) & 31));
    }
}

RandomStream RandomStream::from_seed(std::uint64_t seed) {
    return from_seed(seed, best_chacha_variant());
}

RandomStream RandomStream::from_seed(std::uint64_t seed, ChachaVariant variant) {
    RandomStream stream;
    expand_seed(seed, stream.key_);
    stream.four_blocks_ = chacha_four_blocks(variant, 12);
    if (stream.four_blocks_ == nullptr) stream.four_blocks_ = &four_blocks_portable<12>;
    if (variant != ChachaVariant::Portable && chacha_variant_supported(variant)) {
        stream.sixteen_blocks_ = chacha::simd_sixteen_blocks(variant, 12);
    }
    return stream;
}

void RandomStream::refill() {
    if (sixteen_blocks_ == nullptr) {
        four_blocks_(key_, block_counter_, stream_id_, buffer_);
    } else {
        if (ahead_next_ == 4) {
            sixteen_blocks_(key_, block_counter_, stream_id_, ahead_);
            ahead_next_ = 0;
        }
        std::memcpy(buffer_, ahead_ + 64 * ahead_next_, sizeof buffer_);
        ++ahead_next_;
    }
    block_counter_ += 4;
}

std::uint64_t RandomStream::draw_u64_refill() {
    poll_(32);
    if (index_ == 63) {
        const std::uint64_t low = buffer_[63];
        refill();
        index_ = 1;
        return low | (std::uint64_t(buffer_[0]) << 32);
    }
    refill();
    index_ = 2;
    return buffer_[0] | (std::uint64_t(buffer_[1]) << 32);
}

double RandomStream::draw_exp1_slow(unsigned layer, double x) {
    using ziggurat::EXP_F;
    using ziggurat::EXP_X;
    for (;;) {
        if (layer == 0) return 7.69711747013105 - std::log(draw_unit());  // the tail
        // The wedge between two layers: accept under the density.
        const double u = draw_unit();
        if (std::exp(-x) > u * (EXP_F[layer] - EXP_F[layer + 1]) + EXP_F[layer + 1]) return x;
        const std::uint64_t word = draw_u64();
        layer = unsigned(word & 0xFF);
        x = open_unit_from(word) * EXP_X[layer];
        if (EXP_X[layer + 1] > x) return x;
    }
}

double RandomStream::draw_normal() {
    using ziggurat::NORM_F;
    using ziggurat::NORM_X;
    for (;;) {
        const std::uint64_t word = draw_u64();
        const unsigned layer = unsigned(word & 0xFF);
        const double u = signed_unit_from(word);
        const double x = u * NORM_X[layer];
        if (NORM_X[layer + 1] > std::fabs(x)) return x;
        if (layer == 0) {
            // The tail beyond R, by Marsaglia's exponential rejection.
            double xt;
            double y;
            do {
                const double a = draw_open_unit();
                const double b = draw_open_unit();
                xt = std::log(a) / 3.654152885361009;
                y = std::log(b);
            } while (!(xt * xt <= -2.0 * y));
            return u < 0.0 ? xt - 3.654152885361009 : 3.654152885361009 - xt;
        }
        const double v = draw_unit();
        const double below = NORM_F[layer + 1];
        if (std::exp((x * x) * (-0.5)) > v * (NORM_F[layer] - below) + below) return x;
    }
}

// ---------------------------------------------------------------------------------------------
// Poisson

const char* poisson_error_text(PoissonError error) {
    switch (error) {
        case PoissonError::NotPositive: return "lambda is not positive in Poisson distribution";
        case PoissonError::NonFinite: return "lambda is infinite or nan in Poisson distribution";
        case PoissonError::TooLarge:
            // Names a constant this repository does not define (ours is kMaxLambda); the text is
            // part of the published interface and stays word for word.
            return "lambda is too large in Poisson distribution, see Poisson::MAX_LAMBDA";
        case PoissonError::None: break;
    }
    return "";
}

PoissonError PoissonSampler::create(double lambda, PoissonSampler& out) {
    if (!std::isfinite(lambda)) return PoissonError::NonFinite;
    if (!(lambda > 0.0)) return PoissonError::NotPositive;
    if (lambda < 12.0) {
        out.product_form_ = true;
        out.exp_minus_lambda_ = std::exp(-lambda);
        return PoissonError::None;
    }
    if (lambda > kMaxLambda) return PoissonError::TooLarge;
    const double b1 = 0.041666666666666664 / lambda;
    const double b2 = (0.3 * b1) * b1;
    const double c3 = (0.14285714285714285 * b1) * b2;
    out.product_form_ = false;
    out.lambda_ = lambda;
    out.c3_ = c3;
    out.c2_ = b2 - 15.0 * c3;
    out.c1_ = 45.0 * c3 + (b1 - 6.0 * b2);
    out.c0_ = (3.0 * b2 + (1.0 - b1)) - 15.0 * c3;
    out.s_ = std::sqrt(lambda);
    out.d_ = (lambda * lambda) * 6.0;
    out.l_ = std::floor(lambda - 1.1484);
    out.c_ = 0.1069 / lambda;
    out.omega_ = 0.3989422804014327 / out.s_;
    return PoissonError::None;
}

PoissonSampler::Terms PoissonSampler::terms(double k) const {
    static constexpr double kFactorial[10] = {1.0,   1.0,   2.0,    6.0,     24.0,
                                              120.0, 720.0, 5040.0, 40320.0, 362880.0};
    const double lambda = lambda_;
    Terms t;
    if (k < 10.0) {
        t.px = -lambda;
        t.py = std::pow(lambda, k) / kFactorial[int(k)];
    } else {
        double delta = 1.0 / (12.0 * k);
        delta = ((delta * delta) * delta) * (-4.8) + delta;
        const double v = (lambda - k) / k;
        if (std::fabs(v) <= 0.25) {
            static constexpr double kCoefficients[9] = {
                -0.1142650302, 0.1101687109,  -0.1241963125, 0.1428833286, -0.1666848753,
                0.1999997049,  -0.2499998565, 0.3333333343,  -0.5000000002};
            double a = 0.1055093006;
            for (double coefficient : kCoefficients) a = a * v + coefficient;
            t.px = a * ((v * v) * k) - delta;
        } else {
            t.px = (std::log(v + 1.0) * k - (lambda - k)) - delta;
        }
        t.py = 0.3989422804014327 / std::sqrt(k);
    }
    const double x = ((k - lambda) + 0.5) / s_;
    t.fx = x * (-0.5 * x);
    t.fy = ((((((c3_ * x) * x + c2_) * x) * x + c1_) * x) * x + c0_) * omega_;
    return t;
}

double PoissonSampler::draw_pd(RandomStream& stream) const {
    const double lambda = lambda_;
    // Normal step: most draws end here.
    const double z = stream.draw_normal();
    const double g = z * s_ + lambda;
    if (g >= 0.0) {
        const double k = std::floor(g);
        if (k >= l_) return k;
        const double u = stream.draw_unit();
        const double diff = lambda - k;
        if (d_ * u >= (diff * diff) * diff) return k;
        const Terms t = terms(k);
        if (std::exp(t.px - t.fx) * t.py >= (1.0 - u) * t.fy) return k;
    }
    // Exponential step, until it accepts.
    for (;;) {
        const double e = stream.draw_exp1();
        const double unit = stream.draw_unit();
        const double u = (unit + unit) - 1.0;
        const double t_value = 1.8 + (std::signbit(u) ? -e : e);
        if (!(t_value > -0.6744)) continue;
        const double k = std::floor(t_value * s_ + lambda);
        const Terms t = terms(k);
        if (std::exp(t.px + e) * t.py - std::exp(t.fx + e) * t.fy >= c_ * std::fabs(u)) return k;
    }
}

}  // namespace vostrel
