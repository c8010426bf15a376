// The process-wide interruption hook (see interrupt.hpp).
#include "core/interrupt.hpp"

#include <atomic>

namespace vostrel {
namespace {

std::atomic<InterruptHook> installed_hook{nullptr};

}  // namespace

void set_interrupt_hook(InterruptHook hook) { installed_hook.store(hook, std::memory_order_release); }

void check_interrupt() {
    const InterruptHook hook = installed_hook.load(std::memory_order_acquire);
    if (hook != nullptr && hook()) throw Interrupted{};
}

}  // namespace vostrel
