// The baseline path of rdft: SSE2 on x86-64, NEON on ARM64, plain vectors of the
// compiler elsewhere; one complex point per 16-byte vector.
//
// Implemented here:
//  [x] the stages the stage order calls (rdft_stages.h): the first stage, the middle
//      stages of kinds 1 and 2, the 16- and 8-point kernels, the bit reversal
//  [x] the real step (rftfsub, rftbsub)
//  [x] the whole complex transform of 32 doubles or fewer, for both paths
//
// Real transform through a complex one of n/2 points: split-radix, decimation in
// frequency, depth first in blocks of 512 or 256 doubles, then one bit reversal.
//
// The complex sub-transforms come in two kinds. A block of kind 1 holds a plain
// DFT; a block of kind 2 holds the DFT shifted by half a bin,
// Z[k] = sum_p z[p] e^(+2 pi i p (k + 1/2) / N). A radix-4 stage of kind 1 leaves
// quarters of kinds 1, 2, 1, 1 (the k = 4q+2 quarter needs no twiddle when it is
// computed as a shifted DFT); a stage of kind 2 leaves kinds 1, 2, 1, 2. Quarters
// are in bit-reversed order of their residue, so one final bit reversal orders all.
// The table levels are described in rdft.cpp, where they are built.

#include "dsp/rdft_stages.h"

namespace detail {

namespace {

// One complex number {re, im} per 16-byte vector (SSE2 on x86-64, NEON on ARM).
typedef double cplx __attribute__((vector_size(16)));

inline cplx load(const double* p)
{
    cplx v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void store(double* p, cplx v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

typedef long long bits __attribute__((vector_size(16)));

// Lane shuffles: GCC's __builtin_shuffle, Clang's __builtin_shufflevector (Apple's
// compiler on ARM64 Macs).
#if defined(__clang__)
#define QM_SHUFFLE2(v, i, j) __builtin_shufflevector(v, v, i, j)
#else
#define QM_SHUFFLE2(v, i, j) __builtin_shuffle(v, (bits){i, j})
#endif

inline cplx swapped(cplx v)
{
    return QM_SHUFFLE2(v, 1, 0);
}

inline cplx lowTwice(cplx v)  // {v[0], v[0]}
{
    return QM_SHUFFLE2(v, 0, 0);
}

inline cplx highTwice(cplx v)  // {v[1], v[1]}
{
    return QM_SHUFFLE2(v, 1, 1);
}

// Sign flips as bit operations: one cheap logic instruction instead of a product.
inline cplx negRe(cplx v)
{
    return (cplx)((bits)v ^ (bits){(long long)0x8000000000000000ULL, 0});
}

inline cplx conj(cplx v)
{
    return (cplx)((bits)v ^ (bits){0, (long long)0x8000000000000000ULL});
}

inline cplx timesI(cplx v)  // i v
{
    return negRe(swapped(v));
}

// v * (wr + i wi) as v * {wr, wr} + swapped(v) * {-wi, wi}: no sign flip of v.
inline cplx mul(cplx v, double wr, double wi)
{
    return v * cplx{wr, wr} + swapped(v) * cplx{-wi, wi};
}

inline cplx mul(cplx v, cplx w)  // complex product
{
    return v * cplx{w[0], w[0]} + timesI(v) * cplx{w[1], w[1]};
}

template <bool Conj>
inline cplx loadPoint(const double* p)
{
    return Conj ? conj(load(p)) : load(p);
}

// The baseline's stages, in the shapes rdft_stages.h asks for.
struct BaselinePath {
    template <bool Inverse>
    static void realStep(int n, double* a, int nc, const double* c);  // rftfsub, rftbsub
    template <bool Conj>
    static void firstStage(int n, double* __restrict a, const double* __restrict w);  // cftf1st, cftb1st
    template <int N>
    static void middle1(int n, double* __restrict a, const double* __restrict w);  // cftmdl1
    template <int N>
    static void middle2(int n, double* __restrict a, const double* __restrict w);  // cftmdl2
    template <bool Conj, int MidBits>
    static void bitReverseGroups(int m, const int* seed, double* a);
    struct Kernels;
};

// The pairs (j, n - j) of the real step are independent; each is one complex product.
template <bool Inverse>
inline void BaselinePath::realStep(int n, double* a, int nc, const double* c)
{
    const int m = n >> 1;
    const int ks = 2 * nc / m;
    int kk = 0;
    int j = 2;
    if (ks == 1) {
        // Tables of this size: pairs j and m - j use the same two table values,
        // swapped (wr' = 1/2 - wi, wi' = 1/2 - wr), so four pairs, j, j + 2 and
        // their mirrors, share two vector loads and four broadcasts.
        const cplx half{0.5, 0.5};
        auto pair = [](double* x, double* y, cplx wr, cplx wi) {
            const cplx w2 = Inverse ? conj(wi) : negRe(wi);
            const cplx u = load(x), v = conj(load(y));
            const cplx d = u - v;
            const cplx t = d * wr + swapped(d) * w2;
            store(x, u - t);
            store(y, conj(v + t));
        };
        for (; j + 4 <= (m >> 1); j += 4) {
            const int k = n - j;
            const cplx cv = load(c + nc - kk - 2), sv = load(c + kk + 1);
            const cplx c0 = lowTwice(cv), c1 = highTwice(cv);
            const cplx s0 = lowTwice(sv), s1 = highTwice(sv);
            pair(a + j, a + k, half - c1, s0);
            pair(a + j + 2, a + k - 2, half - c0, s1);
            pair(a + m - j, a + n - m + j, half - s0, c1);
            pair(a + m - j - 2, a + n - m + j + 2, half - s1, c0);
            kk += 2;
        }
    }
    // What is left: all pairs, or the few around m / 2 between the mirrored ones.
    const int jLast = m - j;
    for (; j <= jLast; j += 2) {
        const int k = n - j;
        kk += ks;
        const cplx wk{0.5 - c[nc - kk], Inverse ? -c[kk] : c[kk]};
        const cplx x = load(a + j), y = load(a + k);
        const cplx d = x - conj(y);
        const cplx t = mul(d, wk);
        store(a + j, x - t);
        store(a + k, y + conj(t));
    }
}

// Radix-4 butterfly of kind 1 on points z[p], z[p+L], z[p+2L], z[p+3L] (a points
// at z[p], s = 2L doubles): quarters get v0, v2, v1 * w, v3 * w^3 with
// v_r = sum_q x_q i^(q r). Conj reads the points conjugated.
template <bool Conj = false>
inline void butterfly1(double* a, int s, double wr, double wi, double w3r, double w3i)
{
    const cplx x0 = loadPoint<Conj>(a), x1 = loadPoint<Conj>(a + s);
    const cplx x2 = loadPoint<Conj>(a + 2 * s), x3 = loadPoint<Conj>(a + 3 * s);
    const cplx sum02 = x0 + x2, dif02 = x0 - x2;
    const cplx sum13 = x1 + x3, idif13 = timesI(x1 - x3);
    store(a, sum02 + sum13);
    store(a + s, sum02 - sum13);
    store(a + 2 * s, mul(dif02 + idif13, wr, wi));
    store(a + 3 * s, mul(dif02 - idif13, w3r, w3i));
}

template <bool Conj = false>
inline void butterfly1(double* a, int s)
{
    const cplx x0 = loadPoint<Conj>(a), x1 = loadPoint<Conj>(a + s);
    const cplx x2 = loadPoint<Conj>(a + 2 * s), x3 = loadPoint<Conj>(a + 3 * s);
    const cplx sum02 = x0 + x2, dif02 = x0 - x2;
    const cplx sum13 = x1 + x3, idif13 = timesI(x1 - x3);
    store(a, sum02 + sum13);
    store(a + s, sum02 - sum13);
    store(a + 2 * s, dif02 + idif13);
    store(a + 3 * s, dif02 - idif13);
}

// Radix-4 butterfly of kind 2 (c = e^(i pi/4), r = cos(pi/4)): with
// A = x0 + i x2, B = x0 - i x2, C = c (x1 + i x3), D = c (x3 + i x1),
// quarters get (A + C) w, (A - C) w, (B + D) w^3, (B - D) w^3.
inline void butterfly2Parts(const double* a, int s, double r, cplx& A, cplx& B, cplx& C, cplx& D)
{
    const cplx x0 = load(a), x1 = load(a + s), x2 = load(a + 2 * s), x3 = load(a + 3 * s);
    const cplx ix2 = timesI(x2);
    A = x0 + ix2;
    B = x0 - ix2;
    const cplx u = x1 + timesI(x3), v = x3 + timesI(x1);
    const cplx rr{r, r};
    C = (u + timesI(u)) * rr;
    D = (v + timesI(v)) * rr;
}

// With cw = c w and cw3 = c w3 given, (A +- C) w = A w +- (x1 + i x3) cw and
// (B +- D) w3 = B w3 +- (x3 + i x1) cw3: four products, no scaling by r.
inline void butterfly2(double* a, int s, double wr, double wi, double cwr, double cwi,
                  double w3r, double w3i, double cw3r, double cw3i)
{
    const cplx x0 = load(a), x1 = load(a + s), x2 = load(a + 2 * s), x3 = load(a + 3 * s);
    const cplx ix2 = timesI(x2);
    const cplx Aw = mul(x0 + ix2, wr, wi), Bw = mul(x0 - ix2, w3r, w3i);
    const cplx Cw = mul(x1 + timesI(x3), cwr, cwi), Dw = mul(x3 + timesI(x1), cw3r, cw3i);
    store(a, Aw + Cw);
    store(a + s, Aw - Cw);
    store(a + 2 * s, Bw + Dw);
    store(a + 3 * s, Bw - Dw);
}

inline void butterfly2(double* a, int s, double r)
{
    cplx A, B, C, D;
    butterfly2Parts(a, s, r, A, B, C, D);
    store(a, A + C);
    store(a + s, A - C);
    store(a + 2 * s, B + D);
    store(a + 3 * s, B - D);
}

// The same butterflies on values, for the fixed kernels: their points stay in
// registers from the first load to the last store.
inline void radix4Kind1(cplx& x0, cplx& x1, cplx& x2, cplx& x3)
{
    const cplx sum02 = x0 + x2, dif02 = x0 - x2;
    const cplx sum13 = x1 + x3, idif13 = timesI(x1 - x3);
    x0 = sum02 + sum13;
    x1 = sum02 - sum13;
    x2 = dif02 + idif13;
    x3 = dif02 - idif13;
}

inline void radix4Kind1(cplx& x0, cplx& x1, cplx& x2, cplx& x3, double wr, double wi, double w3r, double w3i)
{
    radix4Kind1(x0, x1, x2, x3);
    x2 = mul(x2, wr, wi);
    x3 = mul(x3, w3r, w3i);
}

inline void radix4Kind2(cplx& x0, cplx& x1, cplx& x2, cplx& x3, double r)
{
    const cplx ix2 = timesI(x2);
    const cplx A = x0 + ix2, B = x0 - ix2;
    const cplx u = x1 + timesI(x3), v = x3 + timesI(x1);
    const cplx rr{r, r};
    const cplx C = (u + timesI(u)) * rr, D = (v + timesI(v)) * rr;
    x0 = A + C;
    x1 = A - C;
    x2 = B + D;
    x3 = B - D;
}

inline void radix4Kind2(cplx& x0, cplx& x1, cplx& x2, cplx& x3, double wr, double wi, double cwr, double cwi,
               double w3r, double w3i, double cw3r, double cw3i)
{
    const cplx ix2 = timesI(x2);
    const cplx Aw = mul(x0 + ix2, wr, wi), Bw = mul(x0 - ix2, w3r, w3i);
    const cplx Cw = mul(x1 + timesI(x3), cwr, cwi), Dw = mul(x3 + timesI(x1), cw3r, cw3i);
    x0 = Aw + Cw;
    x1 = Aw - Cw;
    x2 = Bw + Dw;
    x3 = Bw - Dw;
}

inline void radix2(cplx& x0, cplx& x1)  // z0 + z1, z0 - z1
{
    const cplx t = x0;
    x0 = t + x1;
    x1 = t - x1;
}

inline void radix2TimesI(cplx& x0, cplx& x1)  // z0 + i z1, z0 - i z1
{
    const cplx t = x0, u = timesI(x1);
    x0 = t + u;
    x1 = t - u;
}

template <int N>
inline void loadAll(const double* a, cplx (&z)[N])
{
    for (int p = 0; p < N; ++p)
        z[p] = load(a + 2 * p);
}

template <int N>
inline void storeAll(double* a, const cplx (&z)[N])
{
    for (int p = 0; p < N; ++p)
        store(a + 2 * p, z[p]);
}

// 2-point blocks at the bottom of the 8-point kernels.
inline void pair1(double* a)
{
    const double x0r = a[0], x0i = a[1];
    a[0] = x0r + a[2];
    a[1] = x0i + a[3];
    a[2] = x0r - a[2];
    a[3] = x0i - a[3];
}

// Butterflies at k and L - k from one twiddle pair given as vectors {wr, wi} and
// {w3r, w3i}: the mirrored ones are (wi, wr) and (-w3i, -w3r), so the broadcasts
// are formed once for both.
template <bool Conj>
inline void butterfly1Pair(double* a, double* b, int s, cplx wv, cplx w3v)
{
    const cplx wr = lowTwice(wv), wi = highTwice(wv);
    const cplx w3r = lowTwice(w3v), w3i = highTwice(w3v);
    auto times = [](cplx v, cplx re, cplx im) { return v * re + swapped(v) * im; };
    auto butterfly = [&](double* p, cplx re1, cplx im1, cplx re3, cplx im3) {
        const cplx x0 = loadPoint<Conj>(p), x1 = loadPoint<Conj>(p + s);
        const cplx x2 = loadPoint<Conj>(p + 2 * s), x3 = loadPoint<Conj>(p + 3 * s);
        const cplx sum02 = x0 + x2, dif02 = x0 - x2;
        const cplx sum13 = x1 + x3, idif13 = timesI(x1 - x3);
        store(p, sum02 + sum13);
        store(p + s, sum02 - sum13);
        store(p + 2 * s, times(dif02 + idif13, re1, im1));
        store(p + 3 * s, times(dif02 - idif13, re3, im3));
    };
    butterfly(a, wr, negRe(wi), w3r, negRe(w3i));
    butterfly(b, wi, negRe(wr), -w3i, conj(w3r));
}

// Kind-1 stage over the whole array; twiddles at odd indices are interpolated
// from their even neighbours with the level's secants (the level has half the
// resolution the stage needs).
template <bool Conj>
void BaselinePath::firstStage(int n, double* __restrict a, const double* __restrict w)
{
    const int L = n >> 3;  // points per quarter
    const int s = n >> 2;  // doubles per quarter
    const int h = L >> 1;  // index of the pi/4 twiddle
    const int q = L >> 2;  // table entries below pi/4
    const double r = w[1];
    const cplx csc1{w[2], w[2]}, csc3{w[3], w[3]};
    butterfly1<Conj>(a, s);
    cplx p{1, 0}, p3{1, 0};
    for (int j = 0; j < q; ++j) {
        cplx nx, n3;
        if (j + 1 < q) {
            nx = load(w + 4 * (j + 1));
            n3 = conj(load(w + 4 * (j + 1) + 2));
        } else {
            nx = cplx{r, r};
            n3 = cplx{-r, r};
        }
        if (j > 0)
            butterfly1Pair<Conj>(a + 4 * j, a + 2 * (L - 2 * j), s, p, p3);
        butterfly1Pair<Conj>(a + 4 * j + 2, a + 2 * (L - 2 * j - 1), s, csc1 * (p + nx), csc3 * (p3 + n3));
        p = nx;
        p3 = n3;
    }
    butterfly1<Conj>(a + 2 * h, s, r, r, -r, r);
}

// The bit reversal's groups (rdft_stages.h says which index goes where): points move
// one by one as whole vectors, and the mid loop is unrolled for its fixed size.
template <bool Conj, int MidBits>
void BaselinePath::bitReverseGroups(int m, const int* seed, double* a)
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
    auto move = [](cplx v) { return Conj ? conj(v) : v; };
    for (int b = 0; b < m; ++b) {
        const int hb = seed[b] << groupShift;
        for (int c = 0; c < b; ++c) {
            // group (rev c, *, b) <-> group (rev b, *, c)
            double* p = a + (seed[c] << groupShift) + 2 * b;
            double* q = a + hb + 2 * c;
#pragma GCC unroll 16
            for (int x = 0; x < Mid; ++x) {
                const cplx u = load(p + x * midStride), v = load(q + rev(x) * midStride);
                store(p + x * midStride, move(v));
                store(q + rev(x) * midStride, move(u));
            }
        }
        double* p = a + hb + 2 * b;
#pragma GCC unroll 16
        for (int x = 0; x < Mid; ++x) {
            const int y = rev(x);
            if (x < y) {
                const cplx u = load(p + x * midStride), v = load(p + y * midStride);
                store(p + x * midStride, move(v));
                store(p + y * midStride, move(u));
            } else if (Conj && x == y) {
                store(p + x * midStride, move(load(p + x * midStride)));
            }
        }
    }
}

template <int N>
void permute(double* a, const int (&from)[N])
{
    double t[2 * N];
    for (int k = 0; k < 2 * N; ++k)
        t[k] = a[k];
    for (int k = 0; k < N; ++k) {
        a[2 * k] = t[2 * from[k]];
        a[2 * k + 1] = t[2 * from[k] + 1];
    }
}

void cftx020(double* a)
{
    pair1(a);
}

void cftf040(double* a)
{
    butterfly1(a, 2);
    // bit-reversed 4-point result -> natural order
    const double t0 = a[2], t1 = a[3];
    a[2] = a[4];
    a[3] = a[5];
    a[4] = t0;
    a[5] = t1;
}

void cftb040(double* a)
{
    butterfly1(a, 2);
    // the inverse at k is the forward result at 4 - k: positions 0, 3, 1, 2 of
    // the bit-reversed forward result
    const double f2r = a[2], f2i = a[3], f1r = a[4], f1i = a[5];
    a[2] = a[6];
    a[3] = a[7];
    a[4] = f2r;
    a[5] = f2i;
    a[6] = f1r;
    a[7] = f1i;
}

void cftf081(double* a, const double* w)
{
    const double r = w[1];
    cplx z[8];
    loadAll(a, z);
    radix4Kind1(z[0], z[2], z[4], z[6]);
    radix4Kind1(z[1], z[3], z[5], z[7], r, r, -r, r);
    radix2(z[0], z[1]);
    radix2TimesI(z[2], z[3]);
    radix2(z[4], z[5]);
    radix2(z[6], z[7]);
    storeAll(a, z);
}

void cftf082(double* a, const double* w)
{
    const double r = w[1], c8 = w[2], s8 = w[3];
    cplx z[8];
    loadAll(a, z);
    radix4Kind2(z[0], z[2], z[4], z[6], r);
    radix4Kind2(z[1], z[3], z[5], z[7], c8, s8, s8, c8, s8, c8, -s8, c8);
    radix2(z[0], z[1]);
    radix2TimesI(z[2], z[3]);
    radix2(z[4], z[5]);
    radix2TimesI(z[6], z[7]);
    storeAll(a, z);
}

void cftf161(double* a, const double* w)
{
    const double r = w[1], c8 = w[2], s8 = w[3];
    cplx z[16];
    loadAll(a, z);
    radix4Kind1(z[0], z[4], z[8], z[12]);
    radix4Kind1(z[1], z[5], z[9], z[13], c8, s8, s8, c8);
    radix4Kind1(z[2], z[6], z[10], z[14], r, r, -r, r);
    radix4Kind1(z[3], z[7], z[11], z[15], s8, c8, -c8, -s8);
    radix4Kind1(z[0], z[1], z[2], z[3]);
    radix4Kind2(z[4], z[5], z[6], z[7], r);
    radix4Kind1(z[8], z[9], z[10], z[11]);
    radix4Kind1(z[12], z[13], z[14], z[15]);
    storeAll(a, z);
}

void cftf162(double* a, const double* w)
{
    const double r = w[1];
    const double c1 = w[4], s1 = w[5], c3 = w[6], s3 = -w[7];  // pi/16, 3pi/16
    const double c2 = w[8], s2 = w[9];                         // pi/8
    cplx z[16];
    loadAll(a, z);
    radix4Kind2(z[0], z[4], z[8], z[12], r);
    radix4Kind2(z[1], z[5], z[9], z[13], c1, s1, s3, c3, c3, s3, s1, c1);
    radix4Kind2(z[2], z[6], z[10], z[14], c2, s2, s2, c2, s2, c2, -s2, c2);
    radix4Kind2(z[3], z[7], z[11], z[15], c3, s3, s1, c1, -s1, c1, -c3, s3);
    radix4Kind1(z[0], z[1], z[2], z[3]);
    radix4Kind2(z[4], z[5], z[6], z[7], r);
    radix4Kind1(z[8], z[9], z[10], z[11]);
    radix4Kind2(z[12], z[13], z[14], z[15], r);
    storeAll(a, z);
}

void bitrv208(double* a)
{
    static const int from[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    permute(a, from);
}

void bitrv208neg(double* a)
{
    static const int from[8] = {0, 7, 3, 5, 1, 6, 2, 4};
    permute(a, from);
}

void bitrv216(double* a)
{
    static const int from[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    permute(a, from);
}

void bitrv216neg(double* a)
{
    static const int from[16] = {0, 15, 7, 11, 3, 13, 5, 9, 1, 14, 6, 10, 2, 12, 4, 8};
    permute(a, from);
}


// N > 0: a fixed size, so strides are constants and the loop unrolls fully.
template <int N>
inline void BaselinePath::middle1(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const int h = L >> 1;
    butterfly1(a, s);
#pragma GCC unroll 8
    for (int k = 1; k < h; ++k) {
        const double* t = w + 4 * k;
        butterfly1Pair<false>(a + 2 * k, a + 2 * (L - k), s, load(t), conj(load(t + 2)));
    }
    const double r = w[1];
    butterfly1(a + 2 * h, s, r, r, -r, r);
}

// c w_k = i conj(w_(L-k)) and c w3_k = -conj(w3_(L-k)): the folded twiddles
// come from the mirrored table entry.
template <int N>
inline void BaselinePath::middle2(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const double r = w[1];
    butterfly2(a, s, r);
#pragma GCC unroll 16
    for (int k = 1; k < L; ++k) {
        const double* t = w + 4 * k;
        const double* u = w + 4 * (L - k);
        butterfly2(a + 2 * k, s, t[0], t[1], u[1], u[0], t[2], -t[3], -u[2], -u[3]);
    }
}


// The kernels and the leaf's middle stages at their table levels; nothing to prepare.
struct BaselinePath::Kernels {
    int nw;
    const double* w;
    Kernels(int, int tableSize, const double* table, bool) : nw(tableSize), w(table) {}

    template <int D>
    void kind1(double* b) const
    {
        if (D == 32)
            cftf161(b, w + nw - 8);
        else
            cftf081(b, w + nw - 8);
    }

    template <int D>
    void kind2(double* b) const
    {
        if (D == 32)
            cftf162(b, w + nw - 32);
        else
            cftf082(b, w + nw - 8);
    }

    template <int Q>
    void middle1(double* b) const
    {
        BaselinePath::middle1<Q>(Q, b, w + nw - (Q >> 1));
    }

    template <int Q>
    void middle2(double* b) const
    {
        BaselinePath::middle2<Q>(Q, b, w + nw - Q);
    }
};

}  // namespace

void smallComplexTransform(int n, bool inverse, double* a, int nw, const double* w)
{
    if (n == 32) {
        cftf161(a, w + nw - 8);
        if (inverse)
            bitrv216neg(a);
        else
            bitrv216(a);
    } else if (n == 16) {
        cftf081(a, w);
        if (inverse)
            bitrv208neg(a);
        else
            bitrv208(a);
    } else if (n == 8) {
        if (inverse)
            cftb040(a);
        else
            cftf040(a);
    } else if (n == 4) {
        cftx020(a);
    }
}

void realTransformBaseline(bool inverse, int n, double* a, const int* ip, int nw, const double* w, int nc)
{
    StageOrder<BaselinePath>::realTransform(inverse, n, a, ip, nw, w, nc);
}

}  // namespace detail
