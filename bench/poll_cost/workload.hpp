// A workload of the poll-cost benchmark: one run of a core routine on inputs prepared once. The
// same workloads are compiled twice, against the core with its interruption polls and against a
// copy of the core (in another namespace) whose polls compile to nothing; workloads.cpp names
// the two lists. This header is outside the core's namespace on purpose.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace poll_cost {

struct Workload {
    std::string name;
    std::function<double()> run;  // returns a value that depends on all the work
};

// The workloads of the benchmarks under bench/, at sizes that take milliseconds; `scale`
// multiplies the sizes.
std::vector<Workload> with_polls(double scale);
std::vector<Workload> without_polls(double scale);

}  // namespace poll_cost
