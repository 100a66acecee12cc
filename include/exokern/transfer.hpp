// Radiative transfer through a layered atmosphere: optical depth and emergent intensity.
//
// Arrays are (layer, wavelength): row k is layer k counted from the top of the path, column i
// is wavelength i.
//
// optdepth: for every wavelength not yet marked (ideep[i] < 0),
//     tau[i] = sum over k < nlay of (ext(k, i) + ext(k+1, i)) * h[k],   increasing k,
// twice the trapezoidal integral of the extinction over the path intervals h (never halved).
// A wavelength whose tau exceeds taumax (strictly) is marked with the current layer index.
//
// intensity: the formal solution of the transfer equation in LTE for a plane-parallel
// atmosphere, for a ray of direction cosine mu and a wavelength whose bottom layer is d,
//     I = B[d] exp(-tau[d]/mu) - 0.5 * sum over k = rtop .. d-1 of
//             (B[k] + B[k+1]) * (exp(-tau[k+1]/mu) - exp(-tau[k]/mu)),
// the integral of B exp(-tau/mu) dtau/mu by the trapezoidal rule in the variable
// exp(-tau/mu). Inside the sum each exponent is the negated depth times the reciprocal 1/mu
// (formed once per angle); the bottom term divides by mu. With d - rtop = 1 the result is
// B[d] itself; with d - rtop <= 0 it is the attenuated bottom term alone.
//
// tdiff and itrapz are the two halves of that sum for one column, as exported for native
// callers; intensity computes exactly their arithmetic, but forms each exp(-tau[k] / mu) once
// where tdiff meets it twice. Every exponential is exokern::exp (exokern/exp.hpp); intensity
// runs V::lanes wavelengths at a time on CPUs with AVX2 or AVX-512 (exokern/simd.hpp), with
// the same bits.
#pragma once

#include <algorithm>
#include <cmath>

#include "exokern/exp.hpp"
#include "exokern/simd.hpp"
#include "exokern/strided.hpp"
#include "exokern/trapezoid.hpp"

namespace exokern {

// out[k - first] = exp(-tau(k+1, col) * r) - exp(-tau(k, col) * r) for k = first .. last-1,
// with r = 1/mu. Nothing is written when last - first < 1.
inline void tdiff(Vec<double> out, Mat<const double> tau, index_t first, index_t last,
                  index_t col, double mu) noexcept {
    if (last - first < 1) return;
    const double r = 1.0 / mu;
    for (index_t k = first; k < last; ++k)
        out[k - first] = exokern::exp(-tau(k + 1, col) * r) - exokern::exp(-tau(k, col) * r);
}

// 0.5 * sum over k = first .. last-1 of (data(k, col) + data(k+1, col)) * h[k - first];
// 0.0 when last - first < 1. The widths are counted from h[0], as tdiff writes them.
inline double itrapz(Mat<const double> data, Vec<const double> h, index_t first, index_t last,
                     index_t col) noexcept {
    if (last - first < 1) return 0.0;
    double s = 0.0;
    for (index_t k = first; k < last; ++k) s += (data(k, col) + data(k + 1, col)) * h[k - first];
    return 0.5 * s;
}

// Optical depth of every wavelength still open, marking those beyond taumax (see top).
// Needs ext rows 0..nlay (nlay = h.n) and ideep[0..ext.cols-1]; writes tau[0..ext.cols-1].
inline void optdepth(Mat<const double> ext, Vec<const double> h, double taumax, Vec<int> ideep,
                     int ilay, Vec<double> tau) noexcept {
    const index_t ncol = ext.cols;
    const index_t nlay = h.n;
    if (nlay <= 0 || !ext.rows_contiguous() || !tau.unit()) {
        for (index_t i = 0; i < ncol; ++i) {
            tau[i] = 0.0;
            if (ideep[i] >= 0) continue;
            tau[i] = trapezoid_sum(ext.column(i), h, nlay);
            if (tau[i] > taumax) ideep[i] = ilay;
        }
        return;
    }
    // Row-major: per block of columns, rows outside and columns inside. Every column of a block
    // that has an open one is summed (same terms, same order); closed columns then get 0.0.
    bool open[detail::column_block];
    for (index_t i0 = 0; i0 < ncol; i0 += detail::column_block) {
        const index_t nb = std::min(ncol - i0, detail::column_block);
        double* res = tau.ptr() + i0;
        bool any = false;
        for (index_t i = 0; i < nb; ++i) {
            open[i] = ideep[i0 + i] < 0;
            any = any || open[i];
            res[i] = 0.0;
        }
        if (!any) continue;
        detail::add_row_terms(ext, h, i0, nb, 0, nlay, res);
        for (index_t i = 0; i < nb; ++i) {
            if (!open[i]) {
                res[i] = 0.0;
            } else if (res[i] > taumax) {
                ideep[i0 + i] = ilay;
            }
        }
    }
}

// Optical depth of every layer in one pass: row k of tau is what optdepth gives for the rows
// 0..k with ilay = k, for k = 0, 1, ..., nlay in turn with ideep carried from call to call.
// Down a column each row's sum is the previous row's plus one term, added in the same order,
// so the running sum has exactly the bits of optdepth's sum from the top. A column still open
// (ideep[i] < 0) at row k holds its sum there and is marked ideep[i] = k once the sum exceeds
// taumax (strictly); the rows below a marked column, and every row of a column marked on entry,
// are 0.0, as optdepth returns for marked columns. Row 0 is the empty sum.
// Needs ext rows 0..nlay (nlay = h.n >= 0), ideep[0..ext.cols-1] and tau rows 0..nlay.
inline void cumoptdepth(Mat<const double> ext, Vec<const double> h, double taumax,
                        Vec<int> ideep, Mat<double> tau) noexcept {
    const index_t ncol = ext.cols;
    const index_t nlay = h.n;
    for (index_t i = 0; i < ncol; ++i) {
        tau(0, i) = 0.0;
        if (ideep[i] < 0 && 0.0 > taumax) ideep[i] = 0;
    }
    if (nlay <= 0) return;
    if (!ext.rows_contiguous() || !tau.rows_contiguous() || !ideep.unit()) {
        for (index_t i = 0; i < ncol; ++i) {
            double s = 0.0;
            for (index_t k = 1; k <= nlay; ++k) {
                if (ideep[i] >= 0) {
                    tau(k, i) = 0.0;
                    continue;
                }
                s += (ext(k - 1, i) + ext(k, i)) * h[k - 1];
                tau(k, i) = s;
                if (s > taumax) ideep[i] = int(k);
            }
        }
        return;
    }
    // Row-major: per block of columns, rows outside and columns inside, so that the previous
    // row of sums and of extinction stay in L1 cache. The select keeps the loop free of
    // branches; a marked column computes a term it then drops.
    int* deep = ideep.ptr();
    for (index_t i0 = 0; i0 < ncol; i0 += detail::column_block) {
        const index_t nb = std::min(ncol - i0, detail::column_block);
        for (index_t k = 1; k <= nlay; ++k) {
            const double* e0 = ext.row(k - 1) + i0;
            const double* e1 = ext.row(k) + i0;
            const double* prev = tau.row(k - 1) + i0;
            double* cur = tau.row(k) + i0;
            int* d = deep + i0;
            const double hk = h[k - 1];
            const int mark = int(k);
            for (index_t i = 0; i < nb; ++i) {
                const int di = d[i];
                const bool open = di < 0;
                const double s = prev[i] + (e0[i] + e1[i]) * hk;
                cur[i] = open ? s : 0.0;
                d[i] = (open & (s > taumax)) ? mark : di;
            }
        }
    }
}

namespace detail {

// Emergent intensity of column i for every angle (see top), one exponential at a time.
inline void intensity_column(Mat<const double> tau, Vec<const int> ideep,
                             Mat<const double> planck, Vec<const double> mu, index_t rtop,
                             Mat<double> out, index_t i) noexcept {
    const index_t d = ideep[i];
    const index_t n = d - rtop;
    const double taud = tau(d, i);
    const double bd = planck(d, i);
    for (index_t j = 0; j < mu.n; ++j) {
        const double m = mu[j];
        if (n == 1) {
            out(j, i) = bd;
        } else if (n <= 0) {
            out(j, i) = bd * exokern::exp(-taud / m);  // no interval: the bottom term alone
        } else {
            const double r = 1.0 / m;
            double e0 = exokern::exp(-tau(rtop, i) * r);
            double s = 0.0;
            for (index_t k = rtop; k < d; ++k) {
                const double e1 = exokern::exp(-tau(k + 1, i) * r);
                s += (planck(k, i) + planck(k + 1, i)) * (e1 - e0);
                e0 = e1;
            }
            // e0 is now exp(-taud * r); the bottom term wants exp(-taud / m), the same
            // value whenever the two exponents round alike.
            const double xb = -taud / m;
            const double eb = xb == -taud * r ? e0 : exokern::exp(xb);
            out(j, i) = bd * eb - 0.5 * s;
        }
    }
}

}  // namespace detail
}  // namespace exokern

#define EXOKERN_LANES "exokern/intensity_lanes.inc"
#include "exokern/every_path.inc"

namespace exokern {

// Emergent intensity out(j, i) for every angle mu[j] and wavelength i (see top).
// Needs 0 <= ideep[i] < rows of tau and planck, and rtop >= 0 wherever ideep[i] - rtop >= 2.
inline void intensity(Mat<const double> tau, Vec<const int> ideep, Mat<const double> planck,
                      Vec<const double> mu, index_t rtop, Mat<double> out) noexcept {
    const index_t ncol = tau.cols;
    index_t done = 0;
#if EXOKERN_X86_SIMD
    const Simd path = simd_path();
    if (tau.rows_contiguous() && planck.rows_contiguous()) {
        if (path == Simd::avx512) {
            done = ncol - ncol % avx512::V::lanes;
            avx512::intensity_lanes(tau, ideep, planck, mu, rtop, out, 0, done);
        } else if (path == Simd::avx2) {
            done = ncol - ncol % avx2::V::lanes;
            avx2::intensity_lanes(tau, ideep, planck, mu, rtop, out, 0, done);
        }
    }
#endif
    for (index_t i = done; i < ncol; ++i)
        detail::intensity_column(tau, ideep, planck, mu, rtop, out, i);
}

}  // namespace exokern
