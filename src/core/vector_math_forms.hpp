// The individual forms behind vector_math's exp_array and log_array, and the self-check that
// chooses between them: exposed for the tests and the verification program, which compare the
// vector forms with the C library whether or not this process selected them.
#pragma once

#include <cstddef>
#include <vector>

namespace vostrel::vector_math::forms {

using ArrayFunction = void (*)(const double* x, double* y, std::size_t n);
using SumFunction = double (*)(double start, const double* x, std::size_t n, const void* prefetch,
                               std::size_t prefetch_bytes);

// One library call per element (exp with the underflow cut of decay_exp).
void exp_scalar(const double* x, double* y, std::size_t n);
void log_scalar(const double* x, double* y, std::size_t n);
double add_logs_scalar(double start, const double* x, std::size_t n, const void* prefetch,
                       std::size_t prefetch_bytes);
double subtract_logs_scalar(double start, const double* x, std::size_t n, const void* prefetch,
                            std::size_t prefetch_bytes);

// The AVX2+FMA forms, or nullptr when they are not built for this target or the processor lacks
// AVX2 or FMA.
ArrayFunction exp_avx2_fma();
ArrayFunction log_avx2_fma();
SumFunction add_logs_avx2_fma();
SumFunction subtract_logs_avx2_fma();

// The self-check's fixed arguments: every special class, both ends of every table subinterval in
// several binades, the thresholds of each path, and hard cases on which any other arrangement of
// the library's fused operations gives a different last bit.
std::vector<double> exp_check_arguments();
std::vector<double> log_check_arguments();

// The number of check arguments on which the given forms differ from the library (by bits).
std::size_t count_differences(ArrayFunction exp_form, ArrayFunction log_form);

}  // namespace vostrel::vector_math::forms
