// SAudioIO over SDL's disk driver, unpaced: lifecycle, stop, stray notifications, missing devices.

#include "framework/SAudioIO.h"
#include "tests/framework/AudioStreamProbe.h"
#include "tests/platform/DiskAudio.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void expectEmpty(const SAudioIO& s)
{
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.blocks[i].samples.count, 0) << "block " << i;
        EXPECT_EQ(s.blocks[i].samples.data.get(), nullptr) << "block " << i;
    }
}

void expectIdle(const SAudioIO& s)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(s.blocks[i].header.dwFlags & (WHDR_INQUEUE | WHDR_PREPARED), 0u) << "block " << i;
}

}  // namespace

TEST(SAudioStream, OpenGivesZeroBlocksAndStartsNothing)
{
    DiskAudio disk(false);
    disk.writeInput(nonZeroSignal(44100, 1));
    SAudioIO s;
    StreamProbe p;
    EXPECT_FALSE(s.running.load());
    EXPECT_FALSE(s.onData);
    EXPECT_EQ(s.inputDevice, nullptr);
    EXPECT_EQ(s.outputDevice, nullptr);
    expectEmpty(s);

    p.bind(s);
    s.open(2048);
    ASSERT_NE(s.inputDevice, nullptr);
    ASSERT_NE(s.outputDevice, nullptr);
    for (int i = 0; i < 4; ++i) {
        const SAudioBlock& b = s.blocks[i];
        ASSERT_EQ(b.samples.count, 2048);
        ASSERT_NE(b.samples.data.get(), nullptr);
        for (int k = 0; k < 2048; ++k)
            ASSERT_EQ(b.samples.data[k], 0) << "block " << i << " sample " << k;
        EXPECT_EQ(b.header.lpData, reinterpret_cast<LPSTR>(b.samples.data.get()));
        EXPECT_EQ(b.header.dwBufferLength, 4096u);
        EXPECT_EQ(b.header.dwUser, reinterpret_cast<DWORD_PTR>(&b));
        EXPECT_EQ(b.header.dwFlags, 0u);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(p.calls.load(), 0);
    EXPECT_FALSE(s.running.load());
    s.close();
    expectEmpty(s);
    EXPECT_EQ(p.calls.load(), 0);
    EXPECT_TRUE(s.onData) << "the binding outlives close";

    // Size 0: four blocks without samples; running it circulates nothing.
    s.open(0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.blocks[i].samples.count, 0);
        EXPECT_EQ(s.blocks[i].samples.data.get(), nullptr);
        EXPECT_EQ(s.blocks[i].header.lpData, nullptr);
        EXPECT_EQ(s.blocks[i].header.dwBufferLength, 0u);
    }
    s.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.close();
    EXPECT_EQ(p.calls.load(), 0);
    expectEmpty(s);

    // A negative size is the allocator's failure, before any device opens.
    SAudioIO t;
    EXPECT_THROW(t.open(-1), std::bad_array_new_length);
    EXPECT_EQ(t.inputDevice, nullptr);
    EXPECT_EQ(t.outputDevice, nullptr);
}

TEST(SAudioStream, AfterStopTheHandlerIsNeverCalledAndCloseEmptiesEveryBlock)
{
    DiskAudio disk(false);
    disk.writeInput(nonZeroSignal(44100, 2));
    SAudioIO s;
    StreamProbe p;
    p.bind(s);
    s.open(256);
    s.start();
    EXPECT_TRUE(s.running.load());
    ASSERT_TRUE(waitUntil([&] { return p.calls.load() >= 20; }));
    s.stop();
    EXPECT_FALSE(s.running.load());
    const int atStop = p.calls.load();
    expectIdle(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(p.calls.load(), atStop);

    // Open again and close while running: close stops first.
    s.close();
    s.open(256);
    s.start();
    ASSERT_TRUE(waitUntil([&] { return p.calls.load() >= atStop + 20; }));
    s.close();
    const int atClose = p.calls.load();
    EXPECT_FALSE(s.running.load());
    EXPECT_EQ(s.inputDevice, nullptr);
    EXPECT_EQ(s.outputDevice, nullptr);
    expectEmpty(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(p.calls.load(), atClose);
    for (int n : p.counts)
        ASSERT_EQ(n, 256);
}

TEST(SAudioStream, NotificationsOtherThanDataAndDoneChangeNothing)
{
    DiskAudio disk(false);
    disk.writeInput(nonZeroSignal(1000, 3));
    SAudioIO s;
    StreamProbe p;
    p.bind(s);
    s.open(512);
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 512; ++k)
            s.blocks[i].samples.data[k] = static_cast<short>(i * 1000 + k);
    SAudioBlock before[4];
    std::vector<short> samplesBefore;
    for (int i = 0; i < 4; ++i) {
        before[i].header = s.blocks[i].header;
        samplesBefore.insert(samplesBefore.end(), s.blocks[i].samples.data.get(),
                             s.blocks[i].samples.data.get() + 512);
    }
    auto unchanged = [&] {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(std::memcmp(&before[i].header, &s.blocks[i].header, sizeof(WAVEHDR)), 0) << "header " << i;
            EXPECT_TRUE(std::equal(s.blocks[i].samples.data.get(), s.blocks[i].samples.data.get() + 512,
                                   samplesBefore.begin() + i * 512))
                << "samples " << i;
        }
        EXPECT_EQ(p.calls.load(), 0);
    };
    const DWORD_PTR self = reinterpret_cast<DWORD_PTR>(&s);

    // Running, but the messages are not the data ones.
    s.running = true;
    for (int i = 0; i < 4; ++i) {
        const DWORD_PTR h = reinterpret_cast<DWORD_PTR>(&s.blocks[i].header);
        for (UINT m : std::initializer_list<UINT>{MM_WIM_OPEN, MM_WIM_CLOSE, MM_WOM_DONE, MM_WOM_OPEN, 0})
            SAudioIO::inputCallback(s.inputDevice, m, self, h, 0);
        for (UINT m : std::initializer_list<UINT>{MM_WOM_OPEN, MM_WOM_CLOSE, MM_WIM_DATA, MM_WIM_OPEN, 0})
            SAudioIO::outputCallback(s.outputDevice, m, self, h, 0);
    }
    unchanged();

    // The data ones, but not running.
    s.running = false;
    for (int i = 0; i < 4; ++i) {
        const DWORD_PTR h = reinterpret_cast<DWORD_PTR>(&s.blocks[i].header);
        SAudioIO::inputCallback(s.inputDevice, MM_WIM_DATA, self, h, 0);
        SAudioIO::outputCallback(s.outputDevice, MM_WOM_DONE, self, h, 0);
    }
    unchanged();
    s.close();
}

TEST(SAudioStream, WithoutAnInputDeviceTheHandlerIsNeverCalled)
{
    DiskAudio disk(false);  // no input file: capture cannot open
    SAudioIO s;
    StreamProbe p;
    p.bind(s);
    testing::internal::CaptureStderr();
    s.open(1024);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.inputDevice, nullptr);
    ASSERT_NE(s.outputDevice, nullptr);
    EXPECT_NE(err.find("sound: cannot open the default recording device"), std::string::npos) << err;
    s.start();
    // The two silent blocks play and come back; give it many blocks' worth of playback.
    ASSERT_TRUE(waitUntil([&] { return disk.outputBytes() > 64 * 2048; }));
    s.close();
    EXPECT_EQ(p.calls.load(), 0);
    expectEmpty(s);
}

TEST(SAudioStream, WithoutAnOutputDeviceOnlyTheFirstTwoBlocksReachTheHandler)
{
    DiskAudio disk(false);
    const std::vector<short> input = nonZeroSignal(44100, 4);
    disk.writeInput(input);
    setenv("SDL_DISKAUDIOFILE", (disk.dir + "/missing/out.raw").c_str(), 1);
    SAudioIO s;
    StreamProbe p(4096);
    p.bind(s);
    testing::internal::CaptureStderr();
    s.open(1024);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(s.inputDevice, nullptr);
    EXPECT_EQ(s.outputDevice, nullptr);
    EXPECT_NE(err.find("sound: cannot open the default playback device"), std::string::npos) << err;
    const short* first = s.blocks[0].samples.data.get();
    const short* second = s.blocks[1].samples.data.get();
    s.start();
    ASSERT_TRUE(waitUntil([&] { return p.calls.load() >= 2; }));
    // Unpaced capture runs far ahead: a third call would come within this.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    s.close();
    ASSERT_EQ(p.calls.load(), 2);
    EXPECT_EQ(p.arrays[0], first);
    EXPECT_EQ(p.arrays[1], second);
    EXPECT_TRUE(std::equal(p.seen.begin(), p.seen.end(), input.begin())) << "blocks 0 and 1 hold the first input";
    expectEmpty(s);
}

TEST(SAudioStream, WithNeitherDeviceNothingHappensAndCloseReturns)
{
    DiskAudio disk(false);
    setenv("SDL_DISKAUDIOFILE", (disk.dir + "/missing/out.raw").c_str(), 1);
    SAudioIO s;
    StreamProbe p;
    p.bind(s);
    testing::internal::CaptureStderr();
    s.open(1024);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.inputDevice, nullptr);
    EXPECT_EQ(s.outputDevice, nullptr);
    s.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.stop();
    s.close();
    s.close();
    EXPECT_EQ(p.calls.load(), 0);
    expectEmpty(s);
}
