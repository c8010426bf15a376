// map_lags: a new vector holding f(t[i]) for every lag, built without first zeroing the buffer
// (a sized std::vector costs a memset of the whole result, about a tenth of an exp per element)
// and without push_back's per-element capacity test. The vector's range constructor sees a
// forward iterator, allocates once and constructs each element from f in index order.
// map_lag_blocks does the same for a function that fills a block of values at once, so that its
// library calls can be made a block at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>
#include <vector>

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

template <class F>
std::vector<double> map_lags(std::span<const double> t, const F& f) {
    const double* first = t.data();
    return std::vector<double>(LagMapIterator<F>(first, &f),
                               LagMapIterator<F>(first + t.size(), &f));
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
class LagBlockIterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = double;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = double;

    LagBlockIterator(LagBlocks<F>* blocks, std::size_t index) : blocks_(blocks), index_(index) {}
    double operator*() const { return blocks_->at(index_); }
    LagBlockIterator& operator++() {
        ++index_;
        return *this;
    }
    LagBlockIterator operator++(int) {
        LagBlockIterator before = *this;
        ++index_;
        return before;
    }
    friend bool operator==(const LagBlockIterator& a, const LagBlockIterator& b) {
        return a.index_ == b.index_;
    }

private:
    LagBlocks<F>* blocks_;
    std::size_t index_;
};

template <class F>
std::vector<double> map_lag_blocks(std::span<const double> t, const F& f) {
    LagBlocks<F> blocks(t.data(), t.size(), &f);
    return std::vector<double>(LagBlockIterator<F>(&blocks, 0),
                               LagBlockIterator<F>(&blocks, t.size()));
}

}  // namespace vostrel::detail
