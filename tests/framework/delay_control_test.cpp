// The delay control's rules, block by block, on tables of readings: what it asks the stream
// to correct, when, and what counts as a restoration.

#include "framework/DelayControl.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const int kBlock = 2048;
const int32_t kNominal = DelayControl::kCushionBlocks * kBlock;

// One block as the stream hands it over: its reading, capture blocks behind, quiet or not.
struct Block {
    int32_t delay;
    bool dry = false;
    bool quiet = false;
    int behind = 1;
    bool valid = true;
};

Block at(int32_t delay, bool quiet = false) { return Block{delay, false, quiet}; }

struct Outcome {
    int32_t correction;  // asked for with this block, before the stream made any of it
    bool restoration;
};

// Feeds the blocks in order and makes every correction in full at once, as the stream does
// with a correction of at most a block.
std::vector<Outcome> run(DelayControl& c, const std::vector<Block>& blocks)
{
    std::vector<Outcome> out;
    for (const Block& b : blocks) {
        DelayReading r;
        r.delay = b.delay;
        r.dry = b.dry;
        r.valid = b.valid;
        const DelayControl::Decision d = c.onBlock(r, b.behind, b.quiet);
        out.push_back({d.correction, d.restoration});
        c.made(d.correction);
    }
    return out;
}

std::vector<Block> repeat(const Block& b, int n) { return std::vector<Block>(static_cast<size_t>(n), b); }

std::vector<Block> operator+(std::vector<Block> a, const std::vector<Block>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Index and size of every correction asked for, with whether each was a restoration.
struct Asked {
    size_t block;
    int32_t frames;
    bool restoration;
    bool operator==(const Asked& o) const
    {
        return block == o.block && frames == o.frames && restoration == o.restoration;
    }
};

std::vector<Asked> corrections(const std::vector<Outcome>& out)
{
    std::vector<Asked> a;
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i].correction != 0 || out[i].restoration)
            a.push_back({i, out[i].correction, out[i].restoration});
    return a;
}

// A table's row: what it shows, the blocks fed, the corrections they must ask for.
struct Row {
    const char* what;
    std::vector<Block> blocks;
    std::vector<Asked> expected;
};

void PrintTo(const Asked& a, std::ostream* os)
{
    *os << "{block " << a.block << ", " << a.frames << (a.restoration ? ", restoration}" : "}");
}

}  // namespace

TEST(DelayControl, QuietIsAPeakBelowFortyDecibelsUnderFullScale)
{
    const short loudest[] = {0, 327, -327, 100};
    const short over[] = {0, 0, 328, 0};
    const short under[] = {-328, 0, 0, 0};
    EXPECT_TRUE(quietBlock(loudest, 4));
    EXPECT_FALSE(quietBlock(over, 4));
    EXPECT_FALSE(quietBlock(under, 4));
    EXPECT_TRUE(quietBlock(over, 2));  // only the n samples given count
}

// Read off positions (calibrated from the start): tolerance 128, loud drift past 512, event
// past 1024.
TEST(DelayControl, EventsGoWithASecondReadingOrDryAtOnceDriftWaitsForEightOnOneSide)
{
    const Block dryShort{kNominal - 300, true};
    const Block dryNear{kNominal - 200, true};
    std::vector<Block> mixed;
    for (int k = 0; k < 12; ++k)
        mixed.push_back(at(kNominal + (k % 2 ? 600 : -600)));
    const Row rows[] = {
        {"on the cushion: nothing", repeat(at(kNominal), 20), {}},
        {"a block late twice: with the second", {at(kNominal), at(kNominal + 1100), at(kNominal + 1100)},
         {{2, 1100, true}}},
        {"a block early twice: silence with the second", {at(kNominal - 1100), at(kNominal - 1100)},
         {{1, -1100, true}}},
        {"one reading a block off, alone: nothing", {at(kNominal - 1100), at(kNominal), at(kNominal + 1100)}, {}},
        {"a block early, then late: nothing", {at(kNominal - 1100), at(kNominal + 1100)}, {}},
        {"two readings a block off: the smaller",
         {at(kNominal + 1900), at(kNominal + 1100), at(kNominal - 1500), at(kNominal - 1200)},
         {{1, 1100, true}}},
        {"just under the threshold: no event", {at(kNominal + 1024)}, {}},
        {"dry past its tolerance: at once", {dryShort}, {{0, -300, true}}},
        {"dry a block early: at once", {Block{kNominal - 1100, true}}, {{0, -1100, true}}},
        {"dry within its tolerance: nothing", {dryNear}, {}},
        {"drift past a quarter block: the eighth reading", repeat(at(kNominal + 600), 12), {{7, 600, true}}},
        {"drift past the tolerance, loud: never", repeat(at(kNominal + 300), 30), {}},
        {"drift past the tolerance: the first quiet block after eight",
         repeat(at(kNominal + 300), 10) + repeat(at(kNominal + 300, true), 1),
         {{10, 300, true}}},
        {"quiet from the start: still eight readings first", repeat(at(kNominal + 300, true), 8), {{7, 300, true}}},
        {"drift within the tolerance: never", repeat(at(kNominal + 120, true), 30), {}},
        {"a quantum pipewire-pulse lost: in a quiet block",
         repeat(at(kNominal - 235), 9) + std::vector<Block>{at(kNominal - 235, true)} + repeat(at(kNominal, true), 20),
         {{9, -235, true}}},
        {"both sides: no drift", mixed, {}},
        {"one reading inside the tolerance holds the drift back",
         repeat(at(kNominal + 600), 4) + std::vector<Block>{at(kNominal + 100)} + repeat(at(kNominal + 600), 8),
         {{12, 600, true}}},
        {"a failed reading says nothing: no silence for it",
         repeat(at(kNominal), 3) + std::vector<Block>{Block{0, false, true, 1, false}} + repeat(at(kNominal), 3),
         {}},
        {"a drift is the readings' median",
         {at(kNominal + 700), at(kNominal + 520), at(kNominal + 900), at(kNominal + 600), at(kNominal + 530),
          at(kNominal + 800), at(kNominal + 540), at(kNominal + 1000)},
         {{7, 700, true}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        DelayControl c(kBlock, WaveReading::Positions);
        EXPECT_EQ(corrections(run(c, r.blocks)), r.expected);
    }
}

TEST(DelayControl, HoldsOffEightBlocksAfterACorrectionAndOneAtATime)
{
    const Block late = at(kNominal + 1500);
    {
        // Nothing for the eight blocks after, whatever they read; the ninth starts afresh.
        DelayControl c(kBlock, WaveReading::Positions);
        const auto out = run(c, std::vector<Block>{late} + repeat(late, 11));
        EXPECT_EQ(corrections(out), (std::vector<Asked>{{1, 1500, true}, {11, 1500, true}}));
    }
    {
        // A correction the stream has not finished is the one still asked for: no new one.
        DelayControl c(kBlock, WaveReading::Positions);
        DelayReading r;
        r.delay = kNominal - 5000;
        r.valid = true;
        EXPECT_EQ(c.onBlock(r, 1, false).correction, 0);
        DelayControl::Decision d = c.onBlock(r, 1, false);
        EXPECT_EQ(d.correction, -5000);
        EXPECT_TRUE(d.restoration);
        c.made(-kBlock);
        r.delay = kNominal + 3000;
        d = c.onBlock(r, 1, false);
        EXPECT_EQ(d.correction, -5000 + kBlock);
        EXPECT_FALSE(d.restoration);
        c.made(-kBlock);
        c.made(-(5000 - 2 * kBlock));
        // Made in full: the holdoff counts from here.
        for (int k = 0; k < DelayControl::kHoldoffBlocks; ++k)
            EXPECT_EQ(c.onBlock(r, 1, false).correction, 0) << k;
        EXPECT_EQ(c.onBlock(r, 1, false).correction, 0);
        EXPECT_EQ(c.onBlock(r, 1, false).correction, 3000);
    }
}

TEST(DelayControl, WhatAnEventLeftOverGoesAtOnceLoudOrNot)
{
    // After an event, eight loud readings 300 late (a drift only a quiet block would
    // correct) are what the event's correction left over: corrected at once.
    DelayControl c(kBlock, WaveReading::Positions);
    const auto out = run(c, repeat(at(kNominal + 1500), 2) + repeat(at(kNominal), 8) +
                                repeat(at(kNominal + 300), 8) + repeat(at(kNominal), 9) +
                                repeat(at(kNominal + 300), 20));
    // The second stretch of drift follows a drift correction, not an event: it waits.
    EXPECT_EQ(corrections(out), (std::vector<Asked>{{1, 1500, true}, {17, 300, true}}));
}

// A stall's readings may leave the event's correction some frames off, under the drift
// tolerance, where nothing else would take it back: once eight readings agree, in a quiet
// block, the delay is set again, to the start's precision.
TEST(DelayControl, AfterAnEventTheDelayIsSetAgainOnceEightReadingsAgreeInAQuietBlock)
{
    const std::vector<Block> event = repeat(at(kNominal + 1500), 2) + repeat(at(kNominal), 8);
    const Row rows[] = {
        {"left 100 short: set in the first quiet block, no restoration",
         event + repeat(at(kNominal - 100), 10) + repeat(at(kNominal - 100, true), 2),
         {{1, 1500, true}, {20, -100, false}}},
        {"within 32 frames: left", event + repeat(at(kNominal - 30, true), 20), {{1, 1500, true}}},
        {"only once",
         event + repeat(at(kNominal - 100, true), 8) + repeat(at(kNominal), 8) + repeat(at(kNominal - 100, true), 20),
         {{1, 1500, true}, {17, -100, false}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        DelayControl c(kBlock, WaveReading::Positions);
        EXPECT_EQ(corrections(run(c, r.blocks)), r.expected);
    }
    {
        // A slow drift's correction is no event: nothing is set after it.
        DelayControl c(kBlock, WaveReading::Positions);
        EXPECT_EQ(corrections(run(c, repeat(at(kNominal + 600), 8) + repeat(at(kNominal), 8) +
                                         repeat(at(kNominal - 100, true), 20))),
                  (std::vector<Asked>{{7, 600, true}}));
    }
}

TEST(DelayControl, WhatPlaybackRunDryLeftOverGoesWithTheThirdReadingAfterTheCushionCameBack)
{
    // Playback dry with the reading 2000 short: silence at once. The block after it brings
    // the cushion back (its reading is left out); then the devices' periods show where they
    // started again, loud or not. Read off a capture device opened afresh: up to a third of
    // a block either way.
    const Block dry{kNominal - 2000, true};
    const Row rows[] = {
        {"late by 700: cut with the third reading", repeat(at(kNominal + 700), 12), {{0, -2000, true}, {4, 700, true}}},
        {"early by 700: silence with the third reading",
         repeat(at(kNominal - 700), 12),
         {{0, -2000, true}, {4, -700, true}}},
        {"the median of the three",
         {at(kNominal), at(kNominal + 900), at(kNominal + 600), at(kNominal + 700)},
         {{0, -2000, true}, {4, 700, true}}},
        {"one of the three inside the tolerance, the median past it: cut by the median",
         {at(kNominal), at(kNominal + 400), at(kNominal + 200), at(kNominal + 500)},
         {{0, -2000, true}, {4, 400, true}}},
        {"the median inside the tolerance: left to the drift rule",
         std::vector<Block>{at(kNominal), at(kNominal + 700), at(kNominal + 50), at(kNominal + 100)} +
             repeat(at(kNominal + 400), 12),
         {{0, -2000, true}}},
        {"then a drift needs eight again", std::vector<Block>{at(kNominal)} + repeat(at(kNominal), 3) +
                                               repeat(at(kNominal + 600), 8),
         {{0, -2000, true}, {12, 600, true}}},
        {"the block that brings the cushion back does not count",
         std::vector<Block>{at(kNominal + 700)} + repeat(at(kNominal), 3),
         {{0, -2000, true}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        DelayControl c(kBlock, WaveReading::Positions);
        EXPECT_EQ(corrections(run(c, std::vector<Block>{dry} + r.blocks)), r.expected);
    }
}

TEST(DelayControl, NotificationTimesTakeStartsDelayFromEightHealthyAgreeingReadings)
{
    // The reading carries a bias of 700 frames. Tolerance 1024 once calibrated, event past
    // 2048 either way; drift is never corrected before calibration.
    const int32_t biased = kNominal + 700;
    Block sick = at(biased);
    sick.behind = 0;  // capture not fed: not a circulation to calibrate on
    struct Start {
        const char* what;
        std::vector<Block> start;
        int32_t expected;  // asked for when the reading then jumps 2100 further
    };
    std::vector<Block> spread;
    for (int k = 0; k < 40; ++k)
        spread.push_back(at(biased + (k % 2 ? 300 : -300)));
    const Start starts[] = {
        {"calibrated: the bias is held", repeat(at(biased), 40), 2100},
        {"capture never fed: not calibrated", repeat(sick, 40), 2800},
        {"readings spread wider than a quarter block: not calibrated", spread, 2800},
        {"not before the arrivals window and eight readings", repeat(at(biased), 15), 2800},
        {"sixteen readings: calibrated", repeat(at(biased), 16), 2100},
    };
    for (const Start& r : starts) {
        SCOPED_TRACE(r.what);
        DelayControl c(kBlock, WaveReading::NotificationTimes);
        const auto out = run(c, r.start + repeat(at(biased + 2100), 2));
        EXPECT_EQ(corrections(out), (std::vector<Asked>{{r.start.size() + 1, r.expected, true}}));
    }
    {
        // Playback dry at every reading (but near the cushion, so no event): not healthy,
        // so the 100 frames the readings agree on are never taken as the bias.
        Block dry = at(kNominal + 100);
        dry.dry = true;
        DelayControl c(kBlock, WaveReading::NotificationTimes);
        const auto out = run(c, repeat(dry, 40) + repeat(at(kNominal + 2200), 2));
        EXPECT_EQ(corrections(out), (std::vector<Asked>{{41, 2200, true}}));
    }
    {
        // A bias over half a block is no bias: a stall so early. Nothing calibrates, and
        // uncalibrated only a block off is an event.
        DelayControl c(kBlock, WaveReading::NotificationTimes);
        const auto out = run(c, repeat(at(kNominal + 1100), 40) + repeat(at(kNominal + 2100), 2));
        EXPECT_EQ(corrections(out), (std::vector<Asked>{{41, 2100, true}}));
    }
    {
        // Calibrated, a drift past the tolerance from the bias waits for a quiet block.
        DelayControl c(kBlock, WaveReading::NotificationTimes);
        const auto out = run(c, repeat(at(biased), 20) + repeat(at(biased + 1500, true), 8));
        EXPECT_EQ(corrections(out), (std::vector<Asked>{{27, 1500, true}}));
    }
}

// Each row on a control whose playback has just begun.
template <size_t N>
void expectFromPlaybackBegun(const Row (&rows)[N])
{
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        DelayControl c(kBlock, WaveReading::Positions);
        c.beginPhase();
        EXPECT_EQ(corrections(run(c, r.blocks)), r.expected);
    }
}

TEST(DelayControl, StartPhaseIsSetOnceWithTheSecondReadingInAQuietBlock)
{
    const Row rows[] = {
        {"second reading off, quiet: set, no restoration",
         {at(kNominal + 400, true), at(kNominal + 400, true)},
         {{1, 400, false}}},
        {"second reading early, quiet: silence", {at(kNominal), at(kNominal - 300, true)}, {{1, -300, false}}},
        {"second reading off, loud: left", {at(kNominal + 400), at(kNominal + 400)}, {}},
        {"within the dry tolerance: left", {at(kNominal + 256, true), at(kNominal + 256, true)}, {}},
        {"only the second: a later quiet block does nothing",
         {at(kNominal + 400), at(kNominal + 400), at(kNominal + 400, true), at(kNominal + 400, true)},
         {}},
    };
    expectFromPlaybackBegun(rows);
    {
        // Without playback begun there is no phase to set.
        DelayControl c(kBlock, WaveReading::Positions);
        EXPECT_EQ(corrections(run(c, {at(kNominal + 400, true), at(kNominal + 400, true)})),
                  std::vector<Asked>{});
    }
}

// The devices' positions take some periods to settle: once eight readings agree to 128
// frames, the phase goes where their median says (past 32 frames), in a quiet block.
TEST(DelayControl, StartPhaseIsSetAgainOnceEightReadingsAgreeInAQuietBlock)
{
    const std::vector<Block> start = {at(kNominal, true), at(kNominal, true)};
    std::vector<Block> disagreeing;
    for (int k = 0; k < 8; ++k)
        disagreeing.push_back(at(kNominal + (k % 2 ? 300 : 100), true));
    const Row rows[] = {
        {"eight readings after the second reading's phase: set again, no restoration",
         std::vector<Block>{at(kNominal + 400, true), at(kNominal + 400, true)} + repeat(at(kNominal + 100, true), 16),
         {{1, 400, false}, {9, 100, false}}},
        {"settled early: with the eighth reading", start + repeat(at(kNominal - 100, true), 8), {{7, -100, false}}},
        {"loud: the first quiet block", start + repeat(at(kNominal + 100), 10) + repeat(at(kNominal + 100, true), 1),
         {{12, 100, false}}},
        {"readings that do not agree wait for eight that do", start + disagreeing + repeat(at(kNominal + 100, true), 8),
         {{17, 100, false}}},
        {"within 32 frames: left", start + repeat(at(kNominal + 30, true), 20), {}},
        {"only once", start + repeat(at(kNominal + 100, true), 30), {{7, 100, false}}},
    };
    expectFromPlaybackBegun(rows);
    {
        // Playback ran dry: its periods start afresh, and are set again once settled.
        DelayControl c(kBlock, WaveReading::Positions);
        EXPECT_EQ(corrections(run(c, std::vector<Block>{Block{kNominal - 2000, true}} +
                                         repeat(at(kNominal + 100, true), 12))),
                  (std::vector<Asked>{{0, -2000, true}, {9, 100, false}}));
    }
    {
        // Read off notification times there is no phase: nothing is set.
        DelayControl c(kBlock, WaveReading::NotificationTimes);
        EXPECT_EQ(corrections(run(c, repeat(at(kNominal + 100, true), 20))), std::vector<Asked>{});
    }
}
