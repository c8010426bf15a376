// map_lags: a new vector holding f(t[i]) for every lag, built without first zeroing the buffer
// (a sized std::vector costs a memset of the whole result, about a tenth of an exp per element)
// and without push_back's per-element capacity test. The vector is allocated once; appending a
// chunk through a forward iterator constructs each element in index order, and between chunks a
// poll lets a huge array be interrupted.
// map_lag_blocks does the same for a function that fills a block of values at once, so that its
// library calls can be made a block at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"

namespace vostrel::detail {

// Value i of a source of values (source->at(i)), as a forward iterator.
template <class Source>
class LagIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = double;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = double;

    LagIterator(Source* source, std::size_t index) : source_(source), index_(index) {}
    double operator*() const { return source_->at(index_); }
    LagIterator& operator++() {
        ++index_;
        return *this;
    }
    LagIterator operator++(int) {
        LagIterator before = *this;
        ++index_;
        return before;
    }
    friend bool operator==(const LagIterator& a, const LagIterator& b) {
        return a.index_ == b.index_;
    }
    friend difference_type operator-(const LagIterator& a, const LagIterator& b) {
        return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }

private:
    Source* source_;
    std::size_t index_;
};

// source->at(i) for i < n. `work_per_value` is the cost of one value in units of an exp call (the
// bins an integral walks, say), so that even a costly value is polled every few thousand units.
template <class Source>
std::vector<double> collect(Source* source, std::size_t n, std::size_t work_per_value = 1) {
    const std::size_t chunk = std::clamp<std::size_t>(
        std::size_t{4096} / std::max<std::size_t>(work_per_value, 1), 1, 4096);
    std::vector<double> out;
    allocating("the result array", n, sizeof(double), [&] { out.reserve(n); });
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; i += chunk) {
        const std::size_t end = std::min(n, i + chunk);
        out.insert(out.end(), LagIterator<Source>(source, i), LagIterator<Source>(source, end));
        poll((end - i) * work_per_value);
    }
    return out;
}

// f of each lag.
template <class F>
struct EachLag {
    const double* lags;
    const F* f;
    double at(std::size_t i) const { return (*f)(lags[i]); }
};

// f(t[i]) for every lag; `work_per_lag` as collect's `work_per_value`.
template <class F>
std::vector<double> map_lags(std::span<const double> t, const F& f, std::size_t work_per_lag = 1) {
    EachLag<F> source{t.data(), &f};
    return collect(&source, t.size(), work_per_lag);
}

inline constexpr std::size_t kLagBlock = 256;

// The lags and a block function f(lags, count, out), which writes out[q] for q < count <=
// kLagBlock; at(i) computes the block starting at i when i is outside the current one.
template <class F>
struct LagBlocks {
    LagBlocks(const double* lags_, std::size_t n_, const F* f_) : lags(lags_), n(n_), f(f_) {}

    const double* lags;
    std::size_t n;
    const F* f;
    std::size_t start = 0;
    std::size_t count = 0;
    double values[kLagBlock];

    double at(std::size_t i) {
        if (i - start >= count) {  // unsigned: also when i < start
            start = i;
            count = std::min(kLagBlock, n - i);
            (*f)(lags + i, count, values);
        }
        return values[i - start];
    }
};

template <class F>
std::vector<double> map_lag_blocks(std::span<const double> t, const F& f) {
    LagBlocks<F> source(t.data(), t.size(), &f);
    return collect(&source, t.size());
}

}  // namespace vostrel::detail
