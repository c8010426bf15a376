// Parameter checks as data: require(value, "name", rule) passes, or gives the InvalidParameter
// error "{name} {requirement}; got {value}". Every routine states its checks this way, so the
// wording of a rule lives in one place and the value is always written the same way.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/model_error.hpp"

namespace vostrel {

// A rule on a double: the comparison that rejects a value, written literally so that a NaN is
// rejected exactly where that comparison says (only the finiteness rules reject it), and the
// words that state the requirement.
struct Rule {
    enum class Rejects {
        AtMost,    // value <= bound
        Below,     // value < bound
        AtLeast,   // value >= bound
        Unequal,   // !(value == bound)
        NotFinite,
        NegativeOrNotFinite,
    };
    Rejects rejects;
    double bound;
    const char* requirement;  // "must be positive"

    constexpr bool rejected(double value) const {
        switch (rejects) {
            case Rejects::AtMost: return value <= bound;
            case Rejects::Below: return value < bound;
            case Rejects::AtLeast: return value >= bound;
            case Rejects::Unequal: return !(value == bound);
            case Rejects::NotFinite: return !std::isfinite(value);
            case Rejects::NegativeOrNotFinite: return !std::isfinite(value) || value < bound;
        }
        return false;
    }
    // The same test stated in other words, for a requirement that explains itself.
    constexpr Rule worded(const char* words) const { return Rule{rejects, bound, words}; }
};

// The common rules, in a namespace of their own so that `finite` never meets the C library's.
namespace rules {
inline constexpr Rule positive{Rule::Rejects::AtMost, 0.0, "must be positive"};
inline constexpr Rule non_negative{Rule::Rejects::Below, 0.0, "must be non-negative"};
inline constexpr Rule finite{Rule::Rejects::NotFinite, 0.0, "must be finite"};
inline constexpr Rule non_negative_finite{Rule::Rejects::NegativeOrNotFinite, 0.0,
                                          "must be a non-negative finite number"};
}  // namespace rules

// A count with an upper limit: "must be at most {limit}".
struct AtMost {
    std::uint64_t limit;
};

// An element of an array parameter, named "{array}[{index}]".
struct Element {
    const char* array;
    std::size_t index;
};

// The errors, built only when a check fails.
ModelError rejection(const char* name, const Rule& rule, double value);
ModelError rejection(const Element& name, const Rule& rule, double value);
ModelError rejection(const char* name, AtMost rule, std::uint64_t value);

template <class Name>
std::optional<ModelError> require(double value, const Name& name, const Rule& rule) {
    if (!rule.rejected(value)) return std::nullopt;
    return rejection(name, rule, value);
}

inline std::optional<ModelError> require(std::uint64_t value, const char* name, AtMost rule) {
    if (value <= rule.limit) return std::nullopt;
    return rejection(name, rule, value);
}

}  // namespace vostrel
