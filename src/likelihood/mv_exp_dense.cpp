// The per-cell-decay multivariate exponential likelihood and its gradient. Events are processed
// in blocks: the decay factors of a block (they depend on the times only) are computed first into
// a buffer by one call of exp_array, then the recursion runs over them, then the block's logs are
// accumulated in order (add_logs, or log_array for the gradient). The compensator's exps are
// taken a block of events at a time the same way.
#include "likelihood/mv_exp_dense.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {
namespace {

using u128 = unsigned __int128;

constexpr std::size_t kMaxBlockEvents = 256;
constexpr std::size_t kFactorBudget = 4096;  // decay factors held per block
constexpr const char* kCellState = "the recursion state of the M·M cells";

// M*M does not fit 64 bits once M >= 2^32, so the shape checks compare in 128 bits and print
// the true square.
u128 square(std::uint64_t value) { return static_cast<u128>(value) * value; }

ModelError length_mismatch(std::size_t n_times, std::size_t n_sources) {
    return ModelError::invalid_parameter("times.len() (" + format_uint(n_times) +
                                         ") != sources.len() (" + format_uint(n_sources) + ")");
}

// The first event whose source lies outside [0, M). The sign is tested first so that a negative
// label is never converted to the unsigned type of M.
bool check_sources(std::span<const std::int64_t> sources, std::uint64_t M, ModelError* error) {
    for (std::size_t h = 0; h < sources.size(); ++h) {
        const std::int64_t k = sources[h];
        if (k < 0 || static_cast<std::uint64_t>(k) >= M) {
            *error = ModelError::invalid_parameter("sources[" + format_uint(h) +
                                                   "] = " + std::to_string(k) + " not in [0, " +
                                                   format_uint(M) + ")");
            return false;
        }
    }
    return true;
}

std::size_t block_events(std::size_t cells) {
    if (cells == 0) return kMaxBlockEvents;
    return std::clamp<std::size_t>(kFactorBudget / cells, 1, kMaxBlockEvents);
}

// Decay factors of a block: factors[q*cells + c] = exp((-beta[c]) * dt_q), dt_q the gap to the
// previous event (to time 0 for the first). Returns the block's last time.
double block_factors(const double* times, std::size_t count, double previous, const double* beta,
                     std::size_t cells, double* factors) {
    for (std::size_t q = 0; q < count; ++q) {
        const double dt = times[q] - previous;
        double* f = factors + q * cells;
        for (std::size_t c = 0; c < cells; ++c) f[c] = (-beta[c]) * dt;
        previous = times[q];
    }
    vector_math::exp_array(factors, factors, count * cells);
    return previous;
}

// decayed[q] = exp((-beta[c]) * (T - t_q)) for the `count` events from `times`, c the cell in
// `row` through which each event's source excites.
void block_tails(const double* times, const std::int64_t* sources, std::size_t count, double T,
                 const double* beta, std::size_t row, double* decayed) {
    for (std::size_t q = 0; q < count; ++q) {
        const std::size_t c = row + static_cast<std::size_t>(sources[q]);
        decayed[q] = (-beta[c]) * (T - times[q]);
    }
    vector_math::exp_array(decayed, decayed, count);
}

}  // namespace

Result<double> mv_exp_dense_neg_ll(std::span<const double> times,
                                   std::span<const std::int64_t> sources, double end_time,
                                   std::uint64_t n_dims, std::span<const double> mu,
                                   std::span<const double> alpha, std::span<const double> beta) {
    if (times.size() != sources.size()) return length_mismatch(times.size(), sources.size());
    const u128 mu_squared = square(mu.size());
    if (mu.size() != n_dims || alpha.size() != mu_squared || beta.size() != mu_squared) {
        return ModelError::invalid_parameter(
            "shape mismatch: mu/alpha/beta = " + format_uint(mu.size()) + "/" +
            format_uint(alpha.size()) + "/" + format_uint(beta.size()) +
            ", expected M=" + format_uint(n_dims) + ", M\u00b2=" + format_uint128(square(n_dims)));
    }
    ModelError error = ModelError::invalid_parameter("");
    if (!check_sources(sources, n_dims, &error)) return error;

    // From here M*M == alpha.size(), which fits in memory.
    const std::size_t M = mu.size();
    const std::size_t cells = alpha.size();
    const std::size_t N = times.size();
    const double T = end_time;
    const std::size_t B = block_events(cells);
    std::vector<double> work = allocate_vector<double>(cells + B * cells, kCellState);
    double* R = work.data();
    double* factors = R + cells;
    double floored[kMaxBlockEvents];

    double L = 0.0;
    double previous = 0.0;
    InterruptPoll poll;
    for (std::size_t h0 = 0; h0 < N; h0 += B) {
        const std::size_t b = std::min(B, N - h0);
        if (poll.stop(b * cells)) break;
        previous = block_factors(times.data() + h0, b, previous, beta.data(), cells, factors);
        for (std::size_t q = 0; q < b; ++q) {
            const std::size_t k = static_cast<std::size_t>(sources[h0 + q]);
            const double* f = factors + q * cells;
            for (std::size_t c = 0; c < cells; ++c) R[c] = f[c] * R[c];
            // lambda_k = mu_k + sum_j (alpha * beta) * R over row k, j in order.
            const std::size_t row = k * M;
            double lam = mu[k];
            for (std::size_t j = 0; j < M; ++j) {
                lam = lam + (alpha[row + j] * beta[row + j]) * R[row + j];
            }
            // Floored at 1e-30 (a NaN too) so that log stays finite.
            floored[q] = lam > 1e-30 ? lam : 1e-30;
            for (std::size_t m = 0; m < M; ++m) R[m * M + k] = R[m * M + k] + 1.0;
        }
        L = vector_math::add_logs(L, floored, b);
    }
    poll.throw_if_stopped();

    // Compensator: mu_m * T plus, for every event, alpha * (1 - exp(-beta * (T - t_i))) of the
    // cell through which it excites m.
    double decayed[kMaxBlockEvents];
    double C = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        C = C + mu[m] * T;
        const std::size_t row = m * M;
        for (std::size_t i0 = 0; i0 < N; i0 += kMaxBlockEvents) {
            const std::size_t b = std::min(kMaxBlockEvents, N - i0);
            if (poll.stop(b)) break;  // and so the next dimensions' loops at once
            block_tails(times.data() + i0, sources.data() + i0, b, T, beta.data(), row, decayed);
            for (std::size_t q = 0; q < b; ++q) {
                const std::size_t c = row + static_cast<std::size_t>(sources[i0 + q]);
                C = C + (1.0 - decayed[q]) * alpha[c];
            }
        }
    }
    poll.throw_if_stopped();
    return C - L;
}

Result<MvExpDenseGradient> mv_exp_dense_neg_ll_with_grad(std::span<const double> times,
                                                         std::span<const std::int64_t> sources,
                                                         double end_time, std::uint64_t n_dims,
                                                         std::span<const double> mu,
                                                         std::span<const double> alpha,
                                                         std::span<const double> beta) {
    if (times.size() != sources.size()) return length_mismatch(times.size(), sources.size());
    if (mu.size() != n_dims) {
        return ModelError::invalid_parameter("mu.len() (" + format_uint(mu.size()) + ") != M (" +
                                             format_uint(n_dims) + ")");
    }
    const u128 cells_wanted = square(n_dims);
    if (beta.size() != cells_wanted || alpha.size() != cells_wanted) {
        return ModelError::invalid_parameter("alpha/beta length (" + format_uint(alpha.size()) +
                                             "/" + format_uint(beta.size()) + ") != M\u00b2 (" +
                                             format_uint128(cells_wanted) + ")");
    }
    ModelError error = ModelError::invalid_parameter("");
    if (!check_sources(sources, n_dims, &error)) return error;

    const std::size_t M = mu.size();
    const std::size_t cells = alpha.size();
    const std::size_t N = times.size();
    const double T = end_time;
    const std::size_t B = block_events(cells);
    MvExpDenseGradient result{0.0, allocate_vector<double>(M, "the gradient in mu"),
                              allocate_vector<double>(cells, "the gradient in alpha"),
                              allocate_vector<double>(cells, "the gradient in beta")};
    double* grad_mu = result.grad_mu.data();
    double* grad_alpha = result.grad_alpha.data();
    double* grad_beta = result.grad_beta.data();
    std::vector<double> work = allocate_vector<double>(2 * cells + B * cells, kCellState);
    double* R = work.data();
    double* D = R + cells;  // dR/dbeta per cell
    double* factors = D + cells;
    double floored[kMaxBlockEvents];

    double L = 0.0;
    double previous = 0.0;
    InterruptPoll poll;
    for (std::size_t h0 = 0; h0 < N; h0 += B) {
        const std::size_t b = std::min(B, N - h0);
        if (poll.stop(b * cells)) break;
        const double* t_block = times.data() + h0;
        double t_previous = previous;
        previous = block_factors(t_block, b, previous, beta.data(), cells, factors);
        for (std::size_t q = 0; q < b; ++q) {
            const std::size_t k = static_cast<std::size_t>(sources[h0 + q]);
            const double dt = t_block[q] - t_previous;
            t_previous = t_block[q];
            const double* f = factors + q * cells;
            for (std::size_t c = 0; c < cells; ++c) {
                const double v = f[c];
                D[c] = v * D[c] - (R[c] * dt) * v;
                R[c] = R[c] * v;
            }
            const std::size_t row = k * M;
            double lam = mu[k];
            for (std::size_t j = 0; j < M; ++j) {
                lam = lam + (alpha[row + j] * beta[row + j]) * R[row + j];
            }
            const double lam_floored = lam > 1e-30 ? lam : 1e-30;
            floored[q] = lam_floored;
            const double r = 1.0 / lam_floored;
            grad_mu[k] = grad_mu[k] - r;
            for (std::size_t j = 0; j < M; ++j) {
                const std::size_t c = row + j;
                grad_alpha[c] = grad_alpha[c] - (beta[c] * R[c]) * r;
                grad_beta[c] = grad_beta[c] - ((beta[c] * D[c] + R[c]) * alpha[c]) * r;
            }
            for (std::size_t m = 0; m < M; ++m) R[m * M + k] = R[m * M + k] + 1.0;
        }
        vector_math::log_array(floored, floored, b);
        for (std::size_t q = 0; q < b; ++q) L = L + floored[q];
    }
    poll.throw_if_stopped();

    double decayed[kMaxBlockEvents];
    double H = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        H = H + mu[m] * T;
        grad_mu[m] = grad_mu[m] + T;
        const std::size_t row = m * M;
        for (std::size_t i0 = 0; i0 < N; i0 += kMaxBlockEvents) {
            const std::size_t b = std::min(kMaxBlockEvents, N - i0);
            if (poll.stop(b)) break;  // and so the next dimensions' loops at once
            block_tails(times.data() + i0, sources.data() + i0, b, T, beta.data(), row, decayed);
            for (std::size_t q = 0; q < b; ++q) {
                const std::size_t c = row + static_cast<std::size_t>(sources[i0 + q]);
                const double d = T - times[i0 + q];
                const double v = decayed[q];
                grad_alpha[c] = grad_alpha[c] + (1.0 - v);
                grad_beta[c] = grad_beta[c] + (d * alpha[c]) * v;
                H = H + alpha[c] * (1.0 - v);
            }
        }
    }
    poll.throw_if_stopped();
    result.neg_loglik = H - L;
    return result;
}

}  // namespace vostrel::likelihood
