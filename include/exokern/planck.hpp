// Planck emission per unit wavenumber:
//     B(wn, T) = c1 wn^3 / (exp(c2 wn / T) - 1)   erg s-1 cm-2 sr-1 (cm-1)-1,
// c1 = 2 h c^2, c2 = h c / k (cgs, the 2019 SI's exact h, c and k), with exokern's exponential,
// so that a spectrum has the same bits on every CPU (a platform's own exp differs, by vector
// width and by CPU). Order of arithmetic per element: x = (c2 * wn) / T; e = exp(x) - 1;
// B = (c1 * ((wn * wn) * wn)) / e. An exponent beyond the double range gives exp = +inf and
// B = 0, as the formula does. On AVX2 and AVX-512 the wavenumbers go in lanes with the same bits.
#pragma once

#include "exokern/exp.hpp"
#include "exokern/simd.hpp"
#include "exokern/strided.hpp"

namespace exokern {

namespace planck_constants {
constexpr double h = 6.62607015e-27;   // erg s
constexpr double c = 2.99792458e10;    // cm s^-1
constexpr double k = 1.380649e-16;     // erg K^-1
constexpr double c1 = (2.0 * h) * (c * c);
constexpr double c2 = (h * c) / k;
}  // namespace planck_constants

namespace detail {

inline double planck_one(double wn, double t) noexcept {
    using namespace planck_constants;
    const double e = exokern::exp((c2 * wn) / t) - 1.0;
    return (c1 * ((wn * wn) * wn)) / e;
}

}  // namespace detail
}  // namespace exokern

#define EXOKERN_LANES "exokern/planck_lanes.inc"
#include "exokern/every_path.inc"

namespace exokern {

// out(l, j) = B(wn[j], temperature[l]) for every layer and wavenumber.
inline void planck(Vec<const double> wn, Vec<const double> temperature, Mat<double> out) noexcept {
    [[maybe_unused]] const Simd path = simd_path();
    for (index_t l = 0; l < temperature.n; ++l) {
        const double t = temperature[l];
#if EXOKERN_X86_SIMD
        if (wn.unit() && out.rows_contiguous() && path != Simd::scalar) {
            if (path == Simd::avx512)
                avx512::planck_row(wn.ptr(), wn.n, t, out.row(l));
            else
                avx2::planck_row(wn.ptr(), wn.n, t, out.row(l));
            continue;
        }
#endif
        for (index_t j = 0; j < wn.n; ++j) out(l, j) = detail::planck_one(wn[j], t);
    }
}

}  // namespace exokern
