// The bins of a periodic, piecewise-constant baseline (see periodic_bins.hpp).
#include "likelihood/periodic_bins.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "core/format.hpp"
#include "core/interrupt.hpp"

namespace vostrel::likelihood {
namespace {

// floor(x) without a library call (the baseline x86-64 target has no rounding instruction):
// below 2^52 in magnitude by truncation and a correction, exactly; beyond, x is an integer.
inline double floor_of(double x) {
    if (!(std::fabs(x) < 4503599627370496.0)) return std::floor(x);
    const double truncated = static_cast<double>(static_cast<std::int64_t>(x));
    return truncated > x ? truncated - 1.0 : truncated;
}

}  // namespace

Result<std::vector<double>> periodic_bins(std::span<const double> times, double shift,
                                          double period, double origin,
                                          std::span<const double> edges) {
    if (!(std::isfinite(period) && period > 0.0)) {
        return ModelError::invalid_parameter("period must be positive and finite");
    }
    if (edges.size() < 2)
        return ModelError::invalid_parameter("edges must have at least 2 entries");
    for (std::size_t k = 1; k < edges.size(); ++k) {
        if (!(edges[k] > edges[k - 1])) {
            return ModelError::invalid_parameter("edges must be strictly increasing (edges[" +
                                                 format_uint(k) + "])");
        }
    }
    const std::size_t n = times.size();
    const std::size_t n_bins = edges.size() - 1;
    const double* edge = edges.data();
    const double per_unit = static_cast<double>(n_bins) / period;
    const double top_bin = static_cast<double>(n_bins - 1);
    const double top = std::nextafter(period, 0.0);
    std::vector<double> out(n);
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        const double shifted = (times[i] + shift) - origin;
        const double cycles = floor_of(shifted / period);
        double phase = shifted - cycles * period;
        phase = phase < 0.0 ? 0.0 : phase;
        phase = phase > top ? top : phase;
        // The last edge <= phase (clipped to the bins): guessed as if the bins were equal, then
        // moved to the right one (a step at most for equal bins, more for uneven ones).
        const double guess = phase * per_unit;
        std::size_t bin = guess < top_bin ? static_cast<std::size_t>(guess) : n_bins - 1;
        while (bin > 0 && edge[bin] > phase) --bin;
        while (bin + 1 < n_bins && edge[bin + 1] <= phase) ++bin;
        out[i] = static_cast<double>(bin);
        if (poll.stop()) break;
    }
    poll.throw_if_stopped();
    return out;
}

}  // namespace vostrel::likelihood
