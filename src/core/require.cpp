// The messages of failed parameter checks (see require.hpp).
#include "core/require.hpp"

#include <string>
#include <utility>

#include "core/format.hpp"

namespace vostrel {

namespace {

ModelError rejection_of(std::string name, const char* requirement, const std::string& value) {
    name += ' ';
    name += requirement;
    name += "; got ";
    name += value;
    return ModelError::invalid_parameter(std::move(name));
}

}  // namespace

ModelError rejection(const char* name, const Rule* rule, double value) {
    return rejection_of(name, rule->requirement, format_double(value));
}

ModelError rejection(const Element& name, const Rule* rule, double value) {
    return rejection_of(std::string(name.array) + "[" + format_uint(name.index) + "]",
                        rule->requirement, format_double(value));
}

ModelError rejection(const char* name, AtMost rule, std::uint64_t value) {
    return rejection_of(name, ("must be at most " + format_uint(rule.limit)).c_str(),
                        format_uint(value));
}

}  // namespace vostrel
