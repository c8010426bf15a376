// Simulation of exponential-kernel Hawkes processes on [0, t_horizon) by thinning: candidates of
// a homogeneous Poisson process at an adaptive upper-bound rate, each kept with probability
// intensity / bound.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/model_error.hpp"
#include "simulation/event_storage.hpp"

namespace vostrel {

// Event times in increasing order, all in [0, t_horizon). `candidates`, when given, receives the
// number of candidate times drawn (for benchmarks). The event list may hold at most
// `memory_budget` bytes (event_storage.hpp): a baseline that alone would need more is refused
// before anything is drawn, and a run that outgrows it stops; both throw OutOfMemory. The loop
// polls for an interruption (core/interrupt.hpp).
Result<std::vector<double>> simulate_uni_exp_hawkes(
    double t_horizon, double mu, double alpha, double beta, std::uint64_t seed,
    std::uint64_t* candidates = nullptr, std::uint64_t memory_budget = simulation_memory_budget());

// One list of increasing event times per dimension; alpha[i * M + j] is the excitation an event
// of dimension j adds to the intensity of dimension i, all cells sharing the decay beta. The
// memory budget holds for all lists together.
Result<std::vector<std::vector<double>>> simulate_mv_exp_hawkes(
    double t_horizon, std::span<const double> mu, std::span<const double> alpha, double beta,
    std::uint64_t seed, std::uint64_t* candidates = nullptr,
    std::uint64_t memory_budget = simulation_memory_budget());

}  // namespace vostrel
