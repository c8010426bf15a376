// The memory the simulators may fill with event times, and the accounting of one call's event
// lists against it. A supercritical process, or a unit slip in mu or t_horizon, makes the event
// lists grow until memory runs out; the budget stops such a run with an explanation (OutOfMemory,
// core/memory.hpp) long before the operating system would kill the process.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"

namespace vostrel {

// Half of the memory this process may use (usable_memory(), core/memory.hpp).
std::uint64_t simulation_memory_budget();

// The event lists (and pending events) of one simulator call, counted by capacity. A list grows
// by doubling from 64; a growth is allowed when everything held, counting the new buffer and the
// old one it is copied from, stays within the budget.
class EventStorage {
public:
    explicit EventStorage(std::uint64_t budget) : budget_(budget) {}

    // Room for `extra` more elements in `list`: its capacity doubled (64 at least), or raised to
    // size() + extra if that is more. False, with `list` unchanged, when that growth would pass
    // the budget or the allocation fails.
    template <class T>
    bool reserve(std::vector<T>& list, std::uint64_t extra = 1) {
        const std::uint64_t size = list.size();
        const std::uint64_t capacity = list.capacity();
        if (extra <= capacity - size) return true;
        const unsigned __int128 wanted =
            std::max<unsigned __int128>(static_cast<unsigned __int128>(size) + extra,
                                        std::max<std::uint64_t>(2 * capacity, 64));
        // The old buffer is still held while it is copied into the new one.
        if (held_ + wanted * sizeof(T) > budget_ || wanted > list.max_size()) {
            refused_ = wanted * sizeof(T);
            allocation_failed_ = false;
            return false;
        }
        std::vector<T> grown;
        try {
            grown.reserve(static_cast<std::size_t>(wanted));
        } catch (const std::bad_alloc&) {
            refused_ = wanted * sizeof(T);
            allocation_failed_ = true;
            return false;
        }
        // Copying gigabytes takes a good part of a second: the copy goes in chunks of 8 MiB or
        // so, with the interruption hook consulted between them.
        constexpr std::size_t kChunk = (std::size_t{8} << 20) / sizeof(T);
        for (std::size_t i = 0; i < size; i += kChunk) {
            const std::size_t end = std::min<std::size_t>(size, i + kChunk);
            grown.insert(grown.end(), list.begin() + i, list.begin() + end);
            if (end < size) check_interrupt();
        }
        list.swap(grown);
        held_ = held_ - capacity * sizeof(T) + list.capacity() * sizeof(T);
        return true;
    }

    // Gives back the buffer of a list no longer needed.
    template <class T>
    void release(std::vector<T>& list) {
        held_ -= list.capacity() * sizeof(T);
        std::vector<T>().swap(list);
    }

    std::uint64_t budget() const { return budget_; }
    // Bytes that may still be taken for a while (a sort's scratch), 0 when none.
    std::uint64_t room() const {
        return held_ < budget_ ? budget_ - static_cast<std::uint64_t>(held_) : 0;
    }

    // Why the last reserve() said no: "its event lists hold {held} and may not grow by another
    // {bytes} within the memory budget of {budget}", or the failed allocation.
    std::string refusal_text() const;

private:
    std::uint64_t budget_;
    unsigned __int128 held_ = 0;
    unsigned __int128 refused_ = 0;
    bool allocation_failed_ = false;
};

// "the memory budget of {bytes}", saying where the default budget comes from.
std::string budget_text(std::uint64_t budget);

// A simulation whose lists may not grow: "the simulation stopped after {n_events} events up to
// time {latest} (t_horizon = {t_horizon}): {refusal}. {explanation}" ("before its first event"
// when none was kept yet).
[[noreturn]] void throw_runaway(const EventStorage& storage, std::uint64_t n_events, double latest,
                                double t_horizon, std::string_view explanation);

// Refuses at once, before anything is drawn, a baseline whose expected number of events
// (`expected`, named by `expression`, such as "mu·t_horizon") could not fit the budget.
void refuse_baseline_beyond_budget(double expected, std::string_view expression,
                                   std::uint64_t budget);

}  // namespace vostrel
