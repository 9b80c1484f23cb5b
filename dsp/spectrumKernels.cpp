// The spectrum kernels on the baseline path, and the choice of path for each call.

#include "dsp/spectrumKernels.h"

#include "dsp/rdft_detail.h"

#include <cmath>

#if QM_RDFT_AVX2
namespace detail {
// spectrumKernels_avx2.cpp, compiled for AVX2 + FMA.
void magnitudesAvx2(const double* x, int count, double scale, double* out);
void magnitudesInPlaceAvx2(double* x, int count);
void sineSumsAvx2(const double* sines, int stride, const double* amp, int harmonics, int count, double* dst);
}  // namespace detail
#endif

namespace {

// Two doubles per vector (SSE2 on x86-64, NEON on ARM64).
typedef double doublePair __attribute__((vector_size(16)));

inline doublePair loadPair(const double* p)
{
    doublePair v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

void spectrumMagnitudes(const double* x, int32_t count, double scale, double* out)
{
#if QM_RDFT_AVX2
    if (detail::avx2PathChosen()) {
        detail::magnitudesAvx2(x, count, scale, out);
        return;
    }
#endif
    for (int32_t m = 0; m < count; ++m)
        out[m] = std::sqrt(x[2 * m] * x[2 * m] + x[2 * m + 1] * x[2 * m + 1]) * scale;
}

void spectrumMagnitudesInPlace(double* x, int32_t count)
{
#if QM_RDFT_AVX2
    if (detail::avx2PathChosen()) {
        detail::magnitudesInPlaceAvx2(x, count);
        return;
    }
#endif
    for (int32_t m = 0; m < count; ++m) {
        const double re = x[2 * m], im = x[2 * m + 1];
        x[2 * m] = std::sqrt(re * re + im * im);
        x[2 * m + 1] = 0;
    }
}

void sineSums(const double* sines, int32_t stride, const double* amp, int32_t harmonics, int32_t count,
              double* dst)
{
#if QM_RDFT_AVX2
    if (detail::avx2PathChosen()) {
        detail::sineSumsAvx2(sines, stride, amp, harmonics, count, dst);
        return;
    }
#endif
    // Eight samples at a time, two to a vector: independent sums instead of long
    // dependency chains.
    for (int32_t j = 0; j < count; j += 8) {
        const double* row = sines + j;
        doublePair s0{0, 0}, s1{0, 0}, s2{0, 0}, s3{0, 0};
        for (int32_t m = 0; m < harmonics; ++m, row += stride) {
            const doublePair b{amp[m], amp[m]};
            s0 += b * loadPair(row);
            s1 += b * loadPair(row + 2);
            s2 += b * loadPair(row + 4);
            s3 += b * loadPair(row + 6);
        }
        const double sums[8] = {s0[0], s0[1], s1[0], s1[1], s2[0], s2[1], s3[0], s3[1]};
        for (int32_t k = 0; k < 8 && j + k < count; ++k)
            dst[j + k] = sums[k];
    }
}
