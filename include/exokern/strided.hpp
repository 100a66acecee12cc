// Strided views: the one way the kernels see arrays.
//
// A view is a data pointer, lengths and byte strides, exactly what a numpy array carries, so one
// kernel body serves contiguous, sliced, transposed and reversed arrays alike. Views own nothing
// and check nothing; whoever builds one vouches that every index the kernel uses is inside the
// memory it describes. Element type `T` is `const double` for arrays that are only read and
// `double` (or `int`, the 32-bit numpy.intc) for arrays that are written.
#pragma once

#include <cstddef>
#include <type_traits>

namespace exokern {

using index_t = std::ptrdiff_t;

namespace detail {
template <class T>
using byte_ptr = std::conditional_t<std::is_const_v<T>, const char*, char*>;
}  // namespace detail

// One-dimensional view: element i lies `stride` bytes times i behind `data`.
template <class T>
struct Vec {
    detail::byte_ptr<T> data = nullptr;
    index_t n = 0;
    index_t stride = sizeof(T);

    T& operator[](index_t i) const noexcept { return *reinterpret_cast<T*>(data + i * stride); }
    bool unit() const noexcept { return stride == index_t(sizeof(T)); }
    // Address of element 0 when the view is contiguous (unit() holds).
    T* ptr() const noexcept { return reinterpret_cast<T*>(data); }

    // A read-only view of the same elements.
    operator Vec<const T>() const noexcept { return {data, n, stride}; }
};

// Two-dimensional view: element (i, j) lies i * rstride + j * cstride bytes behind `data`.
// The first index is the row (layer, or sample along the integration axis), the second the
// column (wavelength).
template <class T>
struct Mat {
    detail::byte_ptr<T> data = nullptr;
    index_t rows = 0;
    index_t cols = 0;
    index_t rstride = 0;
    index_t cstride = sizeof(T);

    T& operator()(index_t i, index_t j) const noexcept {
        return *reinterpret_cast<T*>(data + i * rstride + j * cstride);
    }
    // Row i as a contiguous run of elements, when the columns are adjacent.
    bool rows_contiguous() const noexcept { return cstride == index_t(sizeof(T)); }
    T* row(index_t i) const noexcept { return reinterpret_cast<T*>(data + i * rstride); }
    Vec<T> column(index_t j) const noexcept { return {data + j * cstride, rows, rstride}; }

    operator Mat<const T>() const noexcept { return {data, rows, cols, rstride, cstride}; }
};

}  // namespace exokern
