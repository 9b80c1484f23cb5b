#include "dsp/rdft.h"

#include <atomic>
#include <cmath>

// Real transform through a complex one of n/2 points: split-radix, decimation in
// frequency, depth first in blocks of 512 or 256 doubles, then one bit reversal.
//
// The complex sub-transforms come in two kinds. A block of kind 1 holds a plain
// DFT; a block of kind 2 holds the DFT shifted by half a bin,
// Z[k] = sum_p z[p] e^(+2 pi i p (k + 1/2) / N). A radix-4 stage of kind 1 leaves
// quarters of kinds 1, 2, 1, 1 (the k = 4q+2 quarter needs no twiddle when it is
// computed as a shifted DFT); a stage of kind 2 leaves kinds 1, 2, 1, 2. Quarters
// are in bit-reversed order of their residue, so one final bit reversal orders all.
//
// Table (w): a chain of levels of sizes nw/2, nw/4, ..., 2; the level of size s
// sits at w + nw - 2s and holds e^(i k pi / s) and e^(3 i k pi / s) for k in
// 1 .. s/4 - 1 at elements 4k .. 4k+3 (cos, sin, cos3, -sin3), cos(pi/4) at 1,
// and at 2, 3 the secants that let the first stage interpolate odd twiddles.

namespace detail {

void makewt(int nw, int* ip, double* w);
void makeipt(int nw, int* ip);
void makect(int nc, int* ip, double* c);
void cftfsub(int n, double* a, int* ip, int nw, double* w);
void cftbsub(int n, double* a, int* ip, int nw, double* w);
void cftx020(double* a);
void cftf040(double* a);
void cftb040(double* a);
void cftf081(double* a, const double* w);
void cftf082(double* a, const double* w);
void cftf161(double* a, const double* w);
void cftf162(double* a, const double* w);
void bitrv208(double* a);
void bitrv208neg(double* a);
void bitrv216(double* a);
void bitrv216neg(double* a);
void cftf1st(int n, double* a, const double* w);
void cftb1st(int n, double* a, const double* w);
void cftfx41(int n, double* a, int nw, const double* w);
void cftleaf(int n, int isplt, double* a, int nw, const double* w);
void cftrec4(int n, double* a, int nw, const double* w);
int cfttree(int n, int j, int k, double* a, int nw, const double* w);
void cftmdl1(int n, double* a, const double* w);
void cftmdl2(int n, double* a, const double* w);
void bitrv2(int n, const int* ip, double* a);
void bitrv2conj(int n, const int* ip, double* a);
void rftfsub(int n, double* a, int nc, const double* c);
void rftbsub(int n, double* a, int nc, const double* c);
#if QM_RDFT_AVX2
// rdft_avx2.cpp, compiled for AVX2 + FMA.
void cftfsubAvx2(int n, double* a, int* ip, int nw, double* w);
void cftbsubAvx2(int n, double* a, int* ip, int nw, double* w);
void rftfsubAvx2(int n, double* a, int nc, const double* c);
void rftbsubAvx2(int n, double* a, int nc, const double* c);
void magnitudesAvx2(const double* x, int count, double scale, double* out);
void magnitudesInPlaceAvx2(double* x, int count);
void sineSumsAvx2(const double* sines, int stride, const double* amp, int harmonics, int count, double* dst);
#endif

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

// The pairs (j, n - j) of the real step are independent; each is one complex product.
template <bool Inverse>
inline void realStep(int n, double* a, int nc, const double* c)
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
inline void bfly1(double* a, int s, double wr, double wi, double w3r, double w3i)
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
inline void bfly1(double* a, int s)
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
inline void bfly2parts(const double* a, int s, double r, cplx& A, cplx& B, cplx& C, cplx& D)
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
inline void bfly2(double* a, int s, double wr, double wi, double cwr, double cwi,
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

inline void bfly2(double* a, int s, double r)
{
    cplx A, B, C, D;
    bfly2parts(a, s, r, A, B, C, D);
    store(a, A + C);
    store(a + s, A - C);
    store(a + 2 * s, B + D);
    store(a + 3 * s, B - D);
}

// The same butterflies on values, for the fixed kernels: their points stay in
// registers from the first load to the last store.
inline void r1(cplx& x0, cplx& x1, cplx& x2, cplx& x3)
{
    const cplx sum02 = x0 + x2, dif02 = x0 - x2;
    const cplx sum13 = x1 + x3, idif13 = timesI(x1 - x3);
    x0 = sum02 + sum13;
    x1 = sum02 - sum13;
    x2 = dif02 + idif13;
    x3 = dif02 - idif13;
}

inline void r1(cplx& x0, cplx& x1, cplx& x2, cplx& x3, double wr, double wi, double w3r, double w3i)
{
    r1(x0, x1, x2, x3);
    x2 = mul(x2, wr, wi);
    x3 = mul(x3, w3r, w3i);
}

inline void r2(cplx& x0, cplx& x1, cplx& x2, cplx& x3, double r)
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

inline void r2(cplx& x0, cplx& x1, cplx& x2, cplx& x3, double wr, double wi, double cwr, double cwi,
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

inline void p1(cplx& x0, cplx& x1)  // z0 + z1, z0 - z1
{
    const cplx t = x0;
    x0 = t + x1;
    x1 = t - x1;
}

inline void p2(cplx& x0, cplx& x1)  // z0 + i z1, z0 - i z1
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

// Kind-1 stage over the whole array; twiddles at odd indices are interpolated
// from their even neighbours with the level's secants (the level has half the
// resolution the stage needs).
// Butterflies at k and L - k from one twiddle pair given as vectors {wr, wi} and
// {w3r, w3i}: the mirrored ones are (wi, wr) and (-w3i, -w3r), so the broadcasts
// are formed once for both.
template <bool Conj>
inline void bfly1Pair(double* a, double* b, int s, cplx wv, cplx w3v)
{
    const cplx wr = lowTwice(wv), wi = highTwice(wv);
    const cplx w3r = lowTwice(w3v), w3i = highTwice(w3v);
    auto m = [](cplx v, cplx re, cplx im) { return v * re + swapped(v) * im; };
    auto butterfly = [&](double* p, cplx r1, cplx i1, cplx r3, cplx i3) {
        const cplx x0 = loadPoint<Conj>(p), x1 = loadPoint<Conj>(p + s);
        const cplx x2 = loadPoint<Conj>(p + 2 * s), x3 = loadPoint<Conj>(p + 3 * s);
        const cplx sum02 = x0 + x2, dif02 = x0 - x2;
        const cplx sum13 = x1 + x3, idif13 = timesI(x1 - x3);
        store(p, sum02 + sum13);
        store(p + s, sum02 - sum13);
        store(p + 2 * s, m(dif02 + idif13, r1, i1));
        store(p + 3 * s, m(dif02 - idif13, r3, i3));
    };
    butterfly(a, wr, negRe(wi), w3r, negRe(w3i));
    butterfly(b, wi, negRe(wr), -w3i, conj(w3r));
}

// Kind-1 stage over the whole array; twiddles at odd indices are interpolated
// from their even neighbours with the level's secants (the level has half the
// resolution the stage needs).
template <bool Conj>
void firstStage(int n, double* __restrict a, const double* __restrict w)
{
    const int L = n >> 3;  // points per quarter
    const int s = n >> 2;  // doubles per quarter
    const int h = L >> 1;  // index of the pi/4 twiddle
    const int q = L >> 2;  // table entries below pi/4
    const double r = w[1];
    const cplx csc1{w[2], w[2]}, csc3{w[3], w[3]};
    bfly1<Conj>(a, s);
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
            bfly1Pair<Conj>(a + 4 * j, a + 2 * (L - 2 * j), s, p, p3);
        bfly1Pair<Conj>(a + 4 * j + 2, a + 2 * (L - 2 * j - 1), s, csc1 * (p + nx), csc3 * (p3 + n3));
        p = nx;
        p3 = n3;
    }
    bfly1<Conj>(a + 2 * h, s, r, r, -r, r);
}

// Bit reversal of n/2 points. A point index is (hi, mid, lo) with hi and lo of
// t bits (m = 2^t) and mid of 3 or 4 bits; its reversal is (rev lo, rev mid,
// rev hi). The seed table gives rev(j) placed in the top bits as a group offset.
// Points move as whole vectors, and the mid loop is unrolled for its fixed size.
template <bool Conj, int MidBits>
void bitReverseGroups(int m, const int* seed, double* a)
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

}  // namespace

void makewt(int nw, int* ip, double* w)
{
    ip[0] = nw;
    ip[1] = 1;
    if (nw <= 2)
        return;
    int nwh = nw >> 1;
    const double delta = std::atan(1.0) / nwh;
    const double delta3 = 3 * delta;
    w[0] = 1;
    w[1] = std::cos(delta * nwh);
    if (nwh == 4) {
        w[2] = std::cos(delta * 2);
        w[3] = std::sin(delta * 2);
    } else if (nwh >= 8) {
        w[2] = 0.5 / std::cos(delta * 2);
        w[3] = 0.5 / std::cos(delta * 6);
        for (int j = 4; j < nwh; j += 4) {
            w[j] = std::cos(delta * j);
            w[j + 1] = std::sin(delta * j);
            w[j + 2] = std::cos(delta3 * j);
            w[j + 3] = -std::sin(delta3 * j);
        }
    }
    // Each further level takes every other entry of the one before.
    int prev = 0;
    while (nwh > 2) {
        const int cur = prev + nwh;
        nwh >>= 1;
        w[cur] = 1;
        w[cur + 1] = w[1];
        if (nwh >= 8) {
            w[cur + 2] = 0.5 / w[prev + 4];
            w[cur + 3] = 0.5 / w[prev + 6];
            for (int j = 4; j < nwh; j += 4) {
                w[cur + j] = w[prev + 2 * j];
                w[cur + j + 1] = w[prev + 2 * j + 1];
                w[cur + j + 2] = w[prev + 2 * j + 2];
                w[cur + j + 3] = w[prev + 2 * j + 3];
            }
        } else if (nwh == 4) {
            w[cur + 2] = w[prev + 4];
            w[cur + 3] = w[prev + 5];
        }
        prev = cur;
    }
    if ((nw >> 1) > 4)
        makeipt(nw, ip);
}

void makeipt(int nw, int* ip)
{
    ip[2] = 0;
    ip[3] = 16;
    int m = 2;
    for (int l = nw; l > 32; l >>= 2) {
        const int m2 = m << 1;
        const int q = m2 << 3;
        for (int j = m; j < m2; ++j) {
            const int p = ip[j] << 2;
            ip[m + j] = p;
            ip[m2 + j] = p + q;
        }
        m = m2;
    }
}

void makect(int nc, int* ip, double* c)
{
    ip[1] = nc;
    if (nc <= 1)
        return;
    const int nch = nc >> 1;
    const double delta = std::atan(1.0) / nch;
    c[0] = std::cos(delta * nch);
    c[nch] = 0.5 * c[0];
    for (int j = 1; j < nch; ++j) {
        c[j] = 0.5 * std::cos(delta * j);
        c[nc - j] = 0.5 * std::sin(delta * j);
    }
}

void cftfsub(int n, double* a, int* ip, int nw, double* w)
{
    if (n > 8) {
        if (n > 32) {
            cftf1st(n, a, w + nw - (n >> 2));
            if (n > 512)
                cftrec4(n, a, nw, w);
            else if (n > 128)
                cftleaf(n, 1, a, nw, w);
            else
                cftfx41(n, a, nw, w);
            bitrv2(n, ip, a);
        } else if (n == 32) {
            cftf161(a, w + nw - 8);
            bitrv216(a);
        } else {
            cftf081(a, w);
            bitrv208(a);
        }
    } else if (n == 8) {
        cftf040(a);
    } else if (n == 4) {
        cftx020(a);
    }
}

void cftbsub(int n, double* a, int* ip, int nw, double* w)
{
    if (n > 8) {
        if (n > 32) {
            cftb1st(n, a, w + nw - (n >> 2));
            if (n > 512)
                cftrec4(n, a, nw, w);
            else if (n > 128)
                cftleaf(n, 1, a, nw, w);
            else
                cftfx41(n, a, nw, w);
            bitrv2conj(n, ip, a);
        } else if (n == 32) {
            cftf161(a, w + nw - 8);
            bitrv216neg(a);
        } else {
            cftf081(a, w);
            bitrv208neg(a);
        }
    } else if (n == 8) {
        cftb040(a);
    } else if (n == 4) {
        cftx020(a);
    }
}

void cftx020(double* a)
{
    pair1(a);
}

void cftf040(double* a)
{
    bfly1(a, 2);
    // bit-reversed 4-point result -> natural order
    const double t0 = a[2], t1 = a[3];
    a[2] = a[4];
    a[3] = a[5];
    a[4] = t0;
    a[5] = t1;
}

void cftb040(double* a)
{
    bfly1(a, 2);
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
    r1(z[0], z[2], z[4], z[6]);
    r1(z[1], z[3], z[5], z[7], r, r, -r, r);
    p1(z[0], z[1]);
    p2(z[2], z[3]);
    p1(z[4], z[5]);
    p1(z[6], z[7]);
    storeAll(a, z);
}

void cftf082(double* a, const double* w)
{
    const double r = w[1], c8 = w[2], s8 = w[3];
    cplx z[8];
    loadAll(a, z);
    r2(z[0], z[2], z[4], z[6], r);
    r2(z[1], z[3], z[5], z[7], c8, s8, s8, c8, s8, c8, -s8, c8);
    p1(z[0], z[1]);
    p2(z[2], z[3]);
    p1(z[4], z[5]);
    p2(z[6], z[7]);
    storeAll(a, z);
}

void cftf161(double* a, const double* w)
{
    const double r = w[1], c8 = w[2], s8 = w[3];
    cplx z[16];
    loadAll(a, z);
    r1(z[0], z[4], z[8], z[12]);
    r1(z[1], z[5], z[9], z[13], c8, s8, s8, c8);
    r1(z[2], z[6], z[10], z[14], r, r, -r, r);
    r1(z[3], z[7], z[11], z[15], s8, c8, -c8, -s8);
    r1(z[0], z[1], z[2], z[3]);
    r2(z[4], z[5], z[6], z[7], r);
    r1(z[8], z[9], z[10], z[11]);
    r1(z[12], z[13], z[14], z[15]);
    storeAll(a, z);
}

void cftf162(double* a, const double* w)
{
    const double r = w[1];
    const double c1 = w[4], s1 = w[5], c3 = w[6], s3 = -w[7];  // pi/16, 3pi/16
    const double c2 = w[8], s2 = w[9];                         // pi/8
    cplx z[16];
    loadAll(a, z);
    r2(z[0], z[4], z[8], z[12], r);
    r2(z[1], z[5], z[9], z[13], c1, s1, s3, c3, c3, s3, s1, c1);
    r2(z[2], z[6], z[10], z[14], c2, s2, s2, c2, s2, c2, -s2, c2);
    r2(z[3], z[7], z[11], z[15], c3, s3, s1, c1, -s1, c1, -c3, s3);
    r1(z[0], z[1], z[2], z[3]);
    r2(z[4], z[5], z[6], z[7], r);
    r1(z[8], z[9], z[10], z[11]);
    r2(z[12], z[13], z[14], z[15], r);
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

void cftf1st(int n, double* a, const double* w)
{
    firstStage<false>(n, a, w);
}

void cftb1st(int n, double* a, const double* w)
{
    firstStage<true>(n, a, w);
}

void cftfx41(int n, double* a, int nw, const double* w)
{
    if (n == 128) {
        cftf161(a, w + nw - 8);
        cftf162(a + 32, w + nw - 32);
        cftf161(a + 64, w + nw - 8);
        cftf161(a + 96, w + nw - 8);
    } else {
        cftf081(a, w + nw - 8);
        cftf082(a + 16, w + nw - 8);
        cftf081(a + 32, w + nw - 8);
        cftf081(a + 48, w + nw - 8);
    }
}

namespace {

// N > 0: a fixed size, so strides are constants and the loop unrolls fully.
template <int N>
inline void middle1(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const int h = L >> 1;
    bfly1(a, s);
#pragma GCC unroll 8
    for (int k = 1; k < h; ++k) {
        const double* t = w + 4 * k;
        bfly1Pair<false>(a + 2 * k, a + 2 * (L - k), s, load(t), conj(load(t + 2)));
    }
    const double r = w[1];
    bfly1(a + 2 * h, s, r, r, -r, r);
}

// c w_k = i conj(w_(L-k)) and c w3_k = -conj(w3_(L-k)): the folded twiddles
// come from the mirrored table entry.
template <int N>
inline void middle2(int n, double* __restrict a, const double* __restrict w)
{
    if (N > 0)
        n = N;
    const int L = n >> 3;
    const int s = n >> 2;
    const double r = w[1];
    bfly2(a, s, r);
#pragma GCC unroll 16
    for (int k = 1; k < L; ++k) {
        const double* t = w + 4 * k;
        const double* u = w + 4 * (L - k);
        bfly2(a + 2 * k, s, t[0], t[1], u[1], u[0], t[2], -t[3], -u[2], -u[3]);
    }
}

}  // namespace

namespace {

// Fixed leaf size: strides are constants and the kernels and middle stages
// inline into one body.
template <int N>
inline void leaf(int isplt, double* a, int nw, const double* w)
{
    constexpr int q = N >> 2;  // quarter
    constexpr int s = q >> 2;  // sub-block
    const double* w1 = w + nw - (q >> 1);  // kind-1 stage over a quarter
    const double* w2 = w + nw - q;         // kind-2 stage over a quarter
    const double* wk1 = w + nw - 8;
    const double* wk2 = N == 512 ? w + nw - 32 : w + nw - 8;
    auto k1 = [&](double* b) {
        if (N == 512)
            cftf161(b, wk1);
        else
            cftf081(b, wk1);
    };
    auto k2 = [&](double* b) {
        if (N == 512)
            cftf162(b, wk2);
        else
            cftf082(b, wk2);
    };
    middle1<q>(q, a, w1);
    k1(a);
    k2(a + s);
    k1(a + 2 * s);
    k1(a + 3 * s);
    double* b = a + q;
    middle2<q>(q, b, w2);
    k1(b);
    k2(b + s);
    k1(b + 2 * s);
    k2(b + 3 * s);
    b += q;
    middle1<q>(q, b, w1);
    k1(b);
    k2(b + s);
    k1(b + 2 * s);
    k1(b + 3 * s);
    b += q;
    if (isplt == 1) {
        middle1<q>(q, b, w1);
        k1(b + 3 * s);
    } else {
        middle2<q>(q, b, w2);
        k2(b + 3 * s);
    }
    k1(b);
    k2(b + s);
    k1(b + 2 * s);
}

}  // namespace

void cftleaf(int n, int isplt, double* a, int nw, const double* w)
{
    if (n == 512)
        leaf<512>(isplt, a, nw, w);
    else
        leaf<256>(isplt, a, nw, w);
}

void cftrec4(int n, double* a, int nw, const double* w)
{
    int m = n;
    while (m > 512) {
        m >>= 2;
        cftmdl1(m, a + n - m, w + nw - (m >> 1));
    }
    cftleaf(m, 1, a + n - m, nw, w);
    int k = 0;
    for (int j = n - m; j > 0; j -= m) {
        ++k;
        const int isplt = cfttree(m, j, k, a, nw, w);
        cftleaf(m, isplt, a + j - m, nw, w);
    }
}

int cfttree(int n, int j, int k, double* a, int nw, const double* w)
{
    int kind;
    if ((k & 3) != 0) {
        kind = (k & 1) ? 1 : 2;
        if (kind == 1)
            cftmdl1(n, a + j - n, w + nw - (n >> 1));
        else
            cftmdl2(n, a + j - n, w + nw - n);
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
                cftmdl1(m, a + j - m, w + nw - (m >> 1));
            else
                cftmdl2(m, a + j - m, w + nw - m);
        }
    }
    return kind;
}

void cftmdl1(int n, double* a, const double* w)
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

void cftmdl2(int n, double* a, const double* w)
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

void bitrv2(int n, const int* ip, double* a)
{
    bitReverse<false>(n, ip, a);
}

void bitrv2conj(int n, const int* ip, double* a)
{
    bitReverse<true>(n, ip, a);
}

void rftfsub(int n, double* a, int nc, const double* c)
{
    realStep<false>(n, a, nc, c);
}

void rftbsub(int n, double* a, int nc, const double* c)
{
    realStep<true>(n, a, nc, c);
}

}  // namespace detail

namespace {

// 0: not chosen yet, 1: baseline, 2: AVX2. Written once by the first rdft call
// (every thread that races there writes the same value) or by rdftUsePath.
std::atomic<int> chosenPath{0};

bool cpuHasAvx2()
{
#if QM_RDFT_AVX2
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

inline int currentPath()
{
    int p = chosenPath.load(std::memory_order_relaxed);
    if (p == 0) {
        p = cpuHasAvx2() ? 2 : 1;
        chosenPath.store(p, std::memory_order_relaxed);
    }
    return p;
}

}  // namespace

RdftPath rdftPath()
{
    return currentPath() == 2 ? RdftPath::avx2 : RdftPath::baseline;
}

bool rdftAvx2Available()
{
    return cpuHasAvx2();
}

bool rdftUsePath(RdftPath p)
{
    if (p == RdftPath::avx2 && !cpuHasAvx2())
        return false;
    chosenPath.store(p == RdftPath::avx2 ? 2 : 1, std::memory_order_relaxed);
    return true;
}

void spectrumMagnitudes(const double* x, int32_t count, double scale, double* out)
{
#if QM_RDFT_AVX2
    if (currentPath() == 2) {
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
    if (currentPath() == 2) {
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
    using detail::cplx;
    using detail::load;
#if QM_RDFT_AVX2
    if (currentPath() == 2) {
        detail::sineSumsAvx2(sines, stride, amp, harmonics, count, dst);
        return;
    }
#endif
    // Eight samples at a time, two to a vector: independent sums instead of long
    // dependency chains.
    for (int32_t j = 0; j < count; j += 8) {
        const double* t = sines + j;
        cplx s0{0, 0}, s1{0, 0}, s2{0, 0}, s3{0, 0};
        for (int32_t m = 0; m < harmonics; ++m, t += stride) {
            const cplx b{amp[m], amp[m]};
            s0 += b * load(t);
            s1 += b * load(t + 2);
            s2 += b * load(t + 4);
            s3 += b * load(t + 6);
        }
        const double sums[8] = {s0[0], s0[1], s1[0], s1[1], s2[0], s2[1], s3[0], s3[1]};
        for (int32_t k = 0; k < 8 && j + k < count; ++k)
            dst[j + k] = sums[k];
    }
}

void rdft(int32_t n, int32_t isgn, double* a, int* ip, double* w)
{
    using namespace detail;
    int nw = ip[0];
    if (n > (nw << 2)) {
        nw = n >> 2;
        makewt(nw, ip, w);
    }
    int nc = ip[1];
    if (n > (nc << 2)) {
        nc = n >> 2;
        makect(nc, ip, w + nw);
    }
#if QM_RDFT_AVX2
    const bool avx2 = currentPath() == 2;
#else
    const bool avx2 = false;
#endif
    if (isgn >= 0) {
        if (n > 4) {
#if QM_RDFT_AVX2
            if (avx2) {
                cftfsubAvx2(n, a, ip, nw, w);
                rftfsubAvx2(n, a, nc, w + nw);
            } else
#endif
            {
                cftfsub(n, a, ip, nw, w);
                rftfsub(n, a, nc, w + nw);
            }
        } else if (n == 4) {
            cftfsub(n, a, ip, nw, w);
        }
        const double d = a[0] - a[1];
        a[0] += a[1];
        a[1] = d;
    } else {
        a[1] = 0.5 * (a[0] - a[1]);
        a[0] -= a[1];
        if (n > 4) {
#if QM_RDFT_AVX2
            if (avx2) {
                rftbsubAvx2(n, a, nc, w + nw);
                cftbsubAvx2(n, a, ip, nw, w);
            } else
#endif
            {
                rftbsub(n, a, nc, w + nw);
                cftbsub(n, a, ip, nw, w);
            }
        } else if (n == 4) {
            cftbsub(n, a, ip, nw, w);
        }
    }
    (void)avx2;
}
