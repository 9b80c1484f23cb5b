#pragma once

#include <cstdint>

// In-place real DFT of n doubles; n a power of two, n >= 2.
//
// Forward (isgn >= 0): a[] holds x[0..n-1] in and the packed spectrum out:
//   a[0] = R[0], a[1] = R[n/2], a[2k] = R[k], a[2k+1] = I[k] for 0 < k < n/2,
//   R[k] = sum_j x[j] cos(2 pi j k / n),  I[k] = sum_j x[j] sin(2 pi j k / n).
// Inverse (isgn < 0): takes that layout and gives
//   y[j] = (R[0] + R[n/2] (-1)^j) / 2 + sum_{0<k<n/2} (R[k] cos(2 pi j k / n) + I[k] sin(...)).
// Neither direction scales: forward then inverse returns n/2 times the input.
//
// ip: work area of at least 2 + sqrt(n/2) ints; w: table of at least n/2 doubles.
// ip[0] and ip[1] must be 0 (tables unbuilt) or as an earlier call on the same arrays
// left them. The first call builds the tables; calls of the same or a smaller size
// reuse them; a larger size rebuilds them. Touches nothing but a, ip and w;
// allocates nothing; no state of its own but the choice of path below (one thread
// per table at a time).
void rdft(int32_t n, int32_t isgn, double* a, int* ip, double* w);

// Two implementations of the same transform, same tables, same results to rounding:
// the baseline (SSE2 on x86-64, NEON on ARM64, plain C++ elsewhere) and, built on
// x86-64 only, one that uses AVX2 and FMA. rdft picks once, on its first call, the
// AVX2 path when the processor has both features, else the baseline.
enum class RdftPath { baseline, avx2 };

// The path rdft uses (choosing it now if no call has chosen it yet).
RdftPath rdftPath();
// Whether the AVX2 path is built in and this processor can run it.
bool rdftAvx2Available();
// Magnitudes of packed spectra, on the same path as rdft (the square roots are the
// cost; AVX2 takes four at a time). Same results on both paths: products and sums
// are not fused.
//   out[m] = scale * sqrt(x[2m]^2 + x[2m+1]^2) for m in [0, count)
void spectrumMagnitudes(const double* x, int32_t count, double scale, double* out);
//   x[2m] = sqrt(x[2m]^2 + x[2m+1]^2), x[2m+1] = 0 for m in [0, count)
void spectrumMagnitudesInPlace(double* x, int32_t count);

// Sums of sines for a short synthesised period, on the same path as rdft:
//   dst[j] = sum over m < harmonics of amp[m] * sines[m * stride + j], j < count,
// summed in order of m (the AVX2 path fuses the products into the sums, so the two
// paths agree to rounding). stride is a multiple of 8, at least count, and sines
// holds harmonics * stride values (those past count are read, not used).
void sineSums(const double* sines, int32_t stride, const double* amp, int32_t harmonics, int32_t count,
              double* dst);

// For tests and benchmarks: makes rdft use path p from now on. Returns false, and
// changes nothing, when p is avx2 and rdftAvx2Available() is false. Not for use
// while another thread is inside rdft.
bool rdftUsePath(RdftPath p);
