// Simulation of exponential-kernel Hawkes processes on [0, t_horizon] by the cluster (branching)
// construction: Poisson immigrants, each event having a Poisson number of children at
// exponential delays, explored depth first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/model_error.hpp"
#include "simulation/event_storage.hpp"

namespace vostrel {

// Sorted event times in [0, t_horizon]; alpha (the branching ratio) must be below 1. The events
// and the pending stack may hold at most `memory_budget` bytes (event_storage.hpp): a baseline
// that alone would need more is refused before anything is drawn, and a run that outgrows it
// stops; both throw OutOfMemory. The loops poll for an interruption (core/interrupt.hpp).
Result<std::vector<double>> simulate_uni_exp_branching(
    double t_horizon, double mu, double alpha, double beta, std::uint64_t seed,
    std::uint64_t memory_budget = simulation_memory_budget());

// One sorted list per dimension; alpha[j * M + k] is the mean number of children in dimension
// j of one event in dimension k. No subcriticality test: the memory budget is the only limit.
Result<std::vector<std::vector<double>>> simulate_mv_exp_branching(
    double t_horizon, std::span<const double> mu, std::span<const double> alpha, double beta,
    std::uint64_t seed, std::uint64_t memory_budget = simulation_memory_budget());

// Ascending sort of event times that are non-negative and never NaN or -0.0 (as the branching
// simulators produce them), in place. Long lists are radix sorted when `scratch_bytes` allows
// twice their size of scratch, and sorted in place otherwise.
void sort_event_times(std::vector<double>& times, std::uint64_t scratch_bytes = UINT64_MAX);

}  // namespace vostrel
