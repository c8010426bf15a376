// Shared pieces of the C++ benchmarks: best-of-k timers and the C library floors (the same
// number of exp/log/pow calls as a routine makes, timed in the same run) that routines are
// compared against.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/vector_math.hpp"

namespace vostrel::bench {

// Keeps a value alive so the compiler cannot drop the work that produced it.
inline void keep(double value) { asm volatile("" : : "g"(&value) : "memory"); }

// Best wall time in seconds of `repeats` runs of f.
template <class F>
double best_seconds(int repeats, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        auto start = std::chrono::steady_clock::now();
        f();
        auto stop = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(stop - start).count();
        if (s < best) best = s;
    }
    return best;
}

// Best times of several functions measured in interleaved rounds, so that a burst of load on a
// shared machine hits all of them alike rather than one.
template <class... F>
std::vector<double> best_interleaved(int rounds, F&&... functions) {
    std::vector<double> best(sizeof...(F), 1e300);
    for (int r = 0; r < rounds; ++r) {
        std::size_t k = 0;
        ((best[k] = std::min(best[k], best_seconds(1, functions)), ++k), ...);
    }
    return best;
}

// CPU time of the calling thread: on a machine shared with other builds, time spent descheduled
// does not count against either the floor or the routine.
inline double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Thread CPU times of several functions over a number of rounds, the functions taking turns
// within each round. On a shared machine whose speed drifts from second to second, the median
// over rounds of the ratio of two functions' times in the same round is steadier than the ratio
// of their best times, which may come from different spells.
class Rounds {
public:
    template <class... F>
    static Rounds measure(int rounds, F&&... functions) {
        Rounds result;
        result.times_.assign(sizeof...(F), {});
        auto time = [](auto& f) {
            const double start = thread_seconds();
            f();
            return thread_seconds() - start;
        };
        for (int r = 0; r < rounds; ++r) {
            std::size_t k = 0;
            ((result.times_[k].push_back(time(functions)), ++k), ...);
        }
        return result;
    }
    double best(std::size_t k) const {
        return *std::min_element(times_[k].begin(), times_[k].end());
    }
    double median_ratio(std::size_t a, std::size_t b) const { return median_ratio(a, {b}); }
    // The same with the sum of several functions' times, in the same round, below the line.
    double median_ratio(std::size_t a, std::initializer_list<std::size_t> below) const {
        std::vector<double> ratios;
        for (std::size_t r = 0; r < times_[a].size(); ++r) {
            double sum = 0.0;
            for (std::size_t b : below) sum += times_[b][r];
            ratios.push_back(times_[a][r] / sum);
        }
        std::sort(ratios.begin(), ratios.end());
        const std::size_t m = ratios.size() / 2;
        return ratios.size() % 2 == 1 ? ratios[m] : 0.5 * (ratios[m - 1] + ratios[m]);
    }

private:
    std::vector<std::vector<double>> times_;  // [function][round]
};

// Best thread CPU times of several functions over `rounds` rounds, the functions taking turns
// within each round, so that a slow spell hits all of them alike.
template <class... F>
std::vector<double> best_cpu_interleaved(int rounds, F&&... functions) {
    const Rounds measured = Rounds::measure(rounds, functions...);
    std::vector<double> best;
    for (std::size_t k = 0; k < sizeof...(F); ++k) best.push_back(measured.best(k));
    return best;
}

// Which exp/log path the routines ran on: every benchmark prints it first.
inline void print_path() {
    const vostrel::vector_math::Path path = vostrel::vector_math::active_path();
    std::printf("exp/log path: %s (%s)\n", vostrel::vector_math::path_name(path),
                vostrel::vector_math::path_reason());
}

// n independent exp calls over the inputs, summed so they are not optimised away.
inline double floor_exp(std::span<const double> x) {
    double s = 0.0;
    for (double v : x) s += std::exp(v);
    return s;
}
inline double floor_log(std::span<const double> x) {
    double s = 0.0;
    for (double v : x) s += std::log(v);
    return s;
}
inline double floor_pow(std::span<const double> x, double y) {
    double s = 0.0;
    for (double v : x) s += std::pow(v, y);
    return s;
}

// The exp calls whose results are not known in advance: the arguments at or above the underflow
// cut (below it the result is +0, and the routines answer it without a call).
inline std::vector<double> necessary_exp_arguments(std::span<const double> x) {
    std::vector<double> kept;
    for (double v : x) {
        if (!(v < vostrel::vector_math::kExpUnderflowCut)) kept.push_back(v);
    }
    return kept;
}

// The same calls on the active path: exp_array and log_array a block of 256 at a time, as the
// routines make them. The results are summed in four chains so that the sum costs less than the
// calls.
template <void (*Form)(const double*, double*, std::size_t)>
double floor_array(std::span<const double> x) {
    double block[256 + 3] = {};
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t start = 0; start < x.size(); start += 256) {
        const std::size_t n = std::min<std::size_t>(256, x.size() - start);
        Form(x.data() + start, block, n);
        for (std::size_t q = 0; q < n; q += 4) {
            for (std::size_t j = 0; j < 4; ++j) s[j] += block[q + j];
        }
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}
inline double floor_exp_array(std::span<const double> x) {
    return floor_array<vostrel::vector_math::exp_array>(x);
}
inline double floor_log_array(std::span<const double> x) {
    return floor_array<vostrel::vector_math::log_array>(x);
}

inline void report(const char* name, double seconds, double floor_seconds, double per_items,
                   const char* item) {
    std::printf("%-44s %10.3f ms  %7.2f ns/%s  floor %10.3f ms  ratio %.3f\n", name, seconds * 1e3,
                seconds * 1e9 / per_items, item, floor_seconds * 1e3, seconds / floor_seconds);
}

// A routine (function `routine` of `measured`) against both floors of the same calls: the
// library's scalar calls (function `library`), and exp_array / log_array on the active path
// (function `array`; the same thing when that path is scalar). Best times, and the median over
// rounds of the routine's time over each floor's.
inline void report(const char* name, const Rounds& measured, std::size_t routine,
                   std::size_t library, std::size_t array, double per_items, const char* item) {
    std::printf(
        "%-44s %9.3f ms %7.2f ns/%s  library floor %9.3f ms ratio %.3f  "
        "array floor %9.3f ms ratio %.3f\n",
        name, measured.best(routine) * 1e3, measured.best(routine) * 1e9 / per_items, item,
        measured.best(library) * 1e3, measured.median_ratio(routine, library),
        measured.best(array) * 1e3, measured.median_ratio(routine, array));
}
inline void report(const char* name, const Rounds& measured, double per_items, const char* item) {
    report(name, measured, 0, 1, 2, per_items, item);
}

// A routine against one floor: best times, and the median over rounds of their ratio.
inline void report(const char* name, const Rounds& measured, std::size_t routine, std::size_t floor,
                   double per_items, const char* item) {
    std::printf("%-44s %10.3f ms  %7.2f ns/%s  floor %10.3f ms  ratio %.3f\n", name,
                measured.best(routine) * 1e3, measured.best(routine) * 1e9 / per_items, item,
                measured.best(floor) * 1e3, measured.median_ratio(routine, floor));
}

// The same from best times alone.
inline void report(const char* name, double seconds, double library_floor, double array_floor,
                   double per_items, const char* item) {
    std::printf(
        "%-44s %9.3f ms %7.2f ns/%s  library floor %9.3f ms ratio %.3f  "
        "array floor %9.3f ms ratio %.3f\n",
        name, seconds * 1e3, seconds * 1e9 / per_items, item, library_floor * 1e3,
        seconds / library_floor, array_floor * 1e3, seconds / array_floor);
}

}  // namespace vostrel::bench
