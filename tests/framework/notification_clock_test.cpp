// The delay readings on their own: the notification clock (arrival times against the
// frames they account for) and the positions' 32-bit arithmetic, with time as a value.

#include "framework/DelayReading.h"
#include "framework/NotificationClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

const int kBlock = 2048;

// The earliest origin (time less frames) among the last kWindow arrivals since the last
// starved one, by a plain walk over the whole history.
int64_t naiveEarliest(const std::vector<int64_t>& origins)
{
    if (origins.empty())
        return 0;
    const size_t from = origins.size() > Arrivals::kWindow ? origins.size() - Arrivals::kWindow : 0;
    return *std::min_element(origins.begin() + static_cast<long>(from), origins.end());
}

}  // namespace

TEST(NotificationClock, ArrivalsKeepTheEarliestOfTheLastEightSinceTheDeviceStarved)
{
    EXPECT_EQ(Arrivals().earliest(), 0);
    // Lateness per arrival (frames past the block's end); 0 is an on-time one.
    struct Row {
        const char* what;
        std::vector<int64_t> late;
        int starvedAfter;  // the device had nothing queued after this arrival (-1: never)
    };
    const Row rows[] = {
        {"one arrival", {300}, -1},
        {"the on-time one wins", {300, 0, 500, 200}, -1},
        {"an early on-time one falls out of the window", {0, 300, 400, 500, 350, 600, 320, 310, 330, 340}, -1},
        {"exactly eight", {900, 800, 700, 600, 500, 400, 300, 200}, -1},
        {"starved: the next starts afresh", {0, 0, 0, 400, 500}, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Arrivals a;
        std::vector<int64_t> origins;
        int64_t frames = 0;
        for (size_t i = 0; i < r.late.size(); ++i) {
            frames += kBlock;
            const int64_t now = 100000 + frames + r.late[i];
            a.add(now, frames);
            a.starved = static_cast<int>(i) == r.starvedAfter;
            origins.push_back(now - frames);
            if (a.starved)
                origins.clear();
            else
                EXPECT_EQ(a.earliest(), naiveEarliest(origins)) << i;
        }
    }
}

TEST(NotificationClock, ReadsBlockPlusCaptureAheadPlusPlaybackPending)
{
    struct Row {
        const char* what;
        int64_t captureLate;  // how late this notification came against the earliest arrival
        int behind;           // capture blocks queued behind this one
        int64_t written;      // playback frames queued, against the frames played by arrival
        int64_t handled;      // frames from arrival to the reading (the handler's time)
        int32_t delay;
        bool dry;
        bool restarted;       // the capture arrivals start afresh
    };
    const Row rows[] = {
        {"on time, two blocks queued", 0, 1, 2 * kBlock, 100, 3 * kBlock, false, false},
        {"capture late by 300", 300, 1, 2 * kBlock, 100, 3 * kBlock + 300, false, false},
        {"the handler's time does not count", 0, 1, 2 * kBlock, 1500, 3 * kBlock, false, false},
        {"capture ahead past its queued blocks: lost input", 3 * kBlock, 2, 2 * kBlock, 0, 5 * kBlock, false, true},
        {"nothing behind: no room to be ahead", 500, 0, 2 * kBlock, 0, 3 * kBlock, false, true},
        {"playback ran dry by the reading", 0, 1, 100, 100, kBlock + 100, true, false},
        {"playback dry before the arrival", 0, 1, -400, 0, kBlock, true, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Arrivals capture;
        const int64_t origin = 5000;  // capture's clock started here
        // Four on-time arrivals, then the one read.
        for (int k = 1; k <= 4; ++k)
            capture.add(origin + k * kBlock, k * kBlock);
        CaptureTimes t;
        t.framesCaptured = 5 * kBlock;
        t.arrivedAt = origin + t.framesCaptured + r.captureLate;
        t.now = t.arrivedAt + r.handled;
        t.captureBehind = r.behind;
        t.playbackOrigin = 7000;
        const int64_t playedByArrival = t.arrivedAt - t.playbackOrigin;
        t.framesWritten = playedByArrival + r.written;
        const DelayReading d = readDelayByTimes(capture, t, kBlock);
        EXPECT_TRUE(d.valid);
        EXPECT_EQ(d.delay, r.delay);
        EXPECT_EQ(d.dry, r.dry);
        EXPECT_EQ(capture.count, r.restarted ? 1 : 5);
        EXPECT_EQ(capture.earliest(), r.restarted ? t.arrivedAt - t.framesCaptured : origin);
    }
}

TEST(NotificationClock, DelayIsCappedAndClockFramesDoNotOverflow)
{
    Arrivals capture;
    CaptureTimes t;
    t.framesWritten = int64_t(1) << 40;  // a playback origin read before playback started
    const DelayReading d = readDelayByTimes(capture, t, kBlock);
    EXPECT_EQ(d.delay, 1 << 30);

    struct Row {
        int64_t count, frequency;
    };
    // Counts of years at common counter rates, and the edges of a second.
    const Row rows[] = {{0, 10000000},           {9999999, 10000000},       {10000000, 10000000},
                        {315360000000000000, 10000000}, {3000000000, 3000000000}, {44099, 44100},
                        {int64_t(1) << 62, 1000000000}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.count);
        const __int128 exact = static_cast<__int128>(r.count) * 44100 / r.frequency;
        EXPECT_EQ(clockFrames(r.count, r.frequency, 44100), static_cast<int64_t>(exact));
    }
}

TEST(DelayReading, PositionsAreTakenAtThirtyTwoBits)
{
    const int64_t wrap = int64_t(1) << 32;
    struct Row {
        const char* what;
        uint32_t capturePosition, playbackPosition;
        int64_t captured, written;
        int32_t delay;
        bool dry;
    };
    const Row rows[] = {
        {"on time", 10 * kBlock, 8 * kBlock, 10 * kBlock, 10 * kBlock, 3 * kBlock, false},
        {"capture notified late", 10 * kBlock + 700, 8 * kBlock, 10 * kBlock, 10 * kBlock, 3 * kBlock + 700, false},
        {"capture position behind the count: not negative", 10 * kBlock - 5, 8 * kBlock, 10 * kBlock, 10 * kBlock,
         3 * kBlock, false},
        {"playback at what was queued: dry", 10 * kBlock, 10 * kBlock, 10 * kBlock, 10 * kBlock, kBlock, true},
        {"playback past what was queued: dry", 10 * kBlock, 10 * kBlock + 9, 10 * kBlock, 10 * kBlock, kBlock, true},
        {"both wrapped", 100, 50, wrap + 100, wrap + 50 + 2 * kBlock, 3 * kBlock, false},
        {"capture wrapped, its count not yet", 60, 0xFFFFF000u, wrap - 40, wrap - 0x1000 + kBlock, 2 * kBlock + 100,
         false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const DelayReading d = readDelayByPositions(r.capturePosition, r.playbackPosition, r.captured, r.written, kBlock);
        EXPECT_TRUE(d.valid);
        EXPECT_EQ(d.delay, r.delay);
        EXPECT_EQ(d.dry, r.dry);
    }
}
