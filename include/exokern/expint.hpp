// The second exponential integral E2 and the xi term of the Eddington-approximation
// temperature profile.
//
// Formula:
//     E2(x) = integral over t from 1 to infinity of exp(-x t) / t^2 dt,      x >= 0,
// so E2(0) = 1 and E2 decreases monotonically towards 0. The xi term of one visible stream of
// opacity ratio gamma at thermal optical depth tau is
//     xi(gamma, tau) = 2/3 + 2/3 [ (1 + (gamma tau / 2 - 1) exp(-gamma tau)) / gamma
//                                  + gamma (1 - tau^2 / 2) E2(gamma tau) ].
//
// Method: with x = gamma tau,
//   - 0 < x <= 1: the ascending series
//         E2(x) = 1 - x (psi(2) - ln x) - sum over k >= 2 of (-x)^k / (k! (k - 1)),
//     psi(2) = 1 - Euler's constant; the non-logarithmic part is carried negated in S, which
//     starts at -1. The terms (-x)^k / k! are formed by the recurrence term = term * (-x) / k
//     and the sum stops at the first term with |term / S| <= 2^-56 (about twenty at x = 1);
//   - 1 < x <= 88.02969193111305: the continued fraction
//         E2(x) = exp(-x) / (x + 2 / (1 + 1 / (x + 3 / (1 + 2 / (x + 4 / (1 + ...)))))),
//     evaluated forwards through the three-term recurrence of the numerators P and
//     denominators Q of its convergents, until two successive convergents differ by a relative
//     2^-56 or less (a little over two hundred steps just above 1, a dozen near the upper
//     limit). When |P| exceeds 2^57 the last two numerators and denominators are multiplied by
//     2^-57, a power of two, so that their ratios are unchanged and they stay finite;
//   - x > 88.02969193111305 (= 127 ln 2): E2 is taken as 0; x = 0: E2 is exactly 1.
// The two branches agree at x = 1 to the last digit or two.
//
// Domain: x >= 0. For x negative or NaN, expn2 returns +infinity; xi then yields an infinity
// with the sign of gamma (1 - tau^2 / 2), or NaN when that factor is 0 or x is NaN. Nothing
// here prints: the overload of xi that takes a callback hands the offending x to it, and the
// caller decides how to report it.
//
// References:
//   - M. Abramowitz and I. A. Stegun, Handbook of Mathematical Functions (1964), 5.1.12
//     (series) and 5.1.22 (continued fraction).
//   - S. L. Moshier, Cephes Math Library (expn.c), for the forward evaluation of the fraction.
//   - T. Guillot, A&A 520, A27 (2010); M. R. Line et al., ApJ 775, 137 (2013), for xi.
#pragma once

#include <cmath>
#include <limits>

#include "exokern/exp.hpp"

namespace exokern {

namespace detail {

// Above this argument E2 is taken as 0 (127 ln 2; E2(88) is about 6.7e-41).
constexpr double expn2_upper = 88.02969193111305;
// Continued-fraction rescaling: threshold 2^57 on |P| and the exact factor 2^-57.
constexpr double expn2_big = 144115188075855872.0;
constexpr double expn2_biginv = 1.0 / 144115188075855872.0;
// Stopping bound of both loops, 2^-56.
constexpr double expn2_tol = 1.0 / 72057594037927936.0;
// psi(2) = 1 - Euler's constant.
constexpr double psi2 = 0.42278433509846713;
constexpr double two_thirds = 2.0 / 3.0;

static_assert(expn2_big == 0x1p57 && expn2_biginv == 0x1p-57 && expn2_tol == 0x1p-56,
              "rescaling and tolerance are exact powers of two");

// E2(x) for 1 < x <= expn2_upper by the continued fraction (see top).
EXOKERN_ALWAYS_INLINE double expn2_fraction(double x) noexcept {
    double pprev = 1.0, qprev = x;
    double p = 1.0, q = x + 2.0;
    double f = 1.0 / (x + 2.0);
    long k = 1;
    double d;
    do {
        ++k;
        // Partial numerators and denominators (1, x), (3, 1), (2, x), (4, 1), (3, x), ...
        double a, b;
        if (k % 2 == 0) {
            a = double(k / 2);
            b = x;
        } else {
            a = double(2 + (k - 1) / 2);
            b = 1.0;
        }
        double pnew = b * p + a * pprev;
        double qnew = b * q + a * qprev;
        if (qnew != 0.0) {
            const double fnew = pnew / qnew;
            d = std::fabs((f - fnew) / fnew);
            f = fnew;
        } else {
            d = 1.0;
        }
        if (std::fabs(pnew) > expn2_big) {
            p *= expn2_biginv;
            q *= expn2_biginv;
            pnew *= expn2_biginv;
            qnew *= expn2_biginv;
        }
        pprev = p;
        qprev = q;
        p = pnew;
        q = qnew;
    } while (d > expn2_tol);
    return f * exokern::exp(-x);
}

// E2(x) for 0 < x <= 1 by the ascending series (see top).
EXOKERN_ALWAYS_INLINE double expn2_series(double x) noexcept {
    double term = 1.0;
    double s = -1.0;
    long k = 0, m = -1;
    double d;
    do {
        ++k;
        term = (term * -x) / double(k);
        // m = k - 1; the k = 1 term belongs to the logarithmic part.
        ++m;
        if (m != 0) s += term / double(m);
        // The change is measured by the term itself, not by term / m.
        d = s != 0.0 ? std::fabs(term / s) : 1.0;
    } while (d > expn2_tol);
    // Gamma(2) = 1 exactly; it is kept as the general series' factor 1 / Gamma(n).
    return ((psi2 - std::log(x)) * -x) / std::tgamma(2.0) - s;
}

// The xi term for E = E2(x), x = tau * gamma.
EXOKERN_ALWAYS_INLINE double xi_from(double gamma, double tau, double x, double e2) noexcept {
    const double e = exokern::exp(-tau * gamma);
    const double a = gamma - (0.5 * tau * tau) * gamma;
    const double b = (1.0 + (x * 0.5) * e - e) / gamma;
    return two_thirds * (b + a * e2) + two_thirds;
}

}  // namespace detail

// True when x lies outside the domain of E2 (negative or NaN).
constexpr bool expn2_domain_error(double x) noexcept { return !(x >= 0.0); }

// Second exponential integral E2(x); +infinity outside the domain (see top).
EXOKERN_ALWAYS_INLINE double expn2(double x) noexcept {
    if (expn2_domain_error(x)) return std::numeric_limits<double>::infinity();
    if (x > detail::expn2_upper) return 0.0;
    if (x == 0.0) return 1.0;
    if (x > 1.0) return detail::expn2_fraction(x);
    return detail::expn2_series(x);
}

// xi(gamma, tau) (see top). When gamma * tau is outside the domain of E2, calls
// domain_error(gamma * tau) once before going on with E2 = +infinity.
template <class DomainError>
EXOKERN_ALWAYS_INLINE double xi(double gamma, double tau, DomainError&& domain_error) noexcept {
    const double x = tau * gamma;
    if (expn2_domain_error(x)) domain_error(x);
    return detail::xi_from(gamma, tau, x, expn2(x));
}

// xi(gamma, tau) without a report of domain errors.
inline double xi(double gamma, double tau) noexcept {
    return xi(gamma, tau, [](double) noexcept {});
}

}  // namespace exokern
