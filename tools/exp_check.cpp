// Compares exokern's exponential, on every path this CPU runs, with the C library's exp over
// `count` arguments (default 10^9) and prints the mismatch count of each path. Built and run by
// tools/exp_check.py. The arguments, in chunks of 2^20, cycle through: uniform on [-750, 10],
// on [-1, 1] and on [-1100, 1100]; -tau/mu with tau up to 10^3 and mu in [0.01, 1]; random bit
// patterns (NaNs, infinities, subnormals); runs of consecutive doubles around 0, 2^-54, 512,
// 1024, the overflow threshold 709.78 and the subnormal thresholds -708.40 and -745.13 (both
// signs); and steps of 1/1024 from -1100.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "exokern/simd.hpp"

namespace {

std::uint64_t state = 0x9e3779b97f4a7c15u;
std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}
double uniform(double lo, double hi) { return lo + (hi - lo) * double(next() >> 11) * 0x1p-53; }

void fill(std::vector<double>& x, std::uint64_t chunk) {
    static const double edges[] = {0.0, 0x1p-54, 512.0, 1024.0, 709.782712893384,
                                   -708.3964185322641, -745.1332191019411};
    const std::size_t n = x.size();
    switch (chunk % 8) {
        case 0: for (auto& v : x) v = uniform(-750.0, 10.0); break;
        case 1: for (auto& v : x) v = uniform(-1.0, 1.0); break;
        case 2: for (auto& v : x) v = uniform(-1100.0, 1100.0); break;
        case 3: for (auto& v : x) v = -uniform(0.0, 1e3) / uniform(0.01, 1.0); break;
        case 4:
            for (auto& v : x) {
                const std::uint64_t b = next();
                std::memcpy(&v, &b, sizeof v);
            }
            break;
        case 5: {  // consecutive doubles around an edge, walking outwards chunk after chunk
            const std::uint64_t k = chunk / 8;
            const double e = edges[k % 7] * ((k / 7) % 2 ? -1.0 : 1.0);
            std::uint64_t b;
            std::memcpy(&b, &e, sizeof b);
            const std::uint64_t offset = (k / 14) * n;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t c = (i % 2) ? b + offset + i / 2 : b - offset - i / 2;
                std::memcpy(&x[i], &c, sizeof c);
            }
            break;
        }
        case 6:
            for (std::size_t i = 0; i < n; ++i)
                x[i] = -1100.0 + double((chunk / 8 * n + i) % (2200 * 1024)) / 1024.0;
            break;
        default: for (auto& v : x) v = uniform(-50.0, 0.0); break;
    }
}

bool same(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y || (a != a && b != b);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000000u;
    double (*volatile libm_exp)(double) = ::exp;
    const std::size_t n = 1u << 20;
    std::vector<double> x(n), want(n), got(n);
    const exokern::Simd paths[] = {exokern::Simd::scalar, exokern::Simd::avx2,
                                   exokern::Simd::avx512};
    std::uint64_t bad[3] = {0, 0, 0}, done = 0;
    double first[3] = {0, 0, 0};
    for (std::uint64_t chunk = 0; done < count; ++chunk) {
        fill(x, chunk);
        for (std::size_t i = 0; i < n; ++i) want[i] = libm_exp(x[i]);
        for (int p = 0; p < 3; ++p) {
            if (!exokern::simd_supported(paths[p])) continue;
            exokern::simd_path() = paths[p];
            exokern::exp_array({reinterpret_cast<const char*>(x.data()), exokern::index_t(n)},
                               {reinterpret_cast<char*>(got.data()), exokern::index_t(n)});
            for (std::size_t i = 0; i < n; ++i)
                if (!same(got[i], want[i]) && bad[p]++ == 0) first[p] = x[i];
        }
        done += n;
    }
    int status = 0;
    for (int p = 0; p < 3; ++p) {
        if (!exokern::simd_supported(paths[p])) {
            std::printf("%-7s not run (this CPU lacks it)\n", exokern::simd_name(paths[p]));
            continue;
        }
        std::printf("%-7s %llu mismatches in %llu arguments", exokern::simd_name(paths[p]),
                    static_cast<unsigned long long>(bad[p]),
                    static_cast<unsigned long long>(done));
        if (bad[p]) std::printf(" (first at x = %a)", first[p]);
        std::printf("\n");
        status |= bad[p] != 0;
    }
    return status;
}
