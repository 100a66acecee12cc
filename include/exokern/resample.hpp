// Resampling of one row of samples y[0..n-1] into row `row` of an output matrix.
//
// resample: out(row, k) = y[k * step] for k = 0 .. (n - 1) / step, a strided copy that
// overwrites the output. The last sample is taken only when n - 1 is a multiple of step.
//
// linterp: linear interpolation of a row sampled on the uniform grid x0 + j * dx at positions
// p = x[k], added to out(row, k). With r = 1/dx formed once, t = (p - x0) * r, j = trunc(t) and
// xj = x0 + trunc(t) * dx,
//     out(row, k) += (((dx - p) + xj) * y[j] + (p - xj) * y[j + 1]) * r,
// the left weight formed as dx - p first and xj added after. A position less than one spacing
// below x0 truncates to j = 0 and extrapolates from y[0] and y[1].
//
// downsample: reduction by an integer factor f with an averaging kernel, added to the output.
// With h = f / 2 and m = (n - 1) / f, output i stands for input sample i * f (the last, i = m,
// for sample n - 1). Middle outputs 1 <= i <= m - 1 take y[i f - h] .. y[i f + h] at weight
// w = 1/f each; for even f that window has f + 1 samples and its two ends are brought to half
// weight by adding (-0.5 * (y[i f + h] + y[i f - h])) * w. The first and last outputs take the
// one-sided half of that kernel (the centre and the h samples towards the inside) at the edge
// weight e = 2 * (1 / (f + 1)); for even f the inner end, y[h] or y[n - 1 - h], is then brought
// to half weight by adding it divided by -1 - f. Every kernel's weights sum to 1. Each term is
// added into the output element in the order written.
//
// Domain: resample needs n >= 1 and step >= 1; linterp dx != 0 and the computed j, j + 1 inside
// the row (the rounded t can reach L - 1 for a position just below x0 + (L - 1) dx); downsample
// f >= 1 and n >= f + 1 (two outputs or more). Outside that, resample and downsample
// write nothing when step, f or n is below 1 (the integer quotients would divide by zero or
// index below the row), and downsample reduces a row of 1 <= n <= f samples to one output, its
// mean: out(row, 0) += y[j] * (1/n) for j = 0 .. n - 1 (the windows of the kernel above would
// overlap each other or reach outside the row).
#pragma once

#include <cmath>

#include "exokern/strided.hpp"

namespace exokern {

inline void resample(const double* y, Mat<double> out, index_t n, index_t step,
                     index_t row) noexcept {
    if (step < 1 || n < 1) return;
    const index_t count = (n - 1) / step + 1;
    for (index_t k = 0; k < count; ++k) out(row, k) = y[k * step];
}

inline void linterp(const double* y, Mat<double> out, Vec<const double> x, index_t row,
                    double x0, double dx) noexcept {
    if (x.n < 1) return;
    const double r = 1.0 / dx;
    for (index_t k = 0; k < x.n; ++k) {
        const double p = x[k];
        const double t = (p - x0) * r;
        const double tj = std::trunc(t);
        const index_t j = static_cast<index_t>(tj);
        const double xj = x0 + tj * dx;
        const double v = ((dx - p) + xj) * y[j] + (p - xj) * y[j + 1];
        out(row, k) = out(row, k) + v * r;
    }
}

inline void downsample(const double* y, Mat<double> out, index_t n, index_t f,
                       index_t row) noexcept {
    if (f < 1 || n < 1) return;
    if (n <= f) {
        const double wmean = 1.0 / double(n);
        for (index_t j = 0; j < n; ++j) out(row, 0) += y[j] * wmean;
        return;
    }
    const index_t h = f / 2;
    const index_t m = (n - 1) / f;
    const bool even = f % 2 == 0;
    const double e = 2.0 * (1.0 / double(f + 1));
    const double w = 1.0 / double(f);
    // The even-f edge correction takes y/(f + 1) away by adding y divided by -1 - f.
    const double minus_f1 = double(-1 - f);

    for (index_t j = 0; j <= h; ++j) out(row, 0) += y[j] * e;
    if (even) out(row, 0) += y[h] / minus_f1;

    for (index_t i = 1; i <= m - 1; ++i) {
        const index_t c = i * f;
        for (index_t j = c - h; j <= c + h; ++j) out(row, i) += y[j] * w;
        if (even) out(row, i) += (-0.5 * (y[c + h] + y[c - h])) * w;
    }

    for (index_t j = n - 1 - h; j <= n - 1; ++j) out(row, m) += y[j] * e;
    if (even) out(row, m) += y[n - 1 - h] / minus_f1;
}

}  // namespace exokern
