// The spectrum kernels on the AVX2 path (spectrumKernels.cpp picks them at run time):
// four magnitudes, or four samples of a sum of sines, per 256-bit vector.
//
// This file is compiled with -mavx2 -mfma on x86-64 only (dsp/CMakeLists.txt);
// elsewhere it is empty.

#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)

#include <immintrin.h>

namespace detail {

// Four magnitudes per step: x holds (re, im) pairs; not fused, so that the
// results are those of the baseline.
void magnitudesAvx2(const double* x, int count, double scale, double* out)
{
    const __m256d sc = _mm256_set1_pd(scale);
    int m = 0;
    for (; m + 4 <= count; m += 4) {
        // re0 im0 re1 im1 | re2 im2 re3 im3
        const __m256d a = _mm256_loadu_pd(x + 2 * m), b = _mm256_loadu_pd(x + 2 * m + 4);
        const __m256d aa = _mm256_mul_pd(a, a), bb = _mm256_mul_pd(b, b);
        const __m256d s = _mm256_hadd_pd(aa, bb);  // |0|^2 |2|^2 |1|^2 |3|^2
        const __m256d r = _mm256_mul_pd(_mm256_sqrt_pd(_mm256_permute4x64_pd(s, 0xD8)), sc);
        _mm256_storeu_pd(out + m, r);
    }
    for (; m < count; ++m) {
        const __m128d v = _mm_loadu_pd(x + 2 * m);
        const __m128d p = _mm_mul_pd(v, v);
        const __m128d t = _mm_add_sd(p, _mm_unpackhi_pd(p, p));
        out[m] = _mm_cvtsd_f64(_mm_mul_sd(_mm_sqrt_sd(t, t), _mm_set_sd(scale)));
    }
}

void magnitudesInPlaceAvx2(double* x, int count)
{
    int m = 0;
    for (; m + 4 <= count; m += 4) {
        const __m256d a = _mm256_loadu_pd(x + 2 * m), b = _mm256_loadu_pd(x + 2 * m + 4);
        const __m256d aa = _mm256_mul_pd(a, a), bb = _mm256_mul_pd(b, b);
        const __m256d s = _mm256_sqrt_pd(_mm256_hadd_pd(aa, bb));  // |0| |2| |1| |3|
        const __m256d z = _mm256_setzero_pd();
        _mm256_storeu_pd(x + 2 * m, _mm256_unpacklo_pd(s, z));      // |0| 0 |1| 0
        _mm256_storeu_pd(x + 2 * m + 4, _mm256_unpackhi_pd(s, z));  // |2| 0 |3| 0
    }
    for (; m < count; ++m) {
        const __m128d v = _mm_loadu_pd(x + 2 * m);
        const __m128d p = _mm_mul_pd(v, v);
        const __m128d t = _mm_add_sd(p, _mm_unpackhi_pd(p, p));
        _mm_storeu_pd(x + 2 * m, _mm_move_sd(_mm_setzero_pd(), _mm_sqrt_sd(t, t)));
    }
}

// Sixteen samples at a time where the stride allows (four accumulators, so the
// fused products do not wait on each other), else eight.
void sineSumsAvx2(const double* sines, int stride, const double* amp, int harmonics, int count, double* dst)
{
    auto put = [&](int j, __m256d v, int upto) {  // samples j .. j + 3 below upto
        if (j + 4 <= upto) {
            _mm256_storeu_pd(dst + j, v);
        } else {
            alignas(32) double t[4];
            _mm256_store_pd(t, v);
            for (int k = 0; j + k < upto; ++k)
                dst[j + k] = t[k];
        }
    };
    int j = 0;
    for (; j + 8 < count && j + 16 <= stride; j += 16) {
        const double* row = sines + j;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        for (int m = 0; m < harmonics; ++m, row += stride) {
            const __m256d b = _mm256_broadcast_sd(amp + m);
            s0 = _mm256_fmadd_pd(b, _mm256_loadu_pd(row), s0);
            s1 = _mm256_fmadd_pd(b, _mm256_loadu_pd(row + 4), s1);
            s2 = _mm256_fmadd_pd(b, _mm256_loadu_pd(row + 8), s2);
            s3 = _mm256_fmadd_pd(b, _mm256_loadu_pd(row + 12), s3);
        }
        put(j, s0, count);
        put(j + 4, s1, count);
        put(j + 8, s2, count);
        put(j + 12, s3, count);
    }
    for (; j < count; j += 8) {
        const double* row = sines + j;
        __m256d s0 = _mm256_setzero_pd(), s1 = s0;
        for (int m = 0; m < harmonics; ++m, row += stride) {
            const __m256d b = _mm256_broadcast_sd(amp + m);
            s0 = _mm256_fmadd_pd(b, _mm256_loadu_pd(row), s0);
            s1 = _mm256_fmadd_pd(b, _mm256_loadu_pd(row + 4), s1);
        }
        put(j, s0, count);
        if (j + 4 < count)
            put(j + 4, s1, count);
    }
}

}  // namespace detail

#endif
