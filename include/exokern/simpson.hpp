// Composite Simpson rule on an irregular grid given by its interval widths.
//
// Differentials: the rule takes the intervals two at a time. Of n intervals there are
// m = n / 2 pairs; pair j is made of the intervals s + 2j and s + 2j + 1 (widths a, b), with
// s = n % 2, so an odd count leaves out the first interval and the last pair always ends with
// the last interval. Per pair
//     hsum = a + b,    hratio = a / b,    hfactor = hsum * hsum / (a * b),
// which depend on the grid only and serve every function integrated on it.
//
// Sum: with the differentials of intervals 2j and 2j + 1 in entry j (an even interval count
// given to the differentials), pair j over the samples u0, u1, u2 = y[2j], y[2j+1], y[2j+2]
// contributes
//     T_j = hsum * ((2 - 1/hratio) * u0 + hfactor * u1 + (2 - hratio) * u2),
// six times the exact integral over the pair of the parabola through its three samples. The
// bracket is formed left to right, the terms are accumulated in increasing j, and the finished
// sum is multiplied once by the double nearest 1/6. Of n samples the (n - 1) / 2 pairs cover
// all of them when n is odd and all but the last when n is even.
//
// Integral of n samples: 0 for n < 2; the trapezoid 0.5 * h[0] * (y[0] + y[1]) for n = 2;
// otherwise the Simpson sum, plus the trapezoid h[n-2] * 0.5 * (y[n-2] + y[n-1]) of the last
// interval when n is even. Exact for polynomials of degree <= 2 when n is odd (degree <= 3 on
// equal widths). Zero widths and non-finite values follow IEEE arithmetic.
//
// Every function here gives the bits of that sequential arithmetic whatever the layout of its
// arguments. The column-wise integral has a second path for row-major data (rows outside,
// columns inside, each column still summing its own terms in increasing j); it exists for
// speed only and gives identical results.
#pragma once

#include <algorithm>

#include "exokern/strided.hpp"

namespace exokern {

namespace detail {

// The double nearest 1/6, applied once to a finished Simpson sum.
constexpr double sixth = 1.0 / 6.0;

// Columns handled together by the row-major path: their running sums stay in L1 cache.
constexpr index_t simpson_block = 1024;

// Number of Simpson pairs among n samples.
constexpr index_t simpson_pairs(index_t n) noexcept { return n < 3 ? 0 : (n - 1) / 2; }

// The weights of one pair: T_j = s * (w0 * u0 + w1 * u1 + w2 * u2), with w0 = 2 - 1/hratio,
// w1 = hfactor, w2 = 2 - hratio and s = hsum; the bracket is formed left to right.
struct PairWeights {
    double w0, w1, w2, s;

    double term(double u0, double u1, double u2) const noexcept {
        double t = w0 * u0;
        t = t + w1 * u1;
        t = t + w2 * u2;
        return s * t;
    }
};

inline PairWeights pair_weights(Vec<const double> hsum, Vec<const double> hratio,
                                Vec<const double> hfactor, index_t j) noexcept {
    const double r = hratio[j];
    return {2.0 - 1.0 / r, hfactor[j], 2.0 - r, hsum[j]};
}

// Sum of T_j over j < npair, in increasing j, before the factor 1/6.
inline double simpson_terms(Vec<const double> y, Vec<const double> hsum, Vec<const double> hratio,
                            Vec<const double> hfactor, index_t npair) noexcept {
    double sum = 0.0;
    for (index_t j = 0; j < npair; ++j) {
        const PairWeights p = pair_weights(hsum, hratio, hfactor, j);
        sum = sum + p.term(y[2 * j], y[2 * j + 1], y[2 * j + 2]);
    }
    return sum;
}

// The integral of the leading n samples of y from `sum`, the Simpson terms of its pairs.
inline double simpson_close(double sum, Vec<const double> y, Vec<const double> h,
                            index_t n) noexcept {
    if (n < 2) return 0.0;
    if (n == 2) return 0.5 * h[0] * (y[0] + y[1]);
    double res = sum * sixth;
    if (n % 2 == 0) res = res + h[n - 2] * 0.5 * (y[n - 2] + y[n - 1]);
    return res;
}

// For the nb columns of row-major y starting at column i0, adds to res[i] the Simpson terms
// of pairs 0 .. npair-1, one after the other in increasing pair order, with each pair's
// weights formed once for all columns. Four pairs are taken per pass over the block, so that
// each running sum is loaded and stored once per four terms.
inline void add_pair_terms(Mat<const double> y, Vec<const double> hsum, Vec<const double> hratio,
                           Vec<const double> hfactor, index_t i0, index_t nb, index_t npair,
                           double* res) noexcept {
    constexpr int unroll = 4;
    index_t j = 0;
    for (; j + unroll <= npair; j += unroll) {
        const double* u[2 * unroll + 1];
        PairWeights p[unroll];
        for (int q = 0; q <= 2 * unroll; ++q) u[q] = y.row(2 * j + q) + i0;
        for (int q = 0; q < unroll; ++q) p[q] = pair_weights(hsum, hratio, hfactor, j + q);
        for (index_t i = 0; i < nb; ++i) {
            double sum = res[i];
#pragma GCC unroll 4
            for (int q = 0; q < unroll; ++q)
                sum = sum + p[q].term(u[2 * q][i], u[2 * q + 1][i], u[2 * q + 2][i]);
            res[i] = sum;
        }
    }
    for (; j < npair; ++j) {
        const PairWeights p = pair_weights(hsum, hratio, hfactor, j);
        const double* u0 = y.row(2 * j) + i0;
        const double* u1 = y.row(2 * j + 1) + i0;
        const double* u2 = y.row(2 * j + 2) + i0;
        for (index_t i = 0; i < nb; ++i) res[i] = res[i] + p.term(u0[i], u1[i], u2[i]);
    }
}

}  // namespace detail

// The differentials of the intervals h (see top): writes entries 0 .. h.n / 2 - 1 of hsum,
// hratio and hfactor. Reads h[h.n % 2 .. h.n - 1].
inline void simpson_differentials(Vec<const double> h, Vec<double> hsum, Vec<double> hratio,
                                  Vec<double> hfactor) noexcept {
    const index_t m = h.n / 2;
    const index_t s = h.n - 2 * m;
    for (index_t j = 0; j < m; ++j) {
        const double a = h[s + 2 * j];
        const double b = h[s + 2 * j + 1];
        const double w = a + b;
        hsum[j] = w;
        hratio[j] = a / b;
        hfactor[j] = (w * w) / (a * b);
    }
}

// Simpson sum over the (n - 1) / 2 pairs of the leading n samples of y, times 1/6; 0.0 when
// n <= 2 (no trapezoid here). Needs y[0 .. 2 * pairs] and that many differentials.
inline double simpson_sum(Vec<const double> y, Vec<const double> hsum, Vec<const double> hratio,
                          Vec<const double> hfactor, index_t n) noexcept {
    if (n <= 2) return 0.0;
    return detail::simpson_terms(y, hsum, hratio, hfactor, (n - 1) / 2) * detail::sixth;
}

// Integral of the leading n samples of y (see top). Needs y[0 .. n-1], h[n - 2] when n is even
// and (n - 1) / 2 differentials when n >= 3.
inline double simps(Vec<const double> y, Vec<const double> h, Vec<const double> hsum,
                    Vec<const double> hratio, Vec<const double> hfactor, index_t n) noexcept {
    const index_t npair = detail::simpson_pairs(n);
    const double sum = npair > 0 ? detail::simpson_terms(y, hsum, hratio, hfactor, npair) : 0.0;
    return detail::simpson_close(sum, y, h, n);
}

// Integral of all of y.
inline double simps(Vec<const double> y, Vec<const double> h, Vec<const double> hsum,
                    Vec<const double> hratio, Vec<const double> hfactor) noexcept {
    return simps(y, h, hsum, hratio, hfactor, y.n);
}

// One integral per column: out[i] = the integral of the leading nint[i] samples of column i.
// All columns share h and the differentials from entry 0. Needs y rows 0 .. max(nint) - 1,
// h[nint[i] - 2] for the even counts, (max(nint) - 1) / 2 differentials and nint[0 .. y.cols-1].
inline void simps_columns(Mat<const double> y, Vec<const double> h, Vec<const int> nint,
                          Vec<const double> hsum, Vec<const double> hratio,
                          Vec<const double> hfactor, Vec<double> out) noexcept {
    const index_t ncol = y.cols;
    if (!y.rows_contiguous() || !out.unit()) {
        for (index_t i = 0; i < ncol; ++i)
            out[i] = simps(y.column(i), h, hsum, hratio, hfactor, nint[i]);
        return;
    }
    // Row-major: per block of columns, pairs outside and columns inside, so that each pair's
    // reciprocal 1/hratio and the weights built from it are formed once for all columns (the
    // same values as per column). A column whose pairs are done adds +0.0, which leaves its sum
    // unchanged: a sum that starts at +0.0 never becomes -0.0, so x + 0.0 == x for every value
    // it can hold. Pairs that every column of the block has go at full speed.
    index_t npair[detail::simpson_block];
    for (index_t i0 = 0; i0 < ncol; i0 += detail::simpson_block) {
        const index_t nb = std::min(ncol - i0, detail::simpson_block);
        double* res = out.ptr() + i0;
        index_t most = 0, least = detail::simpson_pairs(nint[i0]);
        for (index_t i = 0; i < nb; ++i) {
            const index_t k = detail::simpson_pairs(nint[i0 + i]);
            npair[i] = k;
            most = std::max(most, k);
            least = std::min(least, k);
            res[i] = 0.0;
        }
        detail::add_pair_terms(y, hsum, hratio, hfactor, i0, nb, least, res);
        for (index_t j = least; j < most; ++j) {
            const detail::PairWeights p = detail::pair_weights(hsum, hratio, hfactor, j);
            const double* u0 = y.row(2 * j) + i0;
            const double* u1 = y.row(2 * j + 1) + i0;
            const double* u2 = y.row(2 * j + 2) + i0;
            for (index_t i = 0; i < nb; ++i) {
                const double term = p.term(u0[i], u1[i], u2[i]);
                res[i] = res[i] + (j < npair[i] ? term : 0.0);
            }
        }
        for (index_t i = 0; i < nb; ++i)
            res[i] = detail::simpson_close(res[i], y.column(i0 + i), h, nint[i0 + i]);
    }
}

}  // namespace exokern
