// Extinction from tabulated cross sections: every source's table interpolated at every layer's
// state and weighted by the source's density, added into the extinction.
//
// Formula. The table holds rows of values on the wavenumber grid (one row per node of the
// source's own axes: temperature, and pressure for molecular cross sections). A term k joins a
// layer and a source: four rows r0..r3 of the table and two weights, wt and wp, chosen by the
// caller, and a density n[k]. At every wavenumber j
//     lo    = T[r0][j] + wt * (T[r1][j] - T[r0][j])      (T[r0][j] itself where r1 = r0)
//     hi    = T[r2][j] + wt * (T[r3][j] - T[r2][j])
//     sigma = lo + wp * (hi - lo)                          (lo itself where r2 = r0, r3 = r1)
//     ext[l][j] = ext[l][j] + n[k] * sigma
// bilinear interpolation between the nodes (r0, r1 at the lower pressure node and the two
// temperature nodes, r2, r3 at the upper one). A source with one pressure node passes r2 = r0
// and r3 = r1, one with no temperature axis (or a layer clamped to a node) r1 = r0: for finite
// values the shortened forms are the full formula's results (x + w * 0 = x), and their rows are
// read once. The terms of layer l are k = s L + l for the sources s = 0 .. S - 1 (L layers),
// added in increasing s: that order, element by element, is the result's on every path.
//
// Method. Blocks of wavenumbers outside, layers inside: a block of every row the terms use
// stays in cache while the layers go through it, so the tables' bytes come from memory once per
// call. Within a block, the running extinction of a few wavenumbers stays in registers while
// every source of the layer is added to it. On AVX2 and AVX-512 the wavenumbers go in lanes
// (tables_lanes.inc), each lane the scalar loop's operations in its order (no fused
// multiply-add); other layouts than contiguous rows take the strided loop.
#pragma once

#include <algorithm>

#include "exokern/simd.hpp"
#include "exokern/strided.hpp"

namespace exokern {

namespace detail {

// Wavenumbers per block: 256 samples of the ~100 distinct rows of a model (200 kB) stay in L2.
constexpr index_t table_block = 256;
// Sources gathered at a time: their terms for one layer.
constexpr index_t table_chunk = 64;

struct TableTerm {
    const double* row[4];
    double wt, wp, n;
    bool one_t, one_p;  // r1 = r0; r2, r3 = r0, r1
};

inline double table_sigma(const TableTerm& t, index_t j) noexcept {
    const double a = t.row[0][j];
    const double lo = t.one_t ? a : a + t.wt * (t.row[1][j] - a);
    if (t.one_p) return lo;
    const double c = t.row[2][j];
    const double hi = t.one_t ? c : c + t.wt * (t.row[3][j] - c);
    return lo + t.wp * (hi - lo);
}

// Wavenumbers j0 .. j1-1 of a contiguous row `e`: every term added, in order.
inline void table_terms(double* e, const TableTerm* terms, index_t count, index_t j0,
                        index_t j1) noexcept {
    for (index_t j = j0; j < j1; ++j) {
        double acc = e[j];
        for (index_t s = 0; s < count; ++s) acc = acc + terms[s].n * table_sigma(terms[s], j);
        e[j] = acc;
    }
}

}  // namespace detail
}  // namespace exokern

#define EXOKERN_LANES "exokern/tables_lanes.inc"
#include "exokern/every_path.inc"

namespace exokern {

// Adds every term's interpolated, weighted row into `ext` (L layers x W wavenumbers; the table
// has at least W columns). `rows` holds 4 row indices per term, `weights` (wt, wp) per term,
// `density` one value per term; there are S L terms. Every index must be a row of `table`.
inline void table_extinction(Mat<double> ext, Mat<const double> table, Vec<const int> rows,
                             Vec<const double> weights, Vec<const double> density) noexcept {
    using detail::TableTerm;
    const index_t layers = ext.rows, width = ext.cols;
    if (layers <= 0 || width <= 0) return;
    const index_t sources = density.n / layers;
    if (sources <= 0) return;
    auto term = [&](index_t s, index_t l) {
        const index_t k = s * layers + l;
        const int r0 = rows[4 * k], r1 = rows[4 * k + 1];
        const int r2 = rows[4 * k + 2], r3 = rows[4 * k + 3];
        TableTerm t{{table.row(r0), table.row(r1), table.row(r2), table.row(r3)},
                    weights[2 * k], weights[2 * k + 1], density[k], r1 == r0,
                    r2 == r0 && r3 == r1};
        return t;
    };
    if (!(ext.rows_contiguous() && table.rows_contiguous())) {
        for (index_t l = 0; l < layers; ++l)
            for (index_t j = 0; j < width; ++j) {
                double acc = ext(l, j);
                for (index_t s = 0; s < sources; ++s) {
                    const index_t k = s * layers + l;
                    const int r0 = rows[4 * k], r1 = rows[4 * k + 1];
                    const int r2 = rows[4 * k + 2], r3 = rows[4 * k + 3];
                    const double wt = weights[2 * k], wp = weights[2 * k + 1];
                    const double a = table(r0, j);
                    const double lo = r1 == r0 ? a : a + wt * (table(r1, j) - a);
                    double sigma = lo;
                    if (!(r2 == r0 && r3 == r1)) {
                        const double c = table(r2, j);
                        const double hi = r1 == r0 ? c : c + wt * (table(r3, j) - c);
                        sigma = lo + wp * (hi - lo);
                    }
                    acc = acc + density[k] * sigma;
                }
                ext(l, j) = acc;
            }
        return;
    }
    [[maybe_unused]] const Simd path = simd_path();
    TableTerm terms[detail::table_chunk];
    for (index_t j0 = 0; j0 < width; j0 += detail::table_block) {
        const index_t j1 = std::min(width, j0 + detail::table_block);
        for (index_t l = 0; l < layers; ++l) {
            double* e = ext.row(l);
            for (index_t s0 = 0; s0 < sources; s0 += detail::table_chunk) {
                const index_t count = std::min(detail::table_chunk, sources - s0);
                for (index_t s = 0; s < count; ++s) terms[s] = term(s0 + s, l);
#if EXOKERN_X86_SIMD
                if (path == Simd::avx512) {
                    avx512::table_terms(e, terms, count, j0, j1);
                    continue;
                }
                if (path == Simd::avx2) {
                    avx2::table_terms(e, terms, count, j0, j1);
                    continue;
                }
#endif
                detail::table_terms(e, terms, count, j0, j1);
            }
        }
    }
}

}  // namespace exokern
