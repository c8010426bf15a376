// The branching simulators' sort of event times against std::sort: short and long lists, ties,
// zeros, values spread over many binades and values that share their high bytes, with and
// without room for scratch buffers.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "simulation/cluster.hpp"
#include "simulation/random.hpp"

using namespace vostrel;

namespace {

void check_against_std_sort(std::vector<double> times) {
    std::vector<double> expected = times;
    std::sort(expected.begin(), expected.end());
    std::vector<double> without_scratch = times;  // no room for the radix sort's buffers
    sort_event_times(times);
    CHECK_RANGES_EQUAL(times, expected);
    sort_event_times(without_scratch, 0);
    CHECK_RANGES_EQUAL(without_scratch, expected);
}

}  // namespace

int main() {
    RandomStream stream = RandomStream::from_seed(99);
    for (std::size_t n : {0, 1, 2, 100, 511, 512, 513, 5000, 100000}) {
        std::vector<double> uniform(n), spread(n), ties(n), close(n);
        for (std::size_t i = 0; i < n; ++i) {
            uniform[i] = stream.draw_unit() * 1000.0;
            spread[i] = stream.draw_exp1() * 1e-3 * double(1 + i % 7) * (i % 5 == 0 ? 1e6 : 1.0);
            ties[i] = double(stream.draw_u64() % 17) * 0.25;  // many equal values and zeros
            close[i] = 512.0 + stream.draw_unit();            // identical high bytes
        }
        check_against_std_sort(uniform);
        check_against_std_sort(spread);
        check_against_std_sort(ties);
        check_against_std_sort(close);
    }
    std::vector<double> all_same(2000, 3.5);
    check_against_std_sort(all_same);
    return vostrel::test::check_summary();
}
