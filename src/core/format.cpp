// Number formatting for messages and reprs (see format.hpp), built on std::to_chars, which gives
// the shortest round-trip digits in both fixed and scientific notation.
#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "core/model_error.hpp"

namespace vostrel {
namespace {

// 1e308 needs 309 digits plus a sign; the smallest subnormal needs "0." and 323 more digits plus
// the sign. 400 covers both; the loop grows the buffer anyway should a platform need more.
std::string to_chars_string(double value, std::chars_format format) {
    std::string text(400, '\0');
    for (;;) {
        auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), value, format);
        if (ec == std::errc()) {
            text.resize(static_cast<std::size_t>(end - text.data()));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

// Non-finite values print the same in both forms.
bool format_non_finite(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value > 0 ? "inf" : "-inf";
        return true;
    }
    return false;
}

// Shortest round-trip digits and decimal exponent, from the scientific form "-d.ddde+XX".
struct ShortestDigits {
    bool negative;
    std::string digits;
    int exponent;  // of the first digit
};

ShortestDigits shortest_digits(double value) {
    const std::string text = to_chars_string(value, std::chars_format::scientific);
    ShortestDigits result{text[0] == '-', {}, 0};
    const std::size_t e = text.find('e');
    for (std::size_t i = result.negative ? 1 : 0; i < e; ++i) {
        if (text[i] != '.') result.digits += text[i];
    }
    result.exponent = std::atoi(text.c_str() + e + 1);
    return result;
}

}  // namespace

std::string format_double(double value) {
    std::string out;
    if (format_non_finite(value, out)) return out;
    // The shortest digits placed without exponent: 1e308 is a 1 and 308 zeros, not the exact
    // binary value's 309 digits that fixed notation would print.
    const ShortestDigits d = shortest_digits(value);
    if (d.negative) out += '-';
    const int point = d.exponent + 1;  // digits before the decimal point
    const int n_digits = static_cast<int>(d.digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += d.digits;
    } else if (point >= n_digits) {
        out += d.digits;
        out.append(static_cast<std::size_t>(point - n_digits), '0');
    } else {
        out.append(d.digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(d.digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

namespace {

// The same placement with at least one digit after the point ("2.0").
std::string plain_with_fraction(double value) {
    std::string out = format_double(value);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

}  // namespace

std::string format_double_debug(double value) {
    std::string out;
    if (format_non_finite(value, out)) return out;
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4)) {
        // to_chars writes "1e-05" / "1.5e+16"; the debugging form is "1e-5" / "1.5e16".
        std::string text = to_chars_string(value, std::chars_format::scientific);
        const std::size_t e = text.find('e');
        std::string mantissa = text.substr(0, e);
        std::string exponent = text.substr(e + 1);
        bool negative = false;
        std::size_t pos = 0;
        if (pos < exponent.size() && (exponent[pos] == '+' || exponent[pos] == '-')) {
            negative = exponent[pos] == '-';
            ++pos;
        }
        while (pos + 1 < exponent.size() && exponent[pos] == '0') ++pos;
        return mantissa + "e" + (negative ? "-" : "") + exponent.substr(pos);
    }
    return plain_with_fraction(value);
}

std::string format_double_list(std::span<const double> values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) out += ", ";
        out += format_double_debug(values[i]);
    }
    out += "]";
    return out;
}

std::string ModelError::display() const {
    struct Visitor {
        std::string operator()(const InvalidParameter& e) const {
            return "invalid parameter: " + e.message;
        }
        std::string operator()(const NonMonotone& e) const {
            return "non-monotone events: index " + format_uint(e.index) + " (" +
                   format_double(e.previous) + " > " + format_double(e.next) + ")";
        }
        std::string operator()(const OutOfRange& e) const {
            return "event " + format_double(e.time) + " outside [0, " + format_double(e.horizon) +
                   "]";
        }
    };
    return std::visit(Visitor{}, kind_);
}

std::string format_uint128(unsigned __int128 value) {
    if (value == 0) return "0";
    std::string digits;
    while (value != 0) {
        digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    }
    return std::string(digits.rbegin(), digits.rend());
}

}  // namespace vostrel
