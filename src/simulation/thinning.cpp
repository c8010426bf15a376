// Thinning simulators of exponential Hawkes processes. The intensity between events follows from
// the excitation state S at the last accepted event, S = sum over past events of
// exp(-beta (t_last - t_i)), so each candidate costs one exp (O(M^2) multiplies in M dimensions).
#include "simulation/thinning.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "simulation/checks.hpp"
#include "simulation/random.hpp"

namespace vostrel {

namespace {

using simulation_checks::invalid;

ModelError exp_sampler_error() {
    return invalid(std::string("exponential distribution: ") + kExpErrorText);
}

// An infinite bound makes every gap 0: the candidate clock would never reach the horizon.
ModelError unbounded_error() {
    return invalid("intensity bound overflowed to inf; the candidate times cannot advance");
}

// Raising the bound. The first ExpSampler::create of a run rejects a NaN or negative bound;
// after it, the bound is only ever replaced by 1.5 times an intensity that exceeded it (so not
// NaN, and above a bound that is at least 0) and a replacement equal to kInf ends the run. Every
// later bound is therefore positive and finite, and the create calls that take it cannot fail:
// their result is ignored.
constexpr double kInf = std::numeric_limits<double>::infinity();

// Why a univariate run outgrew its memory budget.
std::string uni_runaway_explanation(double bound, double mu, double alpha, double t_horizon) {
    if (alpha >= 1.0) {
        return "The intensity kept growing (its bound reached " + format_double(bound) +
               "), so the parameters look explosive: a branching ratio alpha = " +
               format_double(alpha) + " of 1 or more makes the process supercritical.";
    }
    return "The parameters ask for more events than the budget holds: with alpha = " +
           format_double(alpha) + " the expected number of events is mu·t_horizon/(1 - alpha) = " +
           format_double(mu * t_horizon / (1.0 - alpha)) + ".";
}

std::string mv_runaway_explanation(double bound, double mu_sum, double t_horizon) {
    return "The total intensity kept growing (its bound reached " + format_double(bound) +
           "), so the parameters look explosive: an alpha matrix with spectral radius 1 or more "
           "makes the process supercritical (and otherwise the window holds more events than "
           "the budget: at least sum(mu)·t_horizon = " +
           format_double(mu_sum * t_horizon) + ").";
}

}  // namespace

Result<std::vector<double>> simulate_uni_exp_hawkes(double t_horizon, double mu, double alpha,
                                                    double beta, std::uint64_t seed,
                                                    std::uint64_t* candidates,
                                                    std::uint64_t memory_budget) {
    if (auto error = simulation_checks::check_uni(t_horizon, mu, alpha, beta)) return *error;
    RandomStream stream = RandomStream::from_seed(seed);

    double bound = 1.5 * mu + 1e-6;
    ExpSampler gap;
    if (!ExpSampler::create(bound, gap)) return exp_sampler_error();
    if (auto error = require(t_horizon, "t_horizon", rules::finite)) return *error;
    if (bound == kInf) return unbounded_error();
    refuse_baseline_beyond_budget(mu * t_horizon, "mu·t_horizon", memory_budget);

    EventStorage storage(memory_budget);
    std::vector<double> events;
    const double beta_alpha = beta * alpha;
    const double minus_beta = -beta;
    double t = 0.0;
    double t_last = 0.0;
    std::uint64_t n_candidates = 0;
    double state = 0.0;  // S: excitation at t_last
    // Between events the intensity only falls: w <= 1 and rounding is monotone, so lam / bound
    // never exceeds its value at w = 1, (beta alpha S + mu) / bound. An accept word above that
    // (it is below 1, so lam is below the bound and the full test would draw that very word)
    // rejects the candidate whatever w is, and the candidate needs no exp at all; the words
    // drawn and every result are those of the full test.
    double ceiling = (beta_alpha * state + mu) / bound;
    StreamCursor draws(stream);
    for (;;) {
        const double candidate = t + draws.draw_exp1() * gap.inverse_rate();
        ++n_candidates;
        if (candidate >= t_horizon) break;
        t = candidate;
        if (draws.words_buffered() != 0 && RandomStream::unit_from(draws.peek_u64(0)) > ceiling) {
            draws.skip(1);
            continue;
        }
        const double w = std::exp((candidate - t_last) * minus_beta);
        const double lam = beta_alpha * (w * state) + mu;
        if (lam > bound) {
            // The bound was too low here: raise it and drop the candidate undecided.
            bound = 1.5 * lam;
            if (bound == kInf) return unbounded_error();
            (void)ExpSampler::create(bound, gap);  // cannot fail: see kInf
            ceiling = (beta_alpha * state + mu) / bound;
            continue;
        }
        const double u = draws.draw_unit();
        if (lam / bound >= u) {
            if (events.size() == events.capacity() && !storage.reserve(events)) {
                throw_runaway(storage, events.size(), candidate, t_horizon,
                              uni_runaway_explanation(bound, mu, alpha, t_horizon));
            }
            events.push_back(candidate);
            state = w * state + 1.0;
            t_last = candidate;
            // The jump just added may lift the intensity above the bound; candidates after an
            // event must come at least as fast as the intensity right after it.
            const double lam_after = beta_alpha * state + mu;
            if (lam_after > bound) {
                bound = 1.5 * lam_after;
                if (bound == kInf) return unbounded_error();
                (void)ExpSampler::create(bound, gap);  // cannot fail: see kInf
            }
            ceiling = lam_after / bound;
        }
    }
    if (candidates != nullptr) *candidates = n_candidates;
    return events;
}

Result<std::vector<std::vector<double>>> simulate_mv_exp_hawkes(
    double t_horizon, std::span<const double> mu, std::span<const double> alpha, double beta,
    std::uint64_t seed, std::uint64_t* candidates, std::uint64_t memory_budget) {
    const std::size_t m = mu.size();
    if (auto error = simulation_checks::check_mv_shape(t_horizon, mu, alpha, beta)) {
        return *error;
    }
    for (std::size_t i = 0; i < m; ++i) {
        if (auto error = require(mu[i], Element{"mu", i}, rules::non_negative)) return *error;
    }
    RandomStream stream = RandomStream::from_seed(seed);

    double mu_sum = -0.0;
    for (std::size_t i = 0; i < m; ++i) mu_sum = mu_sum + mu[i];
    double bound = 1.5 * mu_sum + 1e-6;
    ExpSampler gap;
    if (!ExpSampler::create(bound, gap)) return exp_sampler_error();
    if (auto error = require(t_horizon, "t_horizon", rules::finite)) return *error;
    if (bound == kInf) return unbounded_error();
    refuse_baseline_beyond_budget(mu_sum * t_horizon, "sum(mu)·t_horizon", memory_budget);

    EventStorage storage(memory_budget);
    std::vector<std::vector<double>> events(m);
    std::uint64_t n_events = 0;
    std::vector<double> state(m, 0.0);  // S[j]: excitation from dimension j at t_last
    std::vector<double> lam(m, 0.0);
    // The stream polls once per 32 words, at least one word per candidate (random.hpp); a
    // candidate whose intensities are summed costs M*M more.
    InterruptPoll poll;
    const double* a = alpha.data();

    // lam[i] = sum_j (alpha[i M + j] w) S[j] times beta, plus mu[i]; returns their sum B.
    auto intensities = [&](double w) {
        for (std::size_t i = 0; i < m; ++i) {
            const double* row = a + i * m;
            double acc = 0.0;
            for (std::size_t j = 0; j < m; ++j) acc = acc + (row[j] * w) * state[j];
            lam[i] = acc * beta + mu[i];
        }
        double total = 0.0;
        for (std::size_t i = 0; i < m; ++i) total = total + lam[i];
        return total;
    };

    const double minus_beta = -beta;
    double t = 0.0;
    double t_last = 0.0;
    std::uint64_t n_candidates = 0;
    // With no negative excitation every intensity only falls between events (w <= 1, rounding
    // is monotone), so B / bound never exceeds its value at w = 1: an accept word above that
    // rejects the candidate whatever w is, without the exp and the O(M^2) sums.
    bool falls_between_events = true;
    for (double cell : alpha) falls_between_events = falls_between_events && cell >= 0.0;
    double total_ceiling = intensities(1.0);  // B at w = 1
    double ceiling = total_ceiling / bound;
    StreamCursor draws(stream);
    for (;;) {
        const double candidate = t + draws.draw_exp1() * gap.inverse_rate();
        ++n_candidates;
        if (candidate >= t_horizon) break;
        t = candidate;
        if (falls_between_events && draws.words_buffered() != 0 &&
            RandomStream::unit_from(draws.peek_u64(0)) > ceiling) {
            draws.skip(1);
            continue;
        }
        const double w = std::exp((candidate - t_last) * minus_beta);
        const double total = intensities(w);
        poll(m * m);
        if (total > bound) {
            bound = 1.5 * total;
            if (bound == kInf) return unbounded_error();
            (void)ExpSampler::create(bound, gap);  // cannot fail: see kInf
            ceiling = total_ceiling / bound;
            continue;
        }
        // Accept only when U <= B / bound, so that a NaN intensity rejects.
        const double u_accept = draws.draw_unit();
        if (!(u_accept <= total / bound)) continue;
        const double u_dimension = draws.draw_unit();
        std::size_t k = m - 1;
        double cumulative = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            cumulative = cumulative + lam[i] / total;
            if (cumulative >= u_dimension) {
                k = i;
                break;
            }
        }
        if (events[k].size() == events[k].capacity() && !storage.reserve(events[k])) {
            throw_runaway(storage, n_events, candidate, t_horizon,
                          mv_runaway_explanation(bound, mu_sum, t_horizon));
        }
        events[k].push_back(candidate);
        ++n_events;
        for (std::size_t j = 0; j < m; ++j) state[j] = state[j] * w;
        state[k] = state[k] + 1.0;
        t_last = candidate;
        // As in one dimension: the bound must cover the intensity right after the jump.
        const double total_after = intensities(1.0);
        if (total_after > bound) {
            bound = 1.5 * total_after;
            if (bound == kInf) return unbounded_error();
            (void)ExpSampler::create(bound, gap);  // cannot fail: see kInf
        }
        total_ceiling = total_after;
        ceiling = total_ceiling / bound;
    }
    if (candidates != nullptr) *candidates = n_candidates;
    return events;
}

}  // namespace vostrel
