// AVX2 + FMA versions of the complex transform's hot routines (first stages,
// middle stages, 16- and 8-point kernels, leaves, recursive driver, bit
// reversal) and of the real step, for rdft (rdft.cpp picks them at run time). Same decomposition,
// kinds and table levels as the baseline; one 256-bit vector holds two
// neighbouring complex points, so each vector butterfly does the work of two.
//
// This file is compiled with -mavx2 -mfma on x86-64 only (dsp/CMakeLists.txt);
// elsewhere it is empty and rdft keeps the baseline path.

#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)

#include <immintrin.h>

namespace detail {

// Baseline routines reused here (rdft.cpp).
void cftfsub(int n, double* a, int* ip, int nw, double* w);
void cftbsub(int n, double* a, int* ip, int nw, double* w);

namespace {

typedef __m256d v2;  // {re0, im0, re1, im1}: points p and p + 1

inline v2 ld(const double* p)
{
    return _mm256_loadu_pd(p);
}

inline void st(double* p, v2 v)
{
    _mm256_storeu_pd(p, v);
}

inline v2 setr(double a, double b, double c, double d)
{
    return _mm256_setr_pd(a, b, c, d);
}

inline v2 swapRI(v2 v)
{
    return _mm256_permute_pd(v, 0x5);
}

inline v2 flip(v2 v, v2 mask)
{
    return _mm256_xor_pd(v, mask);
}

inline v2 maskRe()
{
    return setr(-0.0, 0.0, -0.0, 0.0);
}

inline v2 maskIm()
{
    return setr(0.0, -0.0, 0.0, -0.0);
}

inline v2 conj(v2 v)
{
    return flip(v, maskIm());
}

inline v2 timesI(v2 v)  // i v
{
    return flip(swapRI(v), maskRe());
}

// a + i b and a - i b without forming i b: (ar - bi, ai + br) is an addsub of the
// swapped b, (ar + bi, ai - br) an fmsubadd with a factor 1 (exact, one rounding).
inline v2 plusITimes(v2 a, v2 b)
{
    return _mm256_addsub_pd(a, swapRI(b));
}

inline v2 minusITimes(v2 a, v2 b)
{
    return _mm256_fmsubadd_pd(a, _mm256_set1_pd(1.0), swapRI(b));
}

inline v2 lo2(v2 a, v2 b)  // {a.lo, b.lo}
{
    return _mm256_permute2f128_pd(a, b, 0x20);
}

inline v2 hi2(v2 a, v2 b)  // {a.hi, b.hi}
{
    return _mm256_permute2f128_pd(a, b, 0x31);
}

inline v2 halvesSwapped(v2 a)
{
    return _mm256_permute2f128_pd(a, a, 0x01);
}

// Twiddles of two points split into {wr, wr'} and {wi, wi'} broadcasts, the form
// the product needs; kept split where they are used more than once.
struct tw {
    v2 r, i;
    tw() = default;
    tw(v2 w) : r(_mm256_movedup_pd(w)), i(_mm256_permute_pd(w, 0xF)) {}  // w = {wr, wi, wr', wi'}
};

// v times w lane by lane.
inline v2 cmul(v2 v, const tw& w)
{
    return _mm256_fmaddsub_pd(v, w.r, _mm256_mul_pd(swapRI(v), w.i));
}

template <bool Conj>
inline v2 ldp(const double* p)
{
    return Conj ? conj(ld(p)) : ld(p);
}

// Radix-4 butterfly of kind 1 on two neighbouring columns: points at a, a + s,
// a + 2s, a + 3s (s in doubles); w1 and w3 hold one twiddle per column.
template <bool Conj = false>
inline void bf1(double* a, int s, const tw& w1, const tw& w3)
{
    const v2 x0 = ldp<Conj>(a), x1 = ldp<Conj>(a + s);
    const v2 x2 = ldp<Conj>(a + 2 * s), x3 = ldp<Conj>(a + 3 * s);
    const v2 sum02 = x0 + x2, dif02 = x0 - x2;
    const v2 sum13 = x1 + x3, dif13 = x1 - x3;
    st(a, sum02 + sum13);
    st(a + s, sum02 - sum13);
    st(a + 2 * s, cmul(plusITimes(dif02, dif13), w1));
    st(a + 3 * s, cmul(minusITimes(dif02, dif13), w3));
}

// Radix-4 butterfly of kind 2 with twiddles: (A +- C) w, (B +- D) w3 written as
// A w +- (x1 + i x3) cw and B w3 +- (x3 + i x1) cw3.
inline void bf2(double* a, int s, const tw& w, const tw& cw, const tw& w3, const tw& cw3)
{
    const v2 x0 = ld(a), x1 = ld(a + s), x2 = ld(a + 2 * s), x3 = ld(a + 3 * s);
    const v2 Aw = cmul(plusITimes(x0, x2), w), Bw = cmul(minusITimes(x0, x2), w3);
    const v2 Cw = cmul(plusITimes(x1, x3), cw), Dw = cmul(plusITimes(x3, x1), cw3);
    st(a, Aw + Cw);
    st(a + s, Aw - Cw);
    st(a + 2 * s, Bw + Dw);
    st(a + 3 * s, Bw - Dw);
}

// Table entry j of a level as {w_j | w3_j}: stored as (cos, sin, cos3, -sin3).
inline v2 entry(const double* w, int j)
{
    return flip(ld(w + 4 * j), setr(0.0, 0.0, 0.0, -0.0));
}

// Twiddles of point L - k from those of point k: w -> i conj(w), w3 -> -i conj(w3).
inline v2 mirrored(v2 e)
{
    return flip(swapRI(e), setr(0.0, 0.0, -0.0, -0.0));
}

// Kind-1 stage over a block of n doubles (level of size n/4 at w).
template <int N>
inline void middle1(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const int h = L >> 1;
    const double r = w[1];
    const v2 eH = setr(r, r, -r, r);
    v2 e0 = setr(1, 0, 1, 0);
#pragma GCC unroll 8
    for (int k = 0; k < h; k += 2) {
        const v2 e1 = entry(w, k + 1);
        const v2 e2 = k + 2 < h ? entry(w, k + 2) : eH;
        bf1(a + 2 * k, s, lo2(e0, e1), hi2(e0, e1));
        const v2 m2 = mirrored(e2), m1 = mirrored(e1);
        bf1(a + 2 * (L - k - 2), s, lo2(m2, m1), hi2(m2, m1));
        e0 = e2;
    }
}

// Kind-2 stage over a block of n doubles (level of size n/2 at w). Point k takes
// {w | w3} = entry k and the folded cw, cw3 from entry L - k.
template <int N>
inline void middle2(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const double r = w[1];
    auto folded = [&](int j) {  // {cw | cw3} = {swapRI(lo) | -hi} of entry j
        return flip(_mm256_blend_pd(swapRI(ld(w + 4 * j)), ld(w + 4 * j), 0xC), setr(0.0, 0.0, -0.0, -0.0));
    };
    {
        const v2 p0 = setr(1, 0, 1, 0), p1 = entry(w, 1);
        const v2 q0 = setr(r, r, r, r), q1 = folded(L - 1);
        bf2(a, s, lo2(p0, p1), lo2(q0, q1), hi2(p0, p1), hi2(q0, q1));
    }
#pragma GCC unroll 8
    for (int k = 2; k < L; k += 2) {
        const v2 p0 = entry(w, k), p1 = entry(w, k + 1);
        const v2 q0 = folded(L - k), q1 = folded(L - k - 1);
        bf2(a + 2 * k, s, lo2(p0, p1), lo2(q0, q1), hi2(p0, p1), hi2(q0, q1));
    }
}

// The middle stages inside a leaf run on quarters of the same size with the same
// levels, three or four times per leaf and once per leaf across the array: their
// twiddles are split once per transform and read from here.
struct LeafTwiddles {
    tw k1[16];  // kind 1: (w1, w3) per butterfly pair, in the order middle1 runs them
    tw k2[32];  // kind 2: (w, cw, w3, cw3) per butterfly pair
    // w1: level of the kind-1 stage (size q/4), w2: of the kind-2 stage (size q/2);
    // q: quarter of the leaf in doubles (128 or 64).
    void prepare(int q, const double* w1, const double* w2)
    {
        {
            const int L = q >> 3, h = L >> 1;
            const double r = w1[1];
            const v2 eH = setr(r, r, -r, r);
            v2 e0 = setr(1, 0, 1, 0);
            int t = 0;
            for (int k = 0; k < h; k += 2) {
                const v2 e1 = entry(w1, k + 1);
                const v2 e2 = k + 2 < h ? entry(w1, k + 2) : eH;
                const v2 m2 = mirrored(e2), m1 = mirrored(e1);
                k1[t++] = lo2(e0, e1);
                k1[t++] = hi2(e0, e1);
                k1[t++] = lo2(m2, m1);
                k1[t++] = hi2(m2, m1);
                e0 = e2;
            }
        }
        {
            const int L = q >> 3;
            const double r = w2[1];
            auto folded = [&](int j) {
                return flip(_mm256_blend_pd(swapRI(ld(w2 + 4 * j)), ld(w2 + 4 * j), 0xC), setr(0.0, 0.0, -0.0, -0.0));
            };
            int t = 0;
            for (int k = 0; k < L; k += 2) {
                const v2 p0 = k == 0 ? setr(1, 0, 1, 0) : entry(w2, k), p1 = entry(w2, k + 1);
                const v2 q0 = k == 0 ? setr(r, r, r, r) : folded(L - k), q1 = folded(L - k - 1);
                k2[t++] = lo2(p0, p1);
                k2[t++] = lo2(q0, q1);
                k2[t++] = hi2(p0, p1);
                k2[t++] = hi2(q0, q1);
            }
        }
    }
};

template <int N>
inline void middle1(double* __restrict a, const LeafTwiddles& T)
{
    constexpr int L = N >> 3, s = N >> 2, h = L >> 1;
    const tw* t = T.k1;
#pragma GCC unroll 8
    for (int k = 0; k < h; k += 2, t += 4) {
        bf1(a + 2 * k, s, t[0], t[1]);
        bf1(a + 2 * (L - k - 2), s, t[2], t[3]);
    }
}

template <int N>
inline void middle2(double* __restrict a, const LeafTwiddles& T)
{
    constexpr int L = N >> 3, s = N >> 2;
    const tw* t = T.k2;
#pragma GCC unroll 8
    for (int k = 0; k < L; k += 2, t += 4)
        bf2(a + 2 * k, s, t[0], t[1], t[2], t[3]);
}

// Kind-1 stage over the whole array; the level has half the resolution the stage
// needs, so odd twiddles are interpolated from their neighbours with the secants.
template <bool Conj>
void firstStage(int n, double* __restrict a, const double* __restrict w)
{
    const int L = n >> 3;
    const int s = n >> 2;
    const int q = L >> 2;
    const double r = w[1];
    const v2 csc = setr(w[2], w[2], w[3], w[3]);
    const v2 eQ = setr(r, r, -r, r);
    v2 e0 = setr(1, 0, 1, 0);
    for (int j = 0; j < q; ++j) {
        const v2 e1 = j + 1 < q ? entry(w, j + 1) : eQ;
        const v2 mid = (e0 + e1) * csc;
        bf1<Conj>(a + 4 * j, s, lo2(e0, mid), hi2(e0, mid));
        const v2 m1 = mirrored(e1), mm = mirrored(mid);
        bf1<Conj>(a + 2 * (L - 2 * j - 2), s, lo2(m1, mm), hi2(m1, mm));
        e0 = e1;
    }
}

// ---- fixed kernels ----

// Radix-4 of kind 1 on values, no twiddles.
inline void r1(v2& x0, v2& x1, v2& x2, v2& x3)
{
    const v2 sum02 = x0 + x2, dif02 = x0 - x2;
    const v2 sum13 = x1 + x3, dif13 = x1 - x3;
    x0 = sum02 + sum13;
    x1 = sum02 - sum13;
    x2 = plusITimes(dif02, dif13);
    x3 = minusITimes(dif02, dif13);
}

inline void r1(v2& x0, v2& x1, v2& x2, v2& x3, const tw& w1, const tw& w3)
{
    r1(x0, x1, x2, x3);
    x2 = cmul(x2, w1);
    x3 = cmul(x3, w3);
}

// Radix-4 of kind 2 (r = cos(pi/4)), no twiddles.
inline void r2(v2& x0, v2& x1, v2& x2, v2& x3, v2 rr)
{
    const v2 A = plusITimes(x0, x2), B = minusITimes(x0, x2);
    const v2 u = plusITimes(x1, x3), v = plusITimes(x3, x1);
    const v2 C = plusITimes(u, u) * rr, D = plusITimes(v, v) * rr;
    x0 = A + C;
    x1 = A - C;
    x2 = B + D;
    x3 = B - D;
}

inline void r2(v2& x0, v2& x1, v2& x2, v2& x3, const tw& w, const tw& cw, const tw& w3, const tw& cw3)
{
    const v2 Aw = cmul(plusITimes(x0, x2), w), Bw = cmul(minusITimes(x0, x2), w3);
    const v2 Cw = cmul(plusITimes(x1, x3), cw), Dw = cmul(plusITimes(x3, x1), cw3);
    x0 = Aw + Cw;
    x1 = Aw - Cw;
    x2 = Bw + Dw;
    x3 = Bw - Dw;
}

// Lane 0 kind 2 (no twiddle), lane 1 kind 1 (no twiddle): with g = (i | 1),
// A = x0 + g x2, B = x0 - g x2, C = m1 (x1 + g x3), D = m2 (x1 - g x3),
// m1 = (c | 1), m2 = (c i | i), c = e^(i pi/4).
inline void r21(v2& x0, v2& x1, v2& x2, v2& x3, const tw& m1, const tw& m2)
{
    const v2 g2 = _mm256_blend_pd(timesI(x2), x2, 0xC), g3 = _mm256_blend_pd(timesI(x3), x3, 0xC);
    const v2 A = x0 + g2, B = x0 - g2;
    const v2 C = cmul(x1 + g3, m1), D = cmul(x1 - g3, m2);
    x0 = A + C;
    x1 = A - C;
    x2 = B + D;
    x3 = B - D;
}

// Points (p, q) of the quarters held in a pair of vectors each, regrouped so
// that one vector holds the same point of two quarters, and back.
inline void transpose(v2& a, v2& b)
{
    const v2 t = lo2(a, b), u = hi2(a, b);
    a = t;
    b = u;
}

struct Kernels {
    // 16-point, kind 1
    tw k1w1a, k1w3a, k1w1b, k1w3b, m1, m2;
    v2 rr;
    // 16-point, kind 2
    tw k2w, k2cw, k2w3, k2cw3, k2wB, k2cwB, k2w3B, k2cw3B;
    // 8-point
    tw e1w1, e1w3, e2w, e2cw, e2w3, e2cw3;

    // w16: level of size 4 (nw - 8); w16b: level of size 16 (nw - 32) or null; w8: nw - 8
    Kernels(const double* w16, const double* w16b, const double* w8)
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
            k2w = k2cw = k2w3 = k2cw3 = k2wB = k2cwB = k2w3B = k2cw3B = tw(_mm256_setzero_pd());
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
inline void f161(double* a, const Kernels& K)
{
    // Named values, not a loop into an array: GCC turns that loop into a copy
    // through the stack in 16-byte pieces.
    v2 Z[8] = {ld(a), ld(a + 4), ld(a + 8), ld(a + 12), ld(a + 16), ld(a + 20), ld(a + 24), ld(a + 28)};
    r1(Z[0], Z[2], Z[4], Z[6], K.k1w1a, K.k1w3a);
    r1(Z[1], Z[3], Z[5], Z[7], K.k1w1b, K.k1w3b);
    // quarters Q0 (Z0, Z1) and Q2 (Z4, Z5): kind 1
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    r1(Z[0], Z[4], Z[1], Z[5]);
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    // Q1 (Z2, Z3): kind 2; Q3 (Z6, Z7): kind 1
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    r21(Z[2], Z[6], Z[3], Z[7], K.m1, K.m2);
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    st(a, Z[0]);
    st(a + 4, Z[1]);
    st(a + 8, Z[2]);
    st(a + 12, Z[3]);
    st(a + 16, Z[4]);
    st(a + 20, Z[5]);
    st(a + 24, Z[6]);
    st(a + 28, Z[7]);
}

inline void f162(double* a, const Kernels& K)
{
    // Named values, not a loop into an array: GCC turns that loop into a copy
    // through the stack in 16-byte pieces.
    v2 Z[8] = {ld(a), ld(a + 4), ld(a + 8), ld(a + 12), ld(a + 16), ld(a + 20), ld(a + 24), ld(a + 28)};
    r2(Z[0], Z[2], Z[4], Z[6], K.k2w, K.k2cw, K.k2w3, K.k2cw3);
    r2(Z[1], Z[3], Z[5], Z[7], K.k2wB, K.k2cwB, K.k2w3B, K.k2cw3B);
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    r1(Z[0], Z[4], Z[1], Z[5]);
    transpose(Z[0], Z[4]);
    transpose(Z[1], Z[5]);
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    r2(Z[2], Z[6], Z[3], Z[7], K.rr);
    transpose(Z[2], Z[6]);
    transpose(Z[3], Z[7]);
    st(a, Z[0]);
    st(a + 4, Z[1]);
    st(a + 8, Z[2]);
    st(a + 12, Z[3]);
    st(a + 16, Z[4]);
    st(a + 20, Z[5]);
    st(a + 24, Z[6]);
    st(a + 28, Z[7]);
}

// 8-point kernels: Z0..Z3 = points (0,1) (2,3) (4,5) (6,7).
template <bool Kind2>
inline void f08(double* a, const Kernels& K)
{
    v2 Z0 = ld(a), Z1 = ld(a + 4), Z2 = ld(a + 8), Z3 = ld(a + 12);
    if (Kind2)
        r2(Z0, Z1, Z2, Z3, K.e2w, K.e2cw, K.e2w3, K.e2cw3);
    else
        r1(Z0, Z1, Z2, Z3, K.e1w1, K.e1w3);
    // pairs (0,1) and (4,5): z0 + z1, z0 - z1
    transpose(Z0, Z2);
    {
        const v2 s = Z0 + Z2, d = Z0 - Z2;
        Z0 = s;
        Z2 = d;
    }
    transpose(Z0, Z2);
    // pair (2,3): z2 + i z3, z2 - i z3; pair (6,7): as (4,5) for kind 1, as (2,3) for kind 2
    transpose(Z1, Z3);
    {
        const v2 u = Kind2 ? timesI(Z3) : _mm256_blend_pd(timesI(Z3), Z3, 0xC);
        const v2 s = Z1 + u, d = Z1 - u;
        Z1 = s;
        Z3 = d;
    }
    transpose(Z1, Z3);
    st(a, Z0);
    st(a + 4, Z1);
    st(a + 8, Z2);
    st(a + 12, Z3);
}

template <int N>
inline void leaf(int isplt, double* a, const Kernels& K, const LeafTwiddles* T, const double* w1, const double* w2)
{
    constexpr int q = N >> 2;
    constexpr int s = q >> 2;
    auto k1 = [&](double* b) {
        if (N == 512)
            f161(b, K);
        else
            f08<false>(b, K);
    };
    auto k2 = [&](double* b) {
        if (N == 512)
            f162(b, K);
        else
            f08<true>(b, K);
    };
    // T: the twiddles prepared, or null: computed on the way from levels w1, w2
    auto m1 = [&](double* b) {
        if (T)
            middle1<q>(b, *T);
        else
            middle1<q>(q, b, w1);
    };
    auto m2 = [&](double* b) {
        if (T)
            middle2<q>(b, *T);
        else
            middle2<q>(q, b, w2);
    };
    m1(a);
    k1(a);
    k2(a + s);
    k1(a + 2 * s);
    k1(a + 3 * s);
    double* b = a + q;
    m2(b);
    k1(b);
    k2(b + s);
    k1(b + 2 * s);
    k2(b + 3 * s);
    b += q;
    m1(b);
    k1(b);
    k2(b + s);
    k1(b + 2 * s);
    k1(b + 3 * s);
    b += q;
    if (isplt == 1) {
        m1(b);
        k1(b + 3 * s);
    } else {
        m2(b);
        k2(b + 3 * s);
    }
    k1(b);
    k2(b + s);
    k1(b + 2 * s);
}

// Kernel constants and, for transforms of more than one leaf, the leaf's middle
// stage twiddles prepared once (for a single leaf preparing them costs more than
// it saves).
struct Leaf {
    Kernels K;
    bool prepared;
    LeafTwiddles T;
    const double* w1;
    const double* w2;
    // m: leaf size, 512 or 256; prepare: whether to prepare T
    Leaf(int m, int nw, const double* w, bool prepare)
        : K(w + nw - 8, m == 512 ? w + nw - 32 : nullptr, w + nw - 8),
          prepared(prepare),
          w1(w + nw - (m >> 3)),
          w2(w + nw - (m >> 2))
    {
        if (prepare)
            T.prepare(m >> 2, w1, w2);
    }
};

void leafAny(int n, int isplt, double* a, const Leaf& lf)
{
    const LeafTwiddles* T = lf.prepared ? &lf.T : nullptr;
    if (n == 512)
        leaf<512>(isplt, a, lf.K, T, lf.w1, lf.w2);
    else
        leaf<256>(isplt, a, lf.K, T, lf.w1, lf.w2);
}

void mdl1(int n, double* a, const double* w)
{
    if (n == 64)
        middle1<64>(n, a, w);
    else if (n == 128)
        middle1<128>(n, a, w);
    else if (n == 256)
        middle1<256>(n, a, w);
    else
        middle1<0>(n, a, w);
}

void mdl2(int n, double* a, const double* w)
{
    if (n == 64)
        middle2<64>(n, a, w);
    else if (n == 128)
        middle2<128>(n, a, w);
    else if (n == 256)
        middle2<256>(n, a, w);
    else
        middle2<0>(n, a, w);
}

int tree(int n, int j, int k, double* a, int nw, const double* w)
{
    int kind;
    if ((k & 3) != 0) {
        kind = (k & 1) ? 1 : 2;
        if (kind == 1)
            mdl1(n, a + j - n, w + nw - (n >> 1));
        else
            mdl2(n, a + j - n, w + nw - n);
    } else {
        int m = n;
        int i = k;
        while ((i & 3) == 0) {
            m <<= 2;
            i >>= 2;
        }
        kind = (i & 1) ? 1 : 2;
        for (; m > 128; m >>= 2) {
            if (kind == 1)
                mdl1(m, a + j - m, w + nw - (m >> 1));
            else
                mdl2(m, a + j - m, w + nw - m);
        }
    }
    return kind;
}

void rec4(int n, double* a, int nw, const double* w, const Leaf& lf)
{
    int m = n;
    while (m > 512) {
        m >>= 2;
        mdl1(m, a + n - m, w + nw - (m >> 1));
    }
    leafAny(m, 1, a + n - m, lf);
    int k = 0;
    for (int j = n - m; j > 0; j -= m) {
        ++k;
        const int isplt = tree(m, j, k, a, nw, w);
        leafAny(m, isplt, a + j - m, lf);
    }
}

// After the first stage: everything down to the kernels.
void afterFirstStage(int n, double* a, int nw, const double* w)
{
    if (n > 512) {
        const int m = (__builtin_ctz(n) & 1) ? 512 : 256;  // leaf size: 512 when log2 n is odd
        const Leaf lf(m, nw, w, true);
        rec4(n, a, nw, w, lf);
    } else if (n > 128) {
        const Leaf lf(n, nw, w, false);
        leafAny(n, 1, a, lf);
    } else if (n == 128) {
        const Kernels K(w + nw - 8, w + nw - 32, w + nw - 8);
        f161(a, K);
        f162(a + 32, K);
        f161(a + 64, K);
        f161(a + 96, K);
    } else {
        const Kernels K(w + nw - 8, nullptr, w + nw - 8);
        f08<false>(a, K);
        f08<true>(a + 16, K);
        f08<false>(a + 32, K);
        f08<false>(a + 48, K);
    }
}

// Bit reversal of n/2 points, as the baseline's (index (hi, mid, lo) -> (rev lo,
// rev mid, rev hi), seed table as group offsets), but on 2 x 2 blocks: the points
// lo = b, b + 1 of two groups are two vectors, and their destinations are the
// points lo = c, c + 1 of two other groups, so a block moves as a transpose of
// 128-bit halves. m >= 2 whenever this runs (n > 32).
template <bool Conj, int MidBits>
void bitReverseGroups(int m, const int* seed, double* a)
{
    constexpr int Mid = 1 << MidBits;
    constexpr int gs = MidBits - 2;
    const int ms = 2 * m;
    auto rev = [](int x) {
        int y = 0;
        for (int b = 0; b < MidBits; ++b)
            y |= ((x >> b) & 1) << (MidBits - 1 - b);
        return y;
    };
    auto mv = [](v2 v) { return Conj ? conj(v) : v; };
    auto exchange = [&](double* s0, double* s1, double* t0, double* t1) {
        const v2 V0 = ld(s0), V1 = ld(s1), U0 = ld(t0), U1 = ld(t1);
        st(s0, mv(lo2(U0, U1)));
        st(s1, mv(hi2(U0, U1)));
        st(t0, mv(lo2(V0, V1)));
        st(t1, mv(hi2(V0, V1)));
    };
    for (int b = 0; b < m; b += 2) {
        const int hb0 = seed[b] << gs, hb1 = seed[b + 1] << gs;
        for (int c = 0; c < b; c += 2) {
            double* s0 = a + (seed[c] << gs) + 2 * b;
            double* s1 = a + (seed[c + 1] << gs) + 2 * b;
            double* t0 = a + hb0 + 2 * c;
            double* t1 = a + hb1 + 2 * c;
#pragma GCC unroll 16
            for (int x = 0; x < Mid; ++x)
                exchange(s0 + x * ms, s1 + x * ms, t0 + rev(x) * ms, t1 + rev(x) * ms);
        }
        double* s0 = a + hb0 + 2 * b;
        double* s1 = a + hb1 + 2 * b;
#pragma GCC unroll 16
        for (int x = 0; x < Mid; ++x) {
            const int y = rev(x);
            if (x < y) {
                exchange(s0 + x * ms, s1 + x * ms, s0 + y * ms, s1 + y * ms);
            } else if (x == y) {
                const v2 V0 = ld(s0 + x * ms), V1 = ld(s1 + x * ms);
                st(s0 + x * ms, mv(lo2(V0, V1)));
                st(s1 + x * ms, mv(hi2(V0, V1)));
            }
        }
    }
}

template <bool Conj>
void bitReverse(int n, const int* ip, double* a)
{
    int m = 1;
    int l = n >> 2;
    while (l > 8) {
        m <<= 1;
        l >>= 2;
    }
    if (l == 8)
        bitReverseGroups<Conj, 4>(m, ip + m, a);
    else
        bitReverseGroups<Conj, 3>(m, ip + m, a);
}

// Real step (with tables of this size one table entry per pair, with larger ones
// every ks-th). Pairs (j, n - j)
// and (j + 2, n - j - 2) go in one vector each; the mirrored pairs at m - j - 2 and
// m - j use the same two table values (wr' = 1/2 - wi, wi' = 1/2 - wr), so four
// pairs share two table loads.
template <bool Inverse>
void realStep(int n, double* a, int nc, const double* c)
{
    const int m = n >> 1;
    const int ks = 2 * nc / m;  // table step per pair: 1 with tables of this size
    // xp: the points of pairs j, j + 2; yp: those of n - j - 2, n - j (ascending).
    // With d = x - conj(y) (an addsub) and nt = -d w (an fmsubadd with -wr), the new
    // x is x + nt and the new y is y + conj(t) = addsub(y, nt): no sign flips.
    const v2 minusHalf = _mm256_set1_pd(-0.5);
    auto pairs = [](double* xp, double* yp, v2 mwr, v2 wi) {
        const v2 x = ld(xp);
        const v2 y = halvesSwapped(ld(yp));
        const v2 d = _mm256_addsub_pd(x, y);
        const v2 nt = _mm256_fmsubadd_pd(d, mwr, _mm256_mul_pd(swapRI(d), Inverse ? -wi : wi));
        st(xp, x + nt);
        st(yp, halvesSwapped(_mm256_addsub_pd(y, nt)));
    };
    int j = 2;
    for (; j + 2 < m - j - 2; j += 4) {
        const int kk = ks * (j >> 1);
        // {c[kk], c[kk], c[kk+ks], c[kk+ks]} and {c[nc-kk], c[nc-kk], c[nc-kk-ks], c[nc-kk-ks]}
        v2 ci, cr;
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

}  // namespace

void cftfsubAvx2(int n, double* a, int* ip, int nw, double* w)
{
    if (n <= 32) {
        cftfsub(n, a, ip, nw, w);
        return;
    }
    firstStage<false>(n, a, w + nw - (n >> 2));
    afterFirstStage(n, a, nw, w);
    bitReverse<false>(n, ip, a);
}

void cftbsubAvx2(int n, double* a, int* ip, int nw, double* w)
{
    if (n <= 32) {
        cftbsub(n, a, ip, nw, w);
        return;
    }
    firstStage<true>(n, a, w + nw - (n >> 2));
    afterFirstStage(n, a, nw, w);
    bitReverse<true>(n, ip, a);
}

void rftfsubAvx2(int n, double* a, int nc, const double* c)
{
    realStep<false>(n, a, nc, c);
}

void rftbsubAvx2(int n, double* a, int nc, const double* c)
{
    realStep<true>(n, a, nc, c);
}

// Four magnitudes per step: x holds (re, im) pairs; not fused, so that the
// results are those of the baseline.
void magnitudesAvx2(const double* x, int count, double scale, double* out)
{
    const v2 sc = _mm256_set1_pd(scale);
    int m = 0;
    for (; m + 4 <= count; m += 4) {
        const v2 a = ld(x + 2 * m), b = ld(x + 2 * m + 4);  // re0 im0 re1 im1 | re2 im2 re3 im3
        const v2 aa = _mm256_mul_pd(a, a), bb = _mm256_mul_pd(b, b);
        const v2 s = _mm256_hadd_pd(aa, bb);  // |0|^2 |2|^2 |1|^2 |3|^2
        const v2 r = _mm256_mul_pd(_mm256_sqrt_pd(_mm256_permute4x64_pd(s, 0xD8)), sc);
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
        const v2 a = ld(x + 2 * m), b = ld(x + 2 * m + 4);
        const v2 aa = _mm256_mul_pd(a, a), bb = _mm256_mul_pd(b, b);
        const v2 s = _mm256_sqrt_pd(_mm256_hadd_pd(aa, bb));  // |0| |2| |1| |3|
        const v2 z = _mm256_setzero_pd();
        st(x + 2 * m, _mm256_unpacklo_pd(s, z));      // |0| 0 |1| 0
        st(x + 2 * m + 4, _mm256_unpackhi_pd(s, z));  // |2| 0 |3| 0
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
    auto put = [&](int j, v2 v, int upto) {  // samples j .. j + 3 below upto
        if (j + 4 <= upto) {
            st(dst + j, v);
        } else {
            alignas(32) double t[4];
            _mm256_store_pd(t, v);
            for (int k = 0; j + k < upto; ++k)
                dst[j + k] = t[k];
        }
    };
    int j = 0;
    for (; j + 8 < count && j + 16 <= stride; j += 16) {
        const double* t = sines + j;
        v2 s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
        for (int m = 0; m < harmonics; ++m, t += stride) {
            const v2 b = _mm256_broadcast_sd(amp + m);
            s0 = _mm256_fmadd_pd(b, ld(t), s0);
            s1 = _mm256_fmadd_pd(b, ld(t + 4), s1);
            s2 = _mm256_fmadd_pd(b, ld(t + 8), s2);
            s3 = _mm256_fmadd_pd(b, ld(t + 12), s3);
        }
        put(j, s0, count);
        put(j + 4, s1, count);
        put(j + 8, s2, count);
        put(j + 12, s3, count);
    }
    for (; j < count; j += 8) {
        const double* t = sines + j;
        v2 s0 = _mm256_setzero_pd(), s1 = s0;
        for (int m = 0; m < harmonics; ++m, t += stride) {
            const v2 b = _mm256_broadcast_sd(amp + m);
            s0 = _mm256_fmadd_pd(b, ld(t), s0);
            s1 = _mm256_fmadd_pd(b, ld(t + 4), s1);
        }
        put(j, s0, count);
        if (j + 4 < count)
            put(j + 4, s1, count);
    }
}

}  // namespace detail

#endif
