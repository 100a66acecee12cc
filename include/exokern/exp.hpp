// exokern's exponential: one function, in scalar and in 4- and 8-lane forms, that every kernel
// taking an exponential calls, so that every code path of every kernel gives the same bits on
// every platform and CPU.
//
// The algorithm is the public one of ARM's optimized-routines (exp.c, MIT/Apache-2.0) in the
// exact operation sequence that glibc (2.28 and later) runs on x86-64 CPUs with FMA: with
// x = (k + r') ln2 / 128, k an integer and |r'| <= 1/2,
//     exp(x) = 2^(k / 128) * exp(r),   r = x - k ln2/128 (in two parts, hi and lo),
// 2^(k/128) = 2^(k >> 7) * H[k % 128] * (1 + tail[k % 128]) from a table, and
// exp(r) - 1 ~ r + C2 r^2 + C3 r^3 + C4 r^4 + C5 r^5. Every fused multiply-add below is one
// rounding, and each is where glibc has one: on such a machine these are glibc's bits exactly
// (0 mismatches over 10^9 inputs, tools/exp_check.py), elsewhere they are still these bits,
// which a platform's own exp does not promise.
//
// Ranges: |x| < 2^-54 gives 1 + x; 512 <= |x| < 1024 takes a careful path where the scale
// 2^(k/128) would leave the double range (with a correctly handled subnormal result); beyond,
// +inf or +0, and NaN gives NaN. Round-to-nearest is assumed; errno and the floating-point
// exception flags are not set.
//
// The vector forms run the main path in every lane and hand the rare lanes outside
// 2^-54 <= |x| < 512 (and NaN) to the scalar function, so they give the scalar bits in every
// lane by construction. They compile only with GCC or Clang on x86-64 (EXOKERN_X86_SIMD), inside
// the target regions of exokern/simd.hpp; elsewhere only the scalar form exists.
//
// Every file holding this arithmetic must be compiled without floating-point contraction and
// without fast-math (the build passes -ffp-contract=off, /fp:precise).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "exokern/exp_table.hpp"

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define EXOKERN_X86_SIMD 1
#include <immintrin.h>
#else
#define EXOKERN_X86_SIMD 0
#endif

#if defined(__GNUC__) || defined(__clang__)
#define EXOKERN_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define EXOKERN_ALWAYS_INLINE inline
#endif

namespace exokern {
namespace detail {

constexpr double exp_inv_ln2n = 0x1.71547652b82fep+7;  // 128 / ln 2
constexpr double exp_shift = 0x1.8p52;                  // rounds k to an integer in the low bits
constexpr double exp_neg_ln2hi_n = -0x1.62e42fefa0000p-8;
constexpr double exp_neg_ln2lo_n = -0x1.cf79abc9e3b3ap-47;
constexpr double exp_c2 = 0x1.ffffffffffdbdp-2;
constexpr double exp_c3 = 0x1.555555555543cp-3;
constexpr double exp_c4 = 0x1.55555cf172b91p-5;
constexpr double exp_c5 = 0x1.1111167a4d017p-7;
// The main path serves 2^-54 <= |x| < 512.
constexpr double exp_tiny = 0x1p-54;
constexpr double exp_large = 512.0;

EXOKERN_ALWAYS_INLINE double as_double(std::uint64_t u) noexcept {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}
EXOKERN_ALWAYS_INLINE std::uint64_t as_bits(double d) noexcept {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// 512 <= |x| < 1024: the scale's exponent is brought into range, the result formed, and the
// exponent restored by an exact multiplication; a subnormal result is rounded once.
inline double exp_special(double tmp, std::uint64_t sbits, std::uint64_t ki) noexcept {
    if ((ki & 0x80000000u) == 0) {
        const double s = as_double(sbits - (std::uint64_t(1009) << 52));
        return 0x1p1009 * std::fma(s, tmp, s);
    }
    const double s = as_double(sbits + (std::uint64_t(1022) << 52));
    const double st = s * tmp;
    double y = s + st;
    if (y < 1.0) {
        const double hi = 1.0 + y;
        double lo = (s - y) + st;
        lo = ((1.0 - hi) + y) + lo;
        y = (hi + lo) - 1.0;
        if (y == 0.0) y = 0.0;  // +0, not -0
    }
    return 0x1p-1022 * y;
}

}  // namespace detail

// e^x (see top).
EXOKERN_ALWAYS_INLINE double exp(double x) noexcept {
    using namespace detail;
    const std::uint64_t ix = as_bits(x);
    const std::uint32_t abstop = std::uint32_t(ix >> 52) & 0x7ff;
    bool special = false;
    if (abstop - 0x3c9u >= 0x408u - 0x3c9u) {
        if (abstop < 0x3c9u) return 1.0 + x;  // |x| < 2^-54
        if (abstop >= 0x409u) {               // |x| >= 1024, inf or NaN
            if (ix == as_bits(-INFINITY)) return 0.0;
            if (abstop >= 0x7ffu) return 1.0 + x;
            return (ix >> 63) ? 0.0 : INFINITY;
        }
        special = true;  // 512 <= |x| < 1024
    }
    const double kd0 = std::fma(x, exp_inv_ln2n, exp_shift);
    const std::uint64_t ki = as_bits(kd0);
    const double kd = kd0 - exp_shift;
    const double r = std::fma(kd, exp_neg_ln2lo_n, std::fma(kd, exp_neg_ln2hi_n, x));
    const std::uint64_t idx = 2 * (ki % 128);
    const double tail = as_double(exp_table[idx]);
    const std::uint64_t sbits = exp_table[idx + 1] + (ki << 45);
    const double r2 = r * r;
    const double tmp = std::fma(r2 * r2, std::fma(r, exp_c5, exp_c4),
                                std::fma(r2, std::fma(r, exp_c3, exp_c2), tail + r));
    if (special) return exp_special(tmp, sbits, ki);
    const double scale = as_double(sbits);
    return std::fma(scale, tmp, scale);
}

}  // namespace exokern
