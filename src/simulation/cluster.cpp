// Branching simulators of exponential Hawkes processes: immigrants from a Poisson count, then
// each event's children (Poisson count, exponential delays) pushed on a stack and expanded depth
// first; children after the horizon are dropped with their whole line of descent.
#include "simulation/cluster.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "simulation/checks.hpp"
#include "simulation/random.hpp"

namespace vostrel {

namespace {

using simulation_checks::invalid;

ModelError sampler_error(const std::string& prefix, PoissonError error) {
    return invalid(prefix + poisson_error_text(error));
}

// In-place heapsort: slower than the radix sort, but it needs no scratch and, unlike std::sort,
// polls for an interruption (a list near the memory budget takes a good minute to sort).
void heap_sort(std::vector<double>& times) {
    double* a = times.data();
    const std::size_t n = times.size();
    auto sift_down = [a](std::size_t hole, std::size_t end) {
        const double value = a[hole];
        for (std::size_t child = 2 * hole + 1; child < end; child = 2 * hole + 1) {
            if (child + 1 < end && a[child] < a[child + 1]) ++child;
            if (!(value < a[child])) break;
            a[hole] = a[child];
            hole = child;
        }
        a[hole] = value;
    };
    InterruptPoll poll;  // a unit of work per level of the heap, about 64 per sift
    for (std::size_t i = n / 2; i-- > 0;) {
        sift_down(i, n);
        poll(64);
    }
    for (std::size_t end = n; end-- > 1;) {
        std::swap(a[0], a[end]);
        sift_down(0, end);
        poll(64);
    }
}

// The latest of a list's times (0 for none): how far a stopped run had come.
double latest_time(const std::vector<double>& times) {
    double latest = 0.0;
    for (double t : times) latest = std::max(latest, t);
    return latest;
}

}  // namespace

// Ascending sort of event times. The times are non-negative and never NaN or -0.0, so their bit
// patterns sort as unsigned integers; equal times have equal bits, so any correct sort gives the
// same array. Long lists go through a least-significant-digit radix sort (8-bit digits, all
// counted in one pass, a digit that all times share skipped), a few times faster than a
// comparison sort on random order; if its scratch buffers may not or cannot be had, a heapsort
// does the job in place.
void sort_event_times(std::vector<double>& times, std::uint64_t scratch_bytes) {
    const std::size_t n = times.size();
    if (n < 512) {
        std::sort(times.begin(), times.end());
        return;
    }
    if (scratch_bytes / (2 * sizeof(std::uint64_t)) < n) {
        heap_sort(times);
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
        heap_sort(times);
        return;
    }
    // Each pass over the keys goes in chunks, with a poll for an interruption between them; a
    // pass left on a stop is followed by the throw at once (a pass after it would scatter by
    // counts that do not hold).
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    InterruptPoll poll;
    std::memcpy(keys.data(), times.data(), n * sizeof(double));
    // All eight digit histograms in one read of the keys.
    for (std::size_t i0 = 0; i0 < n; i0 += kChunk) {
        const std::size_t end = std::min(n, i0 + kChunk);
        for (std::size_t i = i0; i < end; ++i) {
            const std::uint64_t key = keys[i];
            for (int d = 0; d < kDigits; ++d) ++count[256 * d + ((key >> (8 * d)) & 0xFF)];
        }
        if (poll.stop(kDigits * (end - i0))) break;
    }
    poll.throw_if_stopped();
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
        for (std::size_t i0 = 0; i0 < n; i0 += kChunk) {
            const std::size_t end = std::min(n, i0 + kChunk);
            for (std::size_t i = i0; i < end; ++i) {
                to[bucket[(from[i] >> shift) & 0xFF]++] = from[i];
            }
            if (poll.stop(end - i0)) break;
        }
        poll.throw_if_stopped();
        std::swap(from, to);
    }
    std::memcpy(times.data(), from, n * sizeof(double));
}

Result<std::vector<double>> simulate_uni_exp_branching(double t_horizon, double mu, double alpha,
                                                       double beta, std::uint64_t seed,
                                                       std::uint64_t memory_budget) {
    if (auto error = simulation_checks::check_uni(t_horizon, mu, alpha, beta)) return *error;
    static constexpr Rule kSubcritical{Rule::Rejects::AtLeast, 1.0,
                                       "must be < 1 for the branching process to be subcritical"};
    if (auto error = require(alpha, "alpha (= L1 norm)", kSubcritical)) return *error;
    RandomStream stream = RandomStream::from_seed(seed);

    // Every sampler is built before the first draw (building one draws nothing, and drawing
    // never fails, so their errors keep their order), so that a baseline beyond the memory
    // budget is refused before anything is drawn.
    PoissonSampler immigrants;
    if (PoissonError e = PoissonSampler::create(mu * t_horizon, immigrants);
        e != PoissonError::None) {
        return sampler_error("Poisson(μT): ", e);
    }
    PoissonSampler children;
    if (PoissonError e = PoissonSampler::create(alpha, children); e != PoissonError::None) {
        return sampler_error("Poisson(α): ", e);
    }
    ExpSampler delay;
    if (!ExpSampler::create(beta, delay)) return invalid(std::string("Exp(β): ") + kExpErrorText);
    refuse_baseline_beyond_budget(mu * t_horizon, "mu·t_horizon", memory_budget);

    // Every step of the loops below draws from the stream, which polls for an interruption.
    EventStorage storage(memory_budget);
    const std::uint64_t n_immigrants = to_count(immigrants.draw(stream));
    std::vector<double> pending;  // last in, first out: clusters are explored depth first
    std::vector<double> events;
    if (!storage.reserve(pending, n_immigrants) ||
        !storage.reserve(events, std::max<std::uint64_t>(64, n_immigrants))) {
        throw_runaway(storage, 0, 0.0, t_horizon,
                      "The immigrant count alone, " + format_uint(n_immigrants) +
                          ", is more than the budget holds (its mean mu·t_horizon is " +
                          format_double(mu * t_horizon) + ").");
    }
    for (std::uint64_t n = 0; n < n_immigrants; ++n) {
        pending.push_back(stream.draw_unit() * t_horizon);
    }

    auto cluster_explanation = [&] {
        return "The clusters are large: each immigrant brings 1/(1 - alpha) = " +
               format_double(1.0 / (1.0 - alpha)) +
               " events on average, so the expected number of events is "
               "mu·t_horizon/(1 - alpha) = " +
               format_double(mu * t_horizon / (1.0 - alpha)) +
               "; the parameters look explosive for this window.";
    };
    while (!pending.empty()) {
        const double t = pending.back();
        pending.pop_back();
        events.push_back(t);  // room for every immigrant was taken, and each child adds one
        const std::uint64_t n_children = to_count(children.draw(stream));
        if (n_children != 0 && (!storage.reserve(pending, n_children) ||
                                !storage.reserve(events, pending.size() + n_children))) {
            throw_runaway(storage, events.size(), latest_time(events), t_horizon,
                          cluster_explanation());
        }
        for (std::uint64_t c = 0; c < n_children; ++c) {
            const double child = delay.draw(stream) + t;
            if (child <= t_horizon) pending.push_back(child);
        }
    }
    storage.release(pending);
    sort_event_times(events, storage.room());
    return events;
}

Result<std::vector<std::vector<double>>> simulate_mv_exp_branching(double t_horizon,
                                                                   std::span<const double> mu,
                                                                   std::span<const double> alpha,
                                                                   double beta, std::uint64_t seed,
                                                                   std::uint64_t memory_budget) {
    const std::size_t m = mu.size();
    if (auto error = simulation_checks::check_mv_shape(t_horizon, mu, alpha, beta)) {
        return *error;
    }
    RandomStream stream = RandomStream::from_seed(seed);

    // As in one dimension, the immigrant samplers and the delay sampler are built before the
    // first draw, so that a baseline beyond the memory budget is refused before anything is
    // drawn; their errors come in the same order.
    std::vector<PoissonSampler> immigrants =
        allocate_vector<PoissonSampler>(m, "the immigrant samplers of every dimension");
    double expected = 0.0;  // sum(mu)·t_horizon over the dimensions that have immigrants
    for (std::size_t i = 0; i < m; ++i) {
        if (mu[i] <= 0.0) continue;
        if (PoissonError e = PoissonSampler::create(mu[i] * t_horizon, immigrants[i]);
            e != PoissonError::None) {
            return sampler_error("Poisson(μ_" + format_uint(i) + "·T): ", e);
        }
        expected = expected + mu[i] * t_horizon;
    }
    ExpSampler delay;
    if (!ExpSampler::create(beta, delay)) return invalid(std::string("Exp(β): ") + kExpErrorText);
    refuse_baseline_beyond_budget(expected, "sum(mu)·t_horizon", memory_budget);

    struct Pending {
        double time;
        std::size_t dimension;
    };
    // Every step of the loops below draws from the stream, which polls for an interruption, but
    // for the walk over an event's targets: M units more.
    EventStorage storage(memory_budget);
    InterruptPoll poll;
    std::vector<Pending> pending;
    for (std::size_t i = 0; i < m; ++i) {
        if (mu[i] <= 0.0) continue;
        const std::uint64_t n_immigrants = to_count(immigrants[i].draw(stream));
        if (!storage.reserve(pending, n_immigrants)) {
            throw_runaway(storage, 0, 0.0, t_horizon,
                          "The immigrant count of dimension " + format_uint(i) + " alone, " +
                              format_uint(n_immigrants) +
                              ", is more than the budget holds (its mean mu[" + format_uint(i) +
                              "]·t_horizon is " + format_double(mu[i] * t_horizon) + ").");
        }
        for (std::uint64_t n = 0; n < n_immigrants; ++n) {
            pending.push_back({stream.draw_unit() * t_horizon, i});
        }
    }

    // One sampler per cell with a positive mean, built up front (the same as building it per
    // event, which costs an exp each time); a cell's error is reported only when an event of its
    // source dimension is expanded.
    std::vector<PoissonSampler> cells =
        allocate_vector<PoissonSampler>(m * m, "the Poisson samplers of the M·M cells");
    std::vector<PoissonError> cell_errors =
        allocate_vector(m * m, "the sampler states of the M·M cells", PoissonError::None);
    for (std::size_t cell = 0; cell < m * m; ++cell) {
        if (alpha[cell] <= 0.0) continue;
        cell_errors[cell] = PoissonSampler::create(alpha[cell], cells[cell]);
    }

    std::vector<std::vector<double>> events(m);
    std::uint64_t n_events = 0;
    auto latest = [&] {
        double time = 0.0;
        for (const auto& list : events) time = std::max(time, latest_time(list));
        return time;
    };
    auto runaway = [&](const std::string& explanation) {
        throw_runaway(storage, n_events, latest(), t_horizon, explanation);
    };
    while (!pending.empty()) {
        const Pending event = pending.back();
        pending.pop_back();
        const std::size_t k = event.dimension;
        if (events[k].size() == events[k].capacity() && !storage.reserve(events[k])) {
            double largest = 0.0;
            for (double cell : alpha) largest = std::max(largest, cell);
            runaway(format_uint(pending.size()) +
                    " events still wait for their children: the clusters kept growing, so the "
                    "parameters look explosive (an alpha matrix with spectral radius 1 or more, "
                    "here with a largest cell of " +
                    format_double(largest) + ", makes clusters grow without end).");
        }
        events[k].push_back(event.time);
        ++n_events;
        poll(m);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t cell = j * m + k;
            if (alpha[cell] <= 0.0) continue;
            if (cell_errors[cell] != PoissonError::None) {
                return sampler_error("Poisson(α_" + format_uint(j) + format_uint(k) + "): ",
                                     cell_errors[cell]);
            }
            const std::uint64_t n_children = to_count(cells[cell].draw(stream));
            // A huge mean (up to 1.844e19) gives a count too large to hold: fail before filling.
            if (!storage.reserve(pending, n_children)) {
                runaway("An event of dimension " + format_uint(k) + " drew " +
                        format_uint(n_children) + " children in dimension " + format_uint(j) +
                        " (cell mean alpha = " + format_double(alpha[cell]) +
                        "), more than the budget holds: the parameters look explosive.");
            }
            for (std::uint64_t c = 0; c < n_children; ++c) {
                const double child = delay.draw(stream) + event.time;
                if (child <= t_horizon) pending.push_back({child, j});
            }
        }
    }
    storage.release(pending);
    for (auto& list : events) sort_event_times(list, storage.room());
    return events;
}

}  // namespace vostrel
