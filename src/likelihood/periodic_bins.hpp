// The bins of a periodic, piecewise-constant baseline: which bin of the phase each event falls
// in, for the binned likelihoods. One pass over the events with a binary search over the edges.
#pragma once

#include <span>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

// For each time, with a = times[i] + shift and s = a - origin: the phase
// p = s - floor(s / period) * period, clipped to [0, the double below period], and its bin, the
// number of edges <= p less one, clipped to [0, K - 1] (edges[0] = 0 < ... < edges[K] = period).
// Each step is one rounded operation in this order, so the bins are bit for bit those of the
// same arithmetic done elementwise in NumPy. Returned as doubles (exact small integers).
Result<std::vector<double>> periodic_bins(std::span<const double> times, double shift,
                                          double period, double origin,
                                          std::span<const double> edges);

}  // namespace vostrel::likelihood
