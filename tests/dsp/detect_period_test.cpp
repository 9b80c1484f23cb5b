#include "DspReference.h"
#include "dsp/SFFT.h"
#include "dsp/detectPeriod.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

// Harmonic signal of exact period (in samples, may be fractional), random phases.
std::vector<double> voiced(double period, unsigned seed, int n = 4096)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> ph(0, 2 * ref::kPi);
    std::vector<double> phase(20);
    for (double& p : phase)
        p = ph(gen);
    std::vector<double> x(n, 0.0);
    for (int h = 1; h <= 20; ++h)
        for (int j = 0; j < n; ++j)
            x[j] += 8000.0 / h * std::sin(2 * ref::kPi * h * j / period + phase[h - 1]);
    return x;
}

struct Detected {
    int lag;
    std::vector<double> buffer;
};

Detected run(SFFT& fft, const std::vector<double>& x)
{
    std::vector<double> buf = x;
    const int lag = detectPeriod(fft, buf.data());
    return {lag, buf};
}

TEST(DetectPeriod, SilenceAndNanGiveTheShortestLag)
{
    SFFT fft;
    fft.init(4096);
    EXPECT_EQ(run(fft, std::vector<double>(4096, 0.0)).lag, 60);
    std::vector<double> x = voiced(200, 1);
    x[100] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(run(fft, x).lag, 60);
}

// The lag returned is the reference's strongest lag in 60..511 (or ties it to
// rounding), and the buffer is left holding the correlation.
TEST(DetectPeriod, PicksTheStrongestLagInRange)
{
    SFFT fft;
    fft.init(4096);
    struct Case {
        double period;
        int expect;  // -1: no single right answer, only "strongest in range"
    };
    const Case cases[] = {{60, 60},  {73, 73},   {100, 100}, {147, 147}, {200, 200},
                          {333, 333}, {480, 480}, {511, 511}, {30, -1},   {41.5, -1},
                          {700, -1}, {1500, -1}};
    unsigned seed = 10;
    for (const Case& c : cases) {
        const std::vector<double> x = voiced(c.period, ++seed);
        const Detected d = run(fft, x);
        const std::vector<double> r = ref::correlation(x, 0, 4096);
        const int refLag = ref::detect(x);
        double scale = 0;
        for (int j = 0; j < 4096; ++j)
            scale = std::max(scale, std::fabs(r[j]));
        EXPECT_GE(d.lag, 60);
        EXPECT_LT(d.lag, 512);
        EXPECT_NEAR(r[d.lag], r[refLag], 1e-12 * scale) << "period " << c.period;
        if (c.expect > 0) {
            EXPECT_EQ(d.lag, c.expect) << "period " << c.period;
        }
        double worst = 0;
        for (int j = 0; j < 4096; ++j)
            worst = std::max(worst, std::fabs(d.buffer[j] - r[j]));
        EXPECT_LE(worst, 1e-12 * scale) << "period " << c.period;
    }
}

TEST(DetectPeriod, SameInputSameLag)
{
    SFFT fft;
    fft.init(4096);
    const std::vector<double> x = voiced(187.3, 5);
    const int first = run(fft, x).lag;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(run(fft, x).lag, first);
}

}  // namespace
