#include "DspReference.h"
#include "dsp/VoiceChanger.h"
#include "dsp/rdft_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr int kBlock = VoiceChanger::kBlockSize;

// Speech-like test signal: glottal pulses with a gliding pitch through two formant
// resonators, with a pause and a noise burst, in 16-bit units.
std::vector<double> speechLike(int blocks, unsigned seed, double f0a, double f0b)
{
    const int n = blocks * kBlock;
    std::vector<double> src(n, 0.0);
    std::mt19937 gen(seed);
    std::normal_distribution<double> noise(0, 1);
    double phase = 0;
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / n;
        const double f0 = f0a + (f0b - f0a) * t;
        phase += f0 / 44100.0;
        const bool pause = t > 0.45 && t < 0.52;
        const bool burst = t > 0.70 && t < 0.74;
        if (phase >= 1) {
            phase -= 1;
            if (!pause && !burst)
                src[i] = 1;
        }
        if (burst)
            src[i] = 0.05 * noise(gen);
    }
    return ref::formants(src, {700.0, 1200.0}, 0.97, 44100, 1500);
}

double maxAbs(const double* p, int n)
{
    double m = 0;
    for (int i = 0; i < n; ++i)
        m = std::max(m, std::fabs(p[i]));
    return m;
}

struct Setting {
    double pitch, formant;
};

// Runs the real and the reference changer side by side and compares every block.
void compareWithReference(const std::vector<double>& sig, const std::vector<Setting>& settings)
{
    VoiceChanger vc;
    ref::VoiceChanger rf;
    const int blocks = static_cast<int>(sig.size()) / kBlock;
    for (int b = 0; b < blocks; ++b) {
        const Setting s = settings[b % settings.size()];
        std::copy(sig.begin() + b * kBlock, sig.begin() + (b + 1) * kBlock, vc.inputPtr);
        std::copy(sig.begin() + b * kBlock, sig.begin() + (b + 1) * kBlock, rf.history.begin() + kBlock);
        vc.process(s.pitch, s.formant, 0.4);
        rf.process(s.pitch, s.formant, 0.4);
        ASSERT_EQ(vc.writePos, rf.writePos) << "block " << b << " period " << rf.lastPeriod;
        ASSERT_GE(vc.writePos, 0);
        ASSERT_LT(vc.writePos, kBlock);
        const double tol = 1e-9 * std::max(1.0, maxAbs(rf.out.data(), kBlock));
        double worst = 0;
        for (int i = 0; i < kBlock; ++i)
            worst = std::max(worst, std::fabs(vc.outputPtr[i] - rf.out[i]));
        ASSERT_LE(worst, tol) << "block " << b << " pitch " << s.pitch << " formant " << s.formant
                              << " period " << rf.lastPeriod;
    }
}

TEST(VoiceChanger, MatchesPlainReferenceAcrossSettings)
{
    // Pitch exponents across [-2, 2] (the extremes cost the most periods, so
    // they come up rarely) against formant ratios across [0, 2].
    const std::vector<Setting> settings = {
        {0, 1},      {0.6, 1.3},  {-0.7, 0.7}, {1.2, 2},   {-1.1, 1.6},
        {2, 0.5},    {0.3, 0},    {-0.4, 1.9}, {1.7, 0.2}, {-1.6, 1},
        {0.9, 0.45}, {-2, 1.15},  {-0.2, 1.02}};
    compareWithReference(speechLike(16, 1, 110, 260), settings);
}

TEST(VoiceChanger, MatchesPlainReferenceOnHighVoice)
{
    const std::vector<Setting> settings = {{0.5, 0.9}, {-0.3, 1.5}, {1.0, 1.0}, {0, 0.6}, {-1.0, 2}};
    compareWithReference(speechLike(8, 2, 380, 520), settings);
}

// rdft and the magnitudes have a baseline and an AVX2 path (chosen at run time);
// the changer's output is the same on both, to rounding, and matches the plain
// reference on the baseline path too.
struct UseRdftPath {
    explicit UseRdftPath(RdftPath p) : saved(rdftPath()), ok(rdftUsePath(p)) {}
    ~UseRdftPath() { rdftUsePath(saved); }
    RdftPath saved;
    bool ok;
};

TEST(VoiceChanger, MatchesPlainReferenceOnTheBaselinePath)
{
    const UseRdftPath use(RdftPath::baseline);
    // {-1, 1} and {-2, 1}: every harmonic read is even, or a multiple of four.
    const std::vector<Setting> settings = {{0, 1}, {-2, 1}, {1.5, 0.8}, {-1, 1}, {-1, 1.3}, {0.4, 2}, {-0.6, 0.3}};
    compareWithReference(speechLike(8, 4, 150, 300), settings);
}

TEST(VoiceChanger, SameOutputOnBothRdftPaths)
{
    if (!rdftAvx2Available())
        GTEST_SKIP() << "no AVX2 + FMA on this processor (or not an x86-64 build)";
    const UseRdftPath keep(rdftPath());
    const std::vector<Setting> settings = {{0, 1}, {-1, 1}, {-2, 1}, {1, 1}, {2, 1}, {-0.5, 1.4},
                                           {0.7, 0.6}, {-1.6, 0.9}, {0, 0}, {1.3, 2}};
    const std::vector<double> sig = speechLike(20, 5, 120, 420);
    VoiceChanger base, fast;
    const int blocks = static_cast<int>(sig.size()) / kBlock;
    for (int b = 0; b < blocks; ++b) {
        const Setting s = settings[b % settings.size()];
        std::copy(sig.begin() + b * kBlock, sig.begin() + (b + 1) * kBlock, base.inputPtr);
        std::copy(sig.begin() + b * kBlock, sig.begin() + (b + 1) * kBlock, fast.inputPtr);
        ASSERT_TRUE(rdftUsePath(RdftPath::baseline));
        base.process(s.pitch, s.formant, 0.4);
        ASSERT_TRUE(rdftUsePath(RdftPath::avx2));
        fast.process(s.pitch, s.formant, 0.4);
        ASSERT_EQ(fast.writePos, base.writePos) << "block " << b;
        const double tol = 1e-9 * std::max(1.0, maxAbs(base.outputPtr, kBlock));
        double worst = 0;
        for (int i = 0; i < kBlock; ++i)
            worst = std::max(worst, std::fabs(fast.outputPtr[i] - base.outputPtr[i]));
        ASSERT_LE(worst, tol) << "block " << b << " pitch " << s.pitch << " formant " << s.formant;
    }
}

TEST(VoiceChanger, ConstructionAndPointers)
{
    VoiceChanger vc;
    EXPECT_EQ(vc.writePos, 0);
    EXPECT_EQ(vc.analysisFft.n, 4096);
    EXPECT_EQ(vc.periodFft.n, 512);
    EXPECT_EQ(vc.history.count, 4096);
    EXPECT_EQ(vc.outBuffer.count, 4096);
    EXPECT_EQ(vc.periodBuffer.count, 2048);
    EXPECT_EQ(vc.spectrumBuffer.count, 2048);
    EXPECT_EQ(vc.inputPtr, vc.history.data.get() + 2048);
    EXPECT_EQ(vc.outputPtr, vc.outBuffer.data.get());
    EXPECT_EQ(maxAbs(vc.history.data.get(), 4096), 0);
}

TEST(VoiceChanger, SilenceInGivesSilenceOut)
{
    VoiceChanger vc;
    for (int b = 0; b < 3; ++b) {
        std::fill(vc.inputPtr, vc.inputPtr + kBlock, 0.0);
        vc.process(-2, 2, 0.4);
        EXPECT_EQ(maxAbs(vc.outputPtr, kBlock), 0) << b;
        // period 60 two octaves up: count 15, 137 periods from 0, then 7 from 7, ...
        EXPECT_EQ(vc.writePos, (b + 1) * (15 - 2048 % 15) % 15) << b;
    }
}

// Fill the whole history with a period-200 signal, so the detector sees 200.
void primeWithPeriod200(VoiceChanger& vc, int writePos)
{
    for (int i = 0; i < 4096; ++i) {
        double v = 0;
        for (int h = 1; h <= 8; ++h)
            v += 3000.0 / h * std::sin(2 * ref::kPi * h * i / 200.0 + h);
        vc.history.data[i] = v;
    }
    vc.writePos = writePos;
}

TEST(VoiceChanger, PeriodPlacementAndWritePos)
{
    {
        VoiceChanger vc;
        primeWithPeriod200(vc, 48);
        std::vector<double> hist(vc.history.data.get(), vc.history.data.get() + 4096);
        ASSERT_EQ(ref::detect(hist), 200);
        vc.process(0, 1, 1);  // count 200: periods at 48, 248, ..., 1848
        EXPECT_EQ(vc.writePos, 0);
        // Before 48 the previous block's samples are untouched (gain 1).
        for (int i = 0; i < 48; ++i)
            EXPECT_EQ(vc.outputPtr[i], hist[i]);
        // Every period starts in sine phase: 0 at its first sample.
        const double scale = maxAbs(vc.outputPtr, kBlock);
        ASSERT_GT(scale, 100);
        for (int p = 48; p < 2048; p += 200) {
            EXPECT_NEAR(vc.outputPtr[p], 0, 1e-9 * scale) << p;
            EXPECT_GT(maxAbs(vc.outputPtr + p, 200), 0.1 * scale) << p;
        }
    }
    {
        VoiceChanger vc;
        primeWithPeriod200(vc, 0);
        vc.process(std::log2(1.5), 1, 1);  // count 300: periods at 0, 300, ..., 1800
        EXPECT_EQ(vc.writePos, 52);
        // The period written at 1800 runs 52 samples into the next block.
        const std::vector<double> tail(vc.history.data.get(), vc.history.data.get() + 52);
        const double scale = maxAbs(vc.outputPtr, kBlock);
        for (int p = 0; p < 2048; p += 300)
            EXPECT_NEAR(vc.outputPtr[p], 0, 1e-9 * scale) << p;
        std::fill(vc.inputPtr, vc.inputPtr + kBlock, 0.0);
        vc.process(0, 1, 1);
        for (int i = 0; i < 52; ++i)
            EXPECT_EQ(vc.outputPtr[i], tail[i]);
    }
}

TEST(VoiceChanger, FormantZeroSilencesFromTheNextBlock)
{
    VoiceChanger vc;
    const std::vector<double> sig = speechLike(8, 4, 150, 150);
    for (int b = 0; b < 3; ++b) {
        std::copy(sig.begin() + b * kBlock, sig.begin() + (b + 1) * kBlock, vc.inputPtr);
        vc.process(0.8, 1, 0.4);
    }
    const int carried = vc.writePos;
    ASSERT_GT(carried, 0);
    std::copy(sig.begin() + 3 * kBlock, sig.begin() + 4 * kBlock, vc.inputPtr);
    vc.process(0, 0, 0.4);
    EXPECT_GT(maxAbs(vc.outputPtr, carried), 0);
    EXPECT_EQ(maxAbs(vc.outputPtr + carried, kBlock - carried), 0);
    for (int b = 4; b < 8; ++b) {
        std::copy(sig.begin() + b * kBlock, sig.begin() + (b + 1) * kBlock, vc.inputPtr);
        vc.process(-1.5 + 0.7 * (b - 4), 0, 0.4);
        EXPECT_EQ(maxAbs(vc.outputPtr, kBlock), 0) << b;
    }
}

TEST(VoiceChanger, FirstBlockReadsSilenceBeforeTheInput)
{
    VoiceChanger vc;
    ref::VoiceChanger rf;
    const std::vector<double> sig = speechLike(1, 5, 147, 147);
    std::copy(sig.begin(), sig.end(), vc.inputPtr);
    std::copy(sig.begin(), sig.end(), rf.history.begin() + kBlock);
    rf.process(0, 1, 0.4);
    vc.process(0, 1, 0.4);
    const int e = rf.lastPeriod;
    ASSERT_GE(e, 60);
    // Periods starting at or before 2048 - 2e read only the zero first half.
    int silentEnd = 0;
    while (silentEnd + 2 * e <= 2048)
        silentEnd += e;
    EXPECT_EQ(maxAbs(vc.outputPtr, silentEnd), 0) << "period " << e;
    EXPECT_GT(maxAbs(vc.outputPtr + silentEnd, kBlock - silentEnd), 0) << "period " << e;
}

// Out-of-range settings are clamped and not-a-number counts as neutral, so they
// can never drive an index outside the buffers.
TEST(VoiceChanger, SettingsOutsideTheirRangesAreClamped)
{
    const std::vector<double> sig = speechLike(4, 6, 180, 200);
    struct Pair {
        double pitch, formant, clampedPitch, clampedFormant;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Pair pairs[] = {{nan, nan, 0, 1}, {9, 5, 2, 2}, {-inf, -1, -2, 0}, {inf, inf, 2, 2}};
    for (const Pair& p : pairs) {
        VoiceChanger a, b;
        for (int blk = 0; blk < 4; ++blk) {
            std::copy(sig.begin() + blk * kBlock, sig.begin() + (blk + 1) * kBlock, a.inputPtr);
            std::copy(sig.begin() + blk * kBlock, sig.begin() + (blk + 1) * kBlock, b.inputPtr);
            a.process(p.pitch, p.formant, 0.4);
            b.process(p.clampedPitch, p.clampedFormant, 0.4);
            ASSERT_EQ(a.writePos, b.writePos);
            ASSERT_TRUE(std::equal(a.outputPtr, a.outputPtr + kBlock, b.outputPtr));
        }
    }
}

}  // namespace
