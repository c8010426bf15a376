// exp_array and log_array against the C library, by bits: the vector forms on the self-check's
// arguments, special inputs in every lane position and every remainder length, in place and not,
// and at every place of an array of ordinary values;
// the self-check's power to catch a form that fuses one operation more or less than the library;
// and the choice of path (run once as is and once with VOSTREL_SCALAR_MATH=1).
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "../../bench/libm_model.hpp"
#include "check.hpp"
#include "core/vector_math.hpp"
#include "core/vector_math_forms.hpp"

using namespace vostrel;
using vostrel::libm_model::to_bits;
using vostrel::vector_math::forms::ArrayFunction;

namespace {

double library_exp(double x) { return std::exp(x); }
double library_log(double x) { return std::log(x); }

bool same_bits(double a, double b) { return to_bits(a) == to_bits(b); }

// Every special value at every lane position of arrays of 1 to 9 ordinary values, in place and
// into a separate array, compared with the library element by element.
void check_special_lanes(ArrayFunction form, double (*library)(double), double ordinary,
                         const std::vector<double>& specials) {
    for (double special : specials) {
        for (std::size_t n = 1; n <= 9; ++n) {
            for (std::size_t at = 0; at < n; ++at) {
                std::vector<double> x(n, ordinary);
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = ordinary + 0.125 * static_cast<double>(i);
                }
                x[at] = special;
                std::vector<double> y(n);
                form(x.data(), y.data(), n);
                std::vector<double> in_place = x;
                form(in_place.data(), in_place.data(), n);
                bool ok = true;
                for (std::size_t i = 0; i < n; ++i) {
                    ok = ok && same_bits(y[i], library(x[i])) &&
                         same_bits(in_place[i], library(x[i]));
                }
                CHECK(ok);
            }
        }
    }
}

// A form that takes the model's steps with the given fusions on the model's paths and the
// library's call elsewhere: what a vector form built with one fusion wrong would compute.
template <unsigned Fused>
void exp_variant(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const double a = std::fabs(x[i]);
        y[i] = a >= 0x1p-54 && a < 512.0 ? libm_model::exp_model(x[i], Fused) : std::exp(x[i]);
    }
}

template <unsigned Fused>
void log_variant(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const bool normal = x[i] >= 0x1p-1022 && x[i] <= std::numeric_limits<double>::max();
        y[i] = normal ? libm_model::log_model(x[i], Fused) : std::log(x[i]);
    }
}

constexpr unsigned kExpAll = (1u << libm_model::kExpSites) - 1u;
constexpr unsigned kLogAll = (1u << libm_model::kLogSites) - 1u;

void test_forms_match_the_library() {
    const ArrayFunction exp_form = vector_math::forms::exp_avx2_fma();
    const ArrayFunction log_form = vector_math::forms::log_avx2_fma();
    // The scalar forms are the library by construction; the vector forms must be too.
    CHECK(vector_math::forms::count_differences(vector_math::forms::exp_scalar,
                                                vector_math::forms::log_scalar) == 0);
    if (exp_form == nullptr || log_form == nullptr) return;
    CHECK(vector_math::forms::count_differences(exp_form, log_form) == 0);

    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    check_special_lanes(exp_form, library_exp, -3.0,
                        {nan, inf, -inf, 0.0, -0.0, 1e-300, -1e-20, 600.0, 709.9, -600.0, -745.0,
                         -745.14, -745.2, -746.0, -1e10, 5e-324});
    check_special_lanes(log_form, library_log, 2.5,
                        {nan, inf, -inf, 0.0, -0.0, -1.0, 5e-324, 1e-310, 1.0, 0.95, 1.05,
                         std::numeric_limits<double>::max()});
    // The path near 1 mixed with the main path in one vector.
    check_special_lanes(log_form, library_log, 0.97, {3.0, 0.5, 1.0 + 0x1.09p-4, 1.0 - 0x1p-4});
}

// A chunk whose values all take the main path skips every per-vector test, so a single value
// that does not, at any place of an array longer than a chunk, must still get its own result.
void test_one_odd_value_anywhere() {
    const ArrayFunction exp_form = vector_math::forms::exp_avx2_fma();
    const ArrayFunction log_form = vector_math::forms::log_avx2_fma();
    if (exp_form == nullptr || log_form == nullptr) return;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        ArrayFunction form;
        double (*library)(double);
        double ordinary_low, ordinary_high;
        std::vector<double> odd;
    };
    const Case cases[] = {
        {exp_form, library_exp, -20.0, 5.0, {nan, inf, 0x1p-60, 600.0, -746.0, -600.0}},
        {log_form, library_log, 1.2, 90.0, {nan, 0.0, -2.0, 5e-324, inf, 1.0, 0.97, 1.06}},
    };
    const std::size_t n = 300;
    bool ok = true;
    for (const Case& c : cases) {
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double step = static_cast<double>(i % 89) / 89.0;
            x[i] = c.ordinary_low + (c.ordinary_high - c.ordinary_low) * step;
        }
        std::vector<double> y(n);
        for (double odd : c.odd) {
            for (std::size_t at = 0; at < n; ++at) {
                const double kept = x[at];
                x[at] = odd;
                c.form(x.data(), y.data(), n);
                for (std::size_t i = 0; i < n; ++i) ok = ok && same_bits(y[i], c.library(x[i]));
                x[at] = kept;
            }
        }
    }
    CHECK(ok);
}

// Values of one kind: the logarithm's main path, its path near 1, or special inputs.
double log_argument(int kind, std::size_t i) {
    const double step = static_cast<double>(i % 97) / 97.0;
    switch (kind) {
        case 0: return 1.1 + 90.0 * step;
        case 1: return 0.95 + 0.1 * step;
        default: {
            constexpr double specials[] = {0.0, -1.0, std::numeric_limits<double>::infinity(),
                                           std::numeric_limits<double>::quiet_NaN(), 5e-324};
            return specials[i % 5];
        }
    }
}

void test_chunks_that_change_paths() {
    // A chunk's first values choose how its vectors are taken; every later value must still get
    // its own path's result: runs of one kind followed by another, and kinds interleaved.
    const ArrayFunction log_form = vector_math::forms::log_avx2_fma();
    if (log_form == nullptr) return;
    bool ok = true;
    for (std::size_t n : {37u, 300u, 600u}) {
        for (int first = 0; first < 3; ++first) {
            for (int then = 0; then < 3; ++then) {
                for (std::size_t change : {0u, 5u, 32u, 40u, 256u, 290u}) {
                    for (std::size_t every : {1u, 3u}) {
                        std::vector<double> x(n);
                        for (std::size_t i = 0; i < n; ++i) {
                            const bool later = i >= change && (i - change) % every == 0;
                            x[i] = log_argument(later ? then : first, i);
                        }
                        std::vector<double> y(n), in_place = x;
                        log_form(x.data(), y.data(), n);
                        log_form(in_place.data(), in_place.data(), n);
                        for (std::size_t i = 0; i < n; ++i) {
                            ok = ok && same_bits(y[i], std::log(x[i])) &&
                                 same_bits(in_place[i], std::log(x[i]));
                        }
                    }
                }
            }
        }
    }
    CHECK(ok);
}

// Seeded random arrays in which each value is near 1 with probability `near` and needs the
// library call with probability `special`, the rest on the main path: every density from none
// to all, every length around the vectors, the groups that the forms scan and the chunks, at an
// unaligned start, into a separate array and in place, and their running sums.
void test_random_mixes_of_paths() {
    const ArrayFunction log_form = vector_math::forms::log_avx2_fma();
    const vector_math::forms::SumFunction add = vector_math::forms::add_logs_avx2_fma();
    if (log_form == nullptr || add == nullptr) return;
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double specials[] = {0.0, -0.0, -1.0, inf, nan, 5e-324, 1e-310};
    std::mt19937_64 rng(12);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_real_distribution<double> main_value(0.5, 3.0);
    std::uniform_real_distribution<double> near_value(1.0 - 0x1p-4, 1.0 + 0x1.09p-4);
    bool ok = true;
    const std::pair<double, double> densities[] = {{0.0, 0.0},   {0.05, 0.0}, {0.2, 0.0},
                                                   {0.6, 0.0},   {0.97, 0.0}, {1.0, 0.0},
                                                   {0.05, 0.02}, {0.3, 0.1},  {0.0, 0.05}};
    for (const auto& [near, special] : densities) {
        for (std::size_t n : {1u,  2u,  3u,  5u,  7u,  8u,   9u,   15u,  17u,  31u,
                              33u, 63u, 64u, 65u, 71u, 255u, 256u, 257u, 300u, 521u}) {
            std::vector<double> buffer(n + 1);
            double* x = buffer.data() + 1;
            for (std::size_t i = 0; i < n; ++i) {
                const double u = unit(rng);
                x[i] = u < near             ? near_value(rng)
                       : u < near + special ? specials[rng() % std::size(specials)]
                                            : main_value(rng);
            }
            std::vector<double> y(n);
            log_form(x, y.data(), n);
            double sum = 0.5;
            for (std::size_t i = 0; i < n; ++i) {
                ok = ok && same_bits(y[i], std::log(x[i]));
                sum = sum + std::log(x[i]);
            }
            // A sum that meets two different NaNs (log of NaN, log of a negative) is a NaN
            // whose sign depends on the order of the operands of one addition, which the
            // compiler may swap: any NaN is the same sum.
            const double vector_sum = add(0.5, x, n, nullptr, 0);
            ok = ok && (same_bits(vector_sum, sum) || (std::isnan(vector_sum) && std::isnan(sum)));
            std::vector<double> in_place(buffer);
            log_form(in_place.data() + 1, in_place.data() + 1, n);
            for (std::size_t i = 0; i < n; ++i) ok = ok && same_bits(in_place[i + 1], y[i]);
        }
    }
    CHECK(ok);
}

void test_sums_of_logs_are_the_plain_loops() {
    // Running sums in order from a start value, over lengths around the forms' chunks and
    // vectors, on values of every kind and on runs of one kind; with and without data named for
    // fetching.
    const vector_math::forms::SumFunction add = vector_math::forms::add_logs_avx2_fma();
    const vector_math::forms::SumFunction subtract = vector_math::forms::subtract_logs_avx2_fma();
    std::vector<double> fetch(4096, 1.0);
    bool ok = true;
    for (std::size_t n : {0u, 1u, 3u, 4u, 63u, 64u, 65u, 130u, 257u, 1000u}) {
        for (int pattern = 0; pattern < 4; ++pattern) {
            std::vector<double> x(n);
            for (std::size_t i = 0; i < n; ++i) {
                const int kind = pattern < 3 ? pattern : static_cast<int>((i / 7) % 3);
                x[i] = log_argument(kind == 2 && i % 5 != 0 ? 0 : kind, i);
            }
            double plus = 0.25, minus = -3.5;
            for (double v : x) {
                plus = plus + std::log(v);
                minus = minus - std::log(v);
            }
            for (const vector_math::forms::SumFunction form :
                 {add, vector_math::forms::add_logs_scalar}) {
                if (form == nullptr) continue;
                ok = ok && same_bits(form(0.25, x.data(), n, nullptr, 0), plus) &&
                     same_bits(form(0.25, x.data(), n, fetch.data(), 8 * fetch.size()), plus);
            }
            for (const vector_math::forms::SumFunction form :
                 {subtract, vector_math::forms::subtract_logs_scalar}) {
                if (form == nullptr) continue;
                ok = ok && same_bits(form(-3.5, x.data(), n, nullptr, 0), minus);
            }
            ok = ok && same_bits(vector_math::add_logs(0.25, x.data(), n), plus) &&
                 same_bits(vector_math::subtract_logs(-3.5, x.data(), n), minus);
        }
    }
    CHECK(ok);
}

void test_the_self_check_catches_a_wrong_fusion() {
    // Every arrangement that ever differs from the library (one step fused differently, or the
    // baseline build with nothing fused) is caught on the check arguments; the library's own
    // arrangement passes.
    CHECK(vector_math::forms::count_differences(exp_variant<kExpAll>, log_variant<kLogAll>) == 0);
    const ArrayFunction log_ok = vector_math::forms::log_scalar;
    const ArrayFunction exp_ok = vector_math::forms::exp_scalar;
    for (ArrayFunction wrong : {exp_variant<kExpAll & ~1u>, exp_variant<kExpAll & ~(1u << 3)>,
                                exp_variant<kExpAll & ~(1u << 7)>, exp_variant<0u>}) {
        CHECK(vector_math::forms::count_differences(wrong, log_ok) > 0);
    }
    for (ArrayFunction wrong :
         {log_variant<kLogAll & ~1u>, log_variant<kLogAll & ~(1u << 7)>,
          log_variant<kLogAll & ~(1u << 8)>, log_variant<kLogAll & ~(1u << 9)>,
          log_variant<kLogAll & ~(1u << 17)>, log_variant<0u>}) {
        CHECK(vector_math::forms::count_differences(exp_ok, wrong) > 0);
    }
}

void test_the_underflow_cut_gives_the_library_bits() {
    // Around the cut and the last exponents with a subnormal or zero result.
    std::vector<double> x;
    for (double v = -746.0; v < -744.0; v += 0.0078125) x.push_back(v);
    x.push_back(vector_math::kExpUnderflowCut);
    x.push_back(std::nextafter(vector_math::kExpUnderflowCut, 0.0));
    std::vector<double> y(x.size());
    vector_math::exp_array(x.data(), y.data(), x.size());
    bool ok = true;
    for (std::size_t i = 0; i < x.size(); ++i) {
        ok = ok && same_bits(y[i], std::exp(x[i])) &&
             same_bits(vector_math::decay_exp(x[i]), std::exp(x[i]));
    }
    CHECK(ok);
}

void test_the_path_choice() {
    const char* forced = std::getenv("VOSTREL_SCALAR_MATH");
    const bool scalar_forced =
        forced != nullptr && forced[0] != '\0' && std::strcmp(forced, "0") != 0;
    const bool vector_available = vector_math::forms::exp_avx2_fma() != nullptr &&
                                  vector_math::forms::log_avx2_fma() != nullptr;
    const vector_math::Path path = vector_math::active_path();
    if (scalar_forced) {
        CHECK(path == vector_math::Path::Scalar);
        CHECK(std::strcmp(vector_math::path_reason(), "forced by VOSTREL_SCALAR_MATH") == 0);
    } else if (vector_available) {
        CHECK(path == vector_math::Path::Avx2Fma);
        CHECK(std::strcmp(vector_math::path_reason(), "self-check passed") == 0);
    } else {
        CHECK(path == vector_math::Path::Scalar);
    }
    std::printf("path: %s (%s)\n", vector_math::path_name(path), vector_math::path_reason());
}

}  // namespace

int main() {
    test_forms_match_the_library();
    test_one_odd_value_anywhere();
    test_chunks_that_change_paths();
    test_random_mixes_of_paths();
    test_sums_of_logs_are_the_plain_loops();
    test_the_self_check_catches_a_wrong_fusion();
    test_the_underflow_cut_gives_the_library_bits();
    test_the_path_choice();
    return vostrel::test::check_summary();
}
