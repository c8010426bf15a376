// The nonlinear exponential likelihood and its gradient. The grid is streamed in blocks instead
// of being stored whole: each block's excitation sums are built by the grid recursion, then its
// link values computed together, then the trapezoid sums accumulated in grid order, so memory
// does not grow with n_quad. The event pass is blocked the same way. The exps and logs whose
// arguments are known ahead of their use (the decay over each event gap and from each grid
// point's last event, the links' exps and logs, the log-intensities) are taken a block at a time
// by exp_array, log_array and add_logs; each sum keeps its accumulator and its order.
#include "likelihood/nonlinear_uni_exp.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/require.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {
namespace {

constexpr std::size_t kBlock = 256;

// v[q] = the link at x[q], for q < b:
//   softplus log(exp(x) + 1), or x itself above 35; relu max(x, 0); sigmoid
//   scale / (exp(-z) + 1) with z = x clamped from below at -40, or scale above 40 (a NaN stays
//   NaN); identity max(x, 1e-12).
void link_values(const Link& link, const double* x, double* v, std::size_t b) {
    switch (link.kind) {
        case Link::Kind::Softplus:
            // exp(0) stands in where x itself is the value (and exp(x) might overflow).
            for (std::size_t q = 0; q < b; ++q) v[q] = x[q] > 35.0 ? 0.0 : x[q];
            vector_math::exp_array(v, v, b);
            for (std::size_t q = 0; q < b; ++q) v[q] = v[q] + 1.0;
            vector_math::log_array(v, v, b);
            for (std::size_t q = 0; q < b; ++q) v[q] = x[q] > 35.0 ? x[q] : v[q];
            return;
        case Link::Kind::Relu:
            for (std::size_t q = 0; q < b; ++q) v[q] = x[q] > 0.0 ? x[q] : 0.0;
            return;
        case Link::Kind::Sigmoid:
            for (std::size_t q = 0; q < b; ++q) {
                const double z = x[q] < -40.0 ? -40.0 : x[q];
                v[q] = z > 40.0 ? 0.0 : -z;
            }
            vector_math::exp_array(v, v, b);
            for (std::size_t q = 0; q < b; ++q) {
                const double z = x[q] < -40.0 ? -40.0 : x[q];
                v[q] = z > 40.0 ? link.scale : link.scale / (v[q] + 1.0);
            }
            return;
        case Link::Kind::Identity:
            for (std::size_t q = 0; q < b; ++q) v[q] = x[q] > 1e-12 ? x[q] : 1e-12;
            return;
    }
}

// u[q] = the link's derivative at x[q], v[q] being its value there: softplus
// 1 / (exp(-x) + 1); relu and identity 1 where the link is x itself, else 0; sigmoid
// (1 - v / scale) v.
void link_derivatives(const Link& link, const double* x, const double* v, double* u,
                      std::size_t b) {
    switch (link.kind) {
        case Link::Kind::Softplus:
            for (std::size_t q = 0; q < b; ++q) u[q] = -x[q];
            vector_math::exp_array(u, u, b);
            for (std::size_t q = 0; q < b; ++q) u[q] = 1.0 / (u[q] + 1.0);
            return;
        case Link::Kind::Relu:
            for (std::size_t q = 0; q < b; ++q) u[q] = x[q] > 0.0 ? 1.0 : 0.0;
            return;
        case Link::Kind::Sigmoid:
            for (std::size_t q = 0; q < b; ++q) u[q] = (1.0 - v[q] / link.scale) * v[q];
            return;
        case Link::Kind::Identity:
            for (std::size_t q = 0; q < b; ++q) u[q] = x[q] > 1e-12 ? 1.0 : 0.0;
            return;
    }
}

// exp((t_k - t_{k-1}) (-beta)) for events k in [first, first + count), t_{-1} = 0: the decay over
// each event's gap, which the grid pass and the event pass both need.
void gap_factors(const double* times, std::size_t first, std::size_t count, double beta,
                 double* factor) {
    double previous = first == 0 ? 0.0 : times[first - 1];
    for (std::size_t q = 0; q < count; ++q) {
        factor[q] = (times[first + q] - previous) * (-beta);
        previous = times[first + q];
    }
    vector_math::exp_array(factor, factor, count);
}

// The first of the points s[0], ..., s[b - 1] that is not below t, given that s[b - 1] is not
// and that no point after one not below t is below it. `guess` estimates the place (from the grid
// spacing); it is checked, and moved by one where t lies within rounding of a point, against the
// points themselves; only where that fails (a NaN guess, a grid too fine for its doubles) is
// the place searched for.
inline std::size_t first_point_not_below(const double* s, std::size_t b, double t, double guess) {
    // The guess rounded up, into [0, b - 1] (a NaN guess gives 0).
    const double highest = static_cast<double>(b - 1);
    const double bounded = guess > 0.0 ? (guess < highest ? guess : highest) : 0.0;
    std::size_t q = static_cast<std::size_t>(static_cast<std::int64_t>(bounded));
    if (static_cast<double>(q) < bounded) ++q;
    if (q > 0 && t <= s[q - 1]) {
        --q;
    } else if (!(t <= s[q])) {
        ++q;
    }
    if (t <= s[q] && (q == 0 || !(t <= s[q - 1]))) return q;
    std::size_t low = 0, high = b - 1;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (t <= s[middle]) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
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
    // carried from the last absorbed event e. An event is absorbed at the first grid point at or
    // after the previous event's whose s is not below its time (absorption stops for good at a
    // later or NaN time). Each block first absorbs the events it takes, in order, recording the
    // state after the last one at each point; then each point takes the state recorded at or
    // before it, so that no branch depends on how many events fall between two points and the
    // decays from the last event to the points are taken a block at a time.
    double C = 0.0, C_mu = 0.0, C_alpha = 0.0, C_beta = 0.0;
    {
        std::size_t k = 0;
        // The state after the last absorbed event: sum, its beta derivative and the event's time.
        double S = 0.0, D = 0.0, e = 0.0;
        double s_block[kBlock], S_block[kBlock], dS_block[kBlock], v_block[kBlock], w_block[kBlock],
            x_block[kBlock], f_block[kBlock];
        // The state after each point's last absorbed event, at place 1 + the point's index in the
        // block (taken[q] = that place for a point that absorbed one, else 0); place 0 holds the
        // state the block starts from.
        double S_at[kBlock + 1], D_at[kBlock + 1], e_at[kBlock + 1];
        std::size_t taken[kBlock];
        std::size_t from[kBlock];  // the place of each point's state
        S_at[0] = 0.0;
        D_at[0] = 0.0;
        e_at[0] = 0.0;
        // The gap factors of events [g_first, g_first + kBlock), filled as absorption reaches them.
        double gap_factor[kBlock];
        std::size_t g_first = 0, g_count = 0;
        // Grid points per unit of time, to guess the point that absorbs an event.
        const double points_per_time = last / T;
        double s_left = 0.0, S_left = 0.0, dS_left = 0.0, v_left = 0.0, w_left = 0.0;
        for (std::uint64_t i0 = 0; i0 < G; i0 += kBlock) {
            const std::size_t b = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, G - i0));
            for (std::size_t q = 0; q < b; ++q) {
                s_block[q] = (static_cast<double>(i0 + q) * T) / last;
                taken[q] = 0;
            }
            // The block absorbs each event not later than its last point, in order.
            std::size_t place = 0;  // of the last absorption (0: before the block)
            while (k < N && times[k] <= s_block[b - 1]) {
                if (k == g_first + g_count) {
                    // A grid block that absorbs many events polls at each block of them; after a
                    // stop it absorbs no more, and the pass ends at the block's own poll.
                    if (poll.stop(kBlock)) break;
                    g_first = k;
                    g_count = std::min(kBlock, N - k);
                    gap_factors(times.data(), g_first, g_count, beta, gap_factor);
                }
                const double t = times[k];
                const std::size_t q = first_point_not_below(
                    s_block, b, t, t * points_per_time - static_cast<double>(i0));
                const double gap = t - e;
                const double g = gap_factor[k - g_first];
                if constexpr (Grad) D = D * g - gap * (S * g);
                S = S * g + 1.0;
                e = t;
                ++k;
                // Not before the previous event's point (times need not be sorted).
                place = q + 1 > place ? q + 1 : place;
                S_at[place] = S;
                if constexpr (Grad) D_at[place] = D;
                e_at[place] = e;
                taken[place - 1] = place;
            }
            std::size_t at = 0;
            for (std::size_t q = 0; q < b; ++q) {
                at = std::max(at, taken[q]);  // a select, not a branch
                from[q] = at;
                f_block[q] = (s_block[q] - e_at[at]) * (-beta);
            }
            vector_math::exp_array(f_block, f_block, b);
            for (std::size_t q = 0; q < b; ++q) {
                const double f = f_block[q];
                const double S_q = S_at[from[q]];
                S_block[q] = S_q * f;
                if constexpr (Grad) {
                    dS_block[q] = f * D_at[from[q]] - (S_q * f) * (s_block[q] - e_at[from[q]]);
                }
            }
            // The next block starts from the state after the last absorbed event.
            S_at[0] = S;
            D_at[0] = D;
            e_at[0] = e;
            for (std::size_t q = 0; q < b; ++q) x_block[q] = S_block[q] * ab + mu;
            link_values(link, x_block, v_block, b);
            if constexpr (Grad) link_derivatives(link, x_block, v_block, w_block, b);
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
            // At the block's end: a poll at its top costs the grid points' loop registers.
            if (poll.stop(b)) break;
        }
    }
    poll.throw_if_stopped();

    // Event pass: R_i = excitation just before t_i (in units of alpha * beta), dR_i = dR_i/dbeta.
    double L = 0.0, E_mu = 0.0, E_alpha = 0.0, E_beta = 0.0;
    {
        double A = 0.0, dA = 0.0, p = 0.0;
        double factor[kBlock], R_block[kBlock], dR_block[kBlock], x_block[kBlock], v_block[kBlock],
            u_block[kBlock], lam_block[kBlock], log_block[kBlock];
        for (std::size_t i0 = 0; i0 < N; i0 += kBlock) {
            const std::size_t b = std::min(kBlock, N - i0);
            if (poll.stop(b)) break;
            const double* t = times.data() + i0;
            gap_factors(times.data(), i0, b, beta, factor);
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
            link_values(link, x_block, v_block, b);
            if constexpr (Grad) link_derivatives(link, x_block, v_block, u_block, b);
            // Floored at 1e-30 (a NaN too) so that log stays finite.
            for (std::size_t q = 0; q < b; ++q) {
                lam_block[q] = v_block[q] > 1e-30 ? v_block[q] : 1e-30;
            }
            if constexpr (Grad) {
                vector_math::log_array(lam_block, log_block, b);
                for (std::size_t q = 0; q < b; ++q) {
                    L = L + log_block[q];
                    const double r = 1.0 / lam_block[q];
                    const double u = u_block[q];
                    const double R = R_block[q];
                    E_mu = E_mu + r * u;
                    E_alpha = E_alpha + r * ((beta * u) * R);
                    E_beta = E_beta + ((beta * dR_block[q] + R) * (alpha * u)) * r;
                }
            } else {
                L = vector_math::add_logs(L, lam_block, b);
            }
        }
    }
    poll.throw_if_stopped();
    return Sums{C - L, C_mu - E_mu, C_alpha - E_alpha, C_beta - E_beta};
}

std::optional<ModelError> check_quadrature(std::uint64_t n_quad) {
    if (auto error = require(n_quad, "n_quad", AtMost{kMaxQuadraturePoints})) return *error;
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

Result<double> nonlinear_uni_exp_neg_ll(std::span<const double> times, double t_horizon, double mu,
                                        double alpha, double beta, Link link,
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
    if (auto error = require(t_horizon, "t_horizon", rules::positive)) return *error;
    if (auto error = require(beta, "beta", rules::positive)) return *error;
    if (auto error = check_quadrature(n_quad)) return *error;
    const Sums sums = evaluate<true>(times, t_horizon, mu, alpha, beta, link, n_quad);
    return std::pair<double, std::vector<double>>(
        sums.neg_loglik, std::vector<double>{sums.d_mu, sums.d_alpha, sums.d_beta});
}

}  // namespace vostrel::likelihood
