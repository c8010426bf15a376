// Checks of the binned-baseline routines that need no interpreter: the closed-form Hessian of the
// binned exponential likelihood against central differences of its gradient, and the bins of a
// periodic baseline at and around its edges.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "likelihood/periodic_bins.hpp"
#include "likelihood/uni_exp_baseline.hpp"

using namespace vostrel;
using namespace vostrel::likelihood;

namespace {

void hessian_matches_differences_of_the_gradient() {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> gap(0.0, 1.0);
    std::vector<double> times;
    std::vector<std::int64_t> bins;
    for (double t = gap(rng); t < 200.0; t += gap(rng)) {
        times.push_back(t);
        bins.push_back(static_cast<std::int64_t>(std::fmod(std::floor(t / 5.0), 3.0)));
    }
    const double horizon = 200.0;
    const std::vector<double> exposure{70.0, 65.0, 65.0};
    std::vector<double> x{0.4, 0.7, 0.2, 0.5, 1.5};  // mu_0..mu_2, alpha, beta
    auto gradient = [&](const std::vector<double>& at) {
        const std::vector<double> mu(at.begin(), at.begin() + 3);
        return uni_exp_binned_neg_ll_with_grad(times, horizon, bins, exposure, mu, at[3], at[4])
            .value()
            .second;
    };
    const std::vector<double> mu(x.begin(), x.begin() + 3);
    const std::vector<double> hessian =
        uni_exp_binned_neg_ll_hessian(times, horizon, bins, mu, x[3], x[4]).value();
    CHECK(hessian.size() == 25);
    for (std::size_t j = 0; j < 5; ++j) {
        std::vector<double> plus = x, minus = x;
        const double step = 1e-5 * x[j];
        plus[j] += step;
        minus[j] -= step;
        const std::vector<double> up = gradient(plus), down = gradient(minus);
        for (std::size_t i = 0; i < 5; ++i) {
            const double numeric = (up[i] - down[i]) / (plus[j] - minus[j]);
            CHECK(std::fabs(hessian[i * 5 + j] - numeric) <= 1e-6 * (1.0 + std::fabs(numeric)));
            CHECK(hessian[i * 5 + j] == hessian[j * 5 + i]);
            if (i < 3 && j < 3 && i != j) CHECK(hessian[i * 5 + j] == 0.0);
        }
    }
    std::vector<std::int64_t> outside = bins;
    outside[10] = 3;
    CHECK(!uni_exp_binned_neg_ll_hessian(times, horizon, outside, mu, x[3], x[4]).ok());
}

void bins_at_and_around_the_edges() {
    const std::vector<double> edges{0.0, 6.0, 12.0, 18.0, 24.0};
    const double below = std::nextafter(9.0, 0.0);
    // Origin 3: phase 0 at t = 3, 27, -21; an edge at 9; the last bin just below 3.
    const std::vector<double> times{3.0, below, 9.0, 2.999, 27.0, -21.0, 20.9, 1e9 + 3.0};
    const std::vector<double> expected{0.0, 0.0, 1.0, 3.0, 0.0, 0.0, 2.0, 2.0};
    CHECK_RANGES_EQUAL(periodic_bins(times, 0.0, 24.0, 3.0, edges).value(), expected);
    // The shift is added to the times first.
    const std::vector<double> shifted{0.0, -21.0};
    const std::vector<double> expected_shifted{1.0, 1.0};
    CHECK_RANGES_EQUAL(periodic_bins(shifted, 9.0, 24.0, 3.0, edges).value(), expected_shifted);
    // Uneven edges: the guess as if equal is corrected.
    const std::vector<double> uneven{0.0, 1e-9, 23.0, 24.0};
    const std::vector<double> at{0.0, 1e-9, 12.0, 23.5};
    const std::vector<double> expected_uneven{0.0, 1.0, 1.0, 2.0};
    CHECK_RANGES_EQUAL(periodic_bins(at, 0.0, 24.0, 0.0, uneven).value(), expected_uneven);
    CHECK(!periodic_bins(at, 0.0, 0.0, 0.0, edges).ok());
    CHECK(!periodic_bins(at, 0.0, 24.0, 0.0, std::vector<double>{0.0, 5.0, 5.0, 24.0}).ok());
}

}  // namespace

int main() {
    hessian_matches_differences_of_the_gradient();
    bins_at_and_around_the_edges();
    return vostrel::test::check_summary();
}
