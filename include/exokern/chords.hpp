// The chords of a spherical atmosphere seen at the limb, and the transit depth.
//
// Geometry. Levels k = 0 .. L-1 with radii r[0] > r[1] > ... (top first) carry the extinction
// a[k] (per wavenumber). Shell k lies between levels k and k+1, of width d[k] = r[k] - r[k+1].
// Within a shell the extinction is exponential in radius between its two levels: at the
// fraction f of the shell from its inner level,
//     a(f) = a[k+1]^(1-f) a[k]^f,
// so that g[k] = sqrt(a[k] a[k+1]) is its value at f = 1/2, p[k] = sqrt(a[k] g[k]) at f = 3/4
// and u[k] = sqrt(g[k] p[k]) at f = 5/8; where a level's extinction is not positive, the
// shell's extinction is linear in radius instead (a[k+1] + f (a[k] - a[k+1])). Exact for an
// isothermal atmosphere of a grey opacity, this is what a chord of few levels loses least by.
//
// Rays. Ray k (k = 0 .. L-2) grazes the middle of shell k, b = (r[k] + r[k+1]) / 2: it crosses
// the shells above it whole, and shell k from b up. Rays at the shells' middles, not at the
// levels, so that the top shell counts as what it is where the top of the model is opaque (a
// ray at the top level itself would have no path and see nothing). The half-chord's optical
// depth is the sum over the shells of the integral of a(r) r / sqrt(r^2 - b^2) dr, by Simpson's
// rule per shell: in r for the shells above,
//     d/6 (J(r[s]) a[s] + 4 J(m) g[s] + J(r[s+1]) a[s+1]),  J(r) = r / sqrt(r^2 - b^2),
// m the shell's middle radius; in x = sqrt((r - b) / e) over shell k's upper half, e = r[k] - b,
// where the integrand 2 sqrt(e) (b + e x^2) / sqrt(2b + e x^2) a is smooth (x = 0, 1/2, 1 take
// g[k], u[k] and a[k]). The chord's optical depth is twice the half-chord's.
//
// Order of arithmetic (each wavenumber alone; the same on every path). The shells' Simpson
// weights are gathered per level: with c0, c1, c2 the weights of shell j above ray k,
//     c0 = d/6 J(r[j]),  c1 = 4d/6 J(m),  c2 = d/6 J(r[j+1]),
// and t0 = e/6 G(0), t1 = 4e/6 G(1/2), t2 = e/6 G(1) those of the grazed shell, G(x) = 2 (b +
// e x^2) / (sqrt(e) sqrt(2b + e x^2)), level j < k weighs C[j] = c2(j-1) + c0(j) (c0(0) for
// the top level) and level k weighs C[k] = c2(k-1) + t2 (t2 for the top ray). Per ray k, s = 0;
// for j = 0 .. k-1, s = s + (C[j] a[j] + c1(j) g[j]); then s = s + ((C[k] a[k] + t0 g[k]) +
// t1 u[k]); the chord is tau = 2 s. A shell of width 0 has weights 0. The rays are taken from
// the top down; a wavenumber whose chord exceeds taumax at ray k has ideep = k, and every
// deeper ray is opaque there (tau = +inf); ideep = L-2 where none does.
//
// Transit depth, the midpoint rule over the shells, the disc inside the deepest level opaque:
//     S = sum over k = 0 .. L-2 of (A_k b_k) d[k], in increasing k,  A_k = 1 - exp(-tau_k)
//     (1 for an opaque ray), depth = (r[L-1] r[L-1] + 2 S) / (rstar rstar).
// A falls from 1 to 0 smoothly over the shells, and the rule is then spectrally accurate.
//
// Method. The weights depend on the radii alone: computed once per call, for every ray (the
// shells above a ray in lanes on AVX2 and AVX-512, each lane the scalar operations). A
// shell's values g and u are formed when the ray grazing it is reached, so that the shells
// below every wavenumber's opaque ray cost nothing; g is kept for the deeper rays. On AVX2 and
// AVX-512 the wavenumbers go in groups of four vectors (chords_lanes.inc), so that four
// independent sums hide the adder's latency and every weight loaded serves four vectors; each
// lane performs the scalar loop's operations in its order, the exponential exokern::exp's.
// Where every lane of a vector is opaque its A is 1 and the exponential is not taken.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

#include "exokern/exp.hpp"
#include "exokern/simd.hpp"
#include "exokern/strided.hpp"

namespace exokern {

namespace detail {

// Wavenumbers of a group: four vectors of AVX-512's eight lanes.
constexpr index_t chord_group = 32;

// The weights of every ray: ray k has 2k + 3 of them from offset k (k + 2): C[j], c1(j) for
// the levels and shells above it, then C[k], t0, t1 (see top).
inline index_t chord_offset(index_t k) noexcept { return k * (k + 2); }

// Doubles of the weights of L levels, and of the scratch that holds g for a group.
inline index_t chord_weights(index_t levels) noexcept {
    return levels < 2 ? 0 : chord_offset(levels - 1);
}
inline index_t chord_scratch(index_t levels) noexcept { return levels * chord_group + 3 * levels; }

// The Simpson weights c0, c1, c2 of the shell between radii ro > ri for the ray at b (0 for a
// shell of width 0).
inline void shell_weights(double ro, double ri, double b, double& c0, double& c1,
                          double& c2) noexcept {
    const double d = ro - ri;
    c0 = c1 = c2 = 0.0;
    if (d > 0.0) {
        const double m = 0.5 * (ro + ri);
        const double w = d / 6.0;
        c0 = w * (ro / std::sqrt((ro - b) * (ro + b)));
        c1 = (4.0 * w) * (m / std::sqrt((m - b) * (m + b)));
        c2 = w * (ri / std::sqrt((ri - b) * (ri + b)));
    }
}

// Every ray's weights into coef (see chord_offset). `shells(k, b, c0, c1, c2)` fills the weights
// of the k shells above ray k; `scratch` holds 3 (L - 1) doubles.
template <class Shells>
inline void chord_weights_with(Vec<const double> r, double* coef, double* scratch,
                               Shells&& shells) noexcept {
    const index_t rays = r.n - 1;
    double* c0 = scratch;
    double* c1 = scratch + rays;
    double* c2 = scratch + 2 * rays;
    for (index_t k = 0; k < rays; ++k) {
        const double b = 0.5 * (r[k] + r[k + 1]);
        double* c = coef + chord_offset(k);
        shells(k, b, c0, c1, c2);
        for (index_t j = 0; j < k; ++j) {
            c[2 * j] = j == 0 ? c0[0] : c2[j - 1] + c0[j];
            c[2 * j + 1] = c1[j];
        }
        const double below = k > 0 ? c2[k - 1] : 0.0;
        const double e = r[k] - b;
        double t0 = 0.0, t1 = 0.0, t2 = 0.0;
        if (e > 0.0) {
            const double w = e / 6.0, se = std::sqrt(e);
            const double quarter = 0.25 * e;
            t0 = w * (2.0 * b / (se * std::sqrt(2.0 * b)));
            t1 = (4.0 * w) * (2.0 * (b + quarter) / (se * std::sqrt(2.0 * b + quarter)));
            t2 = w * (2.0 * (b + e) / (se * std::sqrt(2.0 * b + e)));
        }
        double* t = c + 2 * k;
        t[0] = k == 0 ? t2 : below + t2;
        t[1] = t0;
        t[2] = t1;
    }
}

inline void chord_coefficients(Vec<const double> r, double* coef, double* scratch) noexcept {
    chord_weights_with(r, coef, scratch,
                       [&](index_t k, double b, double* c0, double* c1, double* c2) {
                           for (index_t j = 0; j < k; ++j)
                               shell_weights(r[j], r[j + 1], b, c0[j], c1[j], c2[j]);
                       });
}

// A shell's values of one wavenumber at f = 1/2 and 5/8 (see top).
inline void shell_values(double outer, double inner, double& g, double& u) noexcept {
    if (outer > 0.0 && inner > 0.0) {
        g = std::sqrt(outer * inner);
        const double p = std::sqrt(outer * g);
        u = std::sqrt(g * p);
    } else {
        const double d = outer - inner;
        g = inner + 0.5 * d;
        u = inner + 0.625 * d;
    }
}

// Wavenumbers j0 .. j1-1, one at a time (the scalar path, and any layout): tau, ideep and depth
// of each (see top). `coef` from chord_coefficients; `work` holds L doubles.
inline void transit_columns(Mat<const double> ext, Vec<const double> r, double rstar,
                            double taumax, const double* coef, Mat<double> tau, Vec<int> ideep,
                            Vec<double> depth, index_t j0, index_t j1, double* work) noexcept {
    const index_t rays = r.n - 1;
    const double inf = std::numeric_limits<double>::infinity();
    double* g = work;
    for (index_t col = j0; col < j1; ++col) {
        int deep = int(rays - 1);
        bool open = true;
        double sum = 0.0;
        for (index_t k = 0; k < rays; ++k) {
            double chord = inf;
            const double b = 0.5 * (r[k] + r[k + 1]);
            double clear = 1.0;
            if (open) {
                const double* c = coef + chord_offset(k);
                double u;
                shell_values(ext(k, col), ext(k + 1, col), g[k], u);
                double s = 0.0;
                for (index_t j = 0; j < k; ++j)
                    s = s + (c[2 * j] * ext(j, col) + c[2 * j + 1] * g[j]);
                const double* t = c + 2 * k;
                s = s + ((t[0] * ext(k, col) + t[1] * g[k]) + t[2] * u);
                chord = 2.0 * s;
                if (chord > taumax) {
                    deep = int(k);
                    open = false;
                }
                clear = 1.0 - exokern::exp(-chord);
            }
            if (tau.rows > 0) tau(k, col) = chord;
            sum = sum + (clear * b) * (r[k] - r[k + 1]);
        }
        ideep[col] = deep;
        const double rl = r[rays];
        depth[col] = (rl * rl + 2.0 * sum) / (rstar * rstar);
    }
}

}  // namespace detail
}  // namespace exokern

#define EXOKERN_LANES "exokern/chords_lanes.inc"
#include "exokern/every_path.inc"

namespace exokern {

// The chords' optical depth of every ray and wavenumber into `tau` (L-1 x W; a view without
// rows keeps none), each wavenumber's first opaque ray into `ideep` and the transit depth into
// `depth` (see top). `ext` is L x W,
// `r` holds the L radii (L >= 2). `coef` is scratch of chord_weights(L) doubles, `work` of
// chord_scratch(L).
inline void transit_depth(Mat<const double> ext, Vec<const double> r, double rstar,
                          double taumax, Mat<double> tau, Vec<int> ideep, Vec<double> depth,
                          double* coef, double* work) noexcept {
    const index_t width = ext.cols;
    if (r.n < 2 || width <= 0) return;
    [[maybe_unused]] const Simd path = simd_path();
    const bool lanes = EXOKERN_X86_SIMD && path != Simd::scalar && ext.rows_contiguous() &&
                       tau.rows_contiguous() && r.unit() && ideep.unit() && depth.unit();
    // The weights' scratch lies past the group's rows of work.
    double* scratch = work + r.n * detail::chord_group;
    if (!lanes) {
        detail::chord_coefficients(r, coef, scratch);
        detail::transit_columns(ext, r, rstar, taumax, coef, tau, ideep, depth, 0, width, work);
        return;
    }
#if EXOKERN_X86_SIMD
    if (path == Simd::avx512) {
        avx512::chord_coefficients_lanes(r, coef, scratch);
        avx512::transit_lanes(ext, r, rstar, taumax, coef, tau, ideep, depth, work);
    } else {
        avx2::chord_coefficients_lanes(r, coef, scratch);
        avx2::transit_lanes(ext, r, rstar, taumax, coef, tau, ideep, depth, work);
    }
#endif
}

}  // namespace exokern
