// Line extinction of an alkali species (Na, K) on a wavenumber grid, added into ext(layer, sample).
//
// Formula. For line i (centre nu0 = wn0[i], oscillator strength f = oscstr[i]) in layer m
// (pressure p = press[m], temperature T = temp[m]), all in cgs units:
//     w = lorentz * p * (T * 5e-4)^-0.7                    Lorentz width before the pressure scale
//     L = w * 9.900990099009902e-07                         Lorentz half-width, w / 1.01e6 (cm-1)
//     X = detuning * (T * 0.002)^0.6                        core/wing boundary distance (cm-1)
//     D = sqrt(T * 2 k_B / (mass * m_u)) * (nu0 / c)        Doppler 1/e half-width (cm-1)
//     W = 2 * (0.5346 L + sqrt(0.2166 L^2 + D^2))           Voigt width (Olivero-Longbothum)
// and at an offset d = wn[j] - nu0 the profile is the Lorentz core
//     phi(d) = (L / pi) / (d^2 + L^2)                       for |d| < X,
// or the wing, with r = |d| / X and a = wingamp(m, i) the profile at the boundary,
//     a * exp(-c2 * (|d| - X) / T) / (r * sqrt(r))          for |d| >= X.
// Each sample of the closed window |d| <= cutoff gains K * f * profile / norm, with
// K = pi e^2 / (m_e c^2). The arithmetic is evaluated exactly as written (left to right):
//     core:   ext += K * f * phi / norm,        phi = (3.1515830315226805e-07 * w) / (d*d + L*L)
//     wing:   ext += K * f * a * exp(-c2 * (|d| - X) / T) / (norm * r * sqrt(r))
//     W = 2 * (5.293069306930694e-07 * w + sqrt(0.2166 * L * L + D * D))
// where the two factors on w are 0.5346 / 1.01e6 and 1 / (1.01e6 pi), so that they give 0.5346 L
// and L / pi.
//
// Centre correction. A line too narrow for the grid loses area between samples. With the cell
// of sample j taken as half the width c(j) = wn[j+1] - wn[j-1], the core samples other than the
// centre sample k = icenter[i] carry the area S / 2 with S = sum of phi(d) * c(j). When S > 0
// and not W >= 2 * dwn[i] (NaN does not prevent it), the centre sample is set, replacing what it
// held, to carry the rest of the unit area over its own cell:
//     ext(m, k) = K * f * (2 - S) / (norm * c(k)),
// the same bits as 2K * f * (1 - S/2) / (norm * c(k)), since the scalings by two are exact.
// Because the correction assigns, lines are taken in order and the loops nest line, layer,
// sample; a later line adds on top of an earlier line's corrected centre.
//
// Cells at the ends of the grid: a sample at either end has only one neighbour; the missing
// distance is taken equal to the one on the other side, so c(0) = 2 * (wn[1] - wn[0]) and
// c(n-1) = 2 * (wn[n-1] - wn[n-2]); a grid of one sample has no spacing and c(0) = 0.0.
//
// Method. The window of a line depends on nu0 and cutoff only, not on the layer. Its first
// sample is the first j with !(wn[j] - nu0 < -cutoff); on an ascending grid (non-decreasing and
// free of NaN, tested once per call) that test is monotone in j, since rounding the difference
// is monotone, so bisection finds the same sample that a linear scan from wn[0] stops at. Any
// other grid finds it by the scan, once per line. From there every layer walks the samples
// with the scan's own tests (skip below the window, stop at the first sample above it), so the
// cost is lines * (log n + layers * window) on an ascending grid.
//
// On an ascending contiguous grid (and contiguous rows of ext), the window of a layer is cut
// at its bounds and at the core's (by bisection: d rises with j, so the samples with |d| < X
// are one run) and the wings go V::lanes samples at a time on CPUs with AVX2 or AVX-512
// (exokern/simd.hpp): every sample still gets exactly its own sum, so the bits are the same.
//
// Domain: press holds at least temp.n elements, wingamp at least temp.n rows and wn0.n columns,
// ext at least temp.n rows and wn.n columns, oscstr, dwn and icenter at least wn0.n elements, and
// 0 <= icenter[i] < wn.n for every line when wn.n > 0. Values are not judged: IEEE arithmetic
// decides what a zero norm, zero pressure or NaN gives.
#pragma once

#include <algorithm>
#include <cmath>

#include "exokern/exp.hpp"
#include "exokern/simd.hpp"
#include "exokern/strided.hpp"

namespace exokern {

namespace alkali {
constexpr double two_kb = 2.761316e-16;         // 2 k_B (erg/K), with k_B = 1.380658e-16
constexpr double amu = 1.66053886e-24;          // atomic mass unit (g)
constexpr double inv_c = 3.33564095198152e-11;  // 1/c (s/cm), c = 2.99792458e10 cm/s
constexpr double lorentz_tscale = 5e-4;         // 1/2000 K: Lorentz width given at 2000 K
constexpr double lorentz_texp = -0.7;
constexpr double lorentz_pscale = 9.900990099009902e-07;  // 1/1.01e6 barye
constexpr double detuning_tscale = 0.002;                 // 1/500 K: boundary given at 500 K
constexpr double detuning_texp = 0.6;
constexpr double voigt_lorentz = 0.5346;                  // Olivero-Longbothum coefficients
constexpr double voigt_mixed = 0.2166;
constexpr double voigt_w = 5.293069306930694e-07;   // turns w into 0.5346 L
constexpr double core_w = 3.1515830315226805e-07;   // turns w into L / pi
constexpr double k_line = 8.852821681767784e-13;    // K = pi e^2 / (m_e c^2) (cm)
constexpr double two_k_line = 1.7705643363535567e-12;  // 2K (cm)
constexpr double c2 = 1.4387768775039338;           // second radiation constant h c / k_B (cm K)

static_assert(voigt_lorentz * lorentz_pscale == voigt_w, "0.5346 / 1.01e6");
static_assert(2.0 * k_line == two_k_line, "the centre correction's two forms agree");
}  // namespace alkali

namespace detail {

// True when wn is non-decreasing and holds no NaN (a single sample always is). The one pass
// over the grid that every call makes; contiguous grids are tested a chunk at a time, without
// a branch per sample, so that the test vectorises.
inline bool ascending(Vec<const double> wn) noexcept {
    const index_t n = wn.n;
    if (!wn.unit()) {
        for (index_t j = 1; j < n; ++j)
            if (!(wn[j - 1] <= wn[j])) return false;
        return true;
    }
    const double* p = wn.ptr();
    constexpr index_t chunk = 512;
    for (index_t j0 = 1; j0 < n; j0 += chunk) {
        const index_t j1 = std::min(n, j0 + chunk);
        int bad = 0;
        for (index_t j = j0; j < j1; ++j) bad |= !(p[j - 1] <= p[j]);
        if (bad) return false;
    }
    return true;
}

// First sample of the window of a line at nu0: the first j with !(wn[j] - nu0 < -cutoff), or
// wn.n. Bisection when the grid is ascending, else the linear scan.
inline index_t window_start(Vec<const double> wn, bool ascending, double nu0,
                            double cutoff) noexcept {
    if (!ascending) {
        index_t j = 0;
        while (j < wn.n && wn[j] - nu0 < -cutoff) ++j;
        return j;
    }
    index_t lo = 0, hi = wn.n;
    while (lo < hi) {
        const index_t mid = lo + (hi - lo) / 2;
        if (wn[mid] - nu0 < -cutoff) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

// Width of the cell of sample j, twice its half-cell: wn[j+1] - wn[j-1], with the ends taken
// as twice their one-sided spacing and 0.0 on a grid of one sample.
inline double cell_width(Vec<const double> wn, index_t j) noexcept {
    const index_t n = wn.n;
    if (n < 2) return 0.0;
    if (j == 0) return 2.0 * (wn[1] - wn[0]);
    if (j == n - 1) return 2.0 * (wn[n - 1] - wn[n - 2]);
    return wn[j + 1] - wn[j - 1];
}

// First j in [lo, hi) where pred(wn[j]) holds, for a predicate that holds from some j on.
template <class Pred>
inline index_t first_where(const double* wn, index_t lo, index_t hi, Pred pred) noexcept {
    while (lo < hi) {
        const index_t mid = lo + (hi - lo) / 2;
        if (pred(wn[mid])) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

}  // namespace detail
}  // namespace exokern

#define EXOKERN_LANES "exokern/alkali_lanes.inc"
#include "exokern/every_path.inc"

namespace exokern {

// Adds the extinction of every line of wn0 in every layer of temp into ext (see top).
inline void alkali_cross_section(Vec<const double> press, Vec<const double> wn,
                                 Vec<const double> temp, Mat<const double> wingamp,
                                 Mat<double> ext, double detuning, double mass, double lorentz,
                                 double norm, double cutoff, Vec<const double> wn0,
                                 Vec<const double> oscstr, Vec<const double> dwn,
                                 Vec<const int> icenter) noexcept {
    using namespace alkali;
    const index_t n = wn.n;
    if (wn0.n <= 0 || temp.n <= 0 || n <= 0) return;
    const bool sorted = detail::ascending(wn);
    const double lower = -cutoff;
    const Simd path = simd_path();
    const bool lanes = EXOKERN_X86_SIMD && sorted && wn.unit() && ext.rows_contiguous() &&
                       path != Simd::scalar;

    for (index_t i = 0; i < wn0.n; ++i) {
        const double nu0 = wn0[i];
        const index_t start = detail::window_start(wn, sorted, nu0, cutoff);
        const index_t k = icenter[i];
        // The scan stops at the first sample above the window; on an ascending grid, here.
        [[maybe_unused]] const index_t end = lanes ? detail::first_where(wn.ptr(), start, n, [&](double v) {
            return v - nu0 > cutoff;
        }) : n;
        const double kf = k_line * oscstr[i];  // K * f, the leading product of every value

        for (index_t m = 0; m < temp.n; ++m) {
            const double t = temp[m];
            const double w = lorentz * press[m] * std::pow(t * lorentz_tscale, lorentz_texp);
            const double lhw = w * lorentz_pscale;
            const double x = detuning * std::pow(t * detuning_tscale, detuning_texp);
            const double doppler = std::sqrt(t * two_kb / (mass * amu)) * (nu0 * inv_c);
            const double voigt =
                2.0 * (voigt_w * w + std::sqrt(voigt_mixed * lhw * lhw + doppler * doppler));
            const double lpi = core_w * w;
            const double lhw2 = lhw * lhw;
            const double kfa = kf * wingamp(m, i);
            double s = 0.0;

#if EXOKERN_X86_SIMD
            if (lanes) {
                // The window [start, end) splits into the wing below X, the core and the wing
                // above X; the same samples the scan below would send each way.
                const double* g = wn.ptr();
                double* row = ext.row(m);
                const index_t core0 =
                    detail::first_where(g, start, end, [&](double v) { return v - nu0 > -x; });
                const index_t core1 =
                    detail::first_where(g, core0, end, [&](double v) { return !(v - nu0 < x); });
                const bool wide = path == Simd::avx512;
                const auto wing = wide ? avx512::alkali_wing : avx2::alkali_wing;
                const auto core = wide ? avx512::alkali_core : avx2::alkali_core;
                wing(g, row, start, core0, nu0, x, t, kfa, norm);
                s = core(g, n, row, core0, core1, nu0, lpi, lhw2, kf, norm, k);
                wing(g, row, core1, end, nu0, x, t, kfa, norm);
                if (s > 0.0 && !(voigt >= 2.0 * dwn[i]))
                    ext(m, k) = kf * (2.0 - s) / (norm * detail::cell_width(wn, k));
                continue;
            }
#endif
            for (index_t j = start; j < n; ++j) {
                const double d = wn[j] - nu0;
                if (d < lower) continue;
                if (d > cutoff) break;
                const double ad = std::fabs(d);
                if (ad < x) {
                    const double phi = lpi / (d * d + lhw2);
                    ext(m, j) = ext(m, j) + kf * phi / norm;
                    if (j != k) s += phi * detail::cell_width(wn, j);
                } else {
                    const double r = ad / x;
                    ext(m, j) = ext(m, j) + kfa * exokern::exp(-c2 * (ad - x) / t) /
                                                (norm * r * std::sqrt(r));
                }
            }

            if (s > 0.0 && !(voigt >= 2.0 * dwn[i]))
                ext(m, k) = kf * (2.0 - s) / (norm * detail::cell_width(wn, k));
        }
    }
}

}  // namespace exokern
