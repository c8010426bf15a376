// Memory the input asks for: the texts of allocations that fail, the accounting of event lists
// against a budget, and the simulators at a budget given explicitly (stopped with their reasons,
// refused before drawing, or unchanged bit for bit when the budget holds the run). The Python
// tests cover the messages of every simulator at the default budget.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/memory.hpp"
#include "simulation/cluster.hpp"
#include "simulation/event_storage.hpp"
#include "simulation/thinning.hpp"

using namespace vostrel;

namespace {

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}
bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The OutOfMemory text of `run`, or "" when it throws none.
template <class F>
std::string out_of_memory_text(F&& run) {
    try {
        run();
    } catch (const OutOfMemory& error) {
        return error.what();
    }
    return "";
}

}  // namespace

int main() {
    // Texts: exact byte counts, beyond 64 bits too, and a readable unit.
    CHECK(format_bytes(0) == "0 bytes (0.0 KiB)");
    CHECK(format_bytes(1536) == "1536 bytes (1.5 KiB)");
    CHECK(format_bytes(8000000000ULL) == "8000000000 bytes (7.5 GiB)");
    CHECK(allocation_failure_text("the result array", 1000, 8) ==
          "could not allocate the result array: 1000 x 8 bytes = 8000 bytes (7.8 KiB)");
    CHECK(allocation_failure_text("x", UINT64_MAX, 16) ==
          "could not allocate x: 18446744073709551615 x 16 bytes = 295147905179352825840 bytes "
          "(256.0 EiB)");
    CHECK(out_of_memory_text([] { allocate_vector<double>(SIZE_MAX / 2, "a huge array"); }) ==
          allocation_failure_text("a huge array", SIZE_MAX / 2, 8));

    // Event lists against a budget of 3000 bytes: 64 doubles (512 bytes), then 128 (512 + 1024
    // while copying), then 256 would need 1024 + 2048 > 3000.
    {
        EventStorage storage(3000);
        std::vector<double> list;
        CHECK(storage.reserve(list) && list.capacity() == 64);
        list.resize(64);
        CHECK(storage.reserve(list) && list.capacity() == 128);
        list.resize(128);
        CHECK(!storage.reserve(list) && list.capacity() == 128);
        CHECK(storage.refusal_text() ==
              "its event lists hold 1024 bytes (1.0 KiB) and may not grow to 3072 bytes (3.0 KiB) "
              "within the memory budget of 3000 bytes (2.9 KiB)");
        CHECK(storage.room() == 3000 - 1024);
        storage.release(list);
        CHECK(storage.room() == 3000 && list.capacity() == 0);
        // Room for a known count is taken at once.
        CHECK(storage.reserve(list, 300) && list.capacity() == 300);
        CHECK(!storage.reserve(list, 400));
    }

    // Runs that outgrow a 1 MiB budget stop with how far they came and why.
    const std::uint64_t budget = 1 << 20;
    const std::string thinning = out_of_memory_text(
        [&] { simulate_uni_exp_hawkes(100.0, 1.0, 1.5, 1.0, 3, nullptr, budget); });
    CHECK(starts_with(thinning, "the simulation stopped after 65536 events up to time "));
    CHECK(contains(thinning,
                   " (t_horizon = 100): its event lists hold 524288 bytes (512.0 KiB) "
                   "and may not grow to 1572864 bytes (1.5 MiB) within the memory budget "
                   "of 1048576 bytes (1.0 MiB). The intensity kept growing"));
    CHECK(contains(thinning, "alpha = 1.5 of 1 or more makes the process supercritical."));
    // A baseline beyond the budget is refused before anything is drawn.
    CHECK(out_of_memory_text(
              [&] { simulate_uni_exp_branching(1000.0, 200.0, 0.5, 1.0, 3, budget); }) ==
          "the baseline alone needs more memory than the memory budget of 1048576 bytes "
          "(1.0 MiB): mu·t_horizon = 200000 expected events at 8 bytes each; check the "
          "units of mu and t_horizon");
    CHECK(contains(out_of_memory_text([&] {
                       simulate_uni_exp_hawkes(1000.0, 1e300, 0.5, 1.0, 3, nullptr, budget);
                   }),
                   "mu·t_horizon = 1e303 expected events at 8 bytes each"));

    // A run the budget holds is the same bits as with the default budget.
    CHECK_RANGES_EQUAL(simulate_uni_exp_branching(300.0, 1.0, 0.7, 1.0, 8, budget).value(),
                       simulate_uni_exp_branching(300.0, 1.0, 0.7, 1.0, 8).value());
    return vostrel::test::check_summary();
}
