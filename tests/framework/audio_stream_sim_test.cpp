// The stream's delay over simulated devices (SimWave): two clocks apart for an hour,
// stalled handlers and a stopped process, without real time or a real machine's load.
// Each case runs with the delay read off the positions and off the notifications' times,
// the latter also with notifications that come late by a fixed 10 ms on one side. The
// notification times are coarser (a device period, and they wander by a quarter block under
// Wine), so the stream holds the delay within a block there, not an eighth.

#include "SimWave.h"
#include "framework/SAudioIO.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int kBlock = 2048;
const uint64_t kRate = 44100;

// 2.5 s of voice, then 0.5 s of silence, as someone talking.
bool talking(uint64_t i) { return i % (3 * kRate) < kRate * 5 / 2; }

struct Handler {
    std::vector<int64_t> firsts;  // each handled block's first sample (its coded capture index)
    std::vector<int> counts;
    void onData(SDATA<short>& d)
    {
        counts.push_back(d.count);
        firsts.push_back(d.data[0]);
    }
};

// Follows the output from frame `from` on: every voiced input sample must come out once,
// in order, with no silence put between two that follow each other, and each within
// `slack` of the delay of the first one heard (or of `delay` when given). Keeps the first fault.
struct Listener {
    uint64_t from = 0;
    double delay = -1;
    double slack = 0;
    std::function<bool(uint64_t)> voiced;
    double playbackRate = 1.0;
    std::string fault;
    int64_t prev = -1;
    bool silence = false;
    double firstDelay = -1;

    void feed(uint64_t j, int64_t b)
    {
        if (j < from || !fault.empty())
            return;
        if (b < 0) {
            silence = true;
            return;
        }
        const double late = static_cast<double>(j) / playbackRate - static_cast<double>(b);
        if (firstDelay < 0)
            firstDelay = late;
        if (delay < 0)
            delay = late;
        const char* what = nullptr;
        if (std::fabs(late - delay) > slack)
            what = "late or early";
        else if (prev >= 0 && b <= prev)
            what = "a repeat";
        else if (prev >= 0 && b == prev + 1 && silence)
            what = "a dropout";
        else if (prev >= 0)
            for (int64_t i = prev + 1; i < b && !what; ++i)
                if (voiced(static_cast<uint64_t>(i)))
                    what = "voice left out";
        if (what) {
            char buf[200];
            std::snprintf(buf, sizeof buf, "%s at output frame %llu: input %lld after %lld, %.0f frames late (not %.0f)",
                          what, static_cast<unsigned long long>(j), static_cast<long long>(b),
                          static_cast<long long>(prev), late, delay);
            fault = buf;
        }
        prev = b;
        silence = false;
    }
};

struct Mode {
    SAudioIO::Reading reading;
    uint64_t captureLate;
    uint64_t playbackLate;
    const char* name;
    double slack;        // how far from the delay start gave the voice may come, all along
    double healed;       // the same from a second after a stall
    double correction;   // the least a slow drift is corrected by
};

const Mode kModes[] = {
    {SAudioIO::Reading::Positions, 0, 0, "Positions", kBlock / 4.0, kBlock / 16.0, kBlock / 16.0},
    {SAudioIO::Reading::NotificationTimes, 0, 0, "NotificationTimes", kBlock, kBlock / 2.0, kBlock / 2.0},
    {SAudioIO::Reading::NotificationTimes, 441, 0, "NotificationTimesCaptureLate", kBlock, kBlock / 2.0,
     kBlock / 2.0},
    {SAudioIO::Reading::NotificationTimes, 0, 441, "NotificationTimesPlaybackLate", kBlock, kBlock / 2.0,
     kBlock / 2.0},
};

class SAudioStreamSim : public ::testing::TestWithParam<Mode> {
protected:
    sim::Config config()
    {
        sim::Config c;
        // WinMM over a mixer moves 10 ms a period: notifications can come no closer to
        // the block's end than that, whose phase against the block's then varies.
        if (GetParam().reading == SAudioIO::Reading::NotificationTimes)
            c.chunk = 441;
        c.captureLate = GetParam().captureLate;
        c.playbackLate = GetParam().playbackLate;
        return c;
    }
    uint32_t expectHealed(const std::function<void(uint64_t)>& event, double seconds);
};

struct SimRun {
    SAudioIO stream;
    Handler handler;
    Listener ear;    // from the start, against the delay start gives
    Listener after;  // set up by the test for the stretch after an event
    SimRun(sim::Config c, double slack, SAudioIO::Reading reading)
    {
        ear.voiced = c.voiced;
        ear.slack = slack;
        ear.playbackRate = c.playbackRate;
        after = ear;
        after.from = UINT64_MAX;
        c.listen = [this](uint64_t j, int64_t b) {
            ear.feed(j, b);
            after.feed(j, b);
        };
        sim::reset(c);
        stream.onData = boost::bind(&Handler::onData, &handler, boost::placeholders::_1);
        stream.reading = reading;
        stream.open(kBlock);
        stream.start();
    }
    ~SimRun() { stream.close(); }
    void until(uint64_t frame)
    {
        while (sim::now() < frame)
            sim::step();
    }
};

void expectEveryBlockOnceInOrder(const Handler& h)
{
    for (size_t k = 0; k < h.counts.size(); ++k)
        ASSERT_EQ(h.counts[k], kBlock) << "block " << k;
    int64_t last = -1;
    for (size_t k = 0; k < h.firsts.size(); ++k) {
        // 0 is silence; the simulation codes voiced samples, so only talk is checked.
        if (h.firsts[k] == 0)
            continue;
        ASSERT_NE(h.firsts[k], last) << "block " << k << " handled twice";
        last = h.firsts[k];
    }
}

}  // namespace

TEST_P(SAudioStreamSim, StartHoldsTwoBlocksAndNeverCorrectsAtRest)
{
    sim::Config c = config();
    c.voiced = talking;
    SimRun r(c, 0.5, GetParam().reading);
    r.until(60 * kRate);
    // From capture of a block's first sample to its playback: the block, then one queued
    // before it (the cushion of two silent blocks start queued, one played meanwhile).
    EXPECT_NEAR(r.ear.firstDelay, 2 * kBlock, c.chunk);
    EXPECT_EQ(r.ear.fault, "");
    EXPECT_EQ(r.stream.restorations(), 0u);
    EXPECT_EQ(r.stream.underruns(), 0u);
    expectEveryBlockOnceInOrder(r.handler);
}

// Capture opening some milliseconds after playback (as a sound server's streams do), or
// over a second (Wine), with the voice from the first sample: no restoration, no gap, the
// designed delay.
TEST_P(SAudioStreamSim, CaptureBeginningLateStartsCleanAtTheDesignedDelay)
{
    // Wine's capture gives its first block over a second late.
    for (uint64_t late : {0u, 300u, 700u, 1500u, 3000u, 60000u}) {
        SCOPED_TRACE(late);
        sim::Config c = config();
        c.captureStart = late;
        c.voiced = [](uint64_t) { return true; };
        SimRun r(c, 0.5, GetParam().reading);
        r.until(10 * kRate);
        // Read off notification times, a start so late that it cannot be told from a late
        // notification leaves that lateness in the delay held.
        EXPECT_GE(r.ear.firstDelay, 2 * kBlock - c.chunk);
        EXPECT_LE(r.ear.firstDelay, 2 * kBlock + c.chunk + static_cast<double>(c.captureLate));
        EXPECT_EQ(r.ear.fault, "");
        EXPECT_EQ(r.stream.restorations(), 0u);
        EXPECT_EQ(r.stream.underruns(), 0u);
        expectEveryBlockOnceInOrder(r.handler);
    }
}

TEST_P(SAudioStreamSim, TwoClocksAnHourApartHoldTheDelayWithQuietCorrections)
{
    for (double ppm : {200.0, -200.0, 50.0}) {
        SCOPED_TRACE("playback clock " + std::to_string(ppm) + " ppm off capture");
        sim::Config c = config();
        c.playbackRate = 1.0 + ppm * 1e-6;
        c.voiced = talking;
        // Within the slack all hour long, and never a jump or hole inside the voice: the
        // corrections fall into the pauses.
        SimRun r(c, GetParam().slack, GetParam().reading);
        r.until(3600 * kRate);
        EXPECT_EQ(r.ear.fault, "");
        // 200 ppm over an hour is 31,752 frames; each correction is at least the least one,
        // so a controller that hunts would need many more.
        const double drift = std::fabs(ppm) * 1e-6 * 3600 * kRate;
        EXPECT_GE(r.stream.restorations(), 1u);
        EXPECT_LE(r.stream.restorations(), drift / GetParam().correction + 2);
        EXPECT_EQ(r.stream.underruns(), 0u) << "a drift's correction is no underrun";
        expectEveryBlockOnceInOrder(r.handler);
    }
}

// An event at 3 s that lasts `seconds`; from one second after it ends, the voice must be
// whole again at the delay start gave (within a sixteenth of a block, off the positions).
// Returns the underruns the stream counted.
uint32_t SAudioStreamSim::expectHealed(const std::function<void(uint64_t)>& event, double seconds)
{
    sim::Config c = config();
    SimRun r(c, GetParam().healed, GetParam().reading);
    r.until(3 * kRate);
    const uint64_t length = static_cast<uint64_t>(seconds * kRate);
    event(length);
    const uint64_t resumed = sim::now() + length;
    r.after.delay = r.ear.firstDelay;
    r.after.from = static_cast<uint64_t>((resumed + kRate) * c.playbackRate);
    r.until(resumed + 4 * kRate);
    EXPECT_EQ(r.after.fault, "");
    EXPECT_GT(r.after.prev, 0) << "nothing heard after the event";
    expectEveryBlockOnceInOrder(r.handler);
    return r.stream.underruns();
}

TEST_P(SAudioStreamSim, AStalledHandlerCostsOneGapThenTheDelayIsBackWithinASecond)
{
    for (double seconds : {0.02, 0.07, 0.1, 0.3, 0.5, 1.0, 2.0}) {
        SCOPED_TRACE("handler stuck for " + std::to_string(seconds) + " s");
        const uint32_t underruns = expectHealed(sim::holdNotifications, seconds);
        // The one gap is counted once, however many blocks the stall held back.
        if (seconds <= 0.02) {
            EXPECT_EQ(underruns, 0u);
        } else if (seconds >= 0.1) {
            EXPECT_EQ(underruns, 1u);
        }
    }
}

TEST_P(SAudioStreamSim, AStoppedProcessCostsOneGapThenTheDelayIsBackWithinASecond)
{
    for (double seconds : {0.02, 0.1, 0.3, 0.5, 1.0, 2.0}) {
        SCOPED_TRACE("process stopped for " + std::to_string(seconds) + " s");
        expectHealed(sim::stopProcess, seconds);
    }
}

// Stopped and started again (as the watch does when it opens lost devices again), the
// stream begins anew with silence: nothing captured before the restart is heard after it.
TEST_P(SAudioStreamSim, ARestartPlaysNothingCapturedBeforeIt)
{
    sim::Config c = config();
    uint64_t heard = 0;               // output frames so far
    uint64_t restartFrame = UINT64_MAX;  // the first output frame after the restart
    uint64_t restartIndex = 0;        // capture index at the restart
    int64_t stale = -1;
    c.listen = [&](uint64_t j, int64_t index) {
        heard = j + 1;
        if (stale < 0 && j >= restartFrame && index >= 0 && static_cast<uint64_t>(index) < restartIndex)
            stale = index;
    };
    sim::reset(c);
    Handler handler;
    SAudioIO stream;
    stream.onData = boost::bind(&Handler::onData, &handler, boost::placeholders::_1);
    stream.reading = GetParam().reading;
    stream.open(kBlock);
    stream.start();
    for (int run = 0; run < 3; ++run) {
        while (sim::now() < (run + 1) * 2 * kRate)
            sim::step();
        stream.stop();
        restartFrame = heard;
        restartIndex = sim::now();
        stream.start();
    }
    while (sim::now() < 8 * kRate)
        sim::step();
    stream.close();
    EXPECT_EQ(stale, -1) << "input from before the restart played after it";
    EXPECT_GT(heard, restartFrame + kRate) << "the restarted stream played nothing";
}

INSTANTIATE_TEST_SUITE_P(Readings, SAudioStreamSim, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<Mode>& i) { return std::string(i.param.name); });
