// The choice of path for exp_array and log_array, made once per process at first use, and the
// self-check it rests on: the vector forms are compared with the C library on a fixed set of
// arguments chosen to expose any departure from the library's steps, and are used only if every
// result is the same double.
#include "core/vector_math.hpp"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/libm_tables.hpp"
#include "core/vector_math_forms.hpp"

namespace vostrel::vector_math {

namespace forms {

void exp_scalar(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = decay_exp(x[i]);
}

void log_scalar(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = std::log(x[i]);
}

namespace {

// sum +- log(x[i]) in order, asking for the caller's next data a few cache lines per call.
template <bool Subtract>
double sum_logs_scalar(double start, const double* x, std::size_t n, const void* prefetch,
                       std::size_t prefetch_bytes) {
    const char* fetch = static_cast<const char*>(prefetch);
    const char* fetch_end = fetch == nullptr ? fetch : fetch + prefetch_bytes;
    const std::size_t lines = prefetch_bytes / 64;
    const std::size_t stride = n == 0 ? 0 : 64 * ((lines + n - 1) / n);
    double sum = start;
    for (std::size_t i = 0; i < n; ++i) {
        if (fetch < fetch_end) {
            for (std::size_t line = 0; line < stride; line += 64) __builtin_prefetch(fetch + line);
            fetch += stride;
        }
        sum = Subtract ? sum - std::log(x[i]) : sum + std::log(x[i]);
    }
    return sum;
}

}  // namespace

double add_logs_scalar(double start, const double* x, std::size_t n, const void* prefetch,
                       std::size_t prefetch_bytes) {
    return sum_logs_scalar<false>(start, x, n, prefetch, prefetch_bytes);
}

double subtract_logs_scalar(double start, const double* x, std::size_t n, const void* prefetch,
                            std::size_t prefetch_bytes) {
    return sum_logs_scalar<true>(start, x, n, prefetch, prefetch_bytes);
}

namespace {

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }
std::uint64_t to_bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// value and its `width` neighbours on either side (by bit pattern, staying in its sign).
void add_around(std::vector<double>& out, double value, int width) {
    const std::uint64_t bits = to_bits(value);
    for (int d = -width; d <= width; ++d) {
        const std::uint64_t b = bits + static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
        if ((b ^ bits) >> 63 == 0) out.push_back(from_bits(b));
    }
}

void add_both_signs(std::vector<double>& out, double value, int width) {
    add_around(out, value, width);
    add_around(out, -value, width);
}

// Special classes shared by both functions.
void add_special_values(std::vector<double>& out) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double v : {0.0, inf, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                     std::numeric_limits<double>::max(), 0x1p-1060, 0x0.fffffffffffffp-1022}) {
        out.push_back(v);
        out.push_back(-v);
    }
    out.push_back(from_bits(0x7ff0000000000001ULL));  // a signalling NaN's bits, with payload
    out.push_back(from_bits(0x7ff8000000000123ULL));  // a quiet NaN with payload
    out.push_back(from_bits(0xfff8000000000000ULL));
}

}  // namespace

// Bit patterns on which an arrangement of the library's operations that fuses one step more or
// one step less than its FMA build gives a different result (vector_math_hard_cases.cpp).
extern const std::uint64_t kExpHardCases[];
extern const std::size_t kExpHardCaseCount;
extern const std::uint64_t kLogHardCases[];
extern const std::size_t kLogHardCaseCount;

std::vector<double> exp_check_arguments() {
    std::vector<double> out;
    add_special_values(out);
    // Thresholds: |x| = 2^-54 (below: 1 + x), 512 (the careful path), 1024, the overflow and
    // subnormal limits, the underflow cut and the last exponent whose exp is not 0.
    for (double v : {0x1p-54, 512.0, 1024.0, 709.782712893384, 708.3964185322641, 745.1332191019411,
                     744.4400719213812, 740.0}) {
        add_both_signs(out, v, 2);
    }
    add_around(out, kExpUnderflowCut, 2);
    // Both ends of every table subinterval: x near (k + 1/2) ln2/N, where round(x N/ln2) moves
    // from k to k + 1, for every k mod N in four binades of the reduction.
    const double inv_ln2_n = from_bits(libm::kExp.inv_ln2_n);
    for (int octave : {-6, -1, 0, 3}) {
        for (int i = 0; i < 128; ++i) {
            const double k = static_cast<double>(octave * 128 + i);
            add_around(out, (k + 0.5) / inv_ln2_n, 1);
        }
    }
    for (std::size_t h = 0; h < kExpHardCaseCount; ++h) out.push_back(from_bits(kExpHardCases[h]));
    return out;
}

std::vector<double> log_check_arguments() {
    std::vector<double> out;
    add_special_values(out);
    for (double v : {1.0, 2.0, 0.5, -1.0}) add_around(out, v, 2);
    // The edges of the path near 1: [1 - 2^-4, 1 + 0x1.09p-4).
    add_around(out, 1.0 - 0x1p-4, 2);
    add_around(out, 1.0 + 0x1.09p-4, 2);
    // Both ends of every table subinterval of z in [0x1.6p-1, 0x1.6p0), in seven binades
    // (the subnormal range is the library's own).
    for (int k : {-1000, -100, -3, -1, 0, 1, 40}) {
        const std::uint64_t binade = static_cast<std::uint64_t>(static_cast<std::int64_t>(k)) << 52;
        for (std::uint64_t i = 0; i < 128; ++i) {
            const std::uint64_t first = 0x3fe6000000000000ULL + (i << 45) + binade;
            out.push_back(from_bits(first));
            out.push_back(from_bits(first + (1ULL << 45) - 1));
        }
    }
    for (std::size_t h = 0; h < kLogHardCaseCount; ++h) out.push_back(from_bits(kLogHardCases[h]));
    return out;
}

std::size_t count_differences(ArrayFunction exp_form, ArrayFunction log_form) {
    std::size_t differences = 0;
    auto compare = [&differences](ArrayFunction form, double (*library)(double),
                                  const std::vector<double>& x) {
        std::vector<double> y(x.size());
        form(x.data(), y.data(), x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (to_bits(y[i]) != to_bits(library(x[i]))) ++differences;
        }
        // In place, and in every alignment of the remainder.
        for (std::size_t n = 0; n <= 9 && n <= x.size(); ++n) {
            std::vector<double> z(x.end() - static_cast<std::ptrdiff_t>(n), x.end());
            form(z.data(), z.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                if (to_bits(z[i]) != to_bits(library(x[x.size() - n + i]))) ++differences;
            }
        }
    };
    compare(exp_form, [](double v) { return std::exp(v); }, exp_check_arguments());
    compare(log_form, [](double v) { return std::log(v); }, log_check_arguments());
    return differences;
}

}  // namespace forms

namespace {

struct Selection {
    Path path = Path::Scalar;
    const char* reason = "";
    forms::ArrayFunction exp = &forms::exp_scalar;
    forms::ArrayFunction log = &forms::log_scalar;
    forms::SumFunction add_logs = &forms::add_logs_scalar;
    forms::SumFunction subtract_logs = &forms::subtract_logs_scalar;
};

bool scalar_forced() {
    const char* value = std::getenv("VOSTREL_SCALAR_MATH");
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

Selection select() {
    Selection s;
    if (scalar_forced()) {
        s.reason = "forced by VOSTREL_SCALAR_MATH";
        return s;
    }
    const forms::ArrayFunction exp_form = forms::exp_avx2_fma();
    const forms::ArrayFunction log_form = forms::log_avx2_fma();
    if (exp_form == nullptr || log_form == nullptr) {
#if defined(__x86_64__)
        s.reason = "processor lacks AVX2 or FMA";
#else
        s.reason = "not built for this processor";
#endif
        return s;
    }
    if (forms::count_differences(exp_form, log_form) != 0) {
        s.reason = "self-check found a difference";
        return s;
    }
    s.path = Path::Avx2Fma;
    s.reason = "self-check passed";
    s.exp = exp_form;
    s.log = log_form;
    s.add_logs = forms::add_logs_avx2_fma();
    s.subtract_logs = forms::subtract_logs_avx2_fma();
    return s;
}

const Selection& selection() {
    static const Selection chosen = select();
    return chosen;
}

}  // namespace

void exp_array(const double* x, double* y, std::size_t n) { selection().exp(x, y, n); }
void log_array(const double* x, double* y, std::size_t n) { selection().log(x, y, n); }

double add_logs(double start, const double* x, std::size_t n, const void* prefetch,
                std::size_t prefetch_bytes) {
    return selection().add_logs(start, x, n, prefetch, prefetch_bytes);
}

double subtract_logs(double start, const double* x, std::size_t n, const void* prefetch,
                     std::size_t prefetch_bytes) {
    return selection().subtract_logs(start, x, n, prefetch, prefetch_bytes);
}

Path active_path() { return selection().path; }
const char* path_reason() { return selection().reason; }

const char* path_name(Path path) {
    switch (path) {
        case Path::Scalar: return "scalar";
        case Path::Avx2Fma: return "avx2+fma";
    }
    return "unknown";
}

}  // namespace vostrel::vector_math
