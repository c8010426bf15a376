// The simulators' random source: a ChaCha12 keystream seeded from one 64-bit integer, and the
// variates drawn from it (uniform doubles, ziggurat exponentials and normals, exponentials of a
// rate, Poisson counts). Every variate is a fixed function of the stream's 64-bit words, so the
// same seed gives the same numbers on every machine with the same C library.
//
// The stream is also the simulators' interruption point (core/interrupt.hpp): every simulator
// loop draws at least one word per step, so the refill, once per 32 words, polls for them at no
// cost to the draws in between. A draw may therefore throw Interrupted.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/interrupt.hpp"
#include "simulation/ziggurat_tables.hpp"

namespace vostrel {

// ---------------------------------------------------------------------------------------------
// ChaCha block function

// Computes four consecutive keystream blocks (counters counter .. counter + 3, the 64-bit counter
// wrapping without touching the stream id) into out[0..63], block b at out[16 b].
using ChachaFourBlocks = void (*)(const std::uint32_t key[8], std::uint64_t counter,
                                  std::uint64_t stream_id, std::uint32_t out[64]);

// Sixteen consecutive keystream blocks (counters counter .. counter + 15) into out[0..255],
// block b at out[16 b]: the words of four four-block calls at counter, counter + 4, + 8, + 12.
using ChachaSixteenBlocks = void (*)(const std::uint32_t key[8], std::uint64_t counter,
                                     std::uint64_t stream_id, std::uint32_t out[256]);

// The forms of the four-block function. Every form yields exactly the words of the portable one;
// the vector forms only exist where the processor has the instructions.
enum class ChachaVariant { Portable, Sse2, Avx2, Avx512 };

const char* chacha_variant_name(ChachaVariant variant);
// Whether this processor can run the variant.
bool chacha_variant_supported(ChachaVariant variant);
// The variant's four-block function for 8, 12 or 20 rounds; nullptr if the processor lacks the
// instructions or the round count is not one of those three.
ChachaFourBlocks chacha_four_blocks(ChachaVariant variant, int rounds);
// The fastest variant this processor supports (decided once per process).
ChachaVariant best_chacha_variant();

// PCG32 (XSH-RR) expansion of a seed into the 8 key words; the state is advanced before the
// first output, so seed 0 is as good as any other.
void expand_seed(std::uint64_t seed, std::uint32_t key[8]);

// ---------------------------------------------------------------------------------------------
// The stream

class RandomStream {
public:
    static RandomStream from_seed(std::uint64_t seed);
    // The same stream computed with a chosen block-function variant (for tests and benchmarks).
    static RandomStream from_seed(std::uint64_t seed, ChachaVariant variant);

    // The only operation that consumes the stream: two buffered words, low word first.
    std::uint64_t draw_u64() {
        if (index_ < 63) {
            std::uint64_t word = buffer_[index_] | (std::uint64_t(buffer_[index_ + 1]) << 32);
            index_ += 2;
            return word;
        }
        return draw_u64_refill();
    }

    // [0, 1): the top 53 bits; 0 is possible.
    double draw_unit() { return unit_from(draw_u64()); }
    // (0, 1): a double in [1, 2) from the top 52 bits, less 1 - 2^-53.
    double draw_open_unit() { return open_unit_from(draw_u64()); }
    // [-1, 1): a double in [2, 4) from the top 52 bits, less 3.
    double draw_signed_unit() { return signed_unit_from(draw_u64()); }

    // Standard exponential by the 256-layer ziggurat: one word and one comparison usually.
    double draw_exp1() {
        std::uint64_t word = draw_u64();
        unsigned layer = unsigned(word & 0xFF);
        double x = open_unit_from(word) * ziggurat::EXP_X[layer];
        if (ziggurat::EXP_X[layer + 1] > x) return x;
        return draw_exp1_slow(layer, x);
    }

    // Standard normal by the symmetric 256-layer ziggurat.
    double draw_normal();

    std::uint64_t block_counter() const { return block_counter_; }
    std::size_t index() const { return index_; }

    static double unit_from(std::uint64_t word) { return double(word >> 11) * 0x1.0p-53; }
    static double open_unit_from(std::uint64_t word) {
        return std::bit_cast<double>((word >> 12) | 0x3ff0000000000000ULL) - 0.9999999999999999;
    }
    static double signed_unit_from(std::uint64_t word) {
        return std::bit_cast<double>((word >> 12) | 0x4000000000000000ULL) - 3.0;
    }

private:
    friend class StreamCursor;
    RandomStream() = default;
    void refill();
    std::uint64_t draw_u64_refill();
    double draw_exp1_slow(unsigned layer, double x);

    std::uint32_t key_[8] = {};
    std::uint64_t block_counter_ = 0;
    std::uint64_t stream_id_ = 0;
    alignas(64) std::uint32_t buffer_[64] = {};
    std::size_t index_ = 64;  // not an int type, so a libm call (errno) cannot alias it
    ChachaFourBlocks four_blocks_ = nullptr;
    // Where the variant computes sixteen blocks faster than four at a time, refills take the
    // buffer's four blocks from `ahead_`, computed sixteen at a time: the same words in the same
    // order, and the buffer and block counter step by four blocks as before.
    ChachaSixteenBlocks sixteen_blocks_ = nullptr;
    unsigned ahead_next_ = 4;  // the next group of four blocks in ahead_; 4: none left
    alignas(64) std::uint32_t ahead_[256] = {};
    InterruptPoll poll_;  // a unit of work per word drawn
};

// A loop's own copy of a stream's buffer position. Held in a local, it stays in a register across
// calls into the C library, which the compiler must otherwise assume may change the stream; the
// stream gets it back at every refill and when the cursor ends. Its draws are the stream's own,
// word for word; the stream must not be drawn from directly while a cursor on it is alive.
class StreamCursor {
public:
    explicit StreamCursor(RandomStream& stream)
        : stream_(stream), words_(stream.buffer_), index_(stream.index_) {}
    ~StreamCursor() { stream_.index_ = index_; }
    StreamCursor(const StreamCursor&) = delete;
    StreamCursor& operator=(const StreamCursor&) = delete;

    std::uint64_t draw_u64() {
        if (index_ < 63) {
            std::uint64_t word = words_[index_] | (std::uint64_t(words_[index_ + 1]) << 32);
            index_ += 2;
            return word;
        }
        return draw_u64_refill();
    }
    double draw_unit() { return RandomStream::unit_from(draw_u64()); }
    // RandomStream::draw_exp1, the slow path run by the stream itself.
    double draw_exp1() {
        std::uint64_t word = draw_u64();
        unsigned layer = unsigned(word & 0xFF);
        double x = RandomStream::open_unit_from(word) * ziggurat::EXP_X[layer];
        if (ziggurat::EXP_X[layer + 1] > x) return x;
        stream_.index_ = index_;
        const double value = stream_.draw_exp1_slow(layer, x);
        index_ = stream_.index_;
        return value;
    }

    // Looking ahead without drawing: the words the next draw_u64 calls return, as far as the
    // buffer holds them (words_buffered() of them), and skipping those that were used.
    std::size_t words_buffered() const { return index_ < 64 ? (64 - index_) / 2 : 0; }
    std::uint64_t peek_u64(std::size_t ahead) const {
        const std::size_t at = index_ + 2 * ahead;
        return words_[at] | (std::uint64_t(words_[at + 1]) << 32);
    }
    void skip(std::size_t words) { index_ += 2 * words; }

private:
    std::uint64_t draw_u64_refill() {
        stream_.index_ = index_;
        const std::uint64_t word = stream_.draw_u64_refill();
        index_ = stream_.index_;
        return word;
    }

    RandomStream& stream_;
    const std::uint32_t* words_;
    std::size_t index_;
};

// ---------------------------------------------------------------------------------------------
// Samplers

inline constexpr const char* kExpErrorText =
    "lambda is negative or NaN in exponential distribution";

// Exponential of rate lambda: the standard exponential times the reciprocal, computed once.
class ExpSampler {
public:
    ExpSampler() = default;
    // False (the rate is negative or NaN) leaves `out` unchanged. A rate of 0 is accepted and
    // draws +inf.
    [[nodiscard]] static bool create(double lambda, ExpSampler& out) {
        if (!(lambda >= 0.0)) return false;
        out.inverse_rate_ = 1.0 / lambda;
        return true;
    }
    double draw(RandomStream& stream) const { return stream.draw_exp1() * inverse_rate_; }
    double inverse_rate() const { return inverse_rate_; }

private:
    double inverse_rate_ = 1.0;
};

enum class PoissonError { None, NotPositive, NonFinite, TooLarge };
const char* poisson_error_text(PoissonError error);

// Poisson of mean lambda: Knuth's product of uniforms below 12, Ahrens and Dieter's normal
// approximation with exponential correction (PD) from 12 up to the largest mean 1.844e19.
class PoissonSampler {
public:
    static constexpr double kMaxLambda = 1.844e19;

    PoissonSampler() = default;
    // Checks in the order: not finite, not positive, then the form by size.
    static PoissonError create(double lambda, PoissonSampler& out);
    // A non-negative integral value held as a double.
    double draw(RandomStream& stream) const {
        if (product_form_) {
            double p = stream.draw_unit();
            double n = 0.0;
            while (p > exp_minus_lambda_) {
                p = p * stream.draw_unit();
                n = n + 1.0;
            }
            return n;
        }
        return draw_pd(stream);
    }
    bool product_form() const { return product_form_; }

private:
    double draw_pd(RandomStream& stream) const;
    struct Terms {
        double px, py, fx, fy;
    };
    Terms terms(double k) const;

    bool product_form_ = true;
    double exp_minus_lambda_ = 1.0;
    double lambda_ = 0.0, s_ = 0.0, d_ = 0.0, l_ = 0.0, c_ = 0.0;
    double c0_ = 0.0, c1_ = 0.0, c2_ = 0.0, c3_ = 0.0, omega_ = 0.0;
};

// Saturating conversion of a Poisson draw to a count: NaN and negatives give 0, values from 2^64
// up give 2^64 - 1, anything else is truncated toward zero.
inline std::uint64_t to_count(double value) {
    if (!(value >= 0.0)) return 0;
    if (value >= 0x1.0p64) return UINT64_MAX;
    return std::uint64_t(value);
}

}  // namespace vostrel
