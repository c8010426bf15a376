// Construction (validation and weight precomputation) and evaluation of the fixed-decay
// multivariate exponential model. The weights come from one time-ordered walk over all events
// (or, for ties and non-finite data, from per-pair cursors); the evaluation loops are blocked so
// that the per-event sums over source dimensions run across many events at once while each
// event's own sum keeps its order, and a block's logs are taken by subtract_logs (the loss) or
// log_array (the gradient), independent of every loop-carried chain. The weights' exps, which
// depend on the times only, are likewise taken a block at a time by exp_array.
#include "likelihood/mv_exp_recursive.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/require.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {
namespace {

constexpr std::size_t kBlock = 256;

// Asks for the given weights (a row, or a block of rows: M doubles from `row`) ahead of use:
// evaluation streams N*M doubles from memory, and fetching the next block while this block's
// logs are computed hides most of that.
inline void prefetch_row(const double* row, std::size_t M) {
    const char* bytes = reinterpret_cast<const char*>(row);
    for (std::size_t offset = 0; offset < M * sizeof(double); offset += 64) {
        __builtin_prefetch(bytes + offset);
    }
}

// The intensity floored at 1e-30 (a NaN too) so that log stays finite.
inline double floored(double lam) { return lam > 1e-30 ? lam : 1e-30; }

// lambda_k = mu + sum_j alpha_j * g[k][j] for the b events of a block, j in order, four events'
// sums interleaved, floored.
template <std::size_t Fixed>
void block_intensities(std::size_t M, double mu, const double* __restrict alpha,
                       const double* __restrict g, std::size_t b, double* __restrict lam) {
    std::size_t k = 0;
    for (; k + 4 <= b; k += 4) {
        const double* g0 = g + k * M;
        double l0 = mu, l1 = mu, l2 = mu, l3 = mu;
        for (std::size_t j = 0; j < M; ++j) {
            const double a = alpha[j];
            l0 = l0 + a * g0[j];
            l1 = l1 + a * g0[M + j];
            l2 = l2 + a * g0[2 * M + j];
            l3 = l3 + a * g0[3 * M + j];
        }
        lam[k] = floored(l0);
        lam[k + 1] = floored(l1);
        lam[k + 2] = floored(l2);
        lam[k + 3] = floored(l3);
    }
    for (; k < b; ++k) {
        double l = mu;
        for (std::size_t j = 0; j < M; ++j) l = l + alpha[j] * g[k * M + j];
        lam[k] = floored(l);
    }
}

// One target dimension's contribution to the loss (and, when grad_mu is not null, its gradient
// entries). M is a compile-time constant for the common small sizes (Fixed > 0) so that the
// loops over source dimensions unroll; Fixed = 0 reads it from m_dynamic.
template <std::size_t Fixed>
double dimension_loss(std::size_t m_dynamic, double mu, const double* __restrict alpha,
                      const double* __restrict weights, std::size_t n_events, double L,
                      double* __restrict grad_mu, double* __restrict grad_alpha,
                      InterruptPoll& poll) {
    const std::size_t M = Fixed > 0 ? Fixed : m_dynamic;
    if (grad_mu == nullptr) {
        // The loss alone: long blocks of intensities, whose logs subtract_logs takes while it
        // subtracts the previous ones, in order.
        constexpr std::size_t kLossBlock = 2048;
        double lam[kLossBlock];
        const std::size_t block = std::clamp<std::size_t>(16384 / M, 1, kLossBlock);
        for (std::size_t k0 = 0; k0 < n_events; k0 += block) {
            const std::size_t b = std::min(block, n_events - k0);
            if (poll.stop(b * M)) break;  // the caller throws
            block_intensities<Fixed>(M, mu, alpha, weights + k0 * M, b, lam);
            // The next block's weights are fetched while this block's logs are taken.
            const std::size_t n_next = std::min(block, n_events - k0 - b);
            L = vector_math::subtract_logs(L, lam, b, weights + (k0 + b) * M,
                                           n_next * M * sizeof(double));
        }
        return L;
    }
    // Blocks of at most 32 KiB of weights, so that a block read for the intensities is still in
    // cache for the gradient.
    const std::size_t block = std::clamp<std::size_t>(4096 / M, 1, kBlock);
    double lam[kBlock];
    double log_lam[kBlock];
    for (std::size_t k0 = 0; k0 < n_events; k0 += block) {
        const std::size_t b = std::min(block, n_events - k0);
        if (poll.stop(b * M)) break;  // the caller throws
        const double* g = weights + k0 * M;
        block_intensities<Fixed>(M, mu, alpha, g, b, lam);
        const double* next = g + b * M;
        const std::size_t n_next = std::min(block, n_events - k0 - b);
        vector_math::log_array(lam, log_lam, b);
        double gm = *grad_mu;
        for (std::size_t k = 0; k < b; ++k) {
            if (k < n_next) prefetch_row(next + k * M, M);
            L = L - log_lam[k];
            const double r = 1.0 / lam[k];
            gm = gm - r;
            const double* row = g + k * M;
            for (std::size_t j = 0; j < M; ++j) grad_alpha[j] = grad_alpha[j] - row[j] * r;
        }
        *grad_mu = gm;
    }
    return L;
}

using DimensionLoss = double (*)(std::size_t, double, const double*, const double*, std::size_t,
                                 double, double*, double*, InterruptPoll&);

DimensionLoss pick_dimension_loss(std::size_t M) {
    switch (M) {
        case 1: return dimension_loss<1>;
        case 2: return dimension_loss<2>;
        case 3: return dimension_loss<3>;
        case 4: return dimension_loss<4>;
        case 8: return dimension_loss<8>;
        default: return dimension_loss<0>;
    }
}

// The copied events and the weights take N*(M + 1) + M*M doubles. A model that could not fit in
// the memory this process may use (many thousands of dimensions, say) is reported as an
// allocation failure before anything is allocated: otherwise the weights would be written page
// by page and the process could be killed for running out of memory before any allocation
// failed cleanly.
constexpr const char* kModelStorage = "the model's events and weights, N·(M + 1) + M·M doubles";

std::optional<OutOfMemory> storage_beyond_memory(std::uint64_t n_dims, std::uint64_t n_events) {
    using u128 = unsigned __int128;
    const u128 doubles = static_cast<u128>(n_events) * (static_cast<u128>(n_dims) + 1) +
                         static_cast<u128>(n_dims) * n_dims;
    if (fits_usable_memory(doubles, sizeof(double))) return std::nullopt;
    return beyond_usable_memory(kModelStorage, doubles, sizeof(double));
}

// The order fault of one dimension's events: the first decreasing neighbours.
std::optional<ModelError> order_fault(std::span<const double> times) {
    for (std::size_t k = 1; k < times.size(); ++k) {
        if (times[k - 1] > times[k]) return ModelError::non_monotone(k, times[k - 1], times[k]);
    }
    return std::nullopt;
}

// The range fault of one dimension's events: only the first and the last are tested.
std::optional<ModelError> range_fault(std::span<const double> times, double end_time) {
    if (!times.empty()) {
        if (times.front() < 0.0) return ModelError::out_of_range(times.front(), end_time);
        if (times.back() > end_time) return ModelError::out_of_range(times.back(), end_time);
    }
    return std::nullopt;
}

}  // namespace

Result<MvExpRecursiveModel> MvExpRecursiveModel::create(
    std::span<const std::span<const double>> timestamps, double end_time, double decay) {
    // Plain IEEE comparisons: a NaN passes every check.
    if (auto error = require(decay, "decay", rules::positive)) return *error;
    if (auto error = require(end_time, "end_time", rules::positive)) return *error;
    if (timestamps.empty()) {
        return ModelError::invalid_parameter(
            "timestamps must not be empty (need at least 1 dimension)");
    }
    const std::size_t M = timestamps.size();
    std::uint64_t n_total = 0;
    for (std::span<const double> times : timestamps) n_total += times.size();
    if (std::optional<OutOfMemory> beyond = storage_beyond_memory(M, n_total)) {
        // A fault in the events is still reported first.
        for (std::span<const double> times : timestamps) {
            if (std::optional<ModelError> fault = order_fault(times)) return *fault;
            if (std::optional<ModelError> fault = range_fault(times, end_time)) return *fault;
        }
        throw *beyond;
    }
    MvExpRecursiveModel model;
    // Left uninitialised: the copy and the weights write every entry.
    const std::size_t n_storage = n_total * (M + 1) + M * M;
    allocating(kModelStorage, n_storage, sizeof(double),
               [&] { model.storage_.reset(new double[n_storage]); });
    model.offsets_.resize(M + 1);
    model.end_time_ = end_time;
    model.decay_ = decay;
    model.n_total_jumps_ = n_total;
    // Each dimension is checked while it is copied: a pair of neighbours not strictly increasing
    // (decreasing, tied, or with a NaN) sends it to the exact order check, which is rare.
    bool strictly_increasing = true;
    std::size_t offset = 0;
    for (std::size_t d = 0; d < M; ++d) {
        const std::span<const double> times = timestamps[d];
        const double* source = times.data();
        const std::size_t n = times.size();
        double* copy = model.storage_.get() + offset;
        model.offsets_[d] = offset;
        bool uneven = false;
        if (n > 0) copy[0] = source[0];
        for (std::size_t k = 1; k < n; ++k) {
            const double t = source[k];
            copy[k] = t;
            uneven |= !(source[k - 1] < t);
        }
        if (uneven) {
            if (std::optional<ModelError> fault = order_fault(times)) return *fault;
        }
        if (std::optional<ModelError> fault = range_fault(times, end_time)) return *fault;
        strictly_increasing = strictly_increasing && !uneven &&
                              (n == 0 || (source[0] >= 0.0 && source[n - 1] < end_time));
        offset += n;
    }
    model.offsets_[M] = offset;
    model.precompute_weights(strictly_increasing);
    return model;
}

Result<MvExpRecursiveModel> MvExpRecursiveModel::create(
    const std::vector<std::vector<double>>& timestamps, double end_time, double decay) {
    std::vector<std::span<const double>> spans(timestamps.begin(), timestamps.end());
    return create(spans, end_time, decay);
}

// The merged walk where the events allow it (see precompute_weights_merged), else the per-pair
// cursors; both give the same weights.
void MvExpRecursiveModel::precompute_weights(bool strictly_increasing) {
    if (!precompute_weights_merged(strictly_increasing)) precompute_weights_per_pair();
}

namespace {

// The walk itself (see precompute_weights_merged). For a small M known at compile time
// (Fixed > 0) the open rows' state lives in fixed arrays, copied for each block's loops into
// locals that live across no call, so that the compiler keeps them in registers and the
// excitation chain is a multiply and an add per event rather than a round trip through memory.
template <std::size_t Fixed>
void merged_walk(std::size_t m_dynamic, const std::uint8_t* dims, std::size_t N, double beta,
                 double T, const double* events, const std::size_t* offsets, double* weights,
                 double* compensator_weights) {
    const std::size_t M = Fixed > 0 ? Fixed : m_dynamic;
    // Cell (i, j) at i*M + j: the open row's excitation and integral, and the closed rows' sum.
    using State =
        std::conditional_t<(Fixed > 0), std::array<double, Fixed * Fixed>, std::vector<double>>;
    State excitation{}, integral{}, compensator{};
    if constexpr (Fixed == 0) {
        excitation.assign(M * M, 0.0);
        integral.assign(M * M, 0.0);
        compensator.assign(M * M, 0.0);
    }
    using Rows =
        std::conditional_t<(Fixed > 0), std::array<std::size_t, Fixed>, std::vector<std::size_t>>;
    using Times = std::conditional_t<(Fixed > 0), std::array<double, Fixed>, std::vector<double>>;
    Rows open_row{}, planned_row{};
    Times row_time{};  // time that ends each target's open row, as planned
    if constexpr (Fixed == 0) {
        open_row.assign(M, 0);
        planned_row.assign(M, 0);
        row_time.assign(M, 0.0);
    }
    auto tau = [&](std::size_t d, std::size_t h) {
        const std::size_t x = offsets[d] + h;
        return x < offsets[d + 1] ? events[x] : T;
    };
    for (std::size_t d = 0; d < M; ++d) row_time[d] = tau(d, 0);
    auto dim_of = [&](std::size_t x) -> std::size_t { return Fixed == 1 ? 0 : dims[x]; };
    // Runs f on the given state, on copies of it where M is fixed (see above).
    auto with_state = [](auto f, auto&... state) {
        if constexpr (Fixed > 0) {
            auto copies = std::make_tuple(state...);
            std::apply(f, copies);
            std::tie(state...) = copies;
        } else {
            f(state...);
        }
    };

    // factor[q*M + i]: exp((tau_i - s_q) * (-beta)), tau_i the end of target i's row open after
    // event q's own close.
    const std::size_t block = std::clamp<std::size_t>(4096 / M, 1, kBlock);
    std::vector<double> factor(block * M);
    InterruptPoll poll;
    for (std::size_t x0 = 0; x0 < N; x0 += block) {
        const std::size_t b = std::min(block, N - x0);
        double* factors = factor.data();
        with_state(
            [&](Rows& planned, Times& ends) {
                for (std::size_t q = 0; q < b; ++q) {
                    const std::size_t d = dim_of(x0 + q);
                    const double s = events[offsets[d] + planned[d]];  // the event's own time
                    ends[d] = tau(d, ++planned[d]);
                    double* f = factors + q * M;
                    for (std::size_t i = 0; i < M; ++i) f[i] = (ends[i] - s) * (-beta);
                }
            },
            planned_row, row_time);
        vector_math::exp_array(factors, factors, b * M);
        with_state(
            [&](State& ex, State& in, State& co, Rows& open) {
                for (std::size_t q = 0; q < b; ++q) {
                    const std::size_t d = dim_of(x0 + q);
                    const double* f = factors + q * M;
                    // Close target d's row h and open row h + 1.
                    double* row = weights + (offsets[d] + open[d]++) * M;
                    const double a = f[d];
                    for (std::size_t j = 0; j < M; ++j) {
                        const std::size_t c = d * M + j;
                        const double previous = ex[c];
                        row[j] = previous;
                        co[c] = in[c] + co[c];
                        ex[c] = previous * a;
                        in[c] = ((1.0 - a) * previous) / beta;
                    }
                    // Absorb the event into column d of every target.
                    for (std::size_t i = 0; i < M; ++i) {
                        const double e = f[i];
                        const std::size_t c = i * M + d;
                        ex[c] = beta * e + ex[c];
                        in[c] = (1.0 - e) + in[c];
                    }
                }
            },
            excitation, integral, compensator, open_row);
        if (poll.stop(b * M)) break;
    }
    // Every target's last row ends at T.
    for (std::size_t i = 0; i < M; ++i) {
        double* S = compensator_weights + i * M;
        for (std::size_t j = 0; j < M; ++j) S[j] = integral[i * M + j] + compensator[i * M + j];
    }
    poll.throw_if_stopped();
}

}  // namespace

// One walk over all events in time order, for every pair (i, j) at once. An event of dimension d
// at time s first closes target d's open row h (g_d[h][j] = the excitations so far, S_d[j] += the
// row integrals) and opens row h + 1 with its step factor; then it is absorbed into column d of
// every target i, in the row that target has open. With distinct finite times below T this is
// exactly the per-pair cursor order: an event is absorbed in the row of the first target time
// above it, each source's events in their own order. It needs no data-dependent branch, and the
// step factor of target d's row equals the factor of the event's absorption into cell (d, d), so
// the walk costs M exp calls per event, half of what the per-pair cursors make.
bool MvExpRecursiveModel::precompute_weights_merged(bool strictly_increasing) {
    const std::size_t M = n_dims();
    const double beta = decay_;
    const double T = end_time_;
    const std::size_t N = static_cast<std::size_t>(n_total_jumps_);
    // The walk holds three M x M matrices of state; past a few hundred dimensions the per-pair
    // cursors, which hold a few values per pair at a time, are the better trade.
    // (At most 256, so that a dimension's number fits in a byte.)
    constexpr std::size_t kMaxWalkDimensions = 256;
    if (!std::isfinite(T) || M > kMaxWalkDimensions) return false;

    // The dimension of every event in time order (one dimension is its own merge; the walk
    // reads each event's time from its dimension's copy); refuse ties and non-finite data.
    // Left uninitialised: the merge writes every entry it keeps.
    std::unique_ptr<std::uint8_t[]> dims;
    const double* events = storage_.get();
    if (M == 1) {
        // Checked while the events were copied.
        if (!strictly_increasing) return false;
    } else {
        constexpr double inf = std::numeric_limits<double>::infinity();
        allocating("the dimension of every event in time order", N, 1,
                   [&] { dims.reset(new std::uint8_t[N]); });
        std::vector<std::size_t> head(M, 0);
        double previous = 0.0;
        InterruptPoll poll;
        for (std::size_t x = 0; x < N; ++x) {
            if (poll.stop(M)) break;
            std::size_t best = 0;
            double best_time = inf;
            for (std::size_t d = 0; d < M; ++d) {
                const std::size_t x_d = offsets_[d] + head[d];
                const double t = x_d < offsets_[d + 1] ? events[x_d] : inf;
                const bool earlier = t < best_time;
                best = earlier ? d : best;
                best_time = earlier ? t : best_time;
            }
            // A NaN is never picked as earlier, so it ends the walk here too.
            if (!(best_time < T) || best_time < 0.0) return false;
            if (x > 0 && !(previous < best_time)) return false;
            previous = best_time;
            dims[x] = static_cast<std::uint8_t>(best);
            ++head[best];
        }
        poll.throw_if_stopped();
    }
    auto walk = [&](auto fixed) {
        merged_walk<decltype(fixed)::value>(M, dims.get(), N, beta, T, events, offsets_.data(),
                                            excitation_data(), compensator_data());
    };
    switch (M) {
        case 1: walk(std::integral_constant<std::size_t, 1>{}); break;
        case 2: walk(std::integral_constant<std::size_t, 2>{}); break;
        case 3: walk(std::integral_constant<std::size_t, 3>{}); break;
        case 4: walk(std::integral_constant<std::size_t, 4>{}); break;
        case 8: walk(std::integral_constant<std::size_t, 8>{}); break;
        default: walk(std::integral_constant<std::size_t, 0>{}); break;
    }
    return true;
}

// For each pair (target i, source j), one pass over the rows h = 0..n_i (row times t_{i,h}, then
// T) with a cursor into source j's events: g_i[h][j] is the excitation just before t_{i,h}, and
// the row's integral of that excitation over (tau_{h-1}, tau_h] is added to S_i[j].
//
// Every exp depends on event times only, never on the recursion, so they are computed ahead of
// it, a block of rows at a time: the row step factors once per block (the same values serve every
// source j), then for each j the factors of the events the block absorbs, leaving the recursion a
// chain of multiply-adds. Each pair's cursor, last excitation and running S_i[j] carry over from
// block to block.
void MvExpRecursiveModel::precompute_weights_per_pair() {
    const std::size_t M = n_dims();
    const double beta = decay_;
    const double T = end_time_;

    constexpr std::size_t kRows = 256;
    constexpr std::size_t kAbsorbed = 2048;
    double step[kRows];          // exp((tau_h - t_{i,h-1}) * (-beta)) for the block's rows
    std::size_t row_end[kRows];  // cursor after each row
    double absorbed[kAbsorbed];  // exp((tau_h - s_p) * (-beta)) of the absorbed events
    std::vector<std::size_t> cursor(M);
    std::vector<double> previous(M);  // g_i[h-1][j]
    InterruptPoll poll;
    for (std::size_t i = 0; i < M; ++i) {
        const std::span<const double> target = times(i);
        const std::size_t n_i = target.size();
        double* g = excitation_data() + offsets_[i] * M;
        std::fill(g, g + n_i * M, 0.0);
        double* S = compensator_data() + i * M;
        std::fill(S, S + M, 0.0);
        std::fill(cursor.begin(), cursor.end(), std::size_t{0});
        std::fill(previous.begin(), previous.end(), 0.0);
        auto tau = [&](std::size_t h) { return h < n_i ? target[h] : T; };

        for (std::size_t h0 = 0; h0 <= n_i; h0 += kRows) {
            const std::size_t rows = std::min(kRows, n_i + 1 - h0);
            // Row 0 has no step.
            const std::size_t first_step = h0 == 0 ? 1 : 0;
            for (std::size_t q = first_step; q < rows; ++q) {
                const std::size_t h = h0 + q;
                step[q] = (tau(h) - target[h - 1]) * (-beta);
            }
            vector_math::exp_array(step + first_step, step + first_step, rows - first_step);
            for (std::size_t j = 0; j < M; ++j) {
                const double* source = times(j).data();
                const std::size_t n_j = times(j).size();
                // Strictly earlier events only: an event at exactly tau_h waits for row h + 1.
                const std::size_t p0 = cursor[j];
                std::size_t p = p0;
                for (std::size_t q = 0; q < rows; ++q) {
                    const double t = tau(h0 + q);
                    while (p < n_j && source[p] < t) ++p;
                    row_end[q] = p;
                }
                const bool buffered = p - p0 <= kAbsorbed;
                if (buffered) {
                    std::size_t q = 0;
                    for (std::size_t r = p0; r < p; ++r) {
                        while (row_end[q] <= r) ++q;
                        absorbed[r - p0] = (tau(h0 + q) - source[r]) * (-beta);
                    }
                    vector_math::exp_array(absorbed, absorbed, p - p0);
                }

                double last = previous[j];
                double s_ij = S[j];
                p = p0;
                for (std::size_t q = 0; q < rows; ++q) {
                    const std::size_t h = h0 + q;
                    double excitation = 0.0;  // g_i[h][j]
                    double integral = 0.0;    // G[h][j]
                    if (h >= 1) {
                        const double a = step[q];
                        excitation = last * a;
                        integral = ((1.0 - a) * last) / beta;
                    }
                    const double t = tau(h);
                    for (const std::size_t end = row_end[q]; p < end; ++p) {
                        if (poll.stop()) break;  // thrown below
                        const double e = buffered
                                             ? absorbed[p - p0]
                                             : vector_math::decay_exp((t - source[p]) * (-beta));
                        excitation = beta * e + excitation;
                        integral = (1.0 - e) + integral;
                    }
                    s_ij = integral + s_ij;
                    if (h < n_i) {
                        g[h * M + j] = excitation;
                        last = excitation;
                    }
                }
                cursor[j] = p;
                previous[j] = last;
                S[j] = s_ij;
                poll(rows);
            }
        }
    }
}

double MvExpRecursiveModel::evaluate(const double* coeffs, double* out) const {
    const std::size_t M = n_dims();
    const double T = end_time_;
    const DimensionLoss dimension = pick_dimension_loss(M);
    InterruptPoll poll;
    if (out != nullptr) {
        for (std::size_t c = 0; c < M * (M + 1); ++c) out[c] = 0.0;
    }
    double total = 0.0;
    for (std::size_t i = 0; i < M; ++i) {
        const double mu = coeffs[i];
        const double* alpha = coeffs + M + i * M;
        const double* S = compensator_weights(i).data();
        double L = mu * T;
        for (std::size_t j = 0; j < M; ++j) L = L + alpha[j] * S[j];
        double* grad_mu = nullptr;
        double* grad_alpha = nullptr;
        if (out != nullptr) {
            grad_mu = out + i;
            grad_alpha = out + M + i * M;
            *grad_mu = *grad_mu + T;
            for (std::size_t j = 0; j < M; ++j) grad_alpha[j] = grad_alpha[j] + S[j];
        }
        if (poll.stop(M)) break;
        L = dimension(M, mu, alpha, excitation_weights(i).data(), times(i).size(), L, grad_mu,
                      grad_alpha, poll);
        total = total + L;
    }
    poll.throw_if_stopped();
    return total;
}

Result<double> MvExpRecursiveModel::loss(std::span<const double> coeffs) const {
    if (coeffs.size() != n_coeffs()) {
        return ModelError::invalid_parameter("coeffs length mismatch: expected " +
                                             format_uint(n_coeffs()) + ", got " +
                                             format_uint(coeffs.size()));
    }
    return evaluate(coeffs.data(), nullptr);
}

Result<double> MvExpRecursiveModel::loss_and_grad(std::span<const double> coeffs,
                                                  std::span<double> out) const {
    if (coeffs.size() != n_coeffs()) {
        return ModelError::invalid_parameter("coeffs length mismatch: expected " +
                                             format_uint(n_coeffs()) + ", got " +
                                             format_uint(coeffs.size()));
    }
    if (out.size() != n_coeffs()) {
        return ModelError::invalid_parameter("out length mismatch: expected " +
                                             format_uint(n_coeffs()) + ", got " +
                                             format_uint(out.size()));
    }
    return evaluate(coeffs.data(), out.data());
}

}  // namespace vostrel::likelihood
