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
// AVX2 path when the processor has both features, else the baseline. The spectrum
// kernels (spectrumKernels.h) follow the same choice. Tests force a path through
// rdft_testing.h.
enum class RdftPath { baseline, avx2 };

// The path rdft uses (choosing it now if no call has chosen it yet).
RdftPath rdftPath();
// Whether the AVX2 path is built in and this processor can run it.
bool rdftAvx2Available();
