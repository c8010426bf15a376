// exp of a decay exponent, the same double as std::exp: below about -745.13 glibc's exp rounds to
// +0 but gets there through its underflow path (errno, a second call), several times slower than
// an ordinary call. Likelihoods meet such exponents all the time (the compensator terms of events
// long before the horizon), so they are answered directly. The cut at -745.2 lies below the
// smallest exponent whose exp is a subnormal (exp(-745.1332...) = 5e-324), so every result is
// bit for bit std::exp's in the default rounding mode; NaN still goes to std::exp.
#pragma once

#include <cmath>

namespace vostrel::likelihood {

inline double decay_exp(double exponent) { return exponent < -745.2 ? 0.0 : std::exp(exponent); }

}  // namespace vostrel::likelihood
