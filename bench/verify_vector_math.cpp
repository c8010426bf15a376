// Verification of the vector forms of exp and log against the C library, by bits, on as many
// arguments as asked for (10^10 per function or more when run by hand; CI runs 10^6): spread over
// the whole double range (raw bit patterns) and densely over the ranges the likelihoods use
// (decay exponents, intensities, arguments near 1, the ends of every table subinterval). Prints
// the path this process selected, the count of arguments per class and every difference; exits
// with status 1 if there is any.
//
// Usage: verify_vector_math [arguments per function, default 1e10] [threads, default 2]
//        verify_vector_math --hard-cases
// The second form searches for the self-check's hard cases: arguments on which a model of the
// library's steps with one fused multiply-add more or one less than its FMA build (or with
// none, as its baseline build) differs from the library, and prints them as C++ arrays.
#include <atomic>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/libm_tables.hpp"
#include "core/vector_math.hpp"
#include "core/vector_math_forms.hpp"
#include "libm_model.hpp"

using namespace vostrel;
using vostrel::libm_model::exp_model;
using vostrel::libm_model::from_bits;
using vostrel::libm_model::kExpSites;
using vostrel::libm_model::kLogSites;
using vostrel::libm_model::log_model;
using vostrel::libm_model::to_bits;

namespace {

// splitmix64: a small, fast generator of 64-bit words.
struct Words {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
    // A double with uniformly drawn binade in [lo, hi] and random mantissa.
    double binades(int lo, int hi) {
        const int span = hi - lo + 1;
        const std::uint64_t e = static_cast<std::uint64_t>(lo + static_cast<int>(next() % span));
        return from_bits(((e + 1023) << 52) | (next() >> 12));
    }
    // value moved by up to `width` units in the last place either way.
    double around(double value, int width) {
        const std::int64_t d = static_cast<std::int64_t>(next() % (2 * width + 1)) - width;
        return from_bits(to_bits(value) + static_cast<std::uint64_t>(d));
    }
};

// ---------------------------------------------------------------------------------------------
// Argument classes

constexpr int kExpClasses = 6;
const char* const kExpClassNames[kExpClasses] = {
    "raw bit patterns (whole range)", "uniform on [-745.2, 709.8]", "decay exponents [-40, 0]",
    "|x| in binades 2^-60 .. 2^10",   "ends of table subintervals", "uniform on [-1, 1]"};

double exp_argument(Words& w, int cls) {
    switch (cls) {
        case 0: return from_bits(w.next());
        case 1: return w.uniform(-745.2, 709.8);
        case 2: return w.uniform(-40.0, 0.0);
        case 3: {
            const double v = w.binades(-60, 10);
            return (w.next() & 1) ? -v : v;
        }
        case 4: {
            const double inv_ln2_n = from_bits(libm::kExp.inv_ln2_n);
            const std::int64_t k_int = static_cast<std::int64_t>(w.next() % 230000) - 138000;
            const double k = static_cast<double>(k_int);
            return w.around((k + 0.5) / inv_ln2_n, 64);
        }
        default: return w.uniform(-1.0, 1.0);
    }
}

constexpr int kLogClasses = 6;
const char* const kLogClassNames[kLogClasses] = {"raw bit patterns (whole range)",
                                                 "positive bit patterns",
                                                 "intensities 1e-30 .. 1e6",
                                                 "near 1: [0.9, 1.1]",
                                                 "uniform on (0, 10]",
                                                 "ends of table subintervals"};

double log_argument(Words& w, int cls) {
    switch (cls) {
        case 0: return from_bits(w.next());
        case 1: return from_bits(w.next() >> 1);
        case 2: return std::exp(w.uniform(-69.1, 13.9));
        case 3: return w.uniform(0.9, 1.1);
        case 4: return 10.0 * (1.0 - w.unit());
        default: {
            // Binades 2^-1021 .. 2^1023 of z in [0x1.6p-1, 0x1.6p0), subinterval i's first bits.
            const std::int64_t k = static_cast<std::int64_t>(w.next() % 2045) - 1021;
            const std::uint64_t i = w.next() % 129;
            const std::uint64_t edge =
                0x3fe6000000000000ULL + (i << 45) + (static_cast<std::uint64_t>(k) << 52);
            return w.around(from_bits(edge), 32);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Verification

struct Tally {
    std::uint64_t arguments[kExpClasses > kLogClasses ? kExpClasses : kLogClasses] = {};
    std::uint64_t differences = 0;
    std::uint64_t sums = 0;
    std::uint64_t sum_differences = 0;
};

// The running sums of logarithms (add_logs and subtract_logs), checked on each batch against
// their scalar forms (the library's values added in order); null for exp.
struct SumForms {
    vector_math::forms::SumFunction add = nullptr;
    vector_math::forms::SumFunction subtract = nullptr;
    vector_math::forms::SumFunction add_scalar = nullptr;
    vector_math::forms::SumFunction subtract_scalar = nullptr;
};

std::mutex print_lock;

void verify_range(const char* name, vector_math::forms::ArrayFunction form, SumForms sums,
                  double (*library)(double), double (*draw)(Words&, int), int n_classes,
                  std::uint64_t count, std::uint64_t seed, Tally* tally) {
    constexpr std::size_t kBatch = 4096;
    std::vector<double> x(kBatch), y(kBatch);
    std::vector<int> cls(kBatch);
    Words w{seed};
    // Classes come in runs of random length, from single values to runs longer than the vector
    // forms' chunks, so that chunks of one class, mixed chunks and changes of class inside a chunk
    // all occur.
    int run_class = 0;
    std::uint64_t run_left = 0;
    for (std::uint64_t done = 0; done < count; done += kBatch) {
        const std::size_t n =
            static_cast<std::size_t>(count - done < kBatch ? count - done : kBatch);
        for (std::size_t i = 0; i < n; ++i) {
            if (run_left == 0) {
                run_class = static_cast<int>(w.next() % static_cast<std::uint64_t>(n_classes));
                run_left = 1 + w.next() % (w.next() & 1 ? 4 : 700);
            }
            --run_left;
            cls[i] = run_class;
            x[i] = draw(w, cls[i]);
        }
        // Odd offsets and lengths too, so that the remainder handling is exercised.
        const std::size_t skip = done % 3;
        form(x.data() + skip, y.data() + skip, n - skip);
        for (std::size_t i = 0; i < skip; ++i) y[i] = library(x[i]);
        for (std::size_t i = 0; i < n; ++i) {
            ++tally->arguments[cls[i]];
            const double expected = library(x[i]);
            if (to_bits(y[i]) != to_bits(expected)) {
                ++tally->differences;
                std::lock_guard<std::mutex> guard(print_lock);
                std::printf("DIFFERENCE %s(%a) [0x%016" PRIx64 "]: vector %a, library %a\n", name,
                            x[i], to_bits(x[i]), y[i], expected);
            }
        }
        if (sums.add != nullptr) {
            const bool subtract = (done / kBatch) % 2 == 1;
            const double sum =
                (subtract ? sums.subtract : sums.add)(0.5, x.data() + skip, n - skip, nullptr, 0);
            const double expected_sum = (subtract ? sums.subtract_scalar : sums.add_scalar)(
                0.5, x.data() + skip, n - skip, nullptr, 0);
            ++tally->sums;
            if (to_bits(sum) != to_bits(expected_sum)) {
                ++tally->sum_differences;
                std::lock_guard<std::mutex> guard(print_lock);
                std::printf("DIFFERENCE in a sum of %zu logs: vector %a, library %a\n", n - skip,
                            sum, expected_sum);
            }
        }
    }
}

std::uint64_t verify(const char* name, vector_math::forms::ArrayFunction form, SumForms sums,
                     double (*library)(double), double (*draw)(Words&, int), int n_classes,
                     const char* const* class_names, std::uint64_t count, int threads) {
    std::vector<Tally> tallies(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        const std::uint64_t share =
            count / threads + (t < static_cast<int>(count % threads) ? 1 : 0);
        const std::uint64_t seed = 0x1234567ULL + 7919ULL * static_cast<std::uint64_t>(t) +
                                   (name[0] == 'l' ? 1000003ULL : 0);
        workers.emplace_back(verify_range, name, form, sums, library, draw, n_classes, share, seed,
                             &tallies[static_cast<std::size_t>(t)]);
    }
    for (std::thread& worker : workers) worker.join();
    std::uint64_t differences = 0;
    std::printf("%s: %" PRIu64 " arguments\n", name, count);
    for (int c = 0; c < n_classes; ++c) {
        std::uint64_t n = 0;
        for (const Tally& tally : tallies) n += tally.arguments[c];
        std::printf("  %-34s %15" PRIu64 "\n", class_names[c], n);
    }
    std::uint64_t n_sums = 0, sum_differences = 0;
    for (const Tally& tally : tallies) {
        differences += tally.differences;
        n_sums += tally.sums;
        sum_differences += tally.sum_differences;
    }
    std::printf("  differences from the C library: %" PRIu64 "\n", differences);
    if (n_sums > 0) {
        std::printf("  running sums of the batches' logs: %" PRIu64
                    ", differing from the scalar sums: %" PRIu64 "\n",
                    n_sums, sum_differences);
    }
    return differences + sum_differences;
}

// ---------------------------------------------------------------------------------------------
// Hard cases

// For each variant (every site toggled alone, then nothing fused), up to `per_variant`
// arguments where the variant and the library differ while the FMA-build model agrees.
std::vector<std::uint64_t> hard_cases(double (*model)(double, unsigned), int sites,
                                      double (*library)(double), double (*draw)(Words&, int),
                                      int n_classes, bool (*ordinary)(double), const char* name) {
    const unsigned all = (1u << sites) - 1u;
    constexpr int kPerVariant = 12;
    constexpr std::uint64_t kTries = 40000000;
    std::vector<std::uint64_t> found;
    std::uint64_t model_mismatches = 0;
    Words w{0xfeedULL};
    for (int variant = 0; variant <= sites; ++variant) {
        const unsigned fused = variant < sites ? all & ~(1u << variant) : 0u;
        int hits = 0;
        std::uint64_t tries = 0;
        for (; tries < kTries && hits < kPerVariant; ++tries) {
            const int cls = static_cast<int>(tries % static_cast<std::uint64_t>(n_classes));
            const double x = draw(w, cls);
            if (!ordinary(x)) continue;
            const double expected = library(x);
            if (to_bits(model(x, all)) != to_bits(expected)) {
                ++model_mismatches;
                continue;
            }
            if (to_bits(model(x, fused)) != to_bits(expected)) {
                found.push_back(to_bits(x));
                ++hits;
            }
        }
        std::fprintf(stderr, "%s: variant %d: %d hard cases in %" PRIu64 " tries\n", name, variant,
                     hits, tries);
    }
    std::fprintf(stderr, "%s: the FMA-build model differed from the library %" PRIu64 " times\n",
                 name, model_mismatches);
    return found;
}

void print_cases(const char* name, const std::vector<std::uint64_t>& cases) {
    std::printf("extern const std::uint64_t k%sHardCases[] = {\n", name);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::printf("%s0x%016" PRIx64 "ULL,%s", i % 3 == 0 ? "    " : " ", cases[i],
                    i % 3 == 2 || i + 1 == cases.size() ? "\n" : "");
    }
    std::printf("};\nextern const std::size_t k%sHardCaseCount = %zu;\n", name, cases.size());
}

double library_exp(double x) { return std::exp(x); }
double library_log(double x) { return std::log(x); }

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--hard-cases") == 0) {
        auto exp_ordinary = [](double x) {
            const double a = std::fabs(x);
            return a >= 0x1p-54 && a < 512.0;
        };
        auto log_ordinary = [](double x) { return x >= 0x1p-1022 && x <= 0x1.fffffffffffffp1023; };
        print_cases("Exp", hard_cases(exp_model, kExpSites, library_exp, exp_argument, kExpClasses,
                                      exp_ordinary, "exp"));
        print_cases("Log", hard_cases(log_model, kLogSites, library_log, log_argument, kLogClasses,
                                      log_ordinary, "log"));
        return 0;
    }
    const std::uint64_t count =
        argc > 1 ? static_cast<std::uint64_t>(std::strtod(argv[1], nullptr)) : 10000000000ULL;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 2;

    const vector_math::Path path = vector_math::active_path();
    std::printf("selected path: %s (%s)\n", vector_math::path_name(path),
                vector_math::path_reason());
    vector_math::forms::ArrayFunction exp_form = vector_math::forms::exp_avx2_fma();
    vector_math::forms::ArrayFunction log_form = vector_math::forms::log_avx2_fma();
    if (exp_form == nullptr || log_form == nullptr) {
        std::printf("no vector forms on this processor: the scalar path is the library itself\n");
        return 0;
    }
    std::printf("self-check arguments: %zu exp, %zu log; differences %zu\n",
                vector_math::forms::exp_check_arguments().size(),
                vector_math::forms::log_check_arguments().size(),
                vector_math::forms::count_differences(exp_form, log_form));
    std::uint64_t differences = 0;
    differences += verify("exp", exp_form, SumForms{}, library_exp, exp_argument, kExpClasses,
                          kExpClassNames, count, threads);
    const SumForms log_sums{
        vector_math::forms::add_logs_avx2_fma(), vector_math::forms::subtract_logs_avx2_fma(),
        vector_math::forms::add_logs_scalar, vector_math::forms::subtract_logs_scalar};
    differences += verify("log", log_form, log_sums, library_log, log_argument, kLogClasses,
                          kLogClassNames, count, threads);
    std::printf("total differences: %" PRIu64 "\n", differences);
    return differences == 0 ? 0 : 1;
}
