// Number formatting of messages and reprs, including the extremes whose plain decimal form is
// hundreds of characters long.
#include <cmath>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/format.hpp"
#include "core/model_error.hpp"

using vostrel::format_double;
using vostrel::format_double_debug;

int main() {
    CHECK(format_double(1.0) == "1");
    CHECK(format_double(0.5) == "0.5");
    CHECK(format_double(-2.0) == "-2");
    CHECK(format_double(1e-7) == "0.0000001");
    CHECK(format_double(1e20) == "100000000000000000000");
    CHECK(format_double(-0.0) == "-0");
    CHECK(format_double(-1e-20) == "-0.00000000000000000001");
    CHECK(format_double(0.1 + 0.2) == "0.30000000000000004");
    CHECK(format_double(std::nan("")) == "NaN");
    CHECK(format_double(INFINITY) == "inf");
    CHECK(format_double(-INFINITY) == "-inf");
    const std::string big = format_double(1e308);
    CHECK(big.size() == 309 && big.front() == '1' &&
          big.find_first_not_of('0', 1) == std::string::npos);
    const std::string max = format_double(std::numeric_limits<double>::max());
    CHECK(max.size() == 309 && max.rfind("17976931348623157000", 0) == 0);
    const std::string tiny = format_double(-5e-324);
    CHECK(tiny.size() == 1 + 2 + 323 + 1 && tiny.rfind("-0.000", 0) == 0 && tiny.back() == '5');

    CHECK(format_double_debug(0.0) == "0.0");
    CHECK(format_double_debug(1.0) == "1.0");
    CHECK(format_double_debug(2.5) == "2.5");
    CHECK(format_double_debug(0.0001) == "0.0001");
    CHECK(format_double_debug(1e-5) == "1e-5");
    CHECK(format_double_debug(1.5e16) == "1.5e16");
    CHECK(format_double_debug(-2.5e-7) == "-2.5e-7");
    CHECK(format_double_debug(1e16) == "1e16");
    CHECK(format_double_debug(9999999999999998.0) == "9999999999999998.0");
    CHECK(format_double_debug(-0.0) == "-0.0");
    CHECK(format_double_debug(1e300) == "1e300");
    const double list[] = {0.0, 1.0, 1e-5};
    CHECK(vostrel::format_double_list(list) == "[0.0, 1.0, 1e-5]");
    CHECK(vostrel::format_double_list({}) == "[]");

    using vostrel::ModelError;
    CHECK(ModelError::invalid_parameter("beta must be positive; got -1").display() ==
          "invalid parameter: beta must be positive; got -1");
    CHECK(ModelError::non_monotone(3, 2.5, 1.0).display() ==
          "non-monotone events: index 3 (2.5 > 1)");
    CHECK(ModelError::out_of_range(-0.5, 10.0).display() == "event -0.5 outside [0, 10]");
    return vostrel::test::check_summary();
}
