// MainWindow's sound handler: conversion, the pad-to-settings mapping, gain and
// saturation, against a VoiceChanger fed the same blocks, and what the output
// sounds like at the centre, the left edge and the top edge of the pad.
// Runs with a sound driver that cannot open, so no block circulates on its own.

#include "AppTestSupport.h"
#include "app/MainWindow.h"
#include "dsp/Samples.h"
#include "framework/WindowClass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

const int kBlock = MainWindow::kBlockSize;

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { registerWindowClass(); }

    void SetUp() override
    {
        window.reset(new MainWindow());
        ASSERT_NE(window->hwnd, nullptr);
    }

    void TearDown() override
    {
        window->audio->close();
        DestroyWindow(window->hwnd);
        // The program never frees these (they live until it exits); a test does.
        delete window->audio;
        delete window->canvas;
        window.reset();
    }

    // One block of the voiced signal, as 16-bit samples.
    SDATA<short> block(double period, size_t start, double peak)
    {
        SDATA<short> b;
        b.alloc(kBlock);
        std::vector<double> x = apptest::voicedSignal(period, start, kBlock, peak);
        for (int i = 0; i < kBlock; ++i)
            b.data[i] = static_cast<short>(std::lround(x[i]));
        return b;
    }

    std::vector<double> asDoubles(const SDATA<short>& b)
    {
        return std::vector<double>(b.data.get(), b.data.get() + b.count);
    }

    apptest::TempWorkDir dir;
    std::unique_ptr<MainWindow> window;
};

// A periodic chirp: a flat spectrum over many harmonics at full scale, which the
// sine-phase resynthesis piles into peaks far beyond the 16-bit range.
SDATA<short> chirpBlock(size_t start)
{
    const double pi = 3.14159265358979323846;
    const int period = 300, harmonics = 40;
    SDATA<short> b;
    b.alloc(kBlock);
    for (int i = 0; i < kBlock; ++i) {
        double ph = static_cast<double>((start + i) % period);
        b.data[i] = static_cast<short>(std::lround(32000 * std::sin(pi * harmonics * ph * ph / (period * period))));
    }
    return b;
}

TEST_F(MainWindowTest, HandlerMatchesTheProcessorWithMappedSettingsGainAndSaturation)
{
    VoiceChanger reference;
    struct Setting {
        double x, y;
    };
    const Setting settings[] = {{0.5, 0.5}, {0.8, 0.1}, {0.25, 0.9}, {1.0, 0.0}, {0.0, 1.0}, {0.5, 0.5}};
    size_t t = 0;
    int saturated = 0;
    for (const Setting& s : settings) {
        window->canvas->xRatio = s.x;
        window->canvas->yRatio = s.y;
        for (int rep = 0; rep < 3; ++rep, t += kBlock) {
            SDATA<short> b = rep == 1 ? block(173.0, t, 20000) : chirpBlock(t);
            b.data[7] = -32768;  // must stay negative: sign extension, not zero extension
            b.data[8] = -1;
            for (int i = 0; i < kBlock; ++i)
                reference.inputPtr[i] = b.data[i];
            reference.process(s.y * 4.0 - 2.0, s.x * 2.0, kOutputGain);
            window->onAudio(b);
            ASSERT_EQ(b.count, kBlock);
            for (int i = 0; i < kBlock; ++i) {
                double v = reference.outputPtr[i];
                int expected = v >= 32767 ? 32767 : v <= -32768 ? -32768 : static_cast<int>(v);
                if (v > 32767 || v < -32768)
                    ++saturated;
                ASSERT_EQ(b.data[i], expected) << "sample " << i << " value " << v;
            }
        }
    }
    EXPECT_GT(saturated, 0) << "the signal never went beyond 16 bits: saturation untested";
}

TEST(SampleConversion, TruncatesTowardZeroAndSaturates)
{
    EXPECT_EQ(toSample(0.0), 0);
    EXPECT_EQ(toSample(1.9), 1);
    EXPECT_EQ(toSample(-1.9), -1);
    EXPECT_EQ(toSample(32766.99), 32766);
    EXPECT_EQ(toSample(32767.5), 32767);
    EXPECT_EQ(toSample(40000.0), 32767);  // would wrap to -25536
    EXPECT_EQ(toSample(-32768.5), -32768);
    EXPECT_EQ(toSample(-70000.0), -32768);
    EXPECT_EQ(toSample(1e300), 32767);
    EXPECT_EQ(toSample(-1e300), -32768);
    EXPECT_EQ(toSample(std::nan("")), 0);
}

TEST_F(MainWindowTest, CentreKeepsThePitchTopEdgeRaisesItTwoOctavesLeftEdgeSilences)
{
    const double period = 200.0;
    size_t t = 0;
    auto run = [&](int blocks) {
        std::vector<double> out;
        for (int i = 0; i < blocks; ++i, t += kBlock) {
            SDATA<short> b = block(period, t, 8000);
            window->onAudio(b);
            std::vector<double> o = asDoubles(b);
            out.insert(out.end(), o.begin(), o.end());
        }
        return out;
    };

    // Centre: unchanged pitch (after the first block, which starts from silence).
    run(2);
    std::vector<double> centre = run(3);
    EXPECT_GT(apptest::rms(centre.data(), centre.size()), 300.0);
    EXPECT_NEAR(apptest::estimatePeriod(centre, 30, 600), period, 2.0);

    // Top edge: the period is divided by four.
    window->canvas->yRatio = 0.0;
    run(1);
    std::vector<double> high = run(3);
    EXPECT_NEAR(apptest::estimatePeriod(high, 30, 600), period / 4, 1.0);

    // Left edge: the block in which it first applies may still carry the end of the
    // last period; from the next block on, silence.
    window->canvas->yRatio = 0.5;
    window->canvas->xRatio = 0.0;
    run(1);
    std::vector<double> silent = run(3);
    for (double v : silent)
        ASSERT_EQ(v, 0.0);
}

}  // namespace
