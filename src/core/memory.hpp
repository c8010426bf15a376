// Memory that a caller's input asks for. How much memory this process may plan to use, and the
// error for memory it cannot have: OutOfMemory, whose text says what could not be allocated and
// how large it was (the boundary raises it as MemoryError with that text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vostrel {

class OutOfMemory : public std::exception {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// The memory this process may plan to use, in bytes: the machine's physical memory, or less when
// an address-space limit (RLIMIT_AS, RLIMIT_DATA) or a control-group memory limit says so. As a
// testing aid, the environment variable VOSTREL_MEMORY_LIMIT (a positive number of bytes; anything
// else is ignored) replaces it, so that tests reach the limits on a machine of any size. Decided
// once per process, at the first call.
std::uint64_t usable_memory();

// "8000000000 bytes (7.5 GiB)"; exact for counts beyond 64 bits.
std::string format_bytes(unsigned __int128 bytes);

// The text of an allocation that failed: "could not allocate {what}: {count} x {element_size}
// bytes = {bytes}".
std::string allocation_failure_text(std::string_view what, unsigned __int128 count,
                                    std::size_t element_size);

// Whether `count` elements of `element_size` bytes fit in usable_memory(). Storage that the
// computation fills at once is tested before it is allocated: beyond that memory the first pages
// would be written one by one until the operating system killed the process.
bool fits_usable_memory(unsigned __int128 count, std::size_t element_size);
// The error for storage that does not fit: the allocation-failure text, then ", more than the
// memory this process may use, {bytes}".
OutOfMemory beyond_usable_memory(std::string_view what, unsigned __int128 count,
                                 std::size_t element_size);

// Runs `allocate`, which allocates `count` elements of `element_size` bytes for `what`, and turns
// its failure (std::bad_alloc, or std::length_error for a count beyond the largest size) into
// OutOfMemory naming `what` and its size.
template <class F>
decltype(auto) allocating(std::string_view what, std::uint64_t count, std::size_t element_size,
                          F&& allocate) {
    try {
        return allocate();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    throw OutOfMemory(allocation_failure_text(what, count, element_size));
}

// std::vector<T>(count, fill), or OutOfMemory naming `what` and its size.
template <class T>
std::vector<T> allocate_vector(std::size_t count, std::string_view what, const T& fill = T()) {
    return allocating(what, count, sizeof(T), [&] { return std::vector<T>(count, fill); });
}

}  // namespace vostrel
