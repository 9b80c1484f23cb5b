// SAudioIO on the real WinMM (Windows, or Wine with a sound server: the PulseAudio rig
// of tests/rig/rig.sh). The devices set the pace here, so the tests wait for a number
// of blocks with generous hang guards instead of timing anything.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "framework/SAudioIO.h"
#include "platform/win32.h"

namespace {

using namespace std::chrono_literals;

class Counter {
public:
    explicit Counter(SAudioIO& a) : audio(a) {}

    void onData(SDATA<short>& block)
    {
        if (inHandler.exchange(true))
            overlaps++;
        if (block.count != expectedCount)
            wrongSize++;
        bool ours = false;
        for (const SAudioBlock& b : audio.blocks)
            ours = ours || b.samples.data.get() == block.data.get();
        if (!ours)
            foreign++;
        // A tone in place of the input: the block is played from the same memory.
        for (int i = 0; i < block.count; ++i)
            block.data[i] = static_cast<short>((i % 64 < 32) ? 3000 : -3000);
        calls++;
        inHandler = false;
    }

    // Waits until n blocks went through the handler; false after the hang guard.
    bool waitFor(long n, std::chrono::seconds guard = 60s)
    {
        const auto end = std::chrono::steady_clock::now() + guard;
        while (calls.load() < n) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    SAudioIO& audio;
    int expectedCount = 0;
    std::atomic<long> calls{0};
    std::atomic<long> wrongSize{0};
    std::atomic<long> foreign{0};
    std::atomic<long> overlaps{0};
    std::atomic<bool> inHandler{false};
};

class WinmmStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_GT(waveInGetNumDevs(), 0u) << "no wave-in device: run with a sound server (tests/rig/rig.sh)";
        ASSERT_GT(waveOutGetNumDevs(), 0u) << "no wave-out device";
    }
};

TEST_F(WinmmStream, BlocksKeepCirculatingAndEachIsHandledOnceAtATime)
{
    SAudioIO audio;
    Counter counter(audio);
    counter.expectedCount = 2048;
    audio.onData = boost::bind(&Counter::onData, &counter, boost::placeholders::_1);
    audio.open(2048);
    ASSERT_NE(audio.inputDevice, nullptr);
    ASSERT_NE(audio.outputDevice, nullptr);
    audio.start();
    // About three seconds of sound. Played blocks that are never returned (a block
    // submitted with the loop flags plays forever under Wine) stop this after four.
    const bool flowed = counter.waitFor(64);
    audio.close();
    EXPECT_TRUE(flowed) << "the circulation stopped after " << counter.calls << " blocks";
    EXPECT_EQ(counter.wrongSize, 0);
    EXPECT_EQ(counter.foreign, 0) << "the handler got memory that is not one of the four blocks";
    EXPECT_EQ(counter.overlaps, 0) << "two capture notifications at once";

    const long after = counter.calls;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(counter.calls, after) << "the handler ran after close returned";
    EXPECT_FALSE(audio.running);
    for (const SAudioBlock& b : audio.blocks) {
        EXPECT_EQ(b.samples.count, 0);
        EXPECT_EQ(b.samples.data.get(), nullptr);
    }
}

TEST_F(WinmmStream, RepeatedOpenStartCloseWithSmallBlocksNeitherHangsNorLeaksCalls)
{
    SAudioIO audio;
    Counter counter(audio);
    counter.expectedCount = 256;
    audio.onData = boost::bind(&Counter::onData, &counter, boost::placeholders::_1);
    for (int round = 0; round < 5; ++round) {
        const long before = counter.calls;
        audio.open(256);
        audio.start();
        // Close while blocks are in flight, at a different point of the circulation each time.
        EXPECT_TRUE(counter.waitFor(before + 10 + 7 * round, 20s)) << "round " << round;
        audio.close();
        const long after = counter.calls;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(counter.calls, after) << "round " << round << ": handler ran after close";
    }
    EXPECT_EQ(counter.wrongSize, 0);
    EXPECT_EQ(counter.foreign, 0);
    EXPECT_EQ(counter.overlaps, 0);
}

}  // namespace
