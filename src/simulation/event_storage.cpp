// The simulators' memory budget and the texts of a run stopped by it (see event_storage.hpp).
#include "simulation/event_storage.hpp"

#include "core/format.hpp"
#include "core/memory.hpp"

namespace vostrel {

std::uint64_t simulation_memory_budget() { return usable_memory() / 2; }

std::string budget_text(std::uint64_t budget) {
    std::string text = "the memory budget of " + format_bytes(budget);
    if (budget == simulation_memory_budget()) text += ", half of the memory this process may use";
    return text;
}

std::string EventStorage::refusal_text() const {
    if (allocation_failed_) {
        return "its event lists hold " + format_bytes(held_) + ", and an allocation of " +
               format_bytes(refused_) + " to grow them failed";
    }
    return "its event lists hold " + format_bytes(held_) + " and may not grow to " +
           format_bytes(held_ + refused_) + " within " + budget_text(budget_);
}

void throw_runaway(const EventStorage& storage, std::uint64_t n_events, double latest,
                   double t_horizon, std::string_view explanation) {
    const std::string progress = n_events == 0 ? "before its first event"
                                               : "after " + format_uint(n_events) +
                                                     (n_events == 1 ? " event" : " events") +
                                                     " up to time " + format_double(latest);
    throw OutOfMemory("the simulation stopped " + progress +
                      " (t_horizon = " + format_double(t_horizon) + "): " + storage.refusal_text() +
                      ". " + std::string(explanation));
}

void refuse_baseline_beyond_budget(double expected, std::string_view expression,
                                   std::uint64_t budget) {
    // A NaN never gets here (its sampler fails first); +inf is refused.
    if (!(expected * sizeof(double) > static_cast<double>(budget))) return;
    // Counts of 10^16 and more (a unit slip of mu by many orders) in exponent form, not as a
    // number of up to 309 digits.
    const std::string count =
        expected < 1e16 ? format_double(expected) : format_double_debug(expected);
    throw OutOfMemory("the baseline alone needs more memory than " + budget_text(budget) + ": " +
                      std::string(expression) + " = " + count + " expected events at " +
                      format_uint(sizeof(double)) +
                      " bytes each; check the units of mu and t_horizon");
}

}  // namespace vostrel
