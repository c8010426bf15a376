// The nonlinear exponential likelihood and its gradient. The grid is streamed in blocks instead
// of being stored whole: each block's excitation sums are built by the grid recursion, then its
// link values computed together, then the trapezoid sums accumulated in grid order, so memory
// does not grow with n_quad. The event pass is blocked the same way.
#include "likelihood/nonlinear_uni_exp.hpp"
#include "likelihood/decay_exp.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

#include "core/format.hpp"
#include "core/interrupt.hpp"

namespace vostrel::likelihood {
namespace {

constexpr std::size_t kBlock = 256;

double link_value(const Link& link, double x) {
    switch (link.kind) {
        case Link::Kind::Softplus:
            return x > 35.0 ? x : std::log(std::exp(x) + 1.0);
        case Link::Kind::Relu:
            return x > 0.0 ? x : 0.0;
        case Link::Kind::Sigmoid: {
            // Clamped from below at -40; a NaN stays NaN.
            const double z = x < -40.0 ? -40.0 : x;
            return z > 40.0 ? link.scale : link.scale / (std::exp(-z) + 1.0);
        }
        case Link::Kind::Identity:
            return x > 1e-12 ? x : 1e-12;
    }
    return x;
}

// Derivative of the link; `value` is link_value(x).
double link_derivative(const Link& link, double x, double value) {
    switch (link.kind) {
        case Link::Kind::Softplus:
            return 1.0 / (std::exp(-x) + 1.0);
        case Link::Kind::Relu:
            return x > 0.0 ? 1.0 : 0.0;
        case Link::Kind::Sigmoid:
            return (1.0 - value / link.scale) * value;
        case Link::Kind::Identity:
            return x > 1e-12 ? 1.0 : 0.0;
    }
    return 0.0;
}

struct Sums {
    double neg_loglik;
    double d_mu;
    double d_alpha;
    double d_beta;
};

template <bool Grad>
Sums evaluate(std::span<const double> times, double T, double mu, double alpha, double beta,
              const Link& link, std::uint64_t n_quad) {
    const std::uint64_t G = n_quad >= 9 ? n_quad : 8;
    const double last = static_cast<double>(G - 1);
    const double ab = alpha * beta;
    const std::size_t N = times.size();
    InterruptPoll poll;

    // Grid pass: S(s) = sum over events t_k <= s of exp(-beta * (s - t_k)) and dS = dS/dbeta,
    // carried from the last absorbed event e.
    double C = 0.0, C_mu = 0.0, C_alpha = 0.0, C_beta = 0.0;
    {
        std::size_t k = 0;
        double S = 0.0, D = 0.0, e = 0.0;
        double s_block[kBlock], S_block[kBlock], dS_block[kBlock], v_block[kBlock],
            w_block[kBlock];
        double s_left = 0.0, S_left = 0.0, dS_left = 0.0, v_left = 0.0, w_left = 0.0;
        for (std::uint64_t i0 = 0; i0 < G; i0 += kBlock) {
            const std::size_t b = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, G - i0));
            if (poll.stop(b)) break;
            for (std::size_t q = 0; q < b; ++q) {
                const double s = (static_cast<double>(i0 + q) * T) / last;
                // Absorb events up to s; stops at the first later (or NaN) time.
                while (k < N && times[k] <= s) {
                    if (poll.stop()) break;  // the block is dropped at the next stop()
                    const double gap = times[k] - e;
                    const double g = decay_exp(gap * (-beta));
                    if constexpr (Grad) D = D * g - gap * (S * g);
                    S = S * g + 1.0;
                    e = times[k];
                    ++k;
                }
                const double f = decay_exp((s - e) * (-beta));
                s_block[q] = s;
                S_block[q] = S * f;
                if constexpr (Grad) dS_block[q] = f * D - (S * f) * (s - e);
            }
            for (std::size_t q = 0; q < b; ++q) {
                const double x = S_block[q] * ab + mu;
                v_block[q] = link_value(link, x);
                if constexpr (Grad) w_block[q] = link_derivative(link, x, v_block[q]);
            }
            for (std::size_t q = 0; q < b; ++q) {
                if (i0 + q > 0) {
                    // Trapezoid over [s_left, s_q], right value added to the left one.
                    const double h = (s_block[q] - s_left) * 0.5;
                    C = C + (v_block[q] + v_left) * h;
                    if constexpr (Grad) {
                        const double w = w_block[q];
                        const double Sr = S_block[q];
                        const double dSr = dS_block[q];
                        C_mu = C_mu + (w + w_left) * h;
                        C_alpha = C_alpha + ((beta * w) * Sr + (w_left * beta) * S_left) * h;
                        C_beta = C_beta + (((dSr * beta) + Sr) * (alpha * w) +
                                           ((dS_left * beta) + S_left) * (alpha * w_left)) *
                                              h;
                    }
                }
                s_left = s_block[q];
                v_left = v_block[q];
                if constexpr (Grad) {
                    S_left = S_block[q];
                    dS_left = dS_block[q];
                    w_left = w_block[q];
                }
            }
        }
    }
    poll.throw_if_stopped();

    // Event pass: R_i = excitation just before t_i (in units of alpha * beta), dR_i = dR_i/dbeta.
    double L = 0.0, E_mu = 0.0, E_alpha = 0.0, E_beta = 0.0;
    {
        double A = 0.0, dA = 0.0, p = 0.0;
        double factor[kBlock], R_block[kBlock], dR_block[kBlock], x_block[kBlock];
        for (std::size_t i0 = 0; i0 < N; i0 += kBlock) {
            const std::size_t b = std::min(kBlock, N - i0);
            if (poll.stop(b)) break;
            const double* t = times.data() + i0;
            double previous = p;
            for (std::size_t q = 0; q < b; ++q) {
                factor[q] = decay_exp((t[q] - previous) * (-beta));
                previous = t[q];
            }
            for (std::size_t q = 0; q < b; ++q) {
                const double R = (i0 + q == 0) ? 0.0 : factor[q] * A;  // no earlier event
                if constexpr (Grad) {
                    const double dR = dA * factor[q] - (t[q] - p) * R;
                    dR_block[q] = dR;
                    dA = dR;
                }
                R_block[q] = R;
                x_block[q] = ab * R + mu;
                A = R + 1.0;
                p = t[q];
            }
            for (std::size_t q = 0; q < b; ++q) {
                const double x = x_block[q];
                const double v = link_value(link, x);
                // Floored at 1e-30 (a NaN too) so that log stays finite.
                const double lam = v > 1e-30 ? v : 1e-30;
                L = L + std::log(lam);
                if constexpr (Grad) {
                    const double r = 1.0 / lam;
                    const double u = link_derivative(link, x, v);
                    const double R = R_block[q];
                    E_mu = E_mu + r * u;
                    E_alpha = E_alpha + r * ((beta * u) * R);
                    E_beta = E_beta + ((beta * dR_block[q] + R) * (alpha * u)) * r;
                }
            }
        }
    }
    poll.throw_if_stopped();
    return Sums{C - L, C_mu - E_mu, C_alpha - E_alpha, C_beta - E_beta};
}

std::optional<ModelError> check_quadrature(std::uint64_t n_quad) {
    if (n_quad > kMaxQuadraturePoints) {
        return ModelError::invalid_parameter("n_quad must be at most " +
                                             format_uint(kMaxQuadraturePoints) + "; got " +
                                             format_uint(n_quad));
    }
    return std::nullopt;
}

}  // namespace

std::optional<Link> Link::from_name(std::string_view name, double sigmoid_scale) {
    if (name == "softplus") return Link{Kind::Softplus, sigmoid_scale};
    if (name == "relu") return Link{Kind::Relu, sigmoid_scale};
    if (name == "sigmoid") return Link{Kind::Sigmoid, sigmoid_scale};
    if (name == "identity") return Link{Kind::Identity, sigmoid_scale};
    return std::nullopt;
}

Result<double> nonlinear_uni_exp_neg_ll(std::span<const double> times, double t_horizon,
                                        double mu, double alpha, double beta, Link link,
                                        std::uint64_t n_quad) {
    if (t_horizon <= 0.0 || beta <= 0.0) {
        return ModelError::invalid_parameter("t_horizon and beta must be positive");
    }
    if (auto error = check_quadrature(n_quad)) return *error;
    return evaluate<false>(times, t_horizon, mu, alpha, beta, link, n_quad).neg_loglik;
}

Result<std::pair<double, std::vector<double>>> nonlinear_uni_exp_neg_ll_with_grad(
    std::span<const double> times, double t_horizon, double mu, double alpha, double beta,
    Link link, std::uint64_t n_quad) {
    if (t_horizon <= 0.0) {
        return ModelError::invalid_parameter("t_horizon must be positive; got " +
                                             format_double(t_horizon));
    }
    if (beta <= 0.0) {
        return ModelError::invalid_parameter("beta must be positive; got " + format_double(beta));
    }
    if (auto error = check_quadrature(n_quad)) return *error;
    const Sums sums = evaluate<true>(times, t_horizon, mu, alpha, beta, link, n_quad);
    return std::pair<double, std::vector<double>>(
        sums.neg_loglik, std::vector<double>{sums.d_mu, sums.d_alpha, sums.d_beta});
}

}  // namespace vostrel::likelihood
