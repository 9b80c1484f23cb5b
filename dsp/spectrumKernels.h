#pragma once
// The two vector kernels of the voice processing that are not the FFT, on the same
// path as rdft (rdft.h): the square roots of the magnitudes and the sums of sines
// are where the time goes, and AVX2 takes four at a time. Allocate nothing; any
// thread, on its own arrays.

#include <cstdint>

// Magnitudes of packed spectra. Same results on both paths: products and sums are
// not fused.
//   out[m] = scale * sqrt(x[2m]^2 + x[2m+1]^2) for m in [0, count)
void spectrumMagnitudes(const double* x, int32_t count, double scale, double* out);
//   x[2m] = sqrt(x[2m]^2 + x[2m+1]^2), x[2m+1] = 0 for m in [0, count)
void spectrumMagnitudesInPlace(double* x, int32_t count);

// Sums of sines for a short synthesised period:
//   dst[j] = sum over m < harmonics of amp[m] * sines[m * stride + j], j < count,
// summed in order of m (the AVX2 path fuses the products into the sums, so the two
// paths agree to rounding). stride is a multiple of 8, at least count, and sines
// holds harmonics * stride values (those past count are read, not used).
void sineSums(const double* sines, int32_t stride, const double* amp, int32_t harmonics, int32_t count,
              double* dst);
