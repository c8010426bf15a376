// The piecewise-constant excitation kernel on [0, edges[K]): phi(t) = values[k] on
// [edges[k], edges[k+1]), 0 outside the support. The kernel owns copies of both arrays.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel {

class NonparametricKernel {
public:
    // Validates, first failure only: edges non-empty, edges[0] == 0, edges strictly increasing,
    // len(edges) == len(values) + 1, every value finite and >= 0. Copies both arrays.
    static Result<NonparametricKernel> create(std::span<const double> edges,
                                              std::span<const double> values);

    const std::vector<double>& edges() const { return edges_; }
    const std::vector<double>& values() const { return values_; }
    std::size_t n_bins() const { return values_.size(); }

    // phi at one lag: the value of the bin holding t (a bin starts at its left edge), 0 for
    // t < 0, t >= edges[K] and NaN. O(log K).
    double value_at(double t) const;
    std::vector<double> evaluate(std::span<const double> t) const;

    // Integral of phi over [0, t], bin by bin from the left; t <= 0 gives 0, NaN gives NaN.
    double integrate(double t) const { return integral_at(t); }
    std::vector<double> integrate_vec(std::span<const double> t) const;

    // Sum of (edges[k+1] - edges[k]) * values[k], left to right; no absolute value.
    double l1_norm() const;
    // values[k] <- values[k] * factor in index order, unvalidated.
    void scale(double factor);
    bool has_recursive_form() const { return false; }

    // "NonparametricKernel(edges=[0.0, 1.0], values=[0.5])".
    std::string repr() const;

private:
    NonparametricKernel(std::vector<double> edges, std::vector<double> values)
        : edges_(std::move(edges)), values_(std::move(values)) {}

    // The one definition shared by integrate and integrate_vec, so that both give the same bits.
    double integral_at(double t) const {
        const double* e = edges_.data();
        const double* v = values_.data();
        const std::size_t n_bins = values_.size();
        double sum = 0.0;
        for (std::size_t k = 0; k < n_bins; ++k) {
            if (t <= e[k]) break;
            const double hi = t >= e[k + 1] ? e[k + 1] : t;
            sum = sum + (hi - e[k]) * v[k];
        }
        return sum;
    }

    std::vector<double> edges_;   // K + 1 strictly increasing edges, edges[0] == 0
    std::vector<double> values_;  // K bin heights
};

}  // namespace vostrel
