// Cost of the interruption polls, workload by workload: each routine of the C++ benchmarks timed
// with the polls and without them (a copy of the core whose polls compile to nothing), in one
// process and in alternation, the order swapped from round to round, in thread CPU time. On a
// machine shared with other work, load only ever slows a run down, so the table gives each side's
// best time and, steadier still, the median over the rounds of each round's quotient.
// Usage: poll_cost [rounds] [scale] [filter] [aa]   (15 rounds at scale 1 by default; only the
// workloads whose name contains `filter`, when given; with "aa", the core without polls is timed
// against itself, which shows how far apart two runs of the same code land on this machine)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "poll_cost/workload.hpp"

namespace {

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

volatile double sink = 0.0;

double seconds_of(const poll_cost::Workload& workload) {
    const double start = thread_seconds();
    sink = sink + workload.run();
    return thread_seconds() - start;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    const double scale = argc > 2 ? std::atof(argv[2]) : 1.0;
    const char* filter = argc > 3 ? argv[3] : "";
    std::vector<poll_cost::Workload> with, without;
    {
        const bool same = argc > 4 && std::string(argv[4]) == "aa";
        const std::vector<poll_cost::Workload> all_with =
            same ? poll_cost::without_polls(scale) : poll_cost::with_polls(scale);
        const std::vector<poll_cost::Workload> all_without = poll_cost::without_polls(scale);
        for (std::size_t k = 0; k < all_with.size(); ++k) {
            if (all_with[k].name.find(filter) == std::string::npos) continue;
            with.push_back(all_with[k]);
            without.push_back(all_without[k]);
        }
    }
    const std::size_t n = with.size();
    std::vector<double> best_with(n, 1e300), best_without(n, 1e300);
    std::vector<std::vector<double>> quotients(n);
    // Warm up (caches, pages, the library's lazy setup), checking that both give the same bits.
    for (std::size_t k = 0; k < n; ++k) {
        const double a = with[k].run(), b = without[k].run();
        if (std::memcmp(&a, &b, sizeof a) != 0) {
            std::printf("%s: different results with and without the polls\n", with[k].name.c_str());
            return 1;
        }
    }
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < n; ++k) {
            double a = 0.0, b = 0.0;
            if (r % 2 == 0) {
                a = seconds_of(with[k]);
                b = seconds_of(without[k]);
            } else {
                b = seconds_of(without[k]);
                a = seconds_of(with[k]);
            }
            best_with[k] = std::min(best_with[k], a);
            best_without[k] = std::min(best_without[k], b);
            quotients[k].push_back(a / b);
        }
    }
    std::printf("%-56s %12s %12s %9s %9s\n", "workload", "without, ms", "with, ms", "best q",
                "median q");
    for (std::size_t k = 0; k < n; ++k) {
        std::printf("%-56s %12.3f %12.3f %9.3f %9.3f\n", with[k].name.c_str(),
                    best_without[k] * 1e3, best_with[k] * 1e3, best_with[k] / best_without[k],
                    median(quotients[k]));
    }
    return 0;
}
