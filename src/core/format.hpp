// Number formatting shared by error messages and reprs: doubles as their shortest round-trip
// decimal without exponent ("1", "0.5", "-0", "NaN", "inf"), and the debugging form used by
// list reprs ("1.0", "1e-5").
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vostrel {

// Shortest decimal that reads back to the same double, never with an exponent. 1e308 is a 309
// digit number and 5e-324 has 323 zeros after the point, so the result is built in a std::string
// sized for the worst case, never in a fixed small buffer.
std::string format_double(double value);

// Debugging form: magnitude >= 1e16, or non-zero below 1e-4, in shortest exponent form ("1e-5",
// "1.5e16"); everything else in shortest decimal with at least one digit after the point ("2.0").
std::string format_double_debug(double value);

// "[a, b, c]" with each element in the debugging form.
std::string format_double_list(std::span<const double> values);

inline std::string format_uint(std::uint64_t value) { return std::to_string(value); }

// The same for counts that need more than 64 bits (M*M for M >= 2^32, bytes of a huge count).
std::string format_uint128(unsigned __int128 value);

}  // namespace vostrel
