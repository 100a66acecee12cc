// Trapezoidal-rule integrals on an irregular grid given by its interval widths.
//
// Formula: n intervals join n + 1 samples y[0..n]; interval k has width h[k] and contributes
//     (y[k] + y[k+1]) * h[k]
// to the sum S, accumulated in increasing k. The integral is 0.5 * S: the factor one half is
// applied once, to the finished sum. The cumulative form instead halves every step, because it
// carries the running integral in its output array.
//
// Every function here produces exactly the bits of that sequential loop, whatever the layout of
// its arguments. The column-wise integral has a second path for row-major data that walks rows
// outside and columns inside (each column still summing its own terms in increasing k); it
// exists for speed only and gives identical results.
#pragma once

#include <algorithm>

#include "exokern/strided.hpp"

namespace exokern {

namespace detail {

// Columns handled together by the row-major paths: their running sums (8 kB) stay in L1 cache
// while the rows stream through.
constexpr index_t column_block = 1024;

// For the nb columns starting at column i0 of row-major `y`, adds to res[i] the terms
// (y(k, i) + y(k+1, i)) * h[k] for k = k0 .. k1-1, one after the other in increasing k: the
// same operations, in the same order, as the column-by-column loop. Eight rows are taken per
// pass over the block, so that each running sum is loaded and stored once per eight terms.
inline void add_row_terms(Mat<const double> y, Vec<const double> h, index_t i0, index_t nb,
                          index_t k0, index_t k1, double* res) noexcept {
    constexpr int unroll = 8;
    index_t k = k0;
    for (; k + unroll <= k1; k += unroll) {
        const double* r[unroll + 1];
        double hk[unroll];
        for (int q = 0; q <= unroll; ++q) r[q] = y.row(k + q) + i0;
        for (int q = 0; q < unroll; ++q) hk[q] = h[k + q];
        for (index_t i = 0; i < nb; ++i) {
            double s = res[i];
            double a = r[0][i];
#pragma GCC unroll 8
            for (int q = 0; q < unroll; ++q) {
                const double b = r[q + 1][i];
                s += (a + b) * hk[q];
                a = b;
            }
            res[i] = s;
        }
    }
    for (; k < k1; ++k) {
        const double* y0 = y.row(k) + i0;
        const double* y1 = y.row(k + 1) + i0;
        const double hk = h[k];
        for (index_t i = 0; i < nb; ++i) res[i] += (y0[i] + y1[i]) * hk;
    }
}

// As add_row_terms, but column i takes only the terms k < cnt[i]; the others add +0.0, which
// leaves a running sum unchanged: a sum that starts at +0.0 never becomes -0.0, so x + 0.0 == x
// for every value it can hold.
inline void add_row_terms_upto(Mat<const double> y, Vec<const double> h, index_t i0, index_t nb,
                               index_t k0, index_t k1, const int* cnt, double* res) noexcept {
    for (index_t k = k0; k < k1; ++k) {
        const double* y0 = y.row(k) + i0;
        const double* y1 = y.row(k + 1) + i0;
        const double hk = h[k];
        for (index_t i = 0; i < nb; ++i) {
            const double term = (y0[i] + y1[i]) * hk;
            res[i] += k < cnt[i] ? term : 0.0;
        }
    }
}

}  // namespace detail

// Sum over k < n of (y[k] + y[k+1]) * h[k], in increasing k, without the factor one half.
// Needs y[0..n] and h[0..n-1].
inline double trapezoid_sum(Vec<const double> y, Vec<const double> h, index_t n) noexcept {
    double s = 0.0;
    if (y.unit() && h.unit()) {
        const double* yp = y.ptr();
        const double* hp = h.ptr();
        for (index_t k = 0; k < n; ++k) s += (yp[k] + yp[k + 1]) * hp[k];
    } else {
        for (index_t k = 0; k < n; ++k) s += (y[k] + y[k + 1]) * h[k];
    }
    return s;
}

// Integral of y over all n = h.n intervals; 0.0 when there are none.
inline double trapz(Vec<const double> y, Vec<const double> h) noexcept {
    if (h.n <= 0) return 0.0;
    return 0.5 * trapezoid_sum(y, h, h.n);
}

// One integral per column of `data`: out[i] = 0.5 * sum over k < nint[i] of
// (data(k, i) + data(k+1, i)) * h[k]; 0.0 where nint[i] <= 0. All columns share h from h[0].
// Needs data rows 0..max(nint) and h[0..max(nint)-1].
inline void trapz_columns(Mat<const double> data, Vec<const double> h, Vec<const int> nint,
                          Vec<double> out) noexcept {
    const index_t ncol = data.cols;
    if (!data.rows_contiguous() || !out.unit()) {
        for (index_t i = 0; i < ncol; ++i) {
            const index_t m = nint[i];
            out[i] = m <= 0 ? 0.0 : 0.5 * trapezoid_sum(data.column(i), h, m);
        }
        return;
    }
    // Row-major: per block of columns, rows outside and columns inside. Rows every column of the
    // block integrates go at full speed; the rest take only the columns that still count them.
    int cnt[detail::column_block];
    for (index_t i0 = 0; i0 < ncol; i0 += detail::column_block) {
        const index_t nb = std::min(ncol - i0, detail::column_block);
        double* res = out.ptr() + i0;
        int mmin = nint[i0], mmax = 0;
        for (index_t i = 0; i < nb; ++i) {
            cnt[i] = nint[i0 + i];
            mmin = std::min(mmin, cnt[i]);
            mmax = std::max(mmax, cnt[i]);
            res[i] = 0.0;
        }
        mmin = std::max(mmin, 0);
        detail::add_row_terms(data, h, i0, nb, 0, mmin, res);
        detail::add_row_terms_upto(data, h, i0, nb, mmin, mmax, cnt, res);
        for (index_t i = 0; i < nb; ++i) res[i] = cnt[i] <= 0 ? 0.0 : 0.5 * res[i];
    }
}

// Running integral of y over h, written into out and stopped at the threshold.
// out[0] = 0.0; then out[i+1] = out[i] + 0.5 * h[i] * (y[i] + y[i+1]), the running value read
// back from out[i], until out[i+1] >= threshold. Returns the index of the last element written
// (n = h.n when the threshold is never reached). Needs out[0..n] and y[0..n].
inline index_t cumtrapz(Vec<double> out, Vec<const double> y, Vec<const double> h,
                        double threshold) noexcept {
    out[0] = 0.0;
    const index_t n = h.n;
    for (index_t i = 0; i < n; ++i) {
        out[i + 1] = out[i] + 0.5 * h[i] * (y[i] + y[i + 1]);
        if (out[i + 1] >= threshold) return i + 1;
    }
    return n < 0 ? 0 : n;
}

}  // namespace exokern
