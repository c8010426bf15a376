// Cross-checks of the multivariate and nonlinear likelihood cores that need no interpreter: the
// recursive model against a direct O(N^2) sum, against the dense model with equal decays, and
// the overflow-safe shape messages of the dense model.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "likelihood/mv_exp_dense.hpp"
#include "likelihood/mv_exp_recursive.hpp"
#include "likelihood/nonlinear_uni_exp.hpp"

using namespace vostrel;
using namespace vostrel::likelihood;

namespace {

bool close(double a, double b, double tolerance) {
    return std::fabs(a - b) <= tolerance * (1.0 + std::fabs(a) + std::fabs(b));
}

std::uint64_t bits(double value) {
    std::uint64_t b;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

// Direct double sum over pairs of events, independent of the recursion.
double direct_loss(const std::vector<std::vector<double>>& ts, double T, double beta,
                   const std::vector<double>& coeffs) {
    const std::size_t M = ts.size();
    double total = 0.0;
    for (std::size_t i = 0; i < M; ++i) {
        double L = coeffs[i] * T;
        for (std::size_t j = 0; j < M; ++j) {
            for (double s : ts[j]) {
                if (s < T) L += coeffs[M + i * M + j] * (1.0 - std::exp(-beta * (T - s)));
            }
        }
        for (double t : ts[i]) {
            double lam = coeffs[i];
            for (std::size_t j = 0; j < M; ++j) {
                for (double s : ts[j]) {
                    if (s < t) lam += coeffs[M + i * M + j] * beta * std::exp(-beta * (t - s));
                }
            }
            L -= std::log(lam > 1e-30 ? lam : 1e-30);
        }
        total += L;
    }
    return total;
}

std::vector<std::vector<double>> random_events(std::size_t M, std::size_t n, double T,
                                               unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, T);
    std::vector<std::vector<double>> ts(M);
    for (std::size_t d = 0; d < M; ++d) {
        ts[d].resize(n + d);
        for (double& t : ts[d]) t = u(rng);
        std::sort(ts[d].begin(), ts[d].end());
    }
    return ts;
}

void recursive_matches_direct_sum_and_dense() {
    const double T = 20.0, beta = 1.3;
    for (std::size_t M : {1u, 2u, 3u, 5u}) {
        auto ts = random_events(M, 40, T, static_cast<unsigned>(M));
        auto model = MvExpRecursiveModel::create(ts, T, beta);
        CHECK(model.ok());
        std::vector<double> coeffs(M + M * M);
        for (std::size_t c = 0; c < coeffs.size(); ++c) coeffs[c] = 0.1 + 0.03 * double(c % 7);
        const double loss = model.value().loss(coeffs).value();
        CHECK(close(loss, direct_loss(ts, T, beta, coeffs), 1e-12));

        std::vector<double> out(coeffs.size(), 123.0);
        const double loss2 = model.value().loss_and_grad(coeffs, out).value();
        CHECK(bits(loss) == bits(loss2));

        // The dense model on the merged, time-ordered events with every decay equal.
        std::vector<double> times;
        std::vector<std::int64_t> sources;
        std::vector<std::size_t> cursor(M, 0);
        for (;;) {
            std::size_t best = M;
            for (std::size_t d = 0; d < M; ++d) {
                if (cursor[d] < ts[d].size() &&
                    (best == M || ts[d][cursor[d]] < ts[best][cursor[best]]))
                    best = d;
            }
            if (best == M) break;
            times.push_back(ts[best][cursor[best]++]);
            sources.push_back(static_cast<std::int64_t>(best));
        }
        std::vector<double> mu(coeffs.begin(), coeffs.begin() + M);
        std::vector<double> alpha(coeffs.begin() + M, coeffs.end());
        std::vector<double> betas(M * M, beta);
        auto dense = mv_exp_dense_neg_ll_with_grad(times, sources, T, M, mu, alpha, betas);
        CHECK(dense.ok());
        CHECK(close(dense.value().neg_loglik, loss, 1e-12));
        for (std::size_t m = 0; m < M; ++m) CHECK(close(dense.value().grad_mu[m], out[m], 1e-10));
        for (std::size_t c = 0; c < M * M; ++c) {
            CHECK(close(dense.value().grad_alpha[c], out[M + c], 1e-10));
        }
        auto value = mv_exp_dense_neg_ll(times, sources, T, M, mu, alpha, betas);
        CHECK(bits(value.value()) == bits(dense.value().neg_loglik));
    }
}

void dense_shape_message_reports_true_square() {
    std::vector<double> empty;
    std::vector<std::int64_t> none;
    const std::uint64_t M = std::uint64_t{1} << 32;
    auto value = mv_exp_dense_neg_ll(empty, none, 1.0, M, empty, empty, empty);
    CHECK(!value.ok());
    CHECK(value.error().display() ==
          "invalid parameter: shape mismatch: mu/alpha/beta = 0/0/0, expected M=4294967296, "
          "M\u00b2=18446744073709551616");
    auto grad = mv_exp_dense_neg_ll_with_grad(empty, none, 1.0, M, empty, empty, empty);
    CHECK(!grad.ok());
    CHECK(grad.error().display() == "invalid parameter: mu.len() (0) != M (4294967296)");
}

void nonlinear_value_matches_gradient_value() {
    auto ts = random_events(1, 200, 30.0, 7)[0];
    for (const char* name : {"softplus", "relu", "sigmoid", "identity"}) {
        Link link = *Link::from_name(name, 2.0);
        auto value = nonlinear_uni_exp_neg_ll(ts, 30.0, 0.4, 0.5, 1.1, link, 1000);
        auto grad = nonlinear_uni_exp_neg_ll_with_grad(ts, 30.0, 0.4, 0.5, 1.1, link, 1000);
        CHECK(bits(value.value()) == bits(grad.value().first));
    }
}

}  // namespace

int main() {
    recursive_matches_direct_sum_and_dense();
    dense_shape_message_reports_true_square();
    nonlinear_value_matches_gradient_value();
    return vostrel::test::check_summary();
}
