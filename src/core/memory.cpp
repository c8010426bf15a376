// The memory this process may plan to use, and the texts of memory it cannot have.
#include "core/memory.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/resource.h>
#include <unistd.h>

#include "core/format.hpp"

namespace vostrel {
namespace {

using u128 = unsigned __int128;

// A positive decimal integer, the whole text; 0 for anything else.
std::uint64_t parse_bytes(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

// The first line of a control-group file ("max" or a number of bytes), 0 when absent or "max".
std::uint64_t cgroup_limit(const char* path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) return 0;
    return parse_bytes(line);
}

std::uint64_t machine_memory() {
    std::uint64_t memory = UINT64_MAX;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    }
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit limit{};
        if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            memory = std::min<std::uint64_t>(memory, limit.rlim_cur);
        }
    }
    // Control groups v2, then v1 (whose "no limit" is a huge number, harmless under the min).
    for (const char* path :
         {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        const std::uint64_t limit = cgroup_limit(path);
        if (limit > 0) memory = std::min(memory, limit);
    }
    return memory;
}

}  // namespace

std::uint64_t usable_memory() {
    static const std::uint64_t memory = [] {
        if (const char* text = std::getenv("VOSTREL_MEMORY_LIMIT")) {
            if (const std::uint64_t limit = parse_bytes(text); limit > 0) return limit;
        }
        return machine_memory();
    }();
    return memory;
}

std::string format_bytes(u128 bytes) {
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double scaled = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (scaled >= 1024.0 && unit + 1 < std::size(kUnits)) {
        scaled /= 1024.0;
        ++unit;
    }
    char human[48];
    std::snprintf(human, sizeof human, "%.1f %s", scaled, kUnits[unit]);
    return format_uint128(bytes) + " bytes (" + human + ")";
}

std::string allocation_failure_text(std::string_view what, u128 count, std::size_t element_size) {
    return "could not allocate " + std::string(what) + ": " + format_uint128(count) + " x " +
           format_uint(element_size) + " bytes = " + format_bytes(count * element_size);
}

bool fits_usable_memory(u128 count, std::size_t element_size) {
    // Counts near 2^128 cannot come from 64-bit sizes, so the product does not wrap.
    return count * element_size <= usable_memory();
}

OutOfMemory beyond_usable_memory(std::string_view what, u128 count, std::size_t element_size) {
    return OutOfMemory(allocation_failure_text(what, count, element_size) +
                       ", more than the memory this process may use, " +
                       format_bytes(usable_memory()));
}

}  // namespace vostrel
