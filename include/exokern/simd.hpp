// Vector lanes for the kernels that take exponentials, and the choice of path at run time.
//
// The modules are built for baseline x86-64 (a wheel must run on any x86-64 CPU). The vector
// code is compiled in target regions instead: functions defined between EXOKERN_BEGIN_AVX2 and
// EXOKERN_END_TARGET may use AVX2 and FMA, those between EXOKERN_BEGIN_AVX512 and
// EXOKERN_END_TARGET also AVX-512F, and they are only called once the CPU is known to have them.
// Each region gets its own copy of a kernel's lane code (a .inc file included in a namespace
// per region, with `V` the lane type of that region), so no function compiled for a newer CPU is
// shared with baseline code.
//
// The path: the widest the CPU supports, unless the environment variable EXOKERN_SIMD names one
// (scalar, avx2 or avx512), read when a module is imported. Every path gives the same bits.
// Elsewhere than GCC/Clang on x86-64, only the scalar path exists.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "exokern/exp.hpp"

namespace exokern {

enum class Simd : int { scalar = 0, avx2 = 1, avx512 = 2 };

inline const char* simd_name(Simd s) noexcept {
    switch (s) {
        case Simd::avx2: return "avx2";
        case Simd::avx512: return "avx512";
        default: return "scalar";
    }
}

// Whether this CPU (and its operating system) can run the path.
inline bool simd_supported(Simd s) noexcept {
    if (s == Simd::scalar) return true;
#if EXOKERN_X86_SIMD
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (s == Simd::avx2) return avx2;
    return avx2 && __builtin_cpu_supports("avx512f");
#else
    return false;
#endif
}

inline Simd simd_best() noexcept {
    if (simd_supported(Simd::avx512)) return Simd::avx512;
    if (simd_supported(Simd::avx2)) return Simd::avx2;
    return Simd::scalar;
}

// The path in use by this module; set at import (see the frame), read by the kernels, which
// may run in other threads while a benchmark switches it (any value set is one the CPU runs).
inline std::atomic<Simd>& simd_path() noexcept {
    static std::atomic<Simd> path{simd_best()};
    return path;
}

}  // namespace exokern

#if EXOKERN_X86_SIMD
#if defined(__clang__)
#define EXOKERN_BEGIN_AVX2 \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define EXOKERN_BEGIN_AVX512                                                              \
    _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx2,fma\"))), "       \
            "apply_to = function)")
#define EXOKERN_END_TARGET _Pragma("clang attribute pop")
#else
#define EXOKERN_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")
#define EXOKERN_BEGIN_AVX512 \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx2,fma\")")
#define EXOKERN_END_TARGET _Pragma("GCC pop_options")
#endif

EXOKERN_BEGIN_AVX2
namespace exokern::avx2 {

// Four lanes of doubles; a mask is a vector whose lanes are all ones or all zeros.
struct V {
    static constexpr int lanes = 4;
    using D = __m256d;
    using M = __m256d;

    static D load(const double* p) noexcept { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) noexcept { _mm256_storeu_pd(p, v); }
    static D set1(double v) noexcept { return _mm256_set1_pd(v); }
    static D zero() noexcept { return _mm256_setzero_pd(); }
    static D add(D a, D b) noexcept { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) noexcept { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) noexcept { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) noexcept { return _mm256_div_pd(a, b); }
    static D fma(D a, D b, D c) noexcept { return _mm256_fmadd_pd(a, b, c); }
    static D sqrt(D a) noexcept { return _mm256_sqrt_pd(a); }
    static D neg(D a) noexcept { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static D abs(D a) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    // m ? b : a, lane by lane
    static D select(M m, D b, D a) noexcept { return _mm256_blendv_pd(a, b, m); }
    // k < d[l] for the four int32 values at d
    static M below(int k, const int* d) noexcept {
        const D dv = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d)));
        return _mm256_cmp_pd(_mm256_set1_pd(double(k)), dv, _CMP_LT_OQ);
    }
    // Lanes where 2^-54 <= |x| < 512 (false for NaN), as a bit mask.
    static unsigned regular(D x) noexcept {
        const D ax = abs(x);
        const D ok = _mm256_and_pd(_mm256_cmp_pd(ax, set1(detail::exp_tiny), _CMP_GE_OQ),
                                   _mm256_cmp_pd(ax, set1(detail::exp_large), _CMP_LT_OQ));
        return unsigned(_mm256_movemask_pd(ok));
    }
    // a > b lane by lane (false for NaN); masks combined; a mask as one bit per lane.
    static M greater(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    // a != b (true for NaN, as C++'s !=)
    static M unequal(D a, D b) noexcept { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    static M both(M a, M b) noexcept { return _mm256_and_pd(a, b); }
    static M but(M a, M b) noexcept { return _mm256_andnot_pd(b, a); }
    static unsigned lanes_of(M m) noexcept { return unsigned(_mm256_movemask_pd(m)); }
    static M none() noexcept { return _mm256_setzero_pd(); }
    static M every() noexcept { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
    static constexpr unsigned all = 0xfu;

    // (tail, sbits) of the table for the four indices ki % 128: one 16-byte load per lane.
    static __m128d pair(std::uint64_t k) noexcept {
        return _mm_load_pd(reinterpret_cast<const double*>(detail::exp_table + 2 * (k % 128)));
    }
    static void table(const std::uint64_t* ki, D& tail, __m256i& hi) noexcept {
        const D a = _mm256_set_m128d(pair(ki[2]), pair(ki[0]));  // t0 s0 t2 s2
        const D b = _mm256_set_m128d(pair(ki[3]), pair(ki[1]));  // t1 s1 t3 s3
        tail = _mm256_unpacklo_pd(a, b);
        hi = _mm256_castpd_si256(_mm256_unpackhi_pd(a, b));
    }
    static __m256i bits(D v) noexcept { return _mm256_castpd_si256(v); }
    static D from_bits(__m256i v) noexcept { return _mm256_castsi256_pd(v); }
    static __m256i add64(__m256i a, __m256i b) noexcept { return _mm256_add_epi64(a, b); }
    static __m256i shl45(__m256i a) noexcept { return _mm256_slli_epi64(a, 45); }
    static void store_bits(std::uint64_t* p, __m256i v) noexcept {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
};

#include "exokern/exp_lanes.inc"

}  // namespace exokern::avx2
EXOKERN_END_TARGET

EXOKERN_BEGIN_AVX512
namespace exokern::avx512 {

// Eight lanes of doubles; a mask is a bit per lane.
struct V {
    static constexpr int lanes = 8;
    using D = __m512d;
    using M = __mmask8;

    static D load(const double* p) noexcept { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) noexcept { _mm512_storeu_pd(p, v); }
    static D set1(double v) noexcept { return _mm512_set1_pd(v); }
    static D zero() noexcept { return _mm512_setzero_pd(); }
    static D add(D a, D b) noexcept { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) noexcept { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) noexcept { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) noexcept { return _mm512_div_pd(a, b); }
    static D fma(D a, D b, D c) noexcept { return _mm512_fmadd_pd(a, b, c); }
    static D sqrt(D a) noexcept { return _mm512_sqrt_pd(a); }
    static D neg(D a) noexcept {
        return _mm512_castsi512_pd(_mm512_xor_si512(
            _mm512_castpd_si512(a), _mm512_set1_epi64(std::int64_t(0x8000000000000000u))));
    }
    static D abs(D a) noexcept { return _mm512_abs_pd(a); }
    static D select(M m, D b, D a) noexcept { return _mm512_mask_blend_pd(m, a, b); }
    static M below(int k, const int* d) noexcept {
        const D dv =
            _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(d)));
        return _mm512_cmp_pd_mask(_mm512_set1_pd(double(k)), dv, _CMP_LT_OQ);
    }
    static unsigned regular(D x) noexcept {
        const D ax = abs(x);
        return unsigned(_mm512_cmp_pd_mask(ax, set1(detail::exp_tiny), _CMP_GE_OQ) &
                        _mm512_cmp_pd_mask(ax, set1(detail::exp_large), _CMP_LT_OQ));
    }
    static M greater(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M unequal(D a, D b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    static M both(M a, M b) noexcept { return M(a & b); }
    static M but(M a, M b) noexcept { return M(a & ~b); }
    static unsigned lanes_of(M m) noexcept { return unsigned(m); }
    static M none() noexcept { return M(0); }
    static M every() noexcept { return M(0xff); }
    static constexpr unsigned all = 0xffu;

    static __m128d pair(std::uint64_t k) noexcept {
        return _mm_load_pd(reinterpret_cast<const double*>(detail::exp_table + 2 * (k % 128)));
    }
    static D join(__m256d lo, __m256d hi4) noexcept {
        return _mm512_insertf64x4(_mm512_castpd256_pd512(lo), hi4, 1);
    }
    static void table(const std::uint64_t* ki, D& tail, __m512i& hi) noexcept {
        const __m256d a0 = _mm256_set_m128d(pair(ki[2]), pair(ki[0]));
        const __m256d b0 = _mm256_set_m128d(pair(ki[3]), pair(ki[1]));
        const __m256d a1 = _mm256_set_m128d(pair(ki[6]), pair(ki[4]));
        const __m256d b1 = _mm256_set_m128d(pair(ki[7]), pair(ki[5]));
        tail = join(_mm256_unpacklo_pd(a0, b0), _mm256_unpacklo_pd(a1, b1));
        hi = _mm512_castpd_si512(join(_mm256_unpackhi_pd(a0, b0), _mm256_unpackhi_pd(a1, b1)));
    }
    static __m512i bits(D v) noexcept { return _mm512_castpd_si512(v); }
    static D from_bits(__m512i v) noexcept { return _mm512_castsi512_pd(v); }
    static __m512i add64(__m512i a, __m512i b) noexcept { return _mm512_add_epi64(a, b); }
    static __m512i shl45(__m512i a) noexcept { return _mm512_slli_epi64(a, 45); }
    static void store_bits(std::uint64_t* p, __m512i v) noexcept {
        _mm512_storeu_si512(reinterpret_cast<void*>(p), v);
    }
};

#include "exokern/exp_lanes.inc"

}  // namespace exokern::avx512
EXOKERN_END_TARGET
#endif  // EXOKERN_X86_SIMD

#include "exokern/strided.hpp"

namespace exokern {

// out[i] = exp(x[i]) for every element, on the module's path (the exponential on its own, for
// tests and benchmarks). Needs out.n >= x.n.
inline void exp_array(Vec<const double> x, Vec<double> out) noexcept {
#if EXOKERN_X86_SIMD
    const Simd path = simd_path();
    if (x.unit() && out.unit()) {
        if (path == Simd::avx512) return avx512::exp_array(x.ptr(), out.ptr(), x.n);
        if (path == Simd::avx2) return avx2::exp_array(x.ptr(), out.ptr(), x.n);
    }
#endif
    for (index_t i = 0; i < x.n; ++i) out[i] = exokern::exp(x[i]);
}

}  // namespace exokern
