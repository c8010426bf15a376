// map_lags: a new vector holding f(t[i]) for every lag, built without first zeroing the buffer
// (a sized std::vector costs a memset of the whole result, about a tenth of an exp per element)
// and without push_back's per-element capacity test. The vector's range constructor sees a
// forward iterator, allocates once and constructs each element from f in index order.
#pragma once

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

}  // namespace vostrel::detail
