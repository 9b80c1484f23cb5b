#pragma once
// The order of the complex transform's stages, written once for both paths: which
// stage runs on which block, of which kind, with which table level. A path supplies
// the stages themselves, whose shapes differ (rdft_baseline.cpp, rdft_avx2.cpp):
//
//   template <bool Conj> static void firstStage(int n, double* a, const double* w);
//       kind-1 stage over all n doubles, reading the points conjugated when Conj
//       (the inverse); w: the level of size n/4
//   template <int N> static void middle1(int n, double* a, const double* w);
//   template <int N> static void middle2(int n, double* a, const double* w);
//       a stage of kind 1 or 2 over a block of n doubles (N = n when N > 0, fixed
//       for unrolling); w: the level of size n/4 (kind 1) or n/2 (kind 2)
//   template <bool Conj, int MidBits>
//   static void bitReverseGroups(int m, const int* seed, double* a);
//       the bit reversal below, for m = 2^t and mid of MidBits bits, negating the
//       imaginary parts when Conj
//   template <bool Inverse> static void realStep(int n, double* a, int nc, const double* c);
//   struct Kernels, made once per transform: Kernels(leafSize, nw, w, forManyLeaves),
//       kind1<D>(b) and kind2<D>(b), the fixed kernels on a block of D = 32 or 16
//       doubles, and middle1<Q>(b), middle2<Q>(b), the middle stages inside a leaf
//       on a quarter of Q = 128 or 64 doubles.
//
// Everything here is a template over the path, and each path lives in its file's
// unnamed namespace, so each file instantiates its own copy, compiled with that
// file's instruction set: a copy shared at link time could put AVX2 instructions on
// the baseline path.

#include "dsp/rdft_detail.h"

namespace detail {

template <class Path>
struct StageOrder {
    using Kernels = typename Path::Kernels;

    // Forward: complex transform, then the real step; inverse: the other way round
    // (rftfsub, rftbsub beside cftfsub, cftbsub).
    static void realTransform(bool inverse, int n, double* a, const int* ip, int nw, const double* w, int nc)
    {
        if (inverse) {
            if (n > 4)
                Path::template realStep<true>(n, a, nc, w + nw);
            complexTransform<true>(n, a, ip, nw, w);
        } else {
            complexTransform<false>(n, a, ip, nw, w);
            if (n > 4)
                Path::template realStep<false>(n, a, nc, w + nw);
        }
    }

    // Complex transform of n/2 points (cftfsub, cftbsub): the inverse reads the
    // points conjugated in the first stage and conjugates them again in the bit
    // reversal; everything between is the same in both directions.
    template <bool Inverse>
    static void complexTransform(int n, double* a, const int* ip, int nw, const double* w)
    {
        if (n <= 32) {
            smallComplexTransform(n, Inverse, a, nw, w);
            return;
        }
        Path::template firstStage<Inverse>(n, a, w + nw - (n >> 2));
        if (n > 512)
            cftrec4(n, a, nw, w);
        else if (n > 128)
            cftleaf(n, 1, a, Kernels(n, nw, w, false));
        else
            cftfx41(n, a, Kernels(4 * n, nw, w, false));
        bitReverse<Inverse>(n, ip, a);
    }

    // Bit reversal of n/2 points (bitrv2, bitrv2conj). A point index is (hi, mid, lo)
    // with hi and lo of t bits (m = 2^t) and mid of 3 or 4 bits; its reversal is
    // (rev lo, rev mid, rev hi). The seed table (ip + m) gives rev of each hi value
    // placed in the top bits as a group offset.
    template <bool Conj>
    static void bitReverse(int n, const int* ip, double* a)
    {
        int m = 1;
        int l = n >> 2;
        while (l > 8) {
            m <<= 1;
            l >>= 2;
        }
        if (l == 8)
            Path::template bitReverseGroups<Conj, 4>(m, ip + m, a);
        else
            Path::template bitReverseGroups<Conj, 3>(m, ip + m, a);
    }

    // Depth first over leaves of 512 or 256 doubles (512 when log2 n is odd).
    static void cftrec4(int n, double* a, int nw, const double* w)
    {
        int m = n;
        while (m > 512) {
            m >>= 2;
            cftmdl1(m, a + n - m, w + nw - (m >> 1));
        }
        const Kernels kernels(m, nw, w, true);
        cftleaf(m, 1, a + n - m, kernels);
        int k = 0;
        for (int j = n - m; j > 0; j -= m) {
            ++k;
            const int kind = cfttree(m, j, k, a, nw, w);
            cftleaf(m, kind, a + j - m, kernels);
        }
    }

    // The middle stages above the k-th leaf from the end (ending at a + j); returns
    // the leaf's kind.
    static int cfttree(int n, int j, int k, double* a, int nw, const double* w)
    {
        if ((k & 3) != 0) {
            const int kind = (k & 1) ? 1 : 2;
            middle(kind, n, a + j - n, nw, w);
            return kind;
        }
        int m = n;
        int i = k;
        while ((i & 3) == 0) {
            m <<= 2;
            i >>= 2;
        }
        const int kind = (i & 1) ? 1 : 2;
        for (; m > 128; m >>= 2)
            middle(kind, m, a + j - m, nw, w);
        return kind;
    }

    static void middle(int kind, int n, double* a, int nw, const double* w)
    {
        if (kind == 1)
            cftmdl1(n, a, w + nw - (n >> 1));
        else
            cftmdl2(n, a, w + nw - n);
    }

    static void cftmdl1(int n, double* a, const double* w)
    {
        if (n == 64)
            Path::template middle1<64>(n, a, w);
        else if (n == 128)
            Path::template middle1<128>(n, a, w);
        else if (n == 256)
            Path::template middle1<256>(n, a, w);
        else
            Path::template middle1<0>(n, a, w);
    }

    static void cftmdl2(int n, double* a, const double* w)
    {
        if (n == 64)
            Path::template middle2<64>(n, a, w);
        else if (n == 128)
            Path::template middle2<128>(n, a, w);
        else if (n == 256)
            Path::template middle2<256>(n, a, w);
        else
            Path::template middle2<0>(n, a, w);
    }

    static void cftleaf(int n, int kind, double* a, const Kernels& kernels)
    {
        if (n == 512)
            leaf<512>(kind, a, kernels);
        else
            leaf<256>(kind, a, kernels);
    }

    // A leaf of N doubles: a middle stage on each quarter, each quarter's four blocks
    // by the fixed kernels. Quarters are of kinds 1, 2, 1 and the leaf's own.
    template <int N>
    static void leaf(int kind, double* a, const Kernels& kernels)
    {
        constexpr int q = N >> 2;  // quarter
        constexpr int s = q >> 2;  // kernel block
        kernels.template middle1<q>(a);
        fourKernels<s>(a, kernels);
        double* b = a + q;
        kernels.template middle2<q>(b);
        kernels.template kind1<s>(b);
        kernels.template kind2<s>(b + s);
        kernels.template kind1<s>(b + 2 * s);
        kernels.template kind2<s>(b + 3 * s);
        b += q;
        kernels.template middle1<q>(b);
        fourKernels<s>(b, kernels);
        b += q;
        if (kind == 1) {
            kernels.template middle1<q>(b);
            kernels.template kind1<s>(b + 3 * s);
        } else {
            kernels.template middle2<q>(b);
            kernels.template kind2<s>(b + 3 * s);
        }
        kernels.template kind1<s>(b);
        kernels.template kind2<s>(b + s);
        kernels.template kind1<s>(b + 2 * s);
    }

    // The four blocks of a kind-1 quarter, or the whole transform of 64 or 128
    // doubles after its first stage (cftfx41).
    template <int S>
    static void fourKernels(double* a, const Kernels& kernels)
    {
        kernels.template kind1<S>(a);
        kernels.template kind2<S>(a + S);
        kernels.template kind1<S>(a + 2 * S);
        kernels.template kind1<S>(a + 3 * S);
    }

    static void cftfx41(int n, double* a, const Kernels& kernels)
    {
        if (n == 128)
            fourKernels<32>(a, kernels);
        else
            fourKernels<16>(a, kernels);
    }
};

}  // namespace detail
