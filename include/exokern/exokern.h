/*
 * exokern.h: the native functions exported by the exokern extension modules.
 *
 * Native callers reach them by loading the module's shared library (for example with dlopen
 * on the file of exokern._quadra) and looking the unmangled names up; nothing here needs
 * Python.h. Arrays are passed as the numpy.ndarray objects themselves (PyObject *, declared
 * here through CPython's struct tag) and are read through their data pointer, dimensions and
 * byte strides, so sliced, transposed and reversed views work.
 *
 * None of these functions checks anything, raises a Python exception or takes the interpreter
 * lock; each states what its caller guarantees. They keep no state and are re-entrant as long
 * as no other thread writes the arrays they use. Unless stated otherwise a float64 array holds
 * native-order 64-bit doubles and an int32 array 32-bit ints (numpy.intc); indices and counts
 * are 32-bit.
 *
 * Which library exports what:
 *   _quadra and _alkali: pyramidsearch, binsearchapprox, valueinarray, imax, resample,
 *                        linterp, downsample, tdiff, itrapz, msg (one library, linked into both)
 *   _simpson:            simpson, simpson2
 *   _kelvo:              xi
 */
#ifndef EXOKERN_EXOKERN_H
#define EXOKERN_EXOKERN_H

#if defined(_WIN32)
#define EXOKERN_API __declspec(dllexport)
#else
#define EXOKERN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct _object; /* PyObject: a numpy.ndarray wherever an array is asked for */

/* ---- Nearest-sample searches (_quadra, _alkali) -------------------------------------- */

/* Index in [lo, hi] of the sample of the 1-D float64 `array` nearest to `value`, ties to the
 * lower index: gallops from lo with doubling steps, then bisects, so it costs the log of the
 * distance from lo to the answer. Requires 0 <= lo <= hi < len(array) and the samples lo..hi
 * in non-decreasing order; a value below array[lo] gives lo, above array[hi] or NaN gives hi;
 * on a run of equal samples it settles on the first one. */
EXOKERN_API int pyramidsearch(struct _object *array, int lo, int hi, double value);

/* Same answer as pyramidsearch for strictly increasing samples and finite values, by plain
 * bisection of [lo, hi]; on a run of equal samples it settles on the last one, and a value of
 * +infinity ties between the last two samples and gives hi - 1. Same requirements. */
EXOKERN_API int binsearchapprox(struct _object *array, int lo, int hi, double value);

/* Index of the first of the n leading elements of the 1-D int32 `array` equal to `value`, or
 * -1. Requires n <= len(array); n <= 0 reads nothing and gives -1. */
EXOKERN_API int valueinarray(struct _object *array, int value, int n);

/* Index of the first largest element of the 1-D int32 `array`; 0 for an empty array. */
EXOKERN_API int imax(struct _object *array);

/* ---- Row resampling (_quadra, _alkali) --------------------------------------------------
 * rows[row] points at the first of that row's contiguous doubles; `out` is a 2-D float64
 * array of which row `row` receives the result. Each returns 0. */

/* out[row, k] = y[k * step] for k = 0 .. (n - 1) / step, overwriting. Requires room for
 * (n - 1) / step + 1 elements in the output row; writes nothing when n < 1 or step < 1. */
EXOKERN_API int resample(double **rows, struct _object *out, int n, int step, int row);

/* out[row, k] += linear interpolation at x[k] (1-D float64 array, K = len(x)) of the row
 * sampled at x0 + j * dx. Reads y[j] and y[j + 1] with j = trunc((x[k] - x0) * (1 / dx)) as
 * computed in double precision, so a row of L samples requires dx != 0 and that computed
 * j <= L - 2 for every k. Testing x[k] < x0 + (L - 1) * dx is not enough: the rounded product
 * can reach L - 1 below that bound (dx = 0.1, x0 = 0, L = 4, x = 0.3 gives j = 3). Positions
 * less than one spacing below x0 truncate to j = 0 and extrapolate from y[0] and y[1]. */
EXOKERN_API int linterp(double **rows, struct _object *out, struct _object *x, int row, double x0,
                        double dx);

/* out[row, i] += the row reduced by `factor` with an averaging kernel (a plain mean for odd
 * factors, half-weighted end samples for even ones), for i = 0 .. (n - 1) / factor. Requires
 * room for (n - 1) / factor + 1 elements in the output row. Writes nothing when n < 1 or
 * factor < 1; a row of n <= factor samples adds its plain mean to out[row, 0]. */
EXOKERN_API int downsample(double **rows, struct _object *out, int n, int factor, int row);

/* ---- Layer kernels and messages (_quadra, _alkali) ------------------------------------ */

/* out[k - first] = exp(-tau[k+1, col] / mu) - exp(-tau[k, col] / mu) for k = first .. last-1
 * (each exponent formed with the reciprocal 1/mu); writes nothing when last - first < 1.
 * `out` is a 1-D float64 array of at least last - first elements, `tau` a 2-D float64 array
 * with rows first .. last and column col. Returns 1. */
EXOKERN_API int tdiff(struct _object *out, struct _object *tau, int first, int last, int col,
                      double mu);

/* 0.5 * sum over k = first .. last-1 of (data[k, col] + data[k+1, col]) * intervals[k - first],
 * the terms added in increasing k; 0.0 when last - first < 1. `data` is a 2-D float64 array
 * with rows first .. last and column col, `intervals` a 1-D float64 array of at least
 * last - first elements (as tdiff writes them). */
EXOKERN_API double itrapz(struct _object *data, struct _object *intervals, int first, int last,
                          int col);

/* If verb >= 0: appends the printf-formatted text to the NUL-terminated `buffer` and prints
 * the same text on standard output (not flushed). Requires room in `buffer` for the text and
 * its NUL; the length is not bounded. Returns 0. */
EXOKERN_API int msg(int verb, char *buffer, const char *format, ...);

/* ---- Simpson kernels (_simpson) ----------------------------------------------------------
 * Differentials as geth gives them for an even number of intervals: entry j describes the
 * intervals under samples 2j, 2j+1, 2j+2. */

/* (sum over the (n - 1) / 2 pairs j of hsum[j] * ((2 - 1/hratio[j]) * y[2j]
 * + hfactor[j] * y[2j+1] + (2 - hratio[j]) * y[2j+2])) * (1/6); 0.0 when n <= 2. All arrays
 * 1-D float64; y has at least n elements, the differentials (n - 1) / 2. */
EXOKERN_API double simpson(struct _object *y, struct _object *hsum, struct _object *hratio,
                           struct _object *hfactor, int n);

/* The same sum down column i of the 2-D float64 array y (at least n rows). */
EXOKERN_API double simpson2(struct _object *y, struct _object *hsum, struct _object *hratio,
                            struct _object *hfactor, int n, int i);

/* ---- Temperature-profile term (_kelvo) ------------------------------------------------ */

/* xi(gamma, tau) = 2/3 + 2/3 * [(1 + (gamma tau / 2 - 1) exp(-gamma tau)) / gamma
 *                               + gamma (1 - tau^2 / 2) E2(gamma tau)],
 * with E2 the second exponential integral. For gamma * tau negative or NaN it prints
 * "Domain error, x (...) must be >= 0." on standard output and returns a non-finite value. */
EXOKERN_API double xi(double gamma, double tau);

#ifdef __cplusplus
}
#endif

#endif /* EXOKERN_EXOKERN_H */
