// Sum-of-exponentials likelihood: the exponential recursion run once per component, O(N*K).
// Both routines process events in blocks: the block's exp calls go into a stack buffer first
// (they do not depend on the recursion), then the cheap recursion runs, then the block's logs,
// which are accumulated in event order. Every sum keeps its single accumulator and its order, so
// blocking changes the speed and never a bit.
#include "likelihood/uni_sumexp.hpp"

#include <cmath>
#include <cstddef>

#include "core/format.hpp"

namespace vostrel::likelihood {

namespace {

// Doubles of exp results buffered per block, and the most events in one block.
constexpr std::size_t kExpBuffer = 1024;
constexpr std::size_t kMaxBlockEvents = 256;

// Events per block for K components; 0 means K does not fit in the buffer and events are
// processed one at a time with the exp calls inline.
std::size_t block_events(std::size_t n_components) {
    if (n_components > kExpBuffer) return 0;
    std::size_t events = kExpBuffer / n_components;
    return events < kMaxBlockEvents ? events : kMaxBlockEvents;
}

}  // namespace

Result<double> uni_sumexp_core(std::span<const double> times, double t_horizon, double mu,
                               std::span<const double> alphas, std::span<const double> betas) {
    if (alphas.size() != betas.size() || alphas.empty()) {
        return ModelError::invalid_parameter("alphas/betas length mismatch or empty");
    }
    const std::size_t n = times.size();
    const std::size_t n_components = alphas.size();
    if (n == 0) return t_horizon * mu;

    // A_k: excitation of component k carried to the next event.
    std::vector<double> carried(n_components, 0.0);
    double previous = 0.0;
    double log_sum = 0.0;
    const std::size_t block = block_events(n_components);

    if (block == 0) {
        for (std::size_t i = 0; i < n; ++i) {
            const double gap = times[i] - previous;
            double lam = mu;
            for (std::size_t k = 0; k < n_components; ++k) {
                const double e = std::exp((-betas[k]) * gap);
                const double r = e * carried[k];
                carried[k] = r + 1.0;
                lam = lam + (betas[k] * alphas[k]) * r;
            }
            log_sum = log_sum + std::log(lam > 1e-30 ? lam : 1e-30);
            previous = times[i];
        }
    } else {
        double exps[kExpBuffer];
        double logs[kMaxBlockEvents];
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = n - start < block ? n - start : block;
            const double* t = times.data() + start;
            double p = previous;
            for (std::size_t ii = 0; ii < count; ++ii) {
                const double gap = t[ii] - p;
                p = t[ii];
                double* row = exps + ii * n_components;
                for (std::size_t k = 0; k < n_components; ++k) row[k] = std::exp((-betas[k]) * gap);
            }
            previous = p;
            for (std::size_t ii = 0; ii < count; ++ii) {
                const double* row = exps + ii * n_components;
                double lam = mu;
                for (std::size_t k = 0; k < n_components; ++k) {
                    const double r = row[k] * carried[k];  // R_k just before the event
                    carried[k] = r + 1.0;
                    lam = lam + (betas[k] * alphas[k]) * r;
                }
                logs[ii] = lam > 1e-30 ? lam : 1e-30;  // floored so that log stays finite
            }
            for (std::size_t ii = 0; ii < count; ++ii) logs[ii] = std::log(logs[ii]);
            for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + logs[ii];
        }
    }

    // Compensator: one running sum over events, then components.
    double compensator = 0.0;
    if (block == 0) {
        for (std::size_t i = 0; i < n; ++i) {
            const double d = t_horizon - times[i];
            for (std::size_t k = 0; k < n_components; ++k) {
                compensator = compensator + (1.0 - std::exp((-betas[k]) * d)) * alphas[k];
            }
        }
    } else {
        double exps[kExpBuffer];
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = n - start < block ? n - start : block;
            const double* t = times.data() + start;
            for (std::size_t ii = 0; ii < count; ++ii) {
                const double d = t_horizon - t[ii];
                double* row = exps + ii * n_components;
                for (std::size_t k = 0; k < n_components; ++k) row[k] = std::exp((-betas[k]) * d);
            }
            const std::size_t filled = count * n_components;
            for (std::size_t j = 0, k = 0; j < filled; ++j) {
                compensator = compensator + (1.0 - exps[j]) * alphas[k];
                if (++k == n_components) k = 0;
            }
        }
    }
    return (t_horizon * mu + compensator) - log_sum;
}

Result<SumExpGradient> uni_sumexp_grad_core(std::span<const double> times, double t_horizon,
                                            double mu, std::span<const double> alphas,
                                            std::span<const double> betas) {
    if (alphas.size() != betas.size()) {
        return ModelError::invalid_parameter("alphas length (" + format_uint(alphas.size()) +
                                             ") != betas length (" + format_uint(betas.size()) +
                                             ")");
    }
    if (alphas.empty()) {
        return ModelError::invalid_parameter("must have at least one (alpha, beta) component");
    }
    const std::size_t n_components = alphas.size();
    for (std::size_t k = 0; k < n_components; ++k) {
        if (betas[k] <= 0.0) {  // a NaN decay passes, as the comparison is false
            return ModelError::invalid_parameter("betas[" + format_uint(k) +
                                                 "] must be positive; got " +
                                                 format_double(betas[k]));
        }
    }

    SumExpGradient out;
    const std::size_t n = times.size();
    if (n == 0) {
        out.neg_loglik = mu * t_horizon;
        out.grad_mu = t_horizon;
        out.grad_alphas.assign(n_components, 0.0);
        out.grad_betas.assign(n_components, 0.0);
        return out;
    }

    std::vector<double> carried(n_components, 0.0);     // A_k
    std::vector<double> derivative(n_components, 0.0);  // D_k = dR_k/dbeta_k
    std::vector<double> excitation(n_components);       // R_k at the current event
    std::vector<double> next_derivative(n_components);  // D'_k at the current event
    out.grad_alphas.assign(n_components, 0.0);          // holds G_alpha_k until the end
    out.grad_betas.assign(n_components, 0.0);           // holds G_beta_k until the end
    double* g_alpha = out.grad_alphas.data();
    double* g_beta = out.grad_betas.data();
    double previous = 0.0;
    double log_sum = 0.0;
    double g_mu = 0.0;

    // One event's update from its K exponentials; returns the floored intensity.
    auto event_update = [&](double gap, auto exp_of) {
        double lam = mu;
        for (std::size_t k = 0; k < n_components; ++k) {
            const double e = exp_of(k);
            const double r = carried[k] * e;
            excitation[k] = r;
            next_derivative[k] = e * derivative[k] - gap * r;
            lam = lam + (betas[k] * alphas[k]) * r;
        }
        const double floored = lam > 1e-30 ? lam : 1e-30;
        const double inv = 1.0 / floored;
        for (std::size_t k = 0; k < n_components; ++k) {
            g_alpha[k] = (betas[k] * excitation[k]) * inv + g_alpha[k];
            g_beta[k] = ((betas[k] * next_derivative[k] + excitation[k]) * alphas[k]) * inv + g_beta[k];
        }
        for (std::size_t k = 0; k < n_components; ++k) {
            carried[k] = excitation[k] + 1.0;
            derivative[k] = next_derivative[k];
        }
        g_mu = g_mu + inv;
        return floored;
    };

    std::vector<double> integral(n_components, 0.0);  // C_k
    std::vector<double> moment(n_components, 0.0);    // S2_k
    const std::size_t block = block_events(n_components);
    if (block == 0) {
        for (std::size_t i = 0; i < n; ++i) {
            const double gap = times[i] - previous;
            const double floored =
                event_update(gap, [&](std::size_t k) { return std::exp((-betas[k]) * gap); });
            log_sum = log_sum + std::log(floored);
            previous = times[i];
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double d = t_horizon - times[i];
            for (std::size_t k = 0; k < n_components; ++k) {
                const double f = std::exp((-betas[k]) * d);
                integral[k] = (1.0 - f) + integral[k];
                moment[k] = f * d + moment[k];
            }
        }
    } else {
        double exps[kExpBuffer];
        double gaps[kMaxBlockEvents];
        double logs[kMaxBlockEvents];
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = n - start < block ? n - start : block;
            const double* t = times.data() + start;
            double p = previous;
            for (std::size_t ii = 0; ii < count; ++ii) {
                const double gap = t[ii] - p;
                gaps[ii] = gap;
                p = t[ii];
                double* row = exps + ii * n_components;
                for (std::size_t k = 0; k < n_components; ++k) row[k] = std::exp((-betas[k]) * gap);
            }
            previous = p;
            for (std::size_t ii = 0; ii < count; ++ii) {
                const double* row = exps + ii * n_components;
                logs[ii] = event_update(gaps[ii], [row](std::size_t k) { return row[k]; });
            }
            for (std::size_t ii = 0; ii < count; ++ii) logs[ii] = std::log(logs[ii]);
            for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + logs[ii];
        }
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = n - start < block ? n - start : block;
            const double* t = times.data() + start;
            for (std::size_t ii = 0; ii < count; ++ii) {
                const double d = t_horizon - t[ii];
                double* row = exps + ii * n_components;
                for (std::size_t k = 0; k < n_components; ++k) row[k] = std::exp((-betas[k]) * d);
            }
            for (std::size_t ii = 0; ii < count; ++ii) {
                const double d = t_horizon - t[ii];
                const double* row = exps + ii * n_components;
                for (std::size_t k = 0; k < n_components; ++k) {
                    integral[k] = (1.0 - row[k]) + integral[k];
                    moment[k] = row[k] * d + moment[k];
                }
            }
        }
    }

    // X: the compensator, per-component integrals weighted by their amplitudes.
    double compensator = 0.0;
    for (std::size_t k = 0; k < n_components; ++k) compensator = compensator + alphas[k] * integral[k];
    out.neg_loglik = (mu * t_horizon + compensator) - log_sum;
    out.grad_mu = t_horizon - g_mu;
    for (std::size_t k = 0; k < n_components; ++k) {
        g_alpha[k] = integral[k] - g_alpha[k];
        g_beta[k] = alphas[k] * moment[k] - g_beta[k];
    }
    return out;
}

}  // namespace vostrel::likelihood
