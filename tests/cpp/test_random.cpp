// The random source below the Python surface: the ChaCha block function against published
// keystream blocks (8, 12 and 20 rounds) in every variant this processor runs, the variants
// against each other, the stream's buffer and counter rules, the ziggurat tables' shape,
// sampler construction, and the moments of each sampler.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "simulation/chacha_simd.hpp"
#include "simulation/random.hpp"
#include "simulation/ziggurat_tables.hpp"

using namespace vostrel;

namespace {

constexpr ChachaVariant kVariants[] = {ChachaVariant::Portable, ChachaVariant::Sse2,
                                       ChachaVariant::Avx2, ChachaVariant::Avx512};

std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(std::uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

void published_vectors() {
    std::ifstream file(VOSTREL_TESTDATA_DIR "/chacha_vectors.txt");
    CHECK(file.good());
    std::string line;
    int n_vectors = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream in(line);
        int rounds;
        std::string key_hex, iv_hex, keystream_hex;
        std::uint64_t counter;
        in >> rounds >> key_hex >> iv_hex >> counter >> keystream_hex;
        const auto key_bytes = from_hex(key_hex);
        const auto iv_bytes = from_hex(iv_hex);
        const auto expected = from_hex(keystream_hex);
        CHECK(key_bytes.size() == 32 && iv_bytes.size() == 8 && expected.size() == 64);
        std::uint32_t key[8];
        for (int k = 0; k < 8; ++k) key[k] = le32(&key_bytes[4 * k]);
        const std::uint64_t stream_id =
            le32(&iv_bytes[0]) | (std::uint64_t(le32(&iv_bytes[4])) << 32);
        for (ChachaVariant variant : kVariants) {
            ChachaFourBlocks f = chacha_four_blocks(variant, rounds);
            if (f == nullptr) continue;
            std::uint32_t out[64];
            f(key, counter, stream_id, out);
            std::uint32_t words[16];
            for (int k = 0; k < 16; ++k) words[k] = le32(&expected[4 * k]);
            if (!CHECK_RANGES_EQUAL(std::span(out, 16), std::span(words))) {
                std::fprintf(stderr, "variant %s, %d rounds, counter %llu: mismatch\n",
                             chacha_variant_name(variant), rounds, (unsigned long long)counter);
            }
        }
        ++n_vectors;
    }
    CHECK(n_vectors >= 13);
}

// Every variant the processor runs yields the portable words, across counter wrap-around too.
void variants_agree() {
    CHECK(chacha_four_blocks(ChachaVariant::Portable, 12) != nullptr);
    CHECK(chacha_four_blocks(ChachaVariant::Portable, 10) == nullptr);
    const std::uint64_t counters[] = {0, 4, 0xfffffffeULL, 0xffffffffffffffffULL - 1,
                                      0x123456789abcdefULL};
    for (int rounds : {8, 12, 20}) {
        ChachaFourBlocks portable = chacha_four_blocks(ChachaVariant::Portable, rounds);
        for (std::uint64_t seed = 0; seed < 4; ++seed) {
            std::uint32_t key[8];
            expand_seed(seed, key);
            for (std::uint64_t counter : counters) {
                const std::uint64_t stream_id = seed * 0x9e3779b97f4a7c15ULL;
                std::uint32_t reference[64];
                portable(key, counter, stream_id, reference);
                for (ChachaVariant variant : kVariants) {
                    ChachaFourBlocks f = chacha_four_blocks(variant, rounds);
                    if (f == nullptr) continue;
                    std::uint32_t out[64];
                    f(key, counter, stream_id, out);
                    CHECK_RANGES_EQUAL(out, reference);
                }
                // Block b of four is the single block of counter + b (no carry into the id).
                std::uint32_t single[64];
                portable(key, counter + 3, stream_id, single);
                CHECK_RANGES_EQUAL(std::span(single, 16), std::span(reference + 48, 16));
            }
        }
    }
    // Sixteen blocks at once are four four-block calls, across a wrap of the counter too.
    const std::uint64_t wrapping_counters[] = {0, 0xfffffffaULL, UINT64_MAX - 5};
    for (int rounds : {8, 12, 20}) {
        ChachaFourBlocks portable = chacha_four_blocks(ChachaVariant::Portable, rounds);
        for (ChachaVariant variant : kVariants) {
            if (!chacha_variant_supported(variant)) continue;
            ChachaSixteenBlocks sixteen = chacha::simd_sixteen_blocks(variant, rounds);
            if (sixteen == nullptr) continue;
            for (std::uint64_t counter : wrapping_counters) {
                std::uint32_t key[8];
                expand_seed(counter, key);
                std::uint32_t reference[256];
                for (int g = 0; g < 4; ++g) {
                    portable(key, counter + std::uint64_t(4 * g), 77, reference + 64 * g);
                }
                std::uint32_t out[256];
                sixteen(key, counter, 77, out);
                CHECK_RANGES_EQUAL(out, reference);
            }
        }
    }
    std::printf("block function variant in use: %s\n", chacha_variant_name(best_chacha_variant()));
}

void stream_rules() {
    for (std::uint64_t seed : {std::uint64_t(0), std::uint64_t(12345), UINT64_MAX}) {
        std::uint32_t key[8];
        expand_seed(seed, key);
        std::uint32_t blocks[64];
        chacha_four_blocks(ChachaVariant::Portable, 12)(key, 0, 0, blocks);
        std::uint32_t next_blocks[64];
        chacha_four_blocks(ChachaVariant::Portable, 12)(key, 4, 0, next_blocks);

        RandomStream stream = RandomStream::from_seed(seed);
        CHECK(stream.index() == 64 && stream.block_counter() == 0);
        const std::uint64_t first = stream.draw_u64();
        CHECK(first == (blocks[0] | (std::uint64_t(blocks[1]) << 32)));
        CHECK(stream.block_counter() == 4);
        std::vector<std::uint64_t> drawn, words;
        for (int n = 1; n < 32; ++n) {
            drawn.push_back(stream.draw_u64());
            words.push_back(blocks[2 * n] | (std::uint64_t(blocks[2 * n + 1]) << 32));
        }
        CHECK_RANGES_EQUAL(drawn, words);
        CHECK(stream.block_counter() == 4);
        const std::uint64_t thirty_third = stream.draw_u64();
        CHECK(stream.block_counter() == 8);
        CHECK(thirty_third == (next_blocks[0] | (std::uint64_t(next_blocks[1]) << 32)));

        // Two streams from one seed agree, with any block-function variant.
        for (ChachaVariant variant : kVariants) {
            if (!chacha_variant_supported(variant)) continue;
            RandomStream a = RandomStream::from_seed(seed);
            RandomStream b = RandomStream::from_seed(seed, variant);
            std::vector<std::uint64_t> from_a(1000), from_b(1000);
            for (std::uint64_t& w : from_a) w = a.draw_u64();
            for (std::uint64_t& w : from_b) w = b.draw_u64();
            CHECK_RANGES_EQUAL(from_a, from_b);
        }
    }
    // A cursor draws the stream's own words, across refills and slow exponentials; its peeks are
    // the next words, and the stream resumes where the cursor stopped.
    {
        RandomStream plain = RandomStream::from_seed(5);
        RandomStream viewed = RandomStream::from_seed(5);
        bool same = true;
        {
            StreamCursor cursor(viewed);
            for (int n = 0; n < 3000; ++n) {
                if (n % 3 == 0) {
                    same = same && std::bit_cast<std::uint64_t>(plain.draw_exp1()) ==
                                       std::bit_cast<std::uint64_t>(cursor.draw_exp1());
                } else if (n % 3 == 1 && cursor.words_buffered() != 0) {
                    const std::uint64_t peeked = cursor.peek_u64(0);
                    cursor.skip(1);
                    same = same && peeked == plain.draw_u64();
                } else {
                    same = same && plain.draw_unit() == cursor.draw_unit();
                }
            }
        }
        same = same && plain.draw_u64() == viewed.draw_u64() && plain.index() == viewed.index();
        CHECK(same);
    }
    // Different seeds give different keys.
    std::uint32_t k0[8], k1[8];
    expand_seed(0, k0);
    expand_seed(1, k1);
    bool differ = false;
    for (int k = 0; k < 8; ++k) differ = differ || k0[k] != k1[k];
    CHECK(differ);
}

void unit_draws() {
    CHECK(RandomStream::unit_from(0) == 0.0);
    CHECK(RandomStream::unit_from(UINT64_MAX) == 1.0 - 0x1.0p-53);
    CHECK(RandomStream::open_unit_from(0) == 0x1.0p-53);
    CHECK(RandomStream::open_unit_from(UINT64_MAX) == 1.0 - 0x1.0p-53);
    CHECK(RandomStream::open_unit_from(UINT64_MAX) < 1.0);
    CHECK(RandomStream::signed_unit_from(0) == -1.0);
    CHECK(RandomStream::signed_unit_from(UINT64_MAX) == 1.0 - 0x1.0p-51);
}

// The rows themselves are tied to their generator by tests/test_ziggurat_tables.py; here only
// the shape the samplers rely on: the sentinel ends and the ordering of the layers.
void ziggurat_tables() {
    using namespace ziggurat;
    CHECK(EXP_X[256] == 0.0 && NORM_X[256] == 0.0);
    CHECK(EXP_F[256] == 1.0 && NORM_F[256] == 1.0);
    bool decreasing = true;
    for (int i = 1; i < 256; ++i) {
        decreasing = decreasing && EXP_X[i + 1] < EXP_X[i] && NORM_X[i + 1] < NORM_X[i];
        decreasing = decreasing && EXP_F[i + 1] > EXP_F[i] && NORM_F[i + 1] > NORM_F[i];
    }
    CHECK(decreasing);
}

void sampler_construction() {
    ExpSampler e;
    CHECK(ExpSampler::create(0.0, e) && std::isinf(e.inverse_rate()));
    CHECK(!ExpSampler::create(-0.5, e));
    CHECK(!ExpSampler::create(std::nan(""), e));
    CHECK(ExpSampler::create(2.0, e) && e.inverse_rate() == 0.5);

    PoissonSampler p;
    const double inf = std::numeric_limits<double>::infinity();
    CHECK(PoissonSampler::create(std::nan(""), p) == PoissonError::NonFinite);
    CHECK(PoissonSampler::create(inf, p) == PoissonError::NonFinite);
    CHECK(PoissonSampler::create(-inf, p) == PoissonError::NonFinite);
    CHECK(PoissonSampler::create(0.0, p) == PoissonError::NotPositive);
    CHECK(PoissonSampler::create(-1.0, p) == PoissonError::NotPositive);
    CHECK(PoissonSampler::create(std::nextafter(12.0, 0.0), p) == PoissonError::None &&
          p.product_form());
    CHECK(PoissonSampler::create(12.0, p) == PoissonError::None && !p.product_form());
    CHECK(PoissonSampler::create(1.844e19, p) == PoissonError::None);
    CHECK(PoissonSampler::create(std::nextafter(1.844e19, inf), p) == PoissonError::TooLarge);

    CHECK(to_count(std::nan("")) == 0);
    CHECK(to_count(-3.0) == 0);
    CHECK(to_count(2.9) == 2);
    CHECK(to_count(0x1.0p64) == UINT64_MAX);
    CHECK(to_count(1e300) == UINT64_MAX);
    CHECK(to_count(0x1.fffffffffffffp63) == 0xfffffffffffff800ULL);
}

// The product form returns 0 after one word when the first unit is at most exp(-lambda).
void poisson_zero_consumes_one_word() {
    PoissonSampler p;
    PoissonSampler::create(0.001, p);
    int checked = 0;
    for (std::uint64_t seed = 0; seed < 50 && checked < 10; ++seed) {
        RandomStream probe = RandomStream::from_seed(seed);
        const double u = probe.draw_unit();
        if (!(u <= std::exp(-0.001))) continue;
        RandomStream stream = RandomStream::from_seed(seed);
        CHECK(p.draw(stream) == 0.0);
        CHECK(stream.index() == 2);
        ++checked;
    }
    CHECK(checked == 10);
}

struct Moments {
    double mean = 0.0, variance = 0.0;
};

template <class F>
Moments moments(int n, F&& draw) {
    double sum = 0.0, sum_sq = 0.0;
    for (int i = 0; i < n; ++i) {
        const double x = draw();
        sum += x;
        sum_sq += x * x;
    }
    Moments m;
    m.mean = sum / n;
    m.variance = sum_sq / n - m.mean * m.mean;
    return m;
}

// Means within 5 standard errors; variances within a few percent.
void sampler_moments() {
    const int n = 400000;
    RandomStream stream = RandomStream::from_seed(7);
    Moments e = moments(n, [&] { return stream.draw_exp1(); });
    CHECK(std::fabs(e.mean - 1.0) < 5.0 / std::sqrt(n));
    CHECK(std::fabs(e.variance - 1.0) < 0.03);
    Moments z = moments(n, [&] { return stream.draw_normal(); });
    CHECK(std::fabs(z.mean) < 5.0 / std::sqrt(n));
    CHECK(std::fabs(z.variance - 1.0) < 0.02);
    // Tails: P(X > 8) = exp(-8) for the exponential, beyond the base layer's edge.
    int beyond = 0;
    for (int i = 0; i < n; ++i) beyond += stream.draw_exp1() > 8.0;
    const double expected = n * std::exp(-8.0);
    CHECK(std::fabs(beyond - expected) < 5.0 * std::sqrt(expected));
    for (double lambda : {0.5, 5.0, 12.0, 47.5, 1e4, 1e12}) {
        PoissonSampler p;
        PoissonSampler::create(lambda, p);
        bool integral = true;
        Moments m = moments(n / 4, [&] {
            const double k = p.draw(stream);
            integral = integral && k == std::floor(k) && k >= 0.0;
            return k;
        });
        CHECK(integral);
        const double se = std::sqrt(lambda / (n / 4));
        if (std::fabs(m.mean - lambda) >= 5.0 * se) {
            std::fprintf(stderr, "Poisson(%g): mean %.6g\n", lambda, m.mean);
        }
        CHECK(std::fabs(m.mean - lambda) < 5.0 * se);
        CHECK(std::fabs(m.variance / lambda - 1.0) < 0.05);
    }
}

}  // namespace

int main() {
    published_vectors();
    variants_agree();
    stream_rules();
    unit_draws();
    ziggurat_tables();
    sampler_construction();
    poisson_zero_consumes_one_word();
    sampler_moments();
    return vostrel::test::check_summary();
}
