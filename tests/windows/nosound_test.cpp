// SAudioIO on the real WinMM with no sound server at all (Wine without PulseAudio, a
// Windows machine without devices): both opens fail, nothing circulates, nothing is
// reported, and close still returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "framework/SAudioIO.h"
#include "platform/win32.h"

namespace {

std::atomic<long> calls{0};
void count(SDATA<short>&) { calls++; }

TEST(WinmmWithoutDevices, NothingCirculatesAndCloseReturns)
{
    ASSERT_EQ(waveInGetNumDevs(), 0u) << "a wave-in device exists: this suite needs a machine without sound";
    ASSERT_EQ(waveOutGetNumDevs(), 0u);
    SAudioIO audio;
    audio.onData = &count;
    audio.open(2048);
    EXPECT_EQ(audio.inputDevice, nullptr);
    EXPECT_EQ(audio.outputDevice, nullptr);
    audio.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    audio.close();
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(audio.running);
    for (const SAudioBlock& b : audio.blocks)
        EXPECT_EQ(b.samples.count, 0);
}

}  // namespace
