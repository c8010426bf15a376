// The process-wide interruption hook (see interrupt.hpp).
#include "core/interrupt.hpp"

#include <atomic>

namespace vostrel {
namespace {

std::atomic<InterruptHook> installed_hook{nullptr};

}  // namespace

void set_interrupt_hook(InterruptHook hook) {
    installed_hook.store(hook, std::memory_order_release);
}

bool interrupt_requested() noexcept {
    const InterruptHook hook = installed_hook.load(std::memory_order_acquire);
    return hook != nullptr && hook();
}

void check_interrupt() {
    if (interrupt_requested()) throw Interrupted{};
}

bool InterruptPoll::consult() noexcept {
    // Once stopped, every later stop() comes here and says so again, without asking the hook.
    stopped_ = stopped_ || interrupt_requested();
    remaining_ = stopped_ ? 0 : kInterval;
    return stopped_;
}

}  // namespace vostrel
