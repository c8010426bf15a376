// The fixed-decay multivariate exponential Hawkes model an optimiser drives: everything that
// depends only on the events and the shared decay is precomputed once, so that an evaluation of
// the negative log-likelihood in (mu, alpha) costs one log per event and no exp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

class MvExpRecursiveModel {
public:
    // Validates (decay, end_time, at least one dimension, then each dimension's order and range)
    // while copying the caller's event arrays, and precomputes the weights. Throws OutOfMemory
    // (core/memory.hpp), before allocating, when the weights could not fit in the memory this
    // process may use, and Interrupted when the interruption hook says stop.
    static Result<MvExpRecursiveModel> create(std::span<const std::span<const double>> timestamps,
                                              double end_time, double decay);
    // The same for event arrays held in vectors (copied as well).
    static Result<MvExpRecursiveModel> create(const std::vector<std::vector<double>>& timestamps,
                                              double end_time, double decay);

    std::uint64_t n_dims() const { return offsets_.size() - 1; }
    double end_time() const { return end_time_; }
    double decay() const { return decay_; }
    std::uint64_t n_total_jumps() const { return n_total_jumps_; }
    // M + M*M: mu followed by alpha row by row (row i = everything that excites dimension i).
    std::uint64_t n_coeffs() const { return n_dims() * (n_dims() + 1); }

    // The unnormalised negative log-likelihood; coeffs must have n_coeffs() entries.
    Result<double> loss(std::span<const double> coeffs) const;
    // The same loss, bit for bit, and its gradient written over every entry of `out`. `out` is
    // untouched when a length check fails. `out` must not overlap `coeffs`.
    Result<double> loss_and_grad(std::span<const double> coeffs, std::span<double> out) const;

    // The copied events of dimension d.
    std::span<const double> times(std::size_t d) const {
        return {storage_.get() + offsets_[d], offsets_[d + 1] - offsets_[d]};
    }
    // Precomputed weights, exposed for tests: g_i as an n_i x M row-major matrix, S_i as M values.
    std::span<const double> excitation_weights(std::size_t i) const {
        const std::size_t M = offsets_.size() - 1;
        return {storage_.get() + n_total_jumps_ + offsets_[i] * M,
                (offsets_[i + 1] - offsets_[i]) * M};
    }
    std::span<const double> compensator_weights(std::size_t i) const {
        const std::size_t M = offsets_.size() - 1;
        return {storage_.get() + n_total_jumps_ * (M + 1) + i * M, M};
    }

private:
    MvExpRecursiveModel() = default;
    double* excitation_data() { return storage_.get() + n_total_jumps_; }
    double* compensator_data() { return storage_.get() + n_total_jumps_ * (n_dims() + 1); }
    // strictly_increasing: every dimension's times are finite, in [0, T) and strictly increasing
    // (known from the copy), which a single dimension needs for the time-ordered walk.
    void precompute_weights(bool strictly_increasing);
    // The same weights, bit for bit, by one time-ordered walk over all events per target
    // dimension; returns false (having written nothing) unless every time is finite, below T and
    // distinct from every other, the case where that walk reproduces the per-pair cursors.
    bool precompute_weights_merged(bool strictly_increasing);
    void precompute_weights_per_pair();
    double evaluate(const double* coeffs, double* out) const;

    // One allocation, written once and never zero-filled: the events of every dimension (N
    // doubles, dimension after dimension), then the excitation weights (N*M, g_0 then g_1 ...),
    // then the compensator weights (M*M, S_0 then S_1 ...).
    std::unique_ptr<double[]> storage_;
    std::vector<std::size_t> offsets_;  // dimension d's events are [offsets_[d], offsets_[d+1])
    double end_time_ = 0.0;
    std::uint64_t n_total_jumps_ = 0;
    double decay_ = 0.0;
};

}  // namespace vostrel::likelihood
