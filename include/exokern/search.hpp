// Nearest-sample searches on sorted grids, and two small scans of int32 arrays.
//
// Nearest sample: for samples a[lo] <= ... <= a[hi] and a value v, the index j in [lo, hi] that
// minimises |a[j] - v|, equal distances going to the lower index.
//
// Method. pyramidsearch gallops from lo with probes lo + 1, lo + 2, lo + 4, ... (capped at hi,
// every probe measured from the unchanged lo) until v <= a[probe], then bisects [lo, probe]
// moving the upper end while v <= a[mid]; its cost grows with the log of the distance from lo
// to the answer, and on a run of samples equal to v it settles on the first. binsearchapprox
// bisects all of [lo, hi] moving the upper end only while v < a[mid], so on such a run it
// settles on the last (the tie rule gives hi - 1 for a run that ends at hi). For strictly
// increasing samples both give the same index. Either ends by comparing the two bracketing
// samples.
//
// Domain: lo <= hi, both inside the array; the samples lo..hi are not checked for order (an
// unsorted range gives some index in [lo, hi]). v below a[lo] gives lo; above a[hi], or NaN,
// gives hi (binsearchapprox: when a[hi] > a[hi - 1]).
#pragma once

#include <cmath>

#include "exokern/strided.hpp"

namespace exokern {

namespace detail {
// The nearer of a[lo] and a[hi] to v, the lower index on equal distances.
inline index_t nearer(Vec<const double> a, index_t lo, index_t hi, double v) noexcept {
    return std::fabs(a[hi] - v) >= std::fabs(a[lo] - v) ? lo : hi;
}
}  // namespace detail

// Nearest sample by galloping from lo, then bisection (see top).
inline index_t pyramidsearch(Vec<const double> a, index_t lo, index_t hi, double v) noexcept {
    if (v < a[lo]) return lo;
    if (!(v <= a[hi])) return hi;
    index_t step = 1;
    index_t u = lo + step >= hi ? hi : lo + step;
    while (!(v <= a[u])) {
        step *= 2;
        u = lo + step >= hi ? hi : lo + step;
    }
    while (u - lo > 1) {
        const index_t mid = (lo + u) / 2;
        if (v <= a[mid]) {
            u = mid;
        } else {
            lo = mid;
        }
    }
    return detail::nearer(a, lo, u, v);
}

// Nearest sample by bisection of the whole range (see top).
inline index_t binsearchapprox(Vec<const double> a, index_t lo, index_t hi, double v) noexcept {
    while (hi - lo >= 2) {
        const index_t mid = (lo + hi) / 2;
        if (v < a[mid]) {
            hi = mid;
        } else {
            lo = mid;
        }
    }
    return detail::nearer(a, lo, hi, v);
}

// Index of the first of a[0..n-1] equal to v, or -1 (also for n <= 0, reading nothing).
inline index_t valueinarray(Vec<const int> a, int v, index_t n) noexcept {
    for (index_t i = 0; i < n; ++i)
        if (a[i] == v) return i;
    return -1;
}

// Index of the first largest of a[0..a.n-1]; 0 for an empty array, reading nothing.
inline index_t imax(Vec<const int> a) noexcept {
    index_t best = 0;
    for (index_t i = 0; i < a.n; ++i)
        if (a[i] > a[best]) best = i;
    return best;
}

}  // namespace exokern
