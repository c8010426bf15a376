// Branching simulators of exponential Hawkes processes: immigrants from a Poisson count, then
// each event's children (Poisson count, exponential delays) pushed on a stack and expanded depth
// first; children after the horizon are dropped with their whole line of descent.
#include "simulation/cluster.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/format.hpp"
#include "simulation/checks.hpp"
#include "simulation/random.hpp"

namespace vostrel {

namespace {

using simulation_checks::invalid;

ModelError sampler_error(const std::string& prefix, PoissonError error) {
    return invalid(prefix + poisson_error_text(error));
}

// Room for `extra` more elements, taken before filling so that a count too large to hold fails
// as an allocation failure (std::length_error or std::bad_alloc) instead of midway.
template <class V>
void reserve_more(V& v, std::uint64_t extra) {
    if (extra > v.max_size() - v.size()) throw std::length_error("event count too large");
    const std::size_t needed = v.size() + std::size_t(extra);
    if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

}  // namespace

// Ascending sort of event times. The times are non-negative and never NaN or -0.0, so their bit
// patterns sort as unsigned integers; equal times have equal bits, so any correct sort gives the
// same array. Long lists go through a least-significant-digit radix sort (8-bit digits, all
// counted in one pass, a digit that all times share skipped), a few times faster than a
// comparison sort on random order; if its scratch buffers cannot be had, the comparison sort
// still does the job in place.
void sort_event_times(std::vector<double>& times) {
    const std::size_t n = times.size();
    if (n < 512) {
        std::sort(times.begin(), times.end());
        return;
    }
    constexpr int kDigits = 8;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> scratch;
    std::vector<std::size_t> count;
    try {
        keys.resize(n);
        scratch.resize(n);
        count.resize(kDigits * 256, 0);
    } catch (const std::bad_alloc&) {
        std::sort(times.begin(), times.end());
        return;
    }
    std::memcpy(keys.data(), times.data(), n * sizeof(double));
    // All eight digit histograms in one read of the keys.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = keys[i];
        for (int d = 0; d < kDigits; ++d) ++count[256 * d + ((key >> (8 * d)) & 0xFF)];
    }
    std::uint64_t* from = keys.data();
    std::uint64_t* to = scratch.data();
    for (int d = 0; d < kDigits; ++d) {
        std::size_t* bucket = count.data() + 256 * d;
        const int shift = 8 * d;
        if (bucket[(from[0] >> shift) & 0xFF] == n) continue;  // one digit for all
        std::size_t offset = 0;
        for (int b = 0; b < 256; ++b) {
            const std::size_t here = bucket[b];
            bucket[b] = offset;
            offset += here;
        }
        for (std::size_t i = 0; i < n; ++i) to[bucket[(from[i] >> shift) & 0xFF]++] = from[i];
        std::swap(from, to);
    }
    std::memcpy(times.data(), from, n * sizeof(double));
}

Result<std::vector<double>> simulate_uni_exp_branching(double t_horizon, double mu, double alpha,
                                                       double beta, std::uint64_t seed) {
    if (auto error = simulation_checks::check_uni(t_horizon, mu, alpha, beta)) return *error;
    static constexpr Rule kSubcritical{Rule::Rejects::AtLeast, 1.0,
                                "must be < 1 for the branching process to be subcritical"};
    if (auto error = require(alpha, "alpha (= L1 norm)", kSubcritical)) return *error;
    RandomStream stream = RandomStream::from_seed(seed);

    PoissonSampler immigrants;
    if (PoissonError e = PoissonSampler::create(mu * t_horizon, immigrants);
        e != PoissonError::None) {
        return sampler_error("Poisson(μT): ", e);
    }
    const std::uint64_t n_immigrants = to_count(immigrants.draw(stream));
    std::vector<double> pending;  // last in, first out: clusters are explored depth first
    reserve_more(pending, n_immigrants);
    for (std::uint64_t n = 0; n < n_immigrants; ++n) {
        pending.push_back(stream.draw_unit() * t_horizon);
    }

    PoissonSampler children;
    if (PoissonError e = PoissonSampler::create(alpha, children); e != PoissonError::None) {
        return sampler_error("Poisson(α): ", e);
    }
    ExpSampler delay;
    if (!ExpSampler::create(beta, delay)) return invalid(std::string("Exp(β): ") + kExpErrorText);

    std::vector<double> events;
    reserve_more(events, std::max<std::uint64_t>(64, n_immigrants));
    while (!pending.empty()) {
        const double t = pending.back();
        pending.pop_back();
        events.push_back(t);
        const std::uint64_t n_children = to_count(children.draw(stream));
        for (std::uint64_t c = 0; c < n_children; ++c) {
            const double child = delay.draw(stream) + t;
            if (child <= t_horizon) pending.push_back(child);
        }
    }
    sort_event_times(events);
    return events;
}

Result<std::vector<std::vector<double>>> simulate_mv_exp_branching(double t_horizon,
                                                                   std::span<const double> mu,
                                                                   std::span<const double> alpha,
                                                                   double beta,
                                                                   std::uint64_t seed) {
    const std::size_t m = mu.size();
    if (auto error = simulation_checks::check_mv_shape(t_horizon, mu, alpha, beta)) {
        return *error;
    }
    RandomStream stream = RandomStream::from_seed(seed);

    struct Pending {
        double time;
        std::size_t dimension;
    };
    std::vector<Pending> pending;
    pending.reserve(64);
    for (std::size_t i = 0; i < m; ++i) {
        if (mu[i] <= 0.0) continue;
        PoissonSampler immigrants;
        if (PoissonError e = PoissonSampler::create(mu[i] * t_horizon, immigrants);
            e != PoissonError::None) {
            return sampler_error("Poisson(μ_" + format_uint(i) + "·T): ", e);
        }
        const std::uint64_t n_immigrants = to_count(immigrants.draw(stream));
        reserve_more(pending, n_immigrants);
        for (std::uint64_t n = 0; n < n_immigrants; ++n) {
            pending.push_back({stream.draw_unit() * t_horizon, i});
        }
    }
    ExpSampler delay;
    if (!ExpSampler::create(beta, delay)) return invalid(std::string("Exp(β): ") + kExpErrorText);

    // One sampler per cell with a positive mean, built up front (the same as building it per
    // event, which costs an exp each time); a cell's error is reported only when an event of its
    // source dimension is expanded.
    std::vector<PoissonSampler> cells(m * m);
    std::vector<PoissonError> cell_errors(m * m, PoissonError::None);
    for (std::size_t cell = 0; cell < m * m; ++cell) {
        if (alpha[cell] <= 0.0) continue;
        cell_errors[cell] = PoissonSampler::create(alpha[cell], cells[cell]);
    }

    std::vector<std::vector<double>> events(m);
    for (auto& list : events) list.reserve(64);
    while (!pending.empty()) {
        const Pending event = pending.back();
        pending.pop_back();
        const std::size_t k = event.dimension;
        events[k].push_back(event.time);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t cell = j * m + k;
            if (alpha[cell] <= 0.0) continue;
            if (cell_errors[cell] != PoissonError::None) {
                return sampler_error("Poisson(α_" + format_uint(j) + format_uint(k) + "): ",
                                     cell_errors[cell]);
            }
            const std::uint64_t n_children = to_count(cells[cell].draw(stream));
            // A huge mean (up to 1.844e19) gives a count too large to hold: fail before filling.
            reserve_more(pending, n_children);
            for (std::uint64_t c = 0; c < n_children; ++c) {
                const double child = delay.draw(stream) + event.time;
                if (child <= t_horizon) pending.push_back({child, j});
            }
        }
    }
    for (auto& list : events) sort_event_times(list);
    return events;
}

}  // namespace vostrel
