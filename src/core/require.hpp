// Parameter checks as data: require(value, "name", rule) passes, or gives the InvalidParameter
// error "{name} {requirement}; got {value}". Every routine states its checks this way, so the
// wording of a rule lives in one place and the value is always written the same way.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/model_error.hpp"

namespace vostrel {

// A rule on a double: the comparison that rejects a value, written literally so that a NaN is
// rejected exactly where that comparison says (only the finiteness rules reject it), and the
// words that state the requirement.
struct Rule {
    enum class Rejects {
        AtMost,   // value <= bound
        Below,    // value < bound
        AtLeast,  // value >= bound
        Unequal,  // !(value == bound)
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
ModelError rejection(const char* name, const Rule* rule, double value);
ModelError rejection(const Element& name, const Rule* rule, double value);
ModelError rejection(const char* name, AtMost rule, std::uint64_t value);

// The outcome of one check: true when the value was rejected, and then *check writes the error.
// It holds only the name, the rule (a rule by address: the named rules and a routine's own are
// static) and the value, so a passed check costs the comparison alone, with no error object made
// or destroyed on that path:
//     if (auto error = require(beta, "beta", rules::positive)) return *error;
template <class Name, class Constraint, class Value>
class [[nodiscard]] Check {
public:
    Check(bool rejected, Name name, Constraint rule, Value value)
        : rejected_(rejected), name_(name), rule_(rule), value_(value) {}
    explicit operator bool() const { return rejected_; }
    ModelError operator*() const { return rejection(name_, rule_, value_); }

private:
    bool rejected_;
    Name name_;
    Constraint rule_;
    Value value_;
};

inline Check<const char*, const Rule*, double> require(double value, const char* name,
                                                       const Rule& rule) {
    return {rule.rejected(value), name, &rule, value};
}

inline Check<Element, const Rule*, double> require(double value, Element name, const Rule& rule) {
    return {rule.rejected(value), name, &rule, value};
}

// A temporary rule would be gone before *check reads it: name the rule (static constexpr).
void require(double, const char*, Rule&&) = delete;
void require(double, Element, Rule&&) = delete;

inline Check<const char*, AtMost, std::uint64_t> require(std::uint64_t value, const char* name,
                                                         AtMost rule) {
    return {value > rule.limit, name, rule, value};
}

}  // namespace vostrel
