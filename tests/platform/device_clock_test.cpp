// A device's clock read off the periods SDL moves its data in, on a sound server's graph:
// 512-frame periods at 48 kHz feeding 512-frame periods at 44.1 kHz through SDL's queue, so
// a period now and then comes a whole quantum late. The position must follow the device,
// whenever it is read, not the periods.

#include "platform/device_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const double kRate = 44100;
const double kQuantum = 512.0 / 48000;           // the graph's cycle, seconds
const double kPerCycle = kRate * kQuantum;       // frames the device does per cycle (470.4)
const double kPeriod = 512;                      // SDL's period, frames
const double kStart = 1000;                      // the device's clock starts here, seconds

// The error of positions read between the periods, four times a cycle; min and max.
struct Spread {
    double low = 1e9;
    double high = -1e9;
    void add(double e)
    {
        low = std::min(low, e);
        high = std::max(high, e);
    }
};

// Capture: the graph hands over what the device recorded in a cycle at its end; SDL passes
// it on a period at a time, once it holds one. Read from cycle `from` to cycle `to`.
void runCapture(DeviceClock& clock, Spread& withClock, Spread& lastPeriod, int from = 40, int to = 400)
{
    double queued = 0;
    double moved = 0;
    double lastCall = kStart;
    for (int k = 1; k < to; ++k) {
        const double t = kStart + k * kQuantum;
        // Reads during the cycle before this one's hand-over.
        for (int r = 1; r <= 4; ++r) {
            const double at = t - kQuantum + r * kQuantum / 5;
            if (k > from) {
                const double truth = (at - kStart) * kRate;
                withClock.add(clock.at(at) - truth);
                lastPeriod.add(moved + std::min((at - lastCall) * kRate, kPeriod) - truth);
            }
        }
        queued += kPerCycle;
        while (queued >= kPeriod) {
            queued -= kPeriod;
            moved += kPeriod;
            lastCall = t;
            clock.add(t, moved);
        }
    }
}

// Playback: the device takes a cycle's frames at its start, from SDL's queue, which asks for
// a period whenever it holds less than the cycle needs. The clock counts what was taken
// before each period; the truth is what the device has played.
void runPlayback(DeviceClock& clock, Spread& withClock)
{
    double queued = 0;
    double moved = 0;
    for (int k = 0; k < 400; ++k) {
        const double t = kStart + k * kQuantum;
        while (queued < kPerCycle) {
            clock.add(t, moved);
            queued += kPeriod;
            moved += kPeriod;
        }
        queued -= kPerCycle;
        for (int r = 1; r <= 4; ++r) {
            const double at = t + r * kQuantum / 5;
            if (k > 40)
                withClock.add(clock.at(at) - (at - kStart) * kRate);
        }
    }
}

}  // namespace

TEST(DeviceClock, CaptureFollowsTheDeviceWhereTheLastPeriodIsOffByAlmostAPeriod)
{
    DeviceClock clock(DeviceClock::Side::Capture, kRate);
    Spread withClock;
    Spread lastPeriod;
    runCapture(clock, withClock, lastPeriod);
    // The scene shows the fault: the last period alone is hundreds of frames off.
    EXPECT_GT(lastPeriod.high - lastPeriod.low, 400);
    // The clock: behind by what SDL's queue held at its emptiest but one, the same at every
    // read to less than one step of that queue (a period less a cycle).
    EXPECT_LE(withClock.high - withClock.low, kPeriod - kPerCycle);
    EXPECT_LE(withClock.high, 1);
    EXPECT_GE(withClock.low, -2 * (kPeriod - kPerCycle));
}

TEST(DeviceClock, PlaybackFollowsTheDeviceWhateverThePeriodsDo)
{
    DeviceClock clock(DeviceClock::Side::Playback, kRate);
    Spread withClock;
    runPlayback(clock, withClock);
    EXPECT_LE(withClock.high - withClock.low, kPeriod - kPerCycle);
    EXPECT_GE(withClock.low, -1);
    EXPECT_LE(withClock.high, 2 * (kPeriod - kPerCycle));
}

TEST(DeviceClock, OneFlukeIsPassedOverAndARestartForgetsEverything)
{
    // A server that hands a period over at once at start, 400 frames before the device has
    // them: taken alone, it would put the clock 400 frames ahead while in the window.
    DeviceClock clock(DeviceClock::Side::Capture, kRate);
    clock.add(kStart + kQuantum, kPerCycle + 400);
    Spread withClock;
    Spread lastPeriod;
    runCapture(clock, withClock, lastPeriod, 12, DeviceClock::kWindow);
    EXPECT_LE(withClock.high, 1);
    EXPECT_LE(withClock.high - withClock.low, kPeriod - kPerCycle);

    EXPECT_TRUE(clock.known());
    clock.restart();
    EXPECT_FALSE(clock.known());
    EXPECT_EQ(clock.at(kStart + 5), 0);
    // Anew: the first period alone says where the clock is.
    clock.add(kStart + 5, 1000);
    EXPECT_NEAR(clock.at(kStart + 5.01), 1000 + 0.01 * kRate, 1e-6);
}

namespace {

// Capture through a stall of the whole machine: no period for `stall` cycles, after which the
// server either hands the stall's data over at once or has dropped it. Reads from `settle`
// cycles after the stall on, against what the device recorded less what was dropped.
// `unsure`: whether the clock said it might stand ahead of the data at any period.
void runCaptureStalled(DeviceClock& clock, int stall, bool dropped, int settle, Spread& error, bool& unsure)
{
    unsure = false;
    const int stallFrom = 100;
    double queued = 0;
    double moved = 0;
    double lost = 0;
    for (int k = 1; k < 300; ++k) {
        const double t = kStart + k * kQuantum;
        for (int r = 1; r <= 4 && k > stallFrom + stall + settle; ++r) {
            const double at = t - kQuantum + r * kQuantum / 5;
            error.add(clock.at(at) - ((at - kStart) * kRate - lost));
        }
        const bool stalled = k > stallFrom && k <= stallFrom + stall;
        if (stalled && dropped)
            lost += kPerCycle;
        else
            queued += kPerCycle;
        while (!stalled && queued >= kPeriod) {
            queued -= kPeriod;
            moved += kPeriod;
            clock.add(t, moved);
            unsure = unsure || clock.unsure();
        }
    }
}

}  // namespace

TEST(DeviceClock, CaptureDataDroppedInAStallMovesTheClockSoonAndABacklogHandedOverDoesNot)
{
    // Dropped: the periods after a 53 ms stall all come that much later than the old bounds allow.
    // Read off those bounds until they left the window (32 periods, 0.37 s), the position
    // ran 2,350 frames ahead of the data; eight periods after the stall it follows them.
    DeviceClock dropped(DeviceClock::Side::Capture, kRate);
    Spread afterDrop;
    bool unsure = false;
    runCaptureStalled(dropped, 5, true, 8, afterDrop, unsure);
    EXPECT_LE(afterDrop.high, kPeriod);
    EXPECT_GE(afterDrop.low, -2 * kPeriod);
    // Until then the layer reads it no further than a period past the data.
    EXPECT_TRUE(unsure);
    EXPECT_FALSE(dropped.unsure());

    // Handed over at once after a 107 ms stall, nine periods late by less each: the old bounds
    // hold, and so does the clock, from the first read.
    DeviceClock backlog(DeviceClock::Side::Capture, kRate);
    Spread afterBacklog;
    runCaptureStalled(backlog, 10, false, 0, afterBacklog, unsure);
    EXPECT_LE(afterBacklog.high, 1);
    EXPECT_GE(afterBacklog.low, -2 * (kPeriod - kPerCycle));
    EXPECT_TRUE(unsure);
    EXPECT_FALSE(backlog.unsure());
}
