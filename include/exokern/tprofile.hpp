// Temperature-pressure profiles of a model atmosphere: the three-channel Eddington
// approximation (one thermal stream, two visible streams) and the isothermal profile.
//
// Formula (three-channel): layer i at pressure p_i (barye) under gravity g_i (cm s^-2) has the
// thermal optical depth tau_i = (p_i kappa) / g_i and the temperature (kelvin)
//     T_i^4 = 3/4 [ t_irr^4 ((1 - alpha) xi(gamma1, tau_i) + alpha xi(gamma2, tau_i))
//                   + t_int^4 (tau_i + 2/3) ],
// with xi the term of expint.hpp. The six parameters, in this order, are log10(kappa)
// (Planck mean thermal opacity, cm^2 g^-1), log10(gamma1) and log10(gamma2) (visible-to-thermal
// opacity ratios of the two visible streams), alpha (share of the second stream), t_irr
// (irradiation temperature) and t_int (internal-flux temperature).
//
// Method: kappa and the gammas are ten to the parameters, from the platform's base-10
// exponential where it has one. The fourth powers are formed once as (t t) (t t). Per layer,
// in increasing i: xi of the first stream, then of the second, weighted as
// xi1 + alpha (xi2 - xi1); T = sqrt(sqrt(T^4)).
//
// Domain: any values; a negative optical depth (negative pressure or gravity) lies outside
// the domain of E2 and gives a non-finite temperature, and each of the two xi evaluations of
// such a layer hands its argument gamma tau to the caller's domain_error callback.
#pragma once

#include <cmath>

#include <math.h>

#include "exokern/expint.hpp"
#include "exokern/simd.hpp"
#include "exokern/strided.hpp"

namespace exokern {

// 10^x through the C library's own base-10 exponential where there is one (glibc's exp10,
// Apple's __exp10), else through pow.
inline double exp10(double x) noexcept {
#if defined(__GLIBC__) && defined(__USE_GNU)
    return ::exp10(x);
#elif defined(__APPLE__)
    return ::__exp10(x);
#else
    return std::pow(10.0, x);
#endif
}

namespace detail {

// Gravity 1 in every layer, for profiles evaluated without a gravity array.
struct UnitGravity {
    double operator[](index_t) const noexcept { return 1.0; }
};

template <class Gravity, class DomainError>
EXOKERN_ALWAYS_INLINE void guillot_profile(Vec<const double> params, Vec<const double> pressure,
                            const Gravity& grav, Vec<double> temperature,
                            DomainError& domain_error) noexcept {
    const index_t nlayers = pressure.n;
    const double kappa = exokern::exp10(params[0]);
    const double gamma1 = exokern::exp10(params[1]);
    const double gamma2 = exokern::exp10(params[2]);
    if (nlayers < 1) return;
    const double alpha = params[3];
    const double t_irr = params[4];
    const double t_int = params[5];
    const double t_irr4 = (t_irr * t_irr) * (t_irr * t_irr);
    const double t_int4 = (t_int * t_int) * (t_int * t_int);
    for (index_t i = 0; i < nlayers; ++i) {
        const double tau = (pressure[i] * kappa) / grav[i];
        const double xi1 = exokern::xi(gamma1, tau, domain_error);
        const double xi2 = exokern::xi(gamma2, tau, domain_error);
        const double w = xi1 + alpha * (xi2 - xi1);
        const double v = 0.75 * (t_irr4 * w + t_int4 * (tau + two_thirds));
        temperature[i] = std::sqrt(std::sqrt(v));
    }
}

}  // namespace detail
}  // namespace exokern

#define EXOKERN_LANES "exokern/tprofile_lanes.inc"
#include "exokern/every_path.inc"

namespace exokern {
namespace detail {

// The profile on the CPU's path: on the AVX2 and AVX-512 paths several layers at a time
// (tprofile_lanes.inc), elsewhere the portable code, whose std::fma are calls into the C
// library. Every fma is rounded once either way: the same bits.
template <class Gravity, class DomainError>
inline void guillot_dispatch(Vec<const double> params, Vec<const double> pressure,
                             const Gravity& grav, Vec<double> temperature,
                             DomainError& domain_error) noexcept {
#if EXOKERN_X86_SIMD
    const Simd path = simd_path();
    if (path == Simd::avx512) {
        avx512::guillot_fused(params, pressure, grav, temperature, domain_error);
        return;
    }
    if (path == Simd::avx2) {
        avx2::guillot_fused(params, pressure, grav, temperature, domain_error);
        return;
    }
#endif
    guillot_profile(params, pressure, grav, temperature, domain_error);
}

}  // namespace detail

// Three-channel profile on the layers of `pressure` (see top) with the gravity of each layer
// from `grav`. Needs params[0..5], grav[0..n-1] and temperature[0..n-1], n = pressure.n;
// domain_error(x) is called once per xi evaluation whose argument x is outside the domain.
template <class DomainError>
inline void guillot(Vec<const double> params, Vec<const double> pressure,
                    Vec<const double> grav, Vec<double> temperature,
                    DomainError&& domain_error) noexcept {
    detail::guillot_dispatch(params, pressure, grav, temperature, domain_error);
}

// The same profile with gravity 1 in every layer, so that tau = pressure * kappa.
template <class DomainError>
inline void guillot(Vec<const double> params, Vec<const double> pressure,
                    Vec<double> temperature, DomainError&& domain_error) noexcept {
    detail::guillot_dispatch(params, pressure, detail::UnitGravity{}, temperature,
                             domain_error);
}

// t0 in every element of temperature.
inline void isothermal(double t0, Vec<double> temperature) noexcept {
    for (index_t i = 0; i < temperature.n; ++i) temperature[i] = t0;
}

}  // namespace exokern
