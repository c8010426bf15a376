// map_lags: a new vector holding f(t[i]) for every lag, built without first zeroing the buffer
// (a sized std::vector costs a memset of the whole result, about a tenth of an exp per element)
// and without push_back's per-element capacity test. The vector's range constructor sees a
// forward iterator, allocates once and constructs each element in index order.
// map_lag_blocks does the same for a function that fills a block of values at once, so that its
// library calls can be made a block at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>
#include <vector>

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

template <class Source>
std::vector<double> collect(Source* source, std::size_t n) {
    return std::vector<double>(LagIterator<Source>(source, 0), LagIterator<Source>(source, n));
}

// f of each lag.
template <class F>
struct EachLag {
    const double* lags;
    const F* f;
    double at(std::size_t i) const { return (*f)(lags[i]); }
};

template <class F>
std::vector<double> map_lags(std::span<const double> t, const F& f) {
    EachLag<F> source{t.data(), &f};
    return collect(&source, t.size());
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
