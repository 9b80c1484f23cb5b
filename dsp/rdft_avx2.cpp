// The AVX2 + FMA path of rdft (rdft.cpp enters it when rdft_path.cpp chose it): one
// 256-bit vector holds two neighbouring complex points, so each vector butterfly does
// the work of two. Same decomposition, kinds and table levels as the baseline
// (rdft_baseline.cpp), in the same stage order (rdft_stages.h).
//
// Implemented here:
//  [x] the first stage, the middle stages of kinds 1 and 2, the 16- and 8-point
//      kernels, the bit reversal (on 2 x 2 blocks of points), the real step
//  [x] the twiddles of the leaves' middle stages split once per transform
//  [ ] transforms of 32 doubles or fewer: the baseline's kernels serve both paths
//
// This file is compiled with -mavx2 -mfma on x86-64 only (dsp/CMakeLists.txt);
// elsewhere it is empty and rdft keeps the baseline path.

#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)

#include "dsp/rdft_stages.h"

#include <immintrin.h>

namespace detail {

namespace {

// Two neighbouring complex points p, p + 1 as {re0, im0, re1, im1}.
typedef __m256d PointPair;

inline PointPair load(const double* p)
{
    return _mm256_loadu_pd(p);
}

inline void store(double* p, PointPair v)
{
    _mm256_storeu_pd(p, v);
}

inline PointPair setr(double a, double b, double c, double d)
{
    return _mm256_setr_pd(a, b, c, d);
}

inline PointPair swapRI(PointPair v)
{
    return _mm256_permute_pd(v, 0x5);
}

inline PointPair flip(PointPair v, PointPair mask)
{
    return _mm256_xor_pd(v, mask);
}

inline PointPair maskRe()
{
    return setr(-0.0, 0.0, -0.0, 0.0);
}

inline PointPair maskIm()
{
    return setr(0.0, -0.0, 0.0, -0.0);
}

inline PointPair conj(PointPair v)
{
    return flip(v, maskIm());
}

inline PointPair timesI(PointPair v)  // i v
{
    return flip(swapRI(v), maskRe());
}

// a + i b and a - i b without forming i b: (ar - bi, ai + br) is an addsub of the
// swapped b, (ar + bi, ai - br) an fmsubadd with a factor 1 (exact, one rounding).
inline PointPair plusITimes(PointPair a, PointPair b)
{
    return _mm256_addsub_pd(a, swapRI(b));
}

inline PointPair minusITimes(PointPair a, PointPair b)
{
    return _mm256_fmsubadd_pd(a, _mm256_set1_pd(1.0), swapRI(b));
}

inline PointPair lowHalves(PointPair a, PointPair b)  // {a.lo, b.lo}
{
    return _mm256_permute2f128_pd(a, b, 0x20);
}

inline PointPair highHalves(PointPair a, PointPair b)  // {a.hi, b.hi}
{
    return _mm256_permute2f128_pd(a, b, 0x31);
}

inline PointPair halvesSwapped(PointPair a)
{
    return _mm256_permute2f128_pd(a, a, 0x01);
}

// Twiddles of two points split into {wr, wr'} and {wi, wi'} broadcasts, the form
// the product needs; kept split where they are used more than once.
struct SplitTwiddles {
    PointPair re, im;
    SplitTwiddles() = default;
    // w = {wr, wi, wr', wi'}
    SplitTwiddles(PointPair w) : re(_mm256_movedup_pd(w)), im(_mm256_permute_pd(w, 0xF)) {}
};

// v times w lane by lane.
inline PointPair cmul(PointPair v, const SplitTwiddles& w)
{
    return _mm256_fmaddsub_pd(v, w.re, _mm256_mul_pd(swapRI(v), w.im));
}

template <bool Conj>
inline PointPair loadPoints(const double* p)
{
    return Conj ? conj(load(p)) : load(p);
}

// The AVX2 path's stages, in the shapes rdft_stages.h asks for.
struct Avx2Path {
    template <bool Inverse>
    static void realStep(int n, double* a, int nc, const double* c);
    template <bool Conj>
    static void firstStage(int n, double* __restrict a, const double* __restrict w);
    template <int N>
    static void middle1(int n, double* __restrict a, const double* __restrict w);
    template <int N>
    static void middle2(int n, double* __restrict a, const double* __restrict w);
    template <bool Conj, int MidBits>
    static void bitReverseGroups(int m, const int* seed, double* a);
    struct Kernels;
};

// Radix-4 butterfly of kind 1 on two neighbouring columns: points at a, a + s,
// a + 2s, a + 3s (s in doubles); w1 and w3 hold one twiddle per column.
template <bool Conj = false>
inline void butterfly1(double* a, int s, const SplitTwiddles& w1, const SplitTwiddles& w3)
{
    const PointPair x0 = loadPoints<Conj>(a), x1 = loadPoints<Conj>(a + s);
    const PointPair x2 = loadPoints<Conj>(a + 2 * s), x3 = loadPoints<Conj>(a + 3 * s);
    const PointPair sum02 = x0 + x2, dif02 = x0 - x2;
    const PointPair sum13 = x1 + x3, dif13 = x1 - x3;
    store(a, sum02 + sum13);
    store(a + s, sum02 - sum13);
    store(a + 2 * s, cmul(plusITimes(dif02, dif13), w1));
    store(a + 3 * s, cmul(minusITimes(dif02, dif13), w3));
}

// Radix-4 butterfly of kind 2 with twiddles: (A +- C) w, (B +- D) w3 written as
// A w +- (x1 + i x3) cw and B w3 +- (x3 + i x1) cw3.
inline void butterfly2(double* a, int s, const SplitTwiddles& w, const SplitTwiddles& cw,
                       const SplitTwiddles& w3, const SplitTwiddles& cw3)
{
    const PointPair x0 = load(a), x1 = load(a + s), x2 = load(a + 2 * s), x3 = load(a + 3 * s);
    const PointPair Aw = cmul(plusITimes(x0, x2), w), Bw = cmul(minusITimes(x0, x2), w3);
    const PointPair Cw = cmul(plusITimes(x1, x3), cw), Dw = cmul(plusITimes(x3, x1), cw3);
    store(a, Aw + Cw);
    store(a + s, Aw - Cw);
    store(a + 2 * s, Bw + Dw);
    store(a + 3 * s, Bw - Dw);
}

// Table entry j of a level as {w_j | w3_j}: stored as (cos, sin, cos3, -sin3).
inline PointPair entry(const double* w, int j)
{
    return flip(load(w + 4 * j), setr(0.0, 0.0, 0.0, -0.0));
}

// Twiddles of point L - k from those of point k: w -> i conj(w), w3 -> -i conj(w3).
inline PointPair mirrored(PointPair e)
{
    return flip(swapRI(e), setr(0.0, 0.0, -0.0, -0.0));
}

// Kind-1 stage over a block of n doubles (level of size n/4 at w).
template <int N>
inline void Avx2Path::middle1(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const int h = L >> 1;
    const double r = w[1];
    const PointPair eH = setr(r, r, -r, r);
    PointPair e0 = setr(1, 0, 1, 0);
#pragma GCC unroll 8
    for (int k = 0; k < h; k += 2) {
        const PointPair e1 = entry(w, k + 1);
        const PointPair e2 = k + 2 < h ? entry(w, k + 2) : eH;
        butterfly1(a + 2 * k, s, lowHalves(e0, e1), highHalves(e0, e1));
        const PointPair m2 = mirrored(e2), m1 = mirrored(e1);
        butterfly1(a + 2 * (L - k - 2), s, lowHalves(m2, m1), highHalves(m2, m1));
        e0 = e2;
    }
}

// Kind-2 stage over a block of n doubles (level of size n/2 at w). Point k takes
// {w | w3} = entry k and the folded cw, cw3 from entry L - k.
template <int N>
inline void Avx2Path::middle2(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const double r = w[1];
    auto folded = [&](int j) {  // {cw | cw3} = {swapRI(lo) | -hi} of entry j
        return flip(_mm256_blend_pd(swapRI(load(w + 4 * j)), load(w + 4 * j), 0xC), setr(0.0, 0.0, -0.0, -0.0));
    };
    {
        const PointPair p0 = setr(1, 0, 1, 0), p1 = entry(w, 1);
        const PointPair q0 = setr(r, r, r, r), q1 = folded(L - 1);
        butterfly2(a, s, lowHalves(p0, p1), lowHalves(q0, q1), highHalves(p0, p1), highHalves(q0, q1));
    }
#pragma GCC unroll 8
    for (int k = 2; k < L; k += 2) {
        const PointPair p0 = entry(w, k), p1 = entry(w, k + 1);
        const PointPair q0 = folded(L - k), q1 = folded(L - k - 1);
        butterfly2(a + 2 * k, s, lowHalves(p0, p1), lowHalves(q0, q1), highHalves(p0, p1), highHalves(q0, q1));
    }
}

// The middle stages inside a leaf run on quarters of the same size with the same
// levels, three or four times per leaf and once per leaf across the array: their
// twiddles are split once per transform and read from here.
struct LeafTwiddles {
    SplitTwiddles k1[16];  // kind 1: (w1, w3) per butterfly pair, in the order the kind-1 stage runs them
    SplitTwiddles k2[32];  // kind 2: (w, cw, w3, cw3) per butterfly pair
    // w1: level of the kind-1 stage (size q/4), w2: of the kind-2 stage (size q/2);
    // q: quarter of the leaf in doubles (128 or 64).
    void prepare(int q, const double* w1, const double* w2)
    {
        {
            const int L = q >> 3, h = L >> 1;
            const double r = w1[1];
            const PointPair eH = setr(r, r, -r, r);
            PointPair e0 = setr(1, 0, 1, 0);
            int t = 0;
            for (int k = 0; k < h; k += 2) {
                const PointPair e1 = entry(w1, k + 1);
                const PointPair e2 = k + 2 < h ? entry(w1, k + 2) : eH;
                const PointPair m2 = mirrored(e2), m1 = mirrored(e1);
                k1[t++] = lowHalves(e0, e1);
                k1[t++] = highHalves(e0, e1);
                k1[t++] = lowHalves(m2, m1);
                k1[t++] = highHalves(m2, m1);
                e0 = e2;
            }
        }
        {
            const int L = q >> 3;
            const double r = w2[1];
            auto folded = [&](int j) {
                return flip(_mm256_blend_pd(swapRI(load(w2 + 4 * j)), load(w2 + 4 * j), 0xC),
                            setr(0.0, 0.0, -0.0, -0.0));
            };
            int t = 0;
            for (int k = 0; k < L; k += 2) {
                const PointPair p0 = k == 0 ? setr(1, 0, 1, 0) : entry(w2, k), p1 = entry(w2, k + 1);
                const PointPair q0 = k == 0 ? setr(r, r, r, r) : folded(L - k), q1 = folded(L - k - 1);
                k2[t++] = lowHalves(p0, p1);
                k2[t++] = lowHalves(q0, q1);
                k2[t++] = highHalves(p0, p1);
                k2[t++] = highHalves(q0, q1);
            }
        }
    }
};

template <int N>
inline void preparedMiddle1(double* __restrict a, const LeafTwiddles& prepared)
{
    constexpr int L = N >> 3, s = N >> 2, h = L >> 1;
    const SplitTwiddles* t = prepared.k1;
#pragma GCC unroll 8
    for (int k = 0; k < h; k += 2, t += 4) {
        butterfly1(a + 2 * k, s, t[0], t[1]);
        butterfly1(a + 2 * (L - k - 2), s, t[2], t[3]);
    }
}

template <int N>
inline void preparedMiddle2(double* __restrict a, const LeafTwiddles& prepared)
{
    constexpr int L = N >> 3, s = N >> 2;
    const SplitTwiddles* t = prepared.k2;
#pragma GCC unroll 8
    for (int k = 0; k < L; k += 2, t += 4)
        butterfly2(a + 2 * k, s, t[0], t[1], t[2], t[3]);
}

// Kind-1 stage over the whole array; the level has half the resolution the stage
// needs, so odd twiddles are interpolated from their neighbours with the secants.
template <bool Conj>
void Avx2Path::firstStage(int n, double* __restrict a, const double* __restrict w)
{
    const int L = n >> 3;
    const int s = n >> 2;
    const int q = L >> 2;
    const double r = w[1];
    const PointPair csc = setr(w[2], w[2], w[3], w[3]);
    const PointPair eQ = setr(r, r, -r, r);
    PointPair e0 = setr(1, 0, 1, 0);
    for (int j = 0; j < q; ++j) {
        const PointPair e1 = j + 1 < q ? entry(w, j + 1) : eQ;
        const PointPair mid = (e0 + e1) * csc;
        butterfly1<Conj>(a + 4 * j, s, lowHalves(e0, mid), highHalves(e0, mid));
        const PointPair m1 = mirrored(e1), mm = mirrored(mid);
        butterfly1<Conj>(a + 2 * (L - 2 * j - 2), s, lowHalves(m1, mm), highHalves(m1, mm));
        e0 = e1;
    }
}

// Radix-4 of kind 1 on values, no twiddles.
inline void radix4Kind1(PointPair& x0, PointPair& x1, PointPair& x2, PointPair& x3)
{
    const PointPair sum02 = x0 + x2, dif02 = x0 - x2;
    const PointPair sum13 = x1 + x3, dif13 = x1 - x3;
    x0 = sum02 + sum13;
    x1 = sum02 - sum13;
    x2 = plusITimes(dif02, dif13);
    x3 = minusITimes(dif02, dif13);
}

inline void radix4Kind1(PointPair& x0, PointPair& x1, PointPair& x2, PointPair& x3, const SplitTwiddles& w1,
                        const SplitTwiddles& w3)
{
    radix4Kind1(x0, x1, x2, x3);
    x2 = cmul(x2, w1);
    x3 = cmul(x3, w3);
}

// Radix-4 of kind 2 (r = cos(pi/4)), no twiddles.
inline void radix4Kind2(PointPair& x0, PointPair& x1, PointPair& x2, PointPair& x3, PointPair rr)
{
    const PointPair A = plusITimes(x0, x2), B = minusITimes(x0, x2);
    const PointPair u = plusITimes(x1, x3), v = plusITimes(x3, x1);
    const PointPair C = plusITimes(u, u) * rr, D = plusITimes(v, v) * rr;
    x0 = A + C;
    x1 = A - C;
    x2 = B + D;
    x3 = B - D;
}

inline void radix4Kind2(PointPair& x0, PointPair& x1, PointPair& x2, PointPair& x3, const SplitTwiddles& w,
                        const SplitTwiddles& cw, const SplitTwiddles& w3, const SplitTwiddles& cw3)
{
    const PointPair Aw = cmul(plusITimes(x0, x2), w), Bw = cmul(minusITimes(x0, x2), w3);
    const PointPair Cw = cmul(plusITimes(x1, x3), cw), Dw = cmul(plusITimes(x3, x1), cw3);
    x0 = Aw + Cw;
    x1 = Aw - Cw;
    x2 = Bw + Dw;
    x3 = Bw - Dw;
}

// Lane 0 kind 2 (no twiddle), lane 1 kind 1 (no twiddle): with g = (i | 1),
// A = x0 + g x2, B = x0 - g x2, C = m1 (x1 + g x3), D = m2 (x1 - g x3),
// m1 = (c | 1), m2 = (c i | i), c = e^(i pi/4).
inline void radix4Kind2Kind1(PointPair& x0, PointPair& x1, PointPair& x2, PointPair& x3,
                             const SplitTwiddles& m1, const SplitTwiddles& m2)
{
    const PointPair g2 = _mm256_blend_pd(timesI(x2), x2, 0xC), g3 = _mm256_blend_pd(timesI(x3), x3, 0xC);
    const PointPair A = x0 + g2, B = x0 - g2;
    const PointPair C = cmul(x1 + g3, m1), D = cmul(x1 - g3, m2);
    x0 = A + C;
    x1 = A - C;
    x2 = B + D;
    x3 = B - D;
}

// Points (p, q) of the quarters held in a pair of vectors each, regrouped so
// that one vector holds the same point of two quarters, and back.
inline void transpose(PointPair& a, PointPair& b)
{
    const PointPair t = lowHalves(a, b), u = highHalves(a, b);
    a = t;
    b = u;
}

struct KernelTwiddles {
    // 16-point, kind 1
    SplitTwiddles k1w1a, k1w3a, k1w1b, k1w3b, m1, m2;
    PointPair rr;
    // 16-point, kind 2
    SplitTwiddles k2w, k2cw, k2w3, k2cw3, k2wB, k2cwB, k2w3B, k2cw3B;
    // 8-point
    SplitTwiddles e1w1, e1w3, e2w, e2cw, e2w3, e2cw3;

    // w16: level of size 4 (nw - 8); w16b: level of size 16 (nw - 32) or null; w8: nw - 8
    KernelTwiddles(const double* w16, const double* w16b, const double* w8)
    {
        {
            const double r = w16[1], c8 = w16[2], s8 = w16[3];
            rr = setr(r, r, r, r);
            k1w1a = setr(1, 0, c8, s8);
            k1w3a = setr(1, 0, s8, c8);
            k1w1b = setr(r, r, s8, c8);
            k1w3b = setr(-r, r, -c8, -s8);
            m1 = setr(r, r, 1, 0);
            m2 = setr(-r, r, 0, 1);
        }
        if (w16b) {
            const double r = w16b[1];
            const double c1 = w16b[4], s1 = w16b[5], c3 = w16b[6], s3 = -w16b[7];
            const double c2 = w16b[8], s2 = w16b[9];
            k2w = setr(1, 0, c1, s1);
            k2cw = setr(r, r, s3, c3);
            k2w3 = setr(1, 0, c3, s3);
            k2cw3 = setr(r, r, s1, c1);
            k2wB = setr(c2, s2, c3, s3);
            k2cwB = setr(s2, c2, s1, c1);
            k2w3B = setr(s2, c2, -s1, c1);
            k2cw3B = setr(-s2, c2, -c3, s3);
        } else {  // no 16-point kernel of kind 2 at this size
            k2w = k2cw = k2w3 = k2cw3 = k2wB = k2cwB = k2w3B = k2cw3B = SplitTwiddles(_mm256_setzero_pd());
        }
        {
            const double r = w8[1], c8 = w8[2], s8 = w8[3];
            e1w1 = setr(1, 0, r, r);
            e1w3 = setr(1, 0, -r, r);
            e2w = setr(1, 0, c8, s8);
            e2cw = setr(r, r, s8, c8);
            e2w3 = setr(1, 0, s8, c8);
            e2cw3 = setr(r, r, -s8, c8);
        }
    }
};

// z[0..15] as Z[0..7], Z[i] = points 2i, 2i + 1.
inline void kernel16Kind1(double* a, const KernelTwiddles& kt)
{
    // Named values, not a loop into an array: GCC turns that loop into a copy
    // through the stack in 16-byte pieces.
    PointPair Z[8] = {load(a),      load(a + 4),  load(a + 8),  load(a + 12),
                      load(a + 16), load(a + 20), load(a + 24), load(a + 28)};
    radix4Kind1(Z[0], Z[2], Z[4], Z[6], kt.k1w1a, kt.k1w3a);
    radix4Kind1(Z[1], Z[3], Z[5], Z[7], kt.k1w1b, kt.k1w3b);
    // quarters Q0 (Z0, Z1) and Q2 (Z4, Z5): kind 1
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    radix4Kind1(Z[0], Z[4], Z[1], Z[5]);
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    // Q1 (Z2, Z3): kind 2; Q3 (Z6, Z7): kind 1
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    radix4Kind2Kind1(Z[2], Z[6], Z[3], Z[7], kt.m1, kt.m2);
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    store(a, Z[0]);
    store(a + 4, Z[1]);
    store(a + 8, Z[2]);
    store(a + 12, Z[3]);
    store(a + 16, Z[4]);
    store(a + 20, Z[5]);
    store(a + 24, Z[6]);
    store(a + 28, Z[7]);
}

inline void kernel16Kind2(double* a, const KernelTwiddles& kt)
{
    // Named values, not a loop into an array: GCC turns that loop into a copy
    // through the stack in 16-byte pieces.
    PointPair Z[8] = {load(a),      load(a + 4),  load(a + 8),  load(a + 12),
                      load(a + 16), load(a + 20), load(a + 24), load(a + 28)};
    radix4Kind2(Z[0], Z[2], Z[4], Z[6], kt.k2w, kt.k2cw, kt.k2w3, kt.k2cw3);
    radix4Kind2(Z[1], Z[3], Z[5], Z[7], kt.k2wB, kt.k2cwB, kt.k2w3B, kt.k2cw3B);
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    radix4Kind1(Z[0], Z[4], Z[1], Z[5]);
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    radix4Kind2(Z[2], Z[6], Z[3], Z[7], kt.rr);
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    store(a, Z[0]);
    store(a + 4, Z[1]);
    store(a + 8, Z[2]);
    store(a + 12, Z[3]);
    store(a + 16, Z[4]);
    store(a + 20, Z[5]);
    store(a + 24, Z[6]);
    store(a + 28, Z[7]);
}

// 8-point kernels: Z0..Z3 = points (0,1) (2,3) (4,5) (6,7).
template <bool Kind2>
inline void kernel8(double* a, const KernelTwiddles& kt)
{
    PointPair Z0 = load(a), Z1 = load(a + 4), Z2 = load(a + 8), Z3 = load(a + 12);
    if (Kind2)
        radix4Kind2(Z0, Z1, Z2, Z3, kt.e2w, kt.e2cw, kt.e2w3, kt.e2cw3);
    else
        radix4Kind1(Z0, Z1, Z2, Z3, kt.e1w1, kt.e1w3);
    // pairs (0,1) and (4,5): z0 + z1, z0 - z1
    transpose(Z0, Z2);
    {
        const PointPair s = Z0 + Z2, d = Z0 - Z2;
        Z0 = s;
        Z2 = d;
    }
    transpose(Z0, Z2);
    // pair (2,3): z2 + i z3, z2 - i z3; pair (6,7): as (4,5) for kind 1, as (2,3) for kind 2
    transpose(Z1, Z3);
    {
        const PointPair u = Kind2 ? timesI(Z3) : _mm256_blend_pd(timesI(Z3), Z3, 0xC);
        const PointPair s = Z1 + u, d = Z1 - u;
        Z1 = s;
        Z3 = d;
    }
    transpose(Z1, Z3);
    store(a, Z0);
    store(a + 4, Z1);
    store(a + 8, Z2);
    store(a + 12, Z3);
}

// The bit reversal's groups (rdft_stages.h says which index goes where) on 2 x 2
// blocks: the points
// lo = b, b + 1 of two groups are two vectors, and their destinations are the
// points lo = c, c + 1 of two other groups, so a block moves as a transpose of
// 128-bit halves. m >= 2 whenever this runs (n > 32).
template <bool Conj, int MidBits>
void Avx2Path::bitReverseGroups(int m, const int* seed, double* a)
{
    constexpr int Mid = 1 << MidBits;
    constexpr int groupShift = MidBits - 2;  // seed value -> top-bit offset in doubles
    const int midStride = 2 * m;             // doubles per mid step
    auto rev = [](int x) {
        int y = 0;
        for (int b = 0; b < MidBits; ++b)
            y |= ((x >> b) & 1) << (MidBits - 1 - b);
        return y;
    };
    auto moved = [](PointPair v) { return Conj ? conj(v) : v; };
    auto exchange = [&](double* s0, double* s1, double* t0, double* t1) {
        const PointPair V0 = load(s0), V1 = load(s1), U0 = load(t0), U1 = load(t1);
        store(s0, moved(lowHalves(U0, U1)));
        store(s1, moved(highHalves(U0, U1)));
        store(t0, moved(lowHalves(V0, V1)));
        store(t1, moved(highHalves(V0, V1)));
    };
    for (int b = 0; b < m; b += 2) {
        const int hb0 = seed[b] << groupShift, hb1 = seed[b + 1] << groupShift;
        for (int c = 0; c < b; c += 2) {
            double* s0 = a + (seed[c] << groupShift) + 2 * b;
            double* s1 = a + (seed[c + 1] << groupShift) + 2 * b;
            double* t0 = a + hb0 + 2 * c;
            double* t1 = a + hb1 + 2 * c;
#pragma GCC unroll 16
            for (int x = 0; x < Mid; ++x)
                exchange(s0 + x * midStride, s1 + x * midStride, t0 + rev(x) * midStride, t1 + rev(x) * midStride);
        }
        double* s0 = a + hb0 + 2 * b;
        double* s1 = a + hb1 + 2 * b;
#pragma GCC unroll 16
        for (int x = 0; x < Mid; ++x) {
            const int y = rev(x);
            if (x < y) {
                exchange(s0 + x * midStride, s1 + x * midStride, s0 + y * midStride, s1 + y * midStride);
            } else if (x == y) {
                const PointPair V0 = load(s0 + x * midStride), V1 = load(s1 + x * midStride);
                store(s0 + x * midStride, moved(lowHalves(V0, V1)));
                store(s1 + x * midStride, moved(highHalves(V0, V1)));
            }
        }
    }
}

// Real step (with tables of this size one table entry per pair, with larger ones
// every ks-th). Pairs (j, n - j)
// and (j + 2, n - j - 2) go in one vector each; the mirrored pairs at m - j - 2 and
// m - j use the same two table values (wr' = 1/2 - wi, wi' = 1/2 - wr), so four
// pairs share two table loads.
template <bool Inverse>
void Avx2Path::realStep(int n, double* a, int nc, const double* c)
{
    const int m = n >> 1;
    const int ks = 2 * nc / m;  // table step per pair: 1 with tables of this size
    // xp: the points of pairs j, j + 2; yp: those of n - j - 2, n - j (ascending).
    // With d = x - conj(y) (an addsub) and nt = -d w (an fmsubadd with -wr), the new
    // x is x + nt and the new y is y + conj(t) = addsub(y, nt): no sign flips.
    const PointPair minusHalf = _mm256_set1_pd(-0.5);
    auto pairs = [](double* xp, double* yp, PointPair mwr, PointPair wi) {
        const PointPair x = load(xp);
        const PointPair y = halvesSwapped(load(yp));
        const PointPair d = _mm256_addsub_pd(x, y);
        const PointPair nt = _mm256_fmsubadd_pd(d, mwr, _mm256_mul_pd(swapRI(d), Inverse ? -wi : wi));
        store(xp, x + nt);
        store(yp, halvesSwapped(_mm256_addsub_pd(y, nt)));
    };
    int j = 2;
    for (; j + 2 < m - j - 2; j += 4) {
        const int kk = ks * (j >> 1);
        // {c[kk], c[kk], c[kk+ks], c[kk+ks]} and {c[nc-kk], c[nc-kk], c[nc-kk-ks], c[nc-kk-ks]}
        PointPair ci, cr;
        if (ks == 1) {
            ci = _mm256_permute4x64_pd(_mm256_castpd128_pd256(_mm_loadu_pd(c + kk)), 0x50);
            cr = _mm256_permute4x64_pd(_mm256_castpd128_pd256(_mm_loadu_pd(c + nc - kk - 1)), 0x05);
        } else {
            ci = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loaddup_pd(c + kk)), _mm_loaddup_pd(c + kk + ks), 1);
            cr = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loaddup_pd(c + nc - kk)),
                                      _mm_loaddup_pd(c + nc - kk - ks), 1);
        }
        pairs(a + j, a + n - j - 2, cr + minusHalf, ci);
        pairs(a + m - j - 2, a + m + j, halvesSwapped(ci) + minusHalf, halvesSwapped(cr));
    }
    // What is left around m / 2.
    for (const int jLast = m - j; j <= jLast; j += 2) {
        const int k = n - j;
        const int kk = ks * (j >> 1);
        const double wr = 0.5 - c[nc - kk], wi = Inverse ? -c[kk] : c[kk];
        const double xr = a[j] - a[k], xi = a[j + 1] + a[k + 1];
        const double yr = wr * xr - wi * xi, yi = wr * xi + wi * xr;
        a[j] -= yr;
        a[j + 1] -= yi;
        a[k] += yr;
        a[k + 1] -= yi;
    }
}


// The kernels' constants and, for transforms of more than one leaf, the leaf's
// middle-stage twiddles prepared once (for a single leaf preparing them costs
// more than it saves).
struct Avx2Path::Kernels {
    KernelTwiddles constants;
    bool twiddlesPrepared;
    LeafTwiddles twiddles;
    int nw;
    const double* w;

    // leafSize: 512 or 256 (16- or 8-point kernels)
    Kernels(int leafSize, int tableSize, const double* table, bool forManyLeaves)
        : constants(table + tableSize - 8, leafSize == 512 ? table + tableSize - 32 : nullptr,
                    table + tableSize - 8),
          twiddlesPrepared(forManyLeaves),
          nw(tableSize),
          w(table)
    {
        if (forManyLeaves)
            twiddles.prepare(leafSize >> 2, w + nw - (leafSize >> 3), w + nw - (leafSize >> 2));
    }

    template <int D>
    void kind1(double* b) const
    {
        if (D == 32)
            kernel16Kind1(b, constants);
        else
            kernel8<false>(b, constants);
    }

    template <int D>
    void kind2(double* b) const
    {
        if (D == 32)
            kernel16Kind2(b, constants);
        else
            kernel8<true>(b, constants);
    }

    template <int Q>
    void middle1(double* b) const
    {
        if (twiddlesPrepared)
            preparedMiddle1<Q>(b, twiddles);
        else
            Avx2Path::middle1<Q>(Q, b, w + nw - (Q >> 1));
    }

    template <int Q>
    void middle2(double* b) const
    {
        if (twiddlesPrepared)
            preparedMiddle2<Q>(b, twiddles);
        else
            Avx2Path::middle2<Q>(Q, b, w + nw - Q);
    }
};

}  // namespace

void realTransformAvx2(bool inverse, int n, double* a, const int* ip, int nw, const double* w, int nc)
{
    StageOrder<Avx2Path>::realTransform(inverse, n, a, ip, nw, w, nc);
}

}  // namespace detail

#endif
