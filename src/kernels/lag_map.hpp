// map_lags: a new vector holding f(t[i]) for every lag, built without first zeroing the buffer
// (a sized std::vector costs a memset of the whole result, about a tenth of an exp per element)
// and without push_back's per-element capacity test. The vector is allocated once; inserting a
// chunk through a forward iterator constructs each element from f in index order, and between
// chunks a poll lets a huge array be interrupted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"

namespace vostrel::detail {

template <class F>
class LagMapIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = double;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = double;

    LagMapIterator(const double* lag, const F* f) : lag_(lag), f_(f) {}
    double operator*() const { return (*f_)(*lag_); }
    LagMapIterator& operator++() {
        ++lag_;
        return *this;
    }
    LagMapIterator operator++(int) {
        LagMapIterator before = *this;
        ++lag_;
        return before;
    }
    friend bool operator==(const LagMapIterator& a, const LagMapIterator& b) {
        return a.lag_ == b.lag_;
    }
    friend difference_type operator-(const LagMapIterator& a, const LagMapIterator& b) {
        return a.lag_ - b.lag_;
    }

private:
    const double* lag_;
    const F* f_;
};

// `work_per_lag` is f's cost in units of an exp call (the bins an integral walks, say), so that
// even a costly f is polled every few thousand units.
template <class F>
std::vector<double> map_lags(std::span<const double> t, const F& f, std::size_t work_per_lag = 1) {
    const std::size_t chunk =
        std::clamp<std::size_t>(std::size_t{4096} / std::max<std::size_t>(work_per_lag, 1), 1, 4096);
    const double* first = t.data();
    const std::size_t n = t.size();
    std::vector<double> out;
    allocating("the result array", n, sizeof(double), [&] { out.reserve(n); });
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; i += chunk) {
        const std::size_t end = std::min(n, i + chunk);
        out.insert(out.end(), LagMapIterator<F>(first + i, &f), LagMapIterator<F>(first + end, &f));
        poll((end - i) * work_per_lag);
    }
    return out;
}

}  // namespace vostrel::detail
