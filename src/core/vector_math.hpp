// exp and log of whole arrays with the C library's exact bits: the likelihood loops gather their
// independent calls into blocks and hand each block to one call here. Where the processor has
// AVX2 and FMA, four lanes at a time take the library's own steps (same reduction, table,
// polynomial and fused operations), and lanes with special inputs take the library call itself.
// The vector forms are used only after a self-check at first use has found them equal to the
// library on a fixed set of hard arguments; otherwise, or when the environment variable
// VOSTREL_SCALAR_MATH is set (to anything but "" or "0"), every element is one library call, for
// the life of the process. Results never depend on the path.
#pragma once

#include <cmath>
#include <cstddef>

namespace vostrel::vector_math {

// Below this exponent the library's exp rounds to +0 (exp(-745.1332...) is the smallest
// subnormal, 5e-324), but gets there through its underflow path (errno, a second call), several
// times slower than an ordinary call. Likelihoods meet such exponents all the time (the
// compensator terms of events long before the horizon), so they are answered directly: the same
// double as std::exp in the default rounding mode; NaN still goes to std::exp.
inline constexpr double kExpUnderflowCut = -745.2;

inline double decay_exp(double exponent) {
    return exponent < kExpUnderflowCut ? 0.0 : std::exp(exponent);
}

// y[i] = std::exp(x[i]) (as decay_exp) and y[i] = std::log(x[i]) for i < n, bit for bit. y may
// be x itself (in place); otherwise the two must not overlap.
void exp_array(const double* x, double* y, std::size_t n);
void log_array(const double* x, double* y, std::size_t n);

// The running sums of logarithms the likelihoods keep, bit for bit the plain loops
//   for (i = 0; i < n; ++i) sum = sum + std::log(x[i]);   (add_logs)
//   for (i = 0; i < n; ++i) sum = sum - std::log(x[i]);   (subtract_logs)
// returning sum, starting from `start`. On the vector path the additions of one stretch of values
// run while the logarithms of the next are computed, so long arrays cost little more than their
// logarithms. The caller may name the data it will read next (`prefetch_bytes` from `prefetch`):
// it is asked for a cache line at a time while the logarithms are computed. (Where a NaN sum
// meets a NaN logarithm, the one kept is the first operand's, in both forms; the likelihoods'
// logarithms, of floored intensities, are never NaN.)
double add_logs(double start, const double* x, std::size_t n, const void* prefetch = nullptr,
                std::size_t prefetch_bytes = 0);
double subtract_logs(double start, const double* x, std::size_t n, const void* prefetch = nullptr,
                     std::size_t prefetch_bytes = 0);

// A running sum of logarithms of values that arrive one at a time, sum = sum + log(x) for each
// in order, taken a block at a time by add_logs (for loops that find one value per long step,
// such as an event's intensity after its pair loop).
class LogSum {
public:
    explicit LogSum(double start) : sum_(start) {}
    void add(double x) {
        values_[count_++] = x;
        if (count_ == kBlock) flush();
    }
    // The sum of everything added so far.
    double sum() {
        flush();
        return sum_;
    }

private:
    static constexpr std::size_t kBlock = 256;
    void flush() {
        sum_ = add_logs(sum_, values_, count_);
        count_ = 0;
    }
    double sum_;
    double values_[kBlock];
    std::size_t count_ = 0;
};

enum class Path { Scalar, Avx2Fma };

// The path this process uses, chosen at first use (of these functions or of exp_array/log_array).
Path active_path();
const char* path_name(Path path);
// Why it was chosen: "self-check passed", "forced by VOSTREL_SCALAR_MATH", "processor lacks
// AVX2 or FMA", "self-check found a difference", or "not built for this processor".
const char* path_reason();

}  // namespace vostrel::vector_math
