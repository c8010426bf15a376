// The nonparametric kernel's validation, bin search, integrals and repr (see nonparametric.hpp).
#include "kernels/nonparametric.hpp"

#include <cmath>

#include "core/format.hpp"
#include "core/memory.hpp"
#include "core/require.hpp"
#include "kernels/lag_map.hpp"

namespace vostrel {

Result<NonparametricKernel> NonparametricKernel::create(std::span<const double> edges,
                                                        std::span<const double> values) {
    // Validation reads the caller's arrays in place; the copies are made only for a valid kernel.
    if (edges.empty()) return ModelError::invalid_parameter("edges must be non-empty");
    static constexpr Rule kStartsAtZero{Rule::Rejects::Unequal, 0.0, "must be 0.0"};
    if (auto error = require(edges[0], Element{"edges", 0}, kStartsAtZero)) return *error;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
        if (!(edges[i] < edges[i + 1])) {
            return ModelError::invalid_parameter("edges must be strictly increasing; got edges[" +
                                                 format_uint(i) + "]=" + format_double(edges[i]) +
                                                 ", edges[" + format_uint(i + 1) +
                                                 "]=" + format_double(edges[i + 1]));
        }
    }
    if (edges.size() != values.size() + 1) {
        return ModelError::invalid_parameter("len(edges) (" + format_uint(edges.size()) +
                                             ") must be len(values)+1 (" +
                                             format_uint(values.size() + 1) + ")");
    }
    for (std::size_t j = 0; j < values.size(); ++j) {
        if (auto error = require(values[j], Element{"values", j}, rules::non_negative_finite)) {
            return *error;
        }
    }
    return allocating("the kernel's copies of edges and values", edges.size() + values.size(),
                      sizeof(double), [&] {
                          return NonparametricKernel(
                              std::vector<double>(edges.begin(), edges.end()),
                              std::vector<double>(values.begin(), values.end()));
                      });
}

double NonparametricKernel::value_at(double t) const {
    const double* e = edges_.data();
    const std::size_t n_edges = edges_.size();
    // Outside the support, and NaN (no edge is <= NaN, so it lies in no bin): 0.
    if (!(t >= 0.0) || !(t < e[n_edges - 1])) return 0.0;
    // Partition point of "edge <= t" by halving; branch-free so that independent lags overlap.
    const double* base = e;
    std::size_t size = n_edges;
    while (size > 1) {
        const std::size_t half = size / 2;
        base = base[half] <= t ? base + half : base;
        size -= half;
    }
    // m edges are <= t; since edges[0] == 0 <= t < edges[K], 1 <= m <= K, so the bin m - 1 is
    // always inside values.
    const std::size_t m = static_cast<std::size_t>(base - e) + (*base <= t ? 1 : 0);
    return values_[m - 1];
}

std::vector<double> NonparametricKernel::evaluate(std::span<const double> t) const {
    return detail::map_lags(t, [this](double lag) { return value_at(lag); });
}

std::vector<double> NonparametricKernel::integrate_vec(std::span<const double> t) const {
    // An integral walks the bins up to its lag: up to K of them.
    return detail::map_lags(t, [this](double lag) { return integral_at(lag); }, values_.size());
}

double NonparametricKernel::l1_norm() const {
    const double* e = edges_.data();
    const double* v = values_.data();
    const std::size_t n_bins = values_.size();
    double sum = 0.0;
    for (std::size_t k = 0; k < n_bins; ++k) sum = sum + (e[k + 1] - e[k]) * v[k];
    return sum;
}

void NonparametricKernel::scale(double factor) {
    for (double& v : values_) v = v * factor;
}

std::string NonparametricKernel::repr() const {
    return "NonparametricKernel(edges=" + format_double_list(edges_) +
           ", values=" + format_double_list(values_) + ")";
}

}  // namespace vostrel
