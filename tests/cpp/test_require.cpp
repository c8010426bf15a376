// Parameter checks as data: which values each rule rejects (a NaN only by the finiteness rules
// and the equality rule, as the literal comparisons say) and the message of a rejection.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/model_error.hpp"
#include "core/require.hpp"

using namespace vostrel;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class Check>
std::string message_of(const Check& check) {
    return check ? (*check).display() : std::string("passes");
}

struct Case {
    const Rule& rule;
    double value;
    bool rejected;
};

void rules_reject_exactly_their_comparison() {
    constexpr Rule zero{Rule::Rejects::Unequal, 0.0, "must be 0.0"};
    constexpr Rule below_one{Rule::Rejects::AtLeast, 1.0, "must be < 1"};
    using rules::finite, rules::non_negative, rules::non_negative_finite, rules::positive;
    const Case cases[] = {
        {positive, 1e-300, false},
        {positive, 0.0, true},
        {positive, -0.0, true},
        {positive, -kInf, true},
        {positive, kNaN, false},
        {positive, kInf, false},
        {non_negative, 0.0, false},
        {non_negative, -0.0, false},
        {non_negative, -1e-300, true},
        {non_negative, kNaN, false},
        {finite, 1e308, false},
        {finite, kInf, true},
        {finite, -kInf, true},
        {finite, kNaN, true},
        {non_negative_finite, 0.0, false},
        {non_negative_finite, -1.0, true},
        {non_negative_finite, kInf, true},
        {non_negative_finite, kNaN, true},
        {zero, 0.0, false},
        {zero, -0.0, false},
        {zero, kNaN, true},
        {zero, 1e-300, true},
        {below_one, 0.5, false},
        {below_one, 1.0, true},
        {below_one, kNaN, false},
    };
    for (const Case& c : cases) {
        const bool rejected = static_cast<bool>(require(c.value, "x", c.rule));
        if (rejected != c.rejected) {
            std::fprintf(stderr, "rule '%s' on %g: rejected %d\n", c.rule.requirement, c.value,
                         int(rejected));
        }
        CHECK(rejected == c.rejected);
    }
}

void messages_name_the_parameter_and_the_value() {
    CHECK(message_of(require(-1.0, "beta", rules::positive)) ==
          "invalid parameter: beta must be positive; got -1");
    CHECK(message_of(require(-kInf, Element{"mu", 12}, rules::non_negative)) ==
          "invalid parameter: mu[12] must be non-negative; got -inf");
    CHECK(message_of(require(kNaN, "t_horizon", rules::finite)) ==
          "invalid parameter: t_horizon must be finite; got NaN");
    constexpr Rule worded = rules::positive.worded("must be positive (for a reason)");
    CHECK(message_of(require(-0.0, "c", worded)) ==
          "invalid parameter: c must be positive (for a reason); got -0");
    CHECK(message_of(require(std::uint64_t{5}, "n", AtMost{4})) ==
          "invalid parameter: n must be at most 4; got 5");
    CHECK(message_of(require(UINT64_MAX, "n", AtMost{UINT64_MAX})) == "passes");
    CHECK(message_of(require(0.5, "beta", rules::positive)) == "passes");
}

}  // namespace

int main() {
    rules_reject_exactly_their_comparison();
    messages_name_the_parameter_and_the_value();
    return vostrel::test::check_summary();
}
