#pragma once
// What the files of rdft share and nothing outside dsp/ needs: the table builders,
// the path choice as the hot code reads it, and each path's entry point.

namespace detail {

// Tables (rdft.cpp). Sizes as rdft.h states: w holds nw complex-table doubles, c
// (right after them) nc real-table doubles; ip[0] = nw, ip[1] = nc afterwards.
void makewt(int nw, int* ip, double* w);
void makeipt(int nw, int* ip);
void makect(int nc, int* ip, double* c);

// True when rdft and the spectrum kernels run the AVX2 path (rdft_path.cpp).
// Chooses on the first call; afterwards one relaxed atomic load.
bool avx2PathChosen();

// The transform after the table checks and before (forward) or after (inverse) the
// element 0 and 1 step: the complex transform and the real step, in place on n
// doubles (n >= 2, tables built for at least n). c = w + nw, the real table.
void realTransformBaseline(bool inverse, int n, double* a, const int* ip, int nw, const double* w, int nc);
// Built on x86-64 only (where QM_RDFT_AVX2 is 1); call only when avx2PathChosen().
void realTransformAvx2(bool inverse, int n, double* a, const int* ip, int nw, const double* w, int nc);

// The complex transform of n <= 32 doubles: the fixed kernels and permutations, the
// same on both paths (rdft_baseline.cpp). n = 2 leaves a as it is.
void smallComplexTransform(int n, bool inverse, double* a, int nw, const double* w);

}  // namespace detail
