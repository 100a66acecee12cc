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

namespace detail {

// What a line's profile in one layer needs besides the layer: its centre, K f, the step of its
// resolution test, its centre sample and its window [start, end) (end: past the last sample
// that the scan visits on an ascending grid; wn.n otherwise).
struct LineWindow {
    double nu0, kf, dwn;
    index_t k, start, end;
};

inline LineWindow line_window(Vec<const double> wn, bool sorted, bool lanes, double nu0,
                              double oscstr, double dwn, index_t k, double cutoff) noexcept {
    const index_t start = window_start(wn, sorted, nu0, cutoff);
    const index_t end = lanes ? first_where(wn.ptr(), start, wn.n, [&](double v) {
        return v - nu0 > cutoff;
    }) : wn.n;
    return {nu0, alkali::k_line * oscstr, dwn, k, start, end};
}

// One line in layer m (pressure p, temperature t, wing amplitude a): every sample of its
// window gains its value times `scale` (see top; a scale of 1 leaves the values' bits as they
// are). Returns whether the centre correction applies, and its value in `centre`; the caller
// writes it.
// `tw` and `tx` are the layer's temperature factors of the Lorentz width and of the boundary,
// pow(t * 5e-4, -0.7) and pow(t * 0.002, 0.6), the same for every line.
inline bool line_in_layer(Vec<const double> wn, bool lanes, [[maybe_unused]] Simd path,
                          const LineWindow& line, double detuning, double mass, double lorentz,
                          double norm, double cutoff, double p, double t, double tw, double tx,
                          double a, double scale, Mat<double> ext, index_t m,
                          double& centre) noexcept {
    using namespace alkali;
    const index_t n = wn.n;
    const double nu0 = line.nu0, kf = line.kf;
    const index_t k = line.k;
    const double w = lorentz * p * tw;
    const double lhw = w * lorentz_pscale;
    const double x = detuning * tx;
    const double doppler = std::sqrt(t * two_kb / (mass * amu)) * (nu0 * inv_c);
    const double voigt =
        2.0 * (voigt_w * w + std::sqrt(voigt_mixed * lhw * lhw + doppler * doppler));
    const double lpi = core_w * w;
    const double lhw2 = lhw * lhw;
    const double kfa = kf * a;
    double s = 0.0;
#if EXOKERN_X86_SIMD
    if (lanes) {
        // The window [start, end) splits into the wing below X, the core and the wing above X;
        // the same samples the scan below would send each way.
        const double* g = wn.ptr();
        double* row = ext.row(m);
        const index_t start = line.start, end = line.end;
        const index_t core0 =
            first_where(g, start, end, [&](double v) { return v - nu0 > -x; });
        const index_t core1 =
            first_where(g, core0, end, [&](double v) { return !(v - nu0 < x); });
        const bool wide = path == Simd::avx512;
        const auto wing = wide ? avx512::alkali_wing : avx2::alkali_wing;
        const auto core = wide ? avx512::alkali_core : avx2::alkali_core;
        wing(g, row, start, core0, nu0, x, t, kfa, norm, scale);
        s = core(g, n, row, core0, core1, nu0, lpi, lhw2, kf, norm, scale, k);
        wing(g, row, core1, end, nu0, x, t, kfa, norm, scale);
    } else
#endif
    {
        const double lower = -cutoff;
        for (index_t j = line.start; j < n; ++j) {
            const double d = wn[j] - nu0;
            if (d < lower) continue;
            if (d > cutoff) break;
            const double ad = std::fabs(d);
            if (ad < x) {
                const double phi = lpi / (d * d + lhw2);
                ext(m, j) = ext(m, j) + kf * phi / norm * scale;
                if (j != k) s += phi * cell_width(wn, j);
            } else {
                const double r = ad / x;
                ext(m, j) = ext(m, j) + kfa * exokern::exp(-c2 * (ad - x) / t) /
                                            (norm * r * std::sqrt(r)) * scale;
            }
        }
    }
    if (s > 0.0 && !(voigt >= 2.0 * line.dwn)) {
        centre = kf * (2.0 - s) / (norm * cell_width(wn, k));
        return true;
    }
    return false;
}

inline bool use_lanes(bool sorted, Vec<const double> wn, Mat<double> ext) noexcept {
    return EXOKERN_X86_SIMD && sorted && wn.unit() && ext.rows_contiguous() &&
           simd_path() != Simd::scalar;
}

}  // namespace detail

// Adds the extinction of every line of wn0 in every layer of temp into ext (see top).
inline void alkali_cross_section(Vec<const double> press, Vec<const double> wn,
                                 Vec<const double> temp, Mat<const double> wingamp,
                                 Mat<double> ext, double detuning, double mass, double lorentz,
                                 double norm, double cutoff, Vec<const double> wn0,
                                 Vec<const double> oscstr, Vec<const double> dwn,
                                 Vec<const int> icenter) noexcept {
    if (wn0.n <= 0 || temp.n <= 0 || wn.n <= 0) return;
    const bool sorted = detail::ascending(wn);
    const bool lanes = detail::use_lanes(sorted, wn, ext);
    const Simd path = simd_path();
    for (index_t i = 0; i < wn0.n; ++i) {
        const detail::LineWindow line = detail::line_window(wn, sorted, lanes, wn0[i], oscstr[i],
                                                            dwn[i], icenter[i], cutoff);
        for (index_t m = 0; m < temp.n; ++m) {
            using namespace alkali;
            const double t = temp[m];
            const double tw = std::pow(t * lorentz_tscale, lorentz_texp);
            const double tx = std::pow(t * detuning_tscale, detuning_texp);
            double centre;
            if (detail::line_in_layer(wn, lanes, path, line, detuning, mass, lorentz, norm,
                                      cutoff, press[m], t, tw, tx, wingamp(m, i), 1.0, ext, m,
                                      centre))
                ext(m, line.k) = centre;
        }
    }
}

// The columns of `lines`, one row per line: its centre (cm^-1), oscillator strength, and its
// species' detuning X at 500 K (cm^-1), atomic mass (u) and Lorentz half-width at 2000 K and
// 1.01e6 barye (cm^-1), then the step of its resolution test (cm^-1).
enum LineColumn : index_t { wn0_col, oscstr_col, detuning_col, mass_col, lorentz_col, dwn_col,
                            line_columns };

// The extinction of a set of lines and a continuum, written into ext (layers x samples). Line
// i in layer m (pressure p, temperature t) has the wing amplitude, the Lorentz core's value at
// the boundary X,
//     h = lorentz * pow(t / 2000, -0.7) * p / 1.01e6,   x = detuning * pow(t / 500, 0.6),
//     a = (h / pi) / (x * x + h * h),
// and the absorbers' density atoms = mixing[i] * gas[m]; with sigma_i what alkali_cross_section
// (norm 1, wingamp a) puts into a zeroed array for line i alone,
//     ext[m, j] = ((0 + sigma_0[m, j] atoms_0) + sigma_1[m, j] atoms_1 + ...) + continuum[m],
// the lines added in their order. Each line touches its window and its centre sample alone:
// outside them sigma is 0, and adding 0 times a finite density changes no bit. Where the centre
// correction applies it replaces the line's own value at k, so the sample's value before the
// line is kept and the corrected value times the density added to it. The powers of t are
// taken once a layer, for every line. `windows` is scratch of `lines.rows` windows, `powers`
// of 4 doubles a layer.
inline void line_extinction(Mat<double> ext, Vec<const double> press, Vec<const double> wn,
                            Vec<const double> temp, Mat<const double> lines,
                            Vec<const int> icenter, Vec<const double> mixing,
                            Vec<const double> gas, Vec<const double> continuum, double cutoff,
                            detail::LineWindow* windows, double* powers) noexcept {
    using namespace alkali;
    constexpr double pi = 3.141592653589793;
    const index_t n = wn.n, layers = temp.n, count = lines.rows;
    if (layers <= 0 || n <= 0) return;
    const bool sorted = detail::ascending(wn);
    const bool lanes = detail::use_lanes(sorted, wn, ext);
    const Simd path = simd_path();
    for (index_t i = 0; i < count; ++i)
        windows[i] = detail::line_window(wn, sorted, lanes, lines(i, wn0_col),
                                         lines(i, oscstr_col), lines(i, dwn_col), icenter[i],
                                         cutoff);
    // The powers of every layer's temperature, shared by the lines: tw, tx, hw, hx.
    for (index_t m = 0; m < layers; ++m) {
        const double t = temp[m];
        powers[4 * m] = std::pow(t * lorentz_tscale, lorentz_texp);
        powers[4 * m + 1] = std::pow(t * detuning_tscale, detuning_texp);
        powers[4 * m + 2] = std::pow(t / 2000.0, lorentz_texp);
        powers[4 * m + 3] = std::pow(t / 500.0, detuning_texp);
        if (ext.rows_contiguous()) {
            std::fill(ext.row(m), ext.row(m) + n, 0.0);
        } else {
            for (index_t j = 0; j < n; ++j) ext(m, j) = 0.0;
        }
    }
    for (index_t i = 0; i < count; ++i) {
        const detail::LineWindow& line = windows[i];
        const double detuning = lines(i, detuning_col), lorentz = lines(i, lorentz_col);
        const double mass = lines(i, mass_col);
        for (index_t m = 0; m < layers; ++m) {
            const double t = temp[m], p = press[m];
            const double* pw = powers + 4 * m;
            const double h = lorentz * pw[2] * p / 1.01e6;
            const double x = detuning * pw[3];
            const double a = (h / pi) / (x * x + h * h);
            const double atoms = mixing[i] * gas[m];
            const double before = ext(m, line.k);
            double centre;
            if (detail::line_in_layer(wn, lanes, path, line, detuning, mass, lorentz, 1.0,
                                      cutoff, p, t, pw[0], pw[1], a, atoms, ext, m, centre))
                ext(m, line.k) = before + centre * atoms;
        }
    }
    for (index_t m = 0; m < layers; ++m) {
        const double c = continuum[m];
        if (ext.rows_contiguous()) {
            double* row = ext.row(m);
            for (index_t j = 0; j < n; ++j) row[j] = row[j] + c;
        } else {
            for (index_t j = 0; j < n; ++j) ext(m, j) = ext(m, j) + c;
        }
    }
}

}  // namespace exokern
