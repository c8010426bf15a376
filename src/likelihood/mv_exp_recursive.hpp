// The fixed-decay multivariate exponential Hawkes model an optimiser drives: everything that
// depends only on the events and the shared decay is precomputed once, so that an evaluation of
// the negative log-likelihood in (mu, alpha) costs one log per event and no exp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

class MvExpRecursiveModel {
public:
    // Validates (decay, end_time, at least one dimension, then each dimension's order and range)
    // and precomputes the weights. Takes ownership of the copied event arrays. Throws
    // std::bad_alloc, before allocating, when the weights could not fit in physical memory.
    static Result<MvExpRecursiveModel> create(std::vector<std::vector<double>> timestamps,
                                              double end_time, double decay);

    std::uint64_t n_dims() const { return timestamps_.size(); }
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

    // Precomputed weights, exposed for tests: g_i as an n_i x M row-major matrix, S_i as M values.
    std::span<const double> excitation_weights(std::size_t i) const { return excitation_weights_[i]; }
    std::span<const double> compensator_weights(std::size_t i) const { return compensator_weights_[i]; }

private:
    MvExpRecursiveModel() = default;
    void precompute_weights();
    // The same weights, bit for bit, by one time-ordered walk over all events per target
    // dimension; returns false (having written nothing) unless every time is finite, below T and
    // distinct from every other, the case where that walk reproduces the per-pair cursors.
    bool precompute_weights_merged();
    void precompute_weights_per_pair();
    double evaluate(const double* coeffs, double* out) const;

    std::vector<std::vector<double>> timestamps_;
    std::vector<std::vector<double>> excitation_weights_;
    std::vector<std::vector<double>> compensator_weights_;
    double end_time_ = 0.0;
    std::uint64_t n_total_jumps_ = 0;
    double decay_ = 0.0;
};

}  // namespace vostrel::likelihood
