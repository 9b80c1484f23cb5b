#include "dsp/SFFT.h"
#include "dsp/rdft_testing.h"
#include "dsp/spectrumKernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSentinel = -12345.678;
constexpr int kGuard = 16;

// Data array with sentinels on both sides, to catch writes outside the n doubles.
struct Guarded {
    explicit Guarded(int n) : buf(n + 2 * kGuard, kSentinel), n(n) {}
    double* data() { return buf.data() + kGuard; }
    double& operator[](int i) { return buf[kGuard + i]; }
    bool guardsIntact() const
    {
        for (int i = 0; i < kGuard; ++i)
            if (buf[i] != kSentinel || buf[kGuard + n + i] != kSentinel)
                return false;
        return true;
    }
    std::vector<double> buf;
    int n;
};

std::vector<double> randomSignal(int n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x)
        v = dist(gen);
    return x;
}

// Naive DFT in the packed layout, accumulated in long double with an exact
// twiddle index (j*k mod n).
struct NaiveDft {
    explicit NaiveDft(int n) : n(n), cosT(n), sinT(n)
    {
        for (int i = 0; i < n; ++i) {
            const long double ang = 2.0L * kPi * i / n;
            cosT[i] = std::cos(ang);
            sinT[i] = std::sin(ang);
        }
    }
    // Packed element `e` of the forward transform of x.
    double forwardElement(const std::vector<double>& x, int e) const
    {
        if (e == 0 || e == 1) {
            long double s = 0;
            for (int j = 0; j < n; ++j)
                s += (e == 0 || j % 2 == 0) ? x[j] : -x[j];
            return static_cast<double>(s);
        }
        const int k = e / 2;
        const auto& t = (e % 2 == 0) ? cosT : sinT;
        long double s = 0;
        uint64_t idx = 0;
        for (int j = 0; j < n; ++j, idx += k)
            s += x[j] * t[idx % n];
        return static_cast<double>(s);
    }
    // Sample j of the inverse transform of the packed spectrum a.
    double inverseSample(const std::vector<double>& a, int j) const
    {
        long double s = 0.5L * (a[0] + ((j % 2 == 0) ? a[1] : -a[1]));
        uint64_t idx = 0;
        for (int k = 1; k < n / 2; ++k) {
            idx += j;
            const int m = static_cast<int>(idx % n);
            s += a[2 * k] * cosT[m] + a[2 * k + 1] * sinT[m];
        }
        return static_cast<double>(s);
    }
    int n;
    std::vector<long double> cosT, sinT;
};

// Indices to compare: all of them up to 4096, else the edges and a random sample
// (the naive reference is O(n) per element).
std::vector<int> checkedIndices(int n, unsigned seed)
{
    std::vector<int> idx;
    if (n <= 4096) {
        for (int i = 0; i < n; ++i)
            idx.push_back(i);
        return idx;
    }
    for (int i = 0; i < 8; ++i) {
        idx.push_back(i);
        idx.push_back(n - 1 - i);
        idx.push_back(n / 2 - 4 + i);
    }
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(0, n - 1);
    for (int i = 0; i < 40; ++i)
        idx.push_back(dist(gen));
    return idx;
}

// Rounding error of an n-point transform of unit-range data grows about like
// sqrt(n) log2(n); the bound leaves a wide margin, while a wrong sum is off by O(1).
double tolerance(int n)
{
    const double lg = std::max(1.0, std::log2(static_cast<double>(n)));
    return 2e-15 * std::sqrt(static_cast<double>(n)) * lg * 16;
}

std::vector<int> allSizes()
{
    std::vector<int> sizes;
    for (int n = 2; n <= 65536; n *= 2)
        sizes.push_back(n);
    return sizes;
}

// Makes rdft use one path for the scope of a test, then restores the one in use.
struct UsePath {
    explicit UsePath(RdftPath p) : saved(rdftPath()), ok(rdftUsePath(p)) {}
    ~UsePath() { rdftUsePath(saved); }
    RdftPath saved;
    bool ok;
};

const char* pathName(RdftPath p)
{
    return p == RdftPath::avx2 ? "avx2" : "baseline";
}

// Every path, on every size: the AVX2 path where the processor has it (skipped,
// not failed, elsewhere), the baseline always.
class RdftSize : public ::testing::TestWithParam<std::tuple<RdftPath, int>> {};

TEST_P(RdftSize, ForwardInverseAndRoundTripMatchNaiveDft)
{
    const RdftPath path = std::get<0>(GetParam());
    const int n = std::get<1>(GetParam());
    const UsePath use(path);
    if (!use.ok)
        GTEST_SKIP() << "no AVX2 + FMA on this processor (or not an x86-64 build)";
    ASSERT_EQ(rdftPath(), path);
    SFFT fft;
    fft.init(n);
    const NaiveDft ref(n);
    const std::vector<int> idx = checkedIndices(n, 7u + n);
    const double tol = tolerance(n);

    const std::vector<double> x = randomSignal(n, 1000u + n);
    Guarded a(n);
    std::copy(x.begin(), x.end(), a.data());
    rdft(n, 1, a.data(), fft.workArea.data.get(), fft.table.data.get());
    ASSERT_TRUE(a.guardsIntact()) << "n=" << n;
    double worst = 0;
    for (int e : idx)
        worst = std::max(worst, std::fabs(a[e] - ref.forwardElement(x, e)));
    EXPECT_LE(worst, tol) << "forward n=" << n;

    // Inverse of an arbitrary packed spectrum.
    const std::vector<double> spectrum = randomSignal(n, 2000u + n);
    Guarded b(n);
    std::copy(spectrum.begin(), spectrum.end(), b.data());
    rdft(n, -1, b.data(), fft.workArea.data.get(), fft.table.data.get());
    ASSERT_TRUE(b.guardsIntact()) << "n=" << n;
    worst = 0;
    for (int j : idx)
        worst = std::max(worst, std::fabs(b[j] - ref.inverseSample(spectrum, j)));
    EXPECT_LE(worst, tol) << "inverse n=" << n;

    // Forward then inverse gives n/2 times the input.
    rdft(n, -1, a.data(), fft.workArea.data.get(), fft.table.data.get());
    ASSERT_TRUE(a.guardsIntact());
    worst = 0;
    for (int j = 0; j < n; ++j)
        worst = std::max(worst, std::fabs(a[j] * (2.0 / n) - x[j]));
    EXPECT_LE(worst, tol) << "round trip n=" << n;
}

INSTANTIATE_TEST_SUITE_P(PowersOfTwo, RdftSize,
                         ::testing::Combine(::testing::Values(RdftPath::baseline, RdftPath::avx2),
                                            ::testing::ValuesIn(allSizes())),
                         [](const ::testing::TestParamInfo<std::tuple<RdftPath, int>>& info) {
                             return std::string(pathName(std::get<0>(info.param))) + "_n" +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST(RdftPaths, ChoiceFollowsTheProcessor)
{
    const UsePath keep(rdftPath());
    EXPECT_TRUE(rdftUsePath(RdftPath::baseline));
    EXPECT_EQ(rdftPath(), RdftPath::baseline);
    EXPECT_EQ(rdftUsePath(RdftPath::avx2), rdftAvx2Available());
    EXPECT_EQ(rdftPath(), rdftAvx2Available() ? RdftPath::avx2 : RdftPath::baseline);
#if !(defined(__x86_64__) || defined(_M_X64))
    EXPECT_FALSE(rdftAvx2Available());
#endif
}

// The same data through both paths, with tables of the transform's own size and
// with larger ones (which the real step reads at a stride): results agree to
// rounding, forward and inverse. They also differ in some bits above 32 doubles
// (the AVX2 path fuses products), which shows that forcing a path runs its own
// stages rather than the other path's.
TEST(RdftPaths, BothPathsAgree)
{
    if (!rdftAvx2Available())
        GTEST_SKIP() << "only one path on this processor";
    for (int tableSize : {0, 8192}) {
        int sizesWithOwnBits = 0;
        for (int n = 2; n <= 8192; n *= 2) {
            if (tableSize != 0 && n == tableSize)
                continue;
            std::vector<double> out[2][2];
            for (int p = 0; p < 2; ++p) {
                const UsePath use(p == 0 ? RdftPath::baseline : RdftPath::avx2);
                SFFT f;
                f.init(std::max(n, tableSize));
                if (tableSize != 0) {
                    std::vector<double> big = randomSignal(tableSize, 5u);
                    rdft(tableSize, 1, big.data(), f.workArea.data.get(), f.table.data.get());
                }
                out[p][0] = randomSignal(n, 10u + n);
                rdft(n, 1, out[p][0].data(), f.workArea.data.get(), f.table.data.get());
                out[p][1] = randomSignal(n, 20u + n);
                rdft(n, -1, out[p][1].data(), f.workArea.data.get(), f.table.data.get());
            }
            for (int d = 0; d < 2; ++d) {
                double worst = 0;
                for (int i = 0; i < n; ++i)
                    worst = std::max(worst, std::fabs(out[0][d][i] - out[1][d][i]));
                EXPECT_LE(worst, tolerance(n)) << (d == 0 ? "forward" : "inverse") << " n=" << n
                                               << " tables of " << std::max(n, tableSize);
            }
            if (n > 32 && (out[0][0] != out[1][0] || out[0][1] != out[1][1]))
                ++sizesWithOwnBits;
        }
        const int sizesAbove32 = tableSize == 0 ? 8 : 7;  // 64 .. 8192, less the table's own size
        EXPECT_EQ(sizesWithOwnBits, sizesAbove32) << "tables of " << tableSize;
    }
}

// The direct synthesis sums agree with a plain sum on both paths, at every count
// (the AVX2 path works in groups of sixteen and eight and fuses the products).
TEST(RdftPaths, SineSumsMatchAPlainSum)
{
    for (int count : {1, 3, 7, 8, 9, 15, 16, 17, 31, 40, 63}) {
        const int stride = (count + 7) & ~7;
        const int harmonics = 37;
        const std::vector<double> sines = randomSignal(harmonics * stride, 90u + count);
        const std::vector<double> amp = randomSignal(harmonics, 91u + count);
        for (RdftPath path : {RdftPath::baseline, RdftPath::avx2}) {
            const UsePath use(path);
            if (!use.ok)
                continue;
            std::vector<double> dst(count + 8, kSentinel);
            sineSums(sines.data(), stride, amp.data(), harmonics, count, dst.data());
            for (int j = 0; j < count; ++j) {
                double want = 0;
                for (int m = 0; m < harmonics; ++m)
                    want += amp[m] * sines[m * stride + j];
                EXPECT_NEAR(dst[j], want, 1e-13) << pathName(path) << " count " << count << " j " << j;
            }
            for (int j = count; j < count + 8; ++j)
                EXPECT_EQ(dst[j], kSentinel) << pathName(path) << " wrote past count " << count;
        }
    }
}

// The magnitudes helper gives the same bits on both paths, at every count (the
// AVX2 path takes four at a time and finishes one by one).
TEST(RdftPaths, MagnitudesMatchOnBothPaths)
{
    const std::vector<double> x = randomSignal(2 * 64, 77u);
    for (int count = 0; count <= 64; ++count) {
        std::vector<double> got[2], inPlace[2];
        for (int p = 0; p < 2; ++p) {
            const UsePath use(p == 0 ? RdftPath::baseline : RdftPath::avx2);
            if (!use.ok) {
                got[1] = got[0];
                inPlace[1] = inPlace[0];
                continue;
            }
            got[p].assign(count + 1, -1.0);
            spectrumMagnitudes(x.data(), count, 0.25, got[p].data());
            inPlace[p] = x;
            spectrumMagnitudesInPlace(inPlace[p].data(), count);
        }
        for (int m = 0; m < count; ++m) {
            const double want = std::sqrt(x[2 * m] * x[2 * m] + x[2 * m + 1] * x[2 * m + 1]);
            EXPECT_EQ(got[0][m], want * 0.25) << "count " << count << " m " << m;
            EXPECT_EQ(got[1][m], got[0][m]) << "count " << count << " m " << m;
            EXPECT_EQ(inPlace[0][2 * m], want);
            EXPECT_EQ(inPlace[0][2 * m + 1], 0.0);
        }
        EXPECT_EQ(got[0][count], -1.0) << "wrote past count " << count;
        EXPECT_EQ(got[1][count], -1.0) << "wrote past count " << count;
        for (size_t i = 2 * count; i < x.size(); ++i)
            EXPECT_EQ(inPlace[0][i], x[i]);
        EXPECT_EQ(inPlace[1], inPlace[0]);
    }
}

TEST(Rdft, SmallSizesAndKnownSignals)
{
    // n = 2 with an unbuilt work area: the check writes only 0 and 1 there.
    int ip2[4] = {0, 0, 77, 77};
    double w2[4] = {5, 5, 5, 5};
    double a2[2] = {3, 1};
    rdft(2, 1, a2, ip2, w2);
    EXPECT_EQ(a2[0], 4);
    EXPECT_EQ(a2[1], 2);
    EXPECT_EQ(ip2[0], 0);
    EXPECT_EQ(ip2[1], 1);
    EXPECT_EQ(ip2[2], 77);
    for (double v : w2)
        EXPECT_EQ(v, 5);
    rdft(2, -1, a2, ip2, w2);
    EXPECT_EQ(a2[0], 3);
    EXPECT_EQ(a2[1], 1);

    SFFT f4;
    f4.init(4);
    double a4[4] = {1, 2, 4, 8};
    rdft(4, 1, a4, f4.workArea.data.get(), f4.table.data.get());
    EXPECT_EQ(a4[0], 15);
    EXPECT_EQ(a4[1], 1 - 2 + 4 - 8);
    EXPECT_EQ(a4[2], 1 - 4);
    EXPECT_EQ(a4[3], 2 - 8);
    EXPECT_EQ(f4.workArea.data[0], 1);
    EXPECT_EQ(f4.workArea.data[1], 1);
    for (int i = 0; i < f4.table.count; ++i)
        EXPECT_EQ(f4.table.data[i], 0);

    for (int n = 8; n <= 4096; n *= 2) {
        SFFT f;
        f.init(n);
        std::vector<double> a(n, 0.0);
        a[0] = 1;
        rdft(n, 1, a.data(), f.workArea.data.get(), f.table.data.get());
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR(a[i], (i < 2 || i % 2 == 0) ? 1.0 : 0.0, 1e-12) << "impulse n=" << n << " i=" << i;

        for (int kind = 0; kind < 2; ++kind) {
            for (int j = 0; j < n; ++j)
                a[j] = kind == 0 ? std::sin(2 * kPi * 3 * j / n) : std::cos(2 * kPi * 3 * j / n);
            rdft(n, 1, a.data(), f.workArea.data.get(), f.table.data.get());
            const int peak = kind == 0 ? 7 : 6;
            for (int i = 0; i < n; ++i)
                EXPECT_NEAR(a[i], i == peak ? n / 2.0 : 0.0, 1e-9 * n) << "n=" << n << " i=" << i;
        }
    }
}

void expectTablesFor512(const SFFT& f)
{
    const int expectIp[8] = {128, 128, 0, 16, 0, 64, 32, 96};
    for (int i = 0; i < f.workArea.count; ++i)
        EXPECT_EQ(f.workArea.data[i], i < 8 ? expectIp[i] : 0) << "workArea[" << i << "]";
    const double* w = f.table.data.get();
    const double r = std::cos(kPi / 4);
    EXPECT_EQ(w[0], 1);
    EXPECT_NEAR(w[1], r, 1e-16);
    EXPECT_EQ(w[126], 0);
    EXPECT_EQ(w[127], 0);
    EXPECT_NEAR(w[128], r, 1e-16);
    EXPECT_NEAR(w[192], 0.5 * r, 1e-16);
    for (int i = 256; i < 640; ++i)
        EXPECT_EQ(w[i], 0) << "table[" << i << "]";
}

// Every level of the complex table and the real table, against the closed forms.
void expectTableFormulas(const SFFT& f, int n)
{
    const double* w = f.table.data.get();
    const int nw = n / 4;
    for (int s = nw / 2; s >= 2; s /= 2) {
        const double* lv = w + nw - 2 * s;
        const double d = kPi / (4.0 * s);
        EXPECT_EQ(lv[0], 1) << "level " << s;
        EXPECT_NEAR(lv[1], std::cos(kPi / 4), 1e-15) << "level " << s;
        if (s == 4) {
            EXPECT_NEAR(lv[2], std::cos(2 * d), 1e-15);
            EXPECT_NEAR(lv[3], std::sin(2 * d), 1e-15);
        } else if (s >= 8) {
            EXPECT_NEAR(lv[2], 0.5 / std::cos(2 * d), 1e-15) << "level " << s;
            EXPECT_NEAR(lv[3], 0.5 / std::cos(6 * d), 1e-15) << "level " << s;
            for (int j = 4; j < s; j += 4) {
                EXPECT_NEAR(lv[j], std::cos(j * d), 1e-15) << "level " << s << " j " << j;
                EXPECT_NEAR(lv[j + 1], std::sin(j * d), 1e-15);
                EXPECT_NEAR(lv[j + 2], std::cos(3 * j * d), 1e-15);
                EXPECT_NEAR(lv[j + 3], -std::sin(3 * j * d), 1e-15);
            }
        }
    }
    EXPECT_EQ(w[nw - 2], 0);
    EXPECT_EQ(w[nw - 1], 0);
    const double* c = w + nw;
    const int nc = n / 4, h = nc / 2;
    EXPECT_NEAR(c[0], std::cos(kPi / 4), 1e-15);
    EXPECT_NEAR(c[h], 0.5 * std::cos(kPi / 4), 1e-15);
    for (int j = 1; j < h; ++j) {
        EXPECT_NEAR(c[j], 0.5 * std::cos(2 * kPi * j / n), 1e-15) << j;
        EXPECT_NEAR(c[nc - j], 0.5 * std::sin(2 * kPi * j / n), 1e-15) << j;
    }
    for (int i = n / 2; i < f.table.count; ++i)
        EXPECT_EQ(w[i], 0) << "table[" << i << "]";
}

bool transformMatches(SFFT& f, int n, unsigned seed)
{
    const NaiveDft ref(n);
    const std::vector<double> x = randomSignal(n, seed);
    Guarded a(n);
    std::copy(x.begin(), x.end(), a.data());
    rdft(n, 1, a.data(), f.workArea.data.get(), f.table.data.get());
    bool ok = a.guardsIntact();
    for (int e = 0; e < n; ++e)
        ok = ok && std::fabs(a[e] - ref.forwardElement(x, e)) <= tolerance(n);
    rdft(n, -1, a.data(), f.workArea.data.get(), f.table.data.get());
    for (int j = 0; j < n; ++j)
        ok = ok && std::fabs(a[j] * (2.0 / n) - x[j]) <= tolerance(n);
    return ok && a.guardsIntact();
}

TEST(RdftTables, ContentsAfterFirstCall)
{
    SFFT f;
    f.init(512);
    EXPECT_EQ(f.n, 512);
    ASSERT_EQ(f.table.count, 640);
    ASSERT_EQ(f.workArea.count, 18);
    ASSERT_TRUE(transformMatches(f, 512, 1));
    expectTablesFor512(f);
    expectTableFormulas(f, 512);

    SFFT g;
    g.init(4096);
    ASSERT_EQ(g.table.count, 5120);
    ASSERT_EQ(g.workArea.count, 47);
    for (int i = 0; i < g.workArea.count; ++i)
        EXPECT_EQ(g.workArea.data[i], 0);
    ASSERT_TRUE(transformMatches(g, 4096, 2));
    const int expectIp[32] = {1024, 1024, 0,   16,  0,   64,   32,  96,   0,   256, 128,
                              384,  64,   320, 192, 448, 0,    1024, 512, 1536, 256, 1280,
                              768,  1792, 128, 1152, 640, 1664, 384, 1408, 896, 1920};
    for (int i = 0; i < g.workArea.count; ++i)
        EXPECT_EQ(g.workArea.data[i], i < 32 ? expectIp[i] : 0) << "workArea[" << i << "]";
    expectTableFormulas(g, 4096);
}

TEST(RdftTables, SmallerSizesReuseLargerTables)
{
    SFFT f;
    f.init(4096);
    ASSERT_TRUE(transformMatches(f, 4096, 3));
    const std::vector<double> table(f.table.data.get(), f.table.data.get() + f.table.count);
    const std::vector<int> work(f.workArea.data.get(), f.workArea.data.get() + f.workArea.count);
    for (int n : {2048, 512, 256, 64, 32, 16, 8, 4}) {
        EXPECT_TRUE(transformMatches(f, n, 100u + n)) << "n=" << n;
        EXPECT_TRUE(std::equal(table.begin(), table.end(), f.table.data.get())) << "n=" << n;
        EXPECT_TRUE(std::equal(work.begin(), work.end(), f.workArea.data.get())) << "n=" << n;
    }
}

TEST(RdftTables, LargerSizeRebuildsOnce)
{
    SFFT f;
    f.init(4096);
    ASSERT_TRUE(transformMatches(f, 512, 4));
    EXPECT_EQ(f.workArea.data[0], 128);
    EXPECT_EQ(f.workArea.data[1], 128);
    ASSERT_TRUE(transformMatches(f, 4096, 5));
    EXPECT_EQ(f.workArea.data[0], 1024);
    EXPECT_EQ(f.workArea.data[1], 1024);
    expectTableFormulas(f, 4096);
    const std::vector<double> table(f.table.data.get(), f.table.data.get() + f.table.count);
    ASSERT_TRUE(transformMatches(f, 4096, 6));
    EXPECT_TRUE(std::equal(table.begin(), table.end(), f.table.data.get()));
}

TEST(RdftTables, InitAgainStartsUnbuilt)
{
    SFFT f;
    f.init(512);
    std::vector<double> first = randomSignal(512, 9);
    std::vector<double> second = first;
    rdft(512, 1, first.data(), f.workArea.data.get(), f.table.data.get());
    const double* oldTable = f.table.data.get();
    const SDATA<double> keep = f.table;  // a held handle keeps the old array alive
    f.init(512);
    EXPECT_NE(f.table.data.get(), oldTable);
    EXPECT_EQ(keep.data.use_count(), 1);
    for (int i = 0; i < f.workArea.count; ++i)
        EXPECT_EQ(f.workArea.data[i], 0);
    for (int i = 0; i < f.table.count; ++i)
        EXPECT_EQ(f.table.data[i], 0);
    rdft(512, 1, second.data(), f.workArea.data.get(), f.table.data.get());
    EXPECT_EQ(first, second);
    expectTablesFor512(f);
}

TEST(RdftTables, InitRejectsImpossibleSizes)
{
    SFFT f;
    EXPECT_THROW(f.init(std::numeric_limits<int32_t>::max()), std::bad_array_new_length);
    EXPECT_THROW(f.init(-8), std::bad_array_new_length);
    f.init(0);
    EXPECT_EQ(f.table.count, 0);
    EXPECT_EQ(f.table.data.get(), nullptr);
    EXPECT_EQ(f.workArea.count, 2);
}

}  // namespace
