// The output conversion the program and the renderer share, against a plain clamp
// and truncation in long double over the whole 16-bit range and past both ends.

#include "dsp/Samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

int reference(double v)
{
    if (std::isnan(v))
        return 0;
    const long double t = std::trunc(static_cast<long double>(v));
    if (t >= 32767.0L)
        return 32767;
    if (t <= -32768.0L)
        return -32768;
    return static_cast<int>(t);
}

TEST(SampleConversion, MatchesAPlainClampAndTruncationEverywhere)
{
    // Every quarter step from well below to well above the range.
    for (double v = -40000.0; v <= 40000.0; v += 0.25)
        ASSERT_EQ(toSample(v), reference(v)) << v;
    // Around each integer the neighbours that truncation must not round up.
    for (int k = -32770; k <= 32770; ++k) {
        for (double v : {std::nextafter(double(k), -1e9), double(k), std::nextafter(double(k), 1e9)})
            ASSERT_EQ(toSample(v), reference(v)) << v;
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (double v : {inf, -inf, std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                     std::numeric_limits<double>::denorm_min(), -0.0, std::nan("")})
        EXPECT_EQ(toSample(v), reference(v)) << v;
}

}  // namespace
