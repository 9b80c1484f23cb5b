// Devices opened while no sound server is there, or while one is still setting up: they open,
// wait, come up once the server has its devices, and close at once whatever state they are in.
// The later tests run a private PulseAudio daemon and skip where there is none.

#include "platform/sound_server.h"
#include "platform/wave_stats.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const UINT kHdr = sizeof(WAVEHDR);

WAVEFORMATEX pcm()
{
    WAVEFORMATEX f = {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = 88200;
    return f;
}

struct Counts {
    std::atomic<int> open{0}, data{0}, close{0};
    static void CALLBACK inProc(HWAVEIN, UINT msg, DWORD_PTR self, DWORD_PTR, DWORD_PTR)
    {
        reinterpret_cast<Counts*>(self)->add(msg);
    }
    static void CALLBACK outProc(HWAVEOUT, UINT msg, DWORD_PTR self, DWORD_PTR, DWORD_PTR)
    {
        reinterpret_cast<Counts*>(self)->add(msg);
    }
    void add(UINT msg)
    {
        if (msg == MM_WIM_OPEN || msg == MM_WOM_OPEN)
            ++open;
        else if (msg == MM_WIM_DATA || msg == MM_WOM_DONE)
            ++data;
        else
            ++close;
    }
};

template <typename F>
bool waitUntil(F f, int seconds = 10)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!f()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct Block {
    std::vector<short> samples = std::vector<short>(2048, 1000);
    WAVEHDR header = {};
    Block()
    {
        header.lpData = reinterpret_cast<LPSTR>(samples.data());
        header.dwBufferLength = static_cast<DWORD>(samples.size() * sizeof(short));
    }
};

// A private runtime folder with the PulseAudio socket path in it; the daemon only on request.
class PulseRig : public ::testing::Test {
protected:
    std::string dir;
    bool daemon = false;

    void SetUp() override
    {
        char pattern[] = "/tmp/qm-pulse-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        chmod(dir.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + dir + "/pulse/native").c_str(), 1);
        setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
        unsetenv("PULSE_SINK");
        unsetenv("PULSE_SOURCE");
    }

    void TearDown() override
    {
        if (daemon)
            run("pulseaudio -k >/dev/null 2>&1");
        run("rm -rf '" + dir + "'");
    }

    static int run(const std::string& cmd) { return std::system(cmd.c_str()); }

    // A server that answers but has no device yet, as one still starting up.
    bool startBareServer()
    {
        if (run("command -v pulseaudio >/dev/null && command -v pactl >/dev/null") != 0)
            return false;
        // Ends by itself 10 s after its last client, should this test die before TearDown.
        daemon = run("pulseaudio -D -n --exit-idle-time=10 --load=module-native-protocol-unix "
                     "--log-target=file:'" + dir + "/pa.log' 2>/dev/null") == 0;
        return daemon && waitUntil([] { return run("pactl info >/dev/null 2>&1") == 0; });
    }

    static bool loadDevices()
    {
        return run("pactl load-module module-null-sink sink_name=qmtest >/dev/null") == 0 &&
               run("pactl set-default-source qmtest.monitor") == 0;
    }
};

TEST_F(PulseRig, DevicesOpenWithoutAServerHoldTheirBlocksAndResetAndCloseCleanly)
{
    EXPECT_EQ(probeSoundServer(200), SoundServer::Absent);
    const WAVEFORMATEX f = pcm();
    Counts ci, co;
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    testing::internal::CaptureStderr();
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Counts::inProc),
                         reinterpret_cast<DWORD_PTR>(&ci), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Counts::outProc),
                          reinterpret_cast<DWORD_PTR>(&co), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot open the default recording device"), std::string::npos) << err;
    EXPECT_NE(err.find("cannot open the default playback device"), std::string::npos) << err;
    EXPECT_NE(err.find("waiting for one"), std::string::npos) << err;

    Block bi, bo;
    ASSERT_EQ(waveInPrepareHeader(in, &bi.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &bi.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPrepareHeader(out, &bo.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &bo.header, kHdr), MMSYSERR_NOERROR);
    const uint64_t reopensBefore = qmWaveStats().reopens;
    // Past a retry or two: nothing comes up, nothing moves, nothing crashes.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(qmWaveStats().reopens, reopensBefore);
    EXPECT_EQ(ci.data.load(), 0);
    EXPECT_EQ(co.data.load(), 0);
    MMTIME t = {};
    t.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(out, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.sample, 0u);

    // Both blocks come back on reset, the recorded one empty; then both close.
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(ci.data.load(), 1);
    EXPECT_EQ(co.data.load(), 1);
    EXPECT_EQ(bi.header.dwBytesRecorded, 0u);
    EXPECT_TRUE(bi.header.dwFlags & WHDR_DONE);
    EXPECT_TRUE(bo.header.dwFlags & WHDR_DONE);
    EXPECT_EQ(waveInUnprepareHeader(in, &bi.header, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(out, &bo.header, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_TRUE(waitUntil([&] { return ci.close.load() == 1 && co.close.load() == 1; }));
    EXPECT_EQ(ci.open.load(), 1);
    EXPECT_EQ(co.open.load(), 1);
}

// SDL's PulseAudio backend crashes on connecting to a server without default devices; the
// devices must wait for them and then come up with their queues.
TEST_F(PulseRig, DevicesOpenedWhileTheServerSetsUpComeUpOnceItHasDevices)
{
    if (!startBareServer())
        GTEST_SKIP() << "no PulseAudio daemon here";
    EXPECT_EQ(probeSoundServer(1000), SoundServer::Starting);

    const WAVEFORMATEX f = pcm();
    Counts ci, co;
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    testing::internal::CaptureStderr();
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Counts::outProc),
                          reinterpret_cast<DWORD_PTR>(&co), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Counts::inProc),
                         reinterpret_cast<DWORD_PTR>(&ci), CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    std::vector<Block> bi(2), bo(2);
    for (Block& b : bi) {
        ASSERT_EQ(waveInPrepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &b.header, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    for (Block& b : bo) {
        ASSERT_EQ(waveOutPrepareHeader(out, &b.header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(out, &b.header, kHdr), MMSYSERR_NOERROR);
    }
    // Retries while the server has no devices must leave SDL alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(ci.data.load(), 0);
    EXPECT_EQ(co.data.load(), 0);

    ASSERT_TRUE(loadDevices());
    EXPECT_EQ(probeSoundServer(1000), SoundServer::Ready);
    // The queued blocks play and record once the devices are there.
    EXPECT_TRUE(waitUntil([&] { return ci.data.load() == 2 && co.data.load() == 2; }))
        << ci.data.load() << " recorded, " << co.data.load() << " played";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("still starting; waiting for one"), std::string::npos) << err;
    EXPECT_NE(err.find("a playback device is there now"), std::string::npos) << err;
    EXPECT_NE(err.find("a recording device is there now"), std::string::npos) << err;
    for (Block& b : bi)
        EXPECT_EQ(b.header.dwBytesRecorded, b.header.dwBufferLength);

    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    for (Block& b : bi)
        EXPECT_EQ(waveInUnprepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR);
    for (Block& b : bo)
        EXPECT_EQ(waveOutUnprepareHeader(out, &b.header, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

}  // namespace
