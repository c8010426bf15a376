// ModelError and Result: how a numerical routine reports a rejected input without knowing
// anything about Python. The boundary layer turns a ModelError into ValueError.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

namespace vostrel {

// The three kinds of error a routine can return; display() gives the user-facing text.
class ModelError {
public:
    struct InvalidParameter {
        std::string message;
    };
    struct NonMonotone {
        std::size_t index;
        double previous;
        double next;
    };
    struct OutOfRange {
        double time;
        double horizon;
    };

    static ModelError invalid_parameter(std::string message) {
        return ModelError(InvalidParameter{std::move(message)});
    }
    static ModelError non_monotone(std::size_t index, double previous, double next) {
        return ModelError(NonMonotone{index, previous, next});
    }
    static ModelError out_of_range(double time, double horizon) {
        return ModelError(OutOfRange{time, horizon});
    }

    const std::variant<InvalidParameter, NonMonotone, OutOfRange>& kind() const { return kind_; }

    // "invalid parameter: {message}", "non-monotone events: index {index} ({previous} > {next})",
    // "event {time} outside [0, {horizon}]".
    std::string display() const;

private:
    explicit ModelError(std::variant<InvalidParameter, NonMonotone, OutOfRange> kind)
        : kind_(std::move(kind)) {}
    std::variant<InvalidParameter, NonMonotone, OutOfRange> kind_;
};

// A routine's value or its ModelError. Deliberately tiny: routines build it implicitly from
// either alternative, callers test ok() and then take value() or error().
template <class T>
class Result {
public:
    Result(T value)
        : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(ModelError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const ModelError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, ModelError> state_;
};

}  // namespace vostrel
