// Interruption of long computations. The core knows nothing of signals or of the interpreter:
// whoever calls it may install a hook that says whether the running call must stop (the Python
// boundary installs one that runs pending signal handlers, so Ctrl-C reaches a long loop). Every
// loop that can run long counts its work in an InterruptPoll, which consults the hook once per
// few thousand units; when the hook says stop, the routine throws Interrupted and unwinds through
// its destructors, so nothing it allocated is kept and no half-built result escapes. Without a
// hook nothing is ever interrupted.
#pragma once

#include <cstddef>
#include <cstdint>

// Builds of the core for the benchmarks' comparison set this to 0: polls then compile to nothing.
#ifndef VOSTREL_INTERRUPT_POLL
#define VOSTREL_INTERRUPT_POLL 1
#endif

namespace vostrel {

// Thrown out of a routine when the hook reports an interruption. It carries nothing: the code that
// installed the hook knows why it said stop.
struct Interrupted {};

// Returns true when the running computation must stop. It runs on the thread of the computation,
// with whatever that thread holds.
using InterruptHook = bool (*)();

// Installs the process-wide hook; nullptr (the default) never interrupts.
void set_interrupt_hook(InterruptHook hook);

// Consults the hook once: whether it says stop.
bool interrupt_requested() noexcept;
// Consults the hook once; throws Interrupted when it says stop.
void check_interrupt();

// A countdown of work between two consultations of the hook. A unit of work is about one step of
// an inner loop (an exp or a pow, a bin search, a few multiply-adds), so the hook runs every few
// microseconds to a millisecond of computation: far below the 0.1 s in which a user expects Ctrl-C
// to act, and far above the cost of asking. The countdown is one subtraction and one predictable
// branch, placed at block or outer-loop boundaries.
//
// Two forms. A loop whose body cannot throw otherwise (exp, log and arithmetic only) leaves
// itself on stop() and throws after it: a call that may throw inside such a loop costs the loop
// its registers (the compiler keeps the loop's values where an exception could find them), a few
// per cent measured. A loop that may throw anyway (it allocates) uses the call operator.
//
//     for (...) { ...; if (poll.stop(work)) break; }
//     poll.throw_if_stopped();
class InterruptPoll {
public:
    static constexpr std::int64_t kInterval = std::int64_t{1} << 14;

    // Counts `work` units; true once the hook has said stop.
    bool stop(std::size_t work = 1) noexcept {
#if VOSTREL_INTERRUPT_POLL
        remaining_ -= static_cast<std::int64_t>(work);
        if (remaining_ <= 0) [[unlikely]]
            return consult();
#else
        (void)work;
#endif
        return false;
    }
    void throw_if_stopped() const {
        if (stopped_) throw Interrupted{};
    }
    // stop() and throw_if_stopped() at once.
    void operator()(std::size_t work = 1) {
        if (stop(work)) throw Interrupted{};
    }

private:
    // Out of line and cold: the hot path stays a subtraction and a branch.
    [[gnu::cold, gnu::noinline]] bool consult() noexcept;

    std::int64_t remaining_ = kInterval;
    bool stopped_ = false;
};

}  // namespace vostrel
