// The WinMM wave subset over SDL's disk driver: notifications, queue order, resets, misuse.

#include "platform/win32.h"
#include "platform/wave_stats.h"
#include "tests/platform/DiskAudio.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

const UINT kHdr = sizeof(WAVEHDR);

WAVEFORMATEX pcm(WORD channels = 1, DWORD rate = 44100, WORD bits = 16)
{
    WAVEFORMATEX f = {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

struct Event {
    UINT msg;
    WAVEHDR* header;
    DWORD flags;  // header flags as the notification saw them
};

// Records every notification; optionally lets a test act inside it.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Event> events;
    std::function<void(UINT, WAVEHDR*)> inside;

    void add(UINT msg, DWORD_PTR p1)
    {
        WAVEHDR* h = reinterpret_cast<WAVEHDR*>(p1);
        if (inside)
            inside(msg, h);
        std::lock_guard<std::mutex> g(m);
        events.push_back({msg, h, h ? h->dwFlags : 0});
        cv.notify_all();
    }
    static void CALLBACK inProc(HWAVEIN, UINT msg, DWORD_PTR self, DWORD_PTR p1, DWORD_PTR)
    {
        reinterpret_cast<Recorder*>(self)->add(msg, p1);
    }
    static void CALLBACK outProc(HWAVEOUT, UINT msg, DWORD_PTR self, DWORD_PTR p1, DWORD_PTR)
    {
        reinterpret_cast<Recorder*>(self)->add(msg, p1);
    }
    size_t count(UINT msg)
    {
        std::lock_guard<std::mutex> g(m);
        size_t n = 0;
        for (const Event& e : events)
            n += e.msg == msg;
        return n;
    }
    bool waitFor(UINT msg, size_t n)
    {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::seconds(30), [&] {
            size_t k = 0;
            for (const Event& e : events)
                k += e.msg == msg;
            return k >= n;
        });
    }
    std::vector<Event> snapshot()
    {
        std::lock_guard<std::mutex> g(m);
        return events;
    }
};

HWAVEOUT openOut(Recorder& r, const WAVEFORMATEX& f = pcm())
{
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Recorder::outProc),
                          reinterpret_cast<DWORD_PTR>(&r), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    return h;
}

HWAVEIN openIn(Recorder& r, const WAVEFORMATEX& f = pcm())
{
    HWAVEIN h = nullptr;
    EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Recorder::inProc),
                         reinterpret_cast<DWORD_PTR>(&r), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    return h;
}

struct Block {
    std::vector<short> samples;
    WAVEHDR header = {};
    explicit Block(std::vector<short> s) : samples(std::move(s))
    {
        header.lpData = reinterpret_cast<LPSTR>(samples.data());
        header.dwBufferLength = static_cast<DWORD>(samples.size() * sizeof(short));
    }
};

}  // namespace

TEST(WaveDevice, OpenAndCloseAreNotifiedFirstAndLastAndTheHandleDiesWithClose)
{
    DiskAudio disk(false);
    disk.writeInput(std::vector<short>(100, 7));
    Recorder ro, ri;
    HWAVEOUT out = openOut(ro);
    HWAVEIN in = openIn(ri);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);
    ASSERT_TRUE(ro.waitFor(MM_WOM_OPEN, 1));
    ASSERT_TRUE(ri.waitFor(MM_WIM_OPEN, 1));

    Block b(std::vector<short>(64, 1));
    ASSERT_EQ(waveOutPrepareHeader(out, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_TRUE(ro.waitFor(MM_WOM_DONE, 1));
    ASSERT_EQ(waveOutUnprepareHeader(out, &b.header, kHdr), MMSYSERR_NOERROR);

    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    // Close returns after its notification went out.
    std::vector<Event> eo = ro.snapshot(), ei = ri.snapshot();
    ASSERT_EQ(eo.size(), 3u);
    EXPECT_EQ(eo[0].msg, static_cast<UINT>(MM_WOM_OPEN));
    EXPECT_EQ(eo[1].msg, static_cast<UINT>(MM_WOM_DONE));
    EXPECT_EQ(eo[2].msg, static_cast<UINT>(MM_WOM_CLOSE));
    ASSERT_EQ(ei.size(), 2u);
    EXPECT_EQ(ei[0].msg, static_cast<UINT>(MM_WIM_OPEN));
    EXPECT_EQ(ei[1].msg, static_cast<UINT>(MM_WIM_CLOSE));

    // A closed handle is unknown to every call.
    EXPECT_EQ(waveOutPrepareHeader(out, &b.header, kHdr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutWrite(out, &b.header, kHdr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(out), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStart(in), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInAddBuffer(in, &b.header, kHdr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(in), MMSYSERR_INVALHANDLE);
}

TEST(WaveDevice, MisuseGetsWinMMErrorsAndChangesNothing)
{
    DiskAudio disk(false);
    disk.writeInput(nonZeroSignal(1000, 1));
    Recorder ri, ro;
    const WAVEFORMATEX good = pcm();
    const DWORD_PTR proc = reinterpret_cast<DWORD_PTR>(&Recorder::inProc);
    const DWORD_PTR inst = reinterpret_cast<DWORD_PTR>(&ri);

    // Opening.
    HWAVEIN in = nullptr;
    EXPECT_EQ(waveInOpen(&in, 5, &good, proc, inst, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, nullptr, proc, inst, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &good, 0, inst, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &good, proc, inst, CALLBACK_WINDOW), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &good, proc, inst, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
    WAVEFORMATEX bad = good;
    bad.wFormatTag = 3;
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &bad, proc, inst, CALLBACK_FUNCTION), WAVERR_BADFORMAT);
    bad = pcm(1, 44100, 12);
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &bad, proc, inst, CALLBACK_FUNCTION), WAVERR_BADFORMAT);
    bad = good;
    bad.nBlockAlign = 4;
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &bad, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    bad = pcm(0);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &bad, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    const WAVEFORMATEX stereo8 = pcm(2, 48000, 8);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &stereo8, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(ri.snapshot().size(), 0u) << "a failed open notifies nobody";

    in = openIn(ri);
    HWAVEOUT out = openOut(ro);
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);

    // Handles: null, and one direction's handle used for the other.
    Block b(nonZeroSignal(500, 2));
    EXPECT_EQ(waveInPrepareHeader(nullptr, &b.header, kHdr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutWrite(nullptr, &b.header, kHdr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInReset(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPrepareHeader(reinterpret_cast<HWAVEOUT>(in), &b.header, kHdr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(reinterpret_cast<HWAVEIN>(out)), MMSYSERR_INVALHANDLE);

    // Headers.
    EXPECT_EQ(waveInPrepareHeader(in, nullptr, kHdr), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInPrepareHeader(in, &b.header, kHdr - 1), MMSYSERR_INVALPARAM);
    WAVEHDR empty = {};
    EXPECT_EQ(waveOutPrepareHeader(out, &empty, kHdr), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveInAddBuffer(in, &b.header, kHdr), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutWrite(out, &b.header, kHdr), WAVERR_UNPREPARED);
    EXPECT_EQ(waveInUnprepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR) << "unpreparing twice is harmless";

    // A queued header (capture not started, so it stays queued) belongs to the device.
    ASSERT_EQ(waveInPrepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInPrepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR) << "preparing twice is harmless";
    EXPECT_EQ(b.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED));
    ASSERT_EQ(waveInAddBuffer(in, &b.header, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(b.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));
    EXPECT_EQ(waveInAddBuffer(in, &b.header, kHdr), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(in, &b.header, kHdr), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInClose(in), WAVERR_STILLPLAYING);
    EXPECT_EQ(ri.count(MM_WIM_DATA), 0u);

    // The reset hands it back once, and then it can be unprepared and the device closed.
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(ri.count(MM_WIM_DATA), 1u);
    EXPECT_EQ(b.header.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(b.header.dwBytesRecorded, 0u);
    EXPECT_EQ(waveInUnprepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(b.header.dwFlags, static_cast<DWORD>(WHDR_DONE));
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(ri.count(MM_WIM_DATA), 1u);
}

TEST(WaveDevice, DeviceThatCannotOpenFailsWithOneLineNamingItAndSDLsReason)
{
    DiskAudio disk(false);  // no input file written
    Recorder r;
    testing::internal::CaptureStderr();
    HWAVEIN in = reinterpret_cast<HWAVEIN>(1);
    const WAVEFORMATEX f = pcm();
    MMRESULT res = waveInOpen(&in, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Recorder::inProc),
                              reinterpret_cast<DWORD_PTR>(&r), CALLBACK_FUNCTION);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(res, MMSYSERR_BADDEVICEID);
    EXPECT_EQ(in, nullptr);
    size_t lines = 0;
    std::string line;
    for (size_t pos = 0; (pos = err.find("sound:", pos)) != std::string::npos; ++pos, ++lines)
        line = err.substr(pos, err.find('\n', pos) - pos);
    EXPECT_EQ(lines, 1u) << err;
    EXPECT_NE(line.find("recording"), std::string::npos) << line;
    EXPECT_NE(line.find(disk.in), std::string::npos) << "SDL's reason names the missing file: " << line;

    // The playback side is unaffected and still opens.
    Recorder ro;
    HWAVEOUT out = openOut(ro);
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(r.snapshot().size(), 0u);
}

TEST(WavePlayback, PlaysEveryBlockOnceInQueueOrderAfterSilence)
{
    DiskAudio disk(false);
    Recorder r;
    HWAVEOUT out = openOut(r);
    ASSERT_NE(out, nullptr);
    // Nothing queued: the device plays silence.
    ASSERT_TRUE(waitUntil([&] { return disk.outputBytes() > 0; }));

    std::vector<std::unique_ptr<Block>> blocks;
    const size_t sizes[] = {1000, 257, 4096, 1, 3000, 700};
    std::vector<short> expected;
    for (size_t i = 0; i < 6; ++i) {
        blocks.emplace_back(new Block(nonZeroSignal(sizes[i], 10 + static_cast<unsigned>(i))));
        expected.insert(expected.end(), blocks[i]->samples.begin(), blocks[i]->samples.end());
    }
    // Looping flags do not loop: every block plays once.
    blocks[2]->header.dwFlags = WHDR_BEGINLOOP | WHDR_ENDLOOP;
    for (auto& b : blocks) {
        ASSERT_EQ(waveOutPrepareHeader(out, &b->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(out, &b->header, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(r.waitFor(MM_WOM_DONE, 6));
    // Let more silence follow, then make sure nothing came back twice.
    const long after = disk.outputBytes();
    ASSERT_TRUE(waitUntil([&] { return disk.outputBytes() > after + 65536; }));
    for (auto& b : blocks)
        ASSERT_EQ(waveOutUnprepareHeader(out, &b->header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    std::vector<Event> ev = r.snapshot();
    ASSERT_EQ(ev.size(), 8u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(ev[i + 1].msg, static_cast<UINT>(MM_WOM_DONE));
        EXPECT_EQ(ev[i + 1].header, &blocks[i]->header) << "returned out of order at " << i;
        EXPECT_EQ(ev[i + 1].flags & (WHDR_DONE | WHDR_PREPARED | WHDR_INQUEUE),
                  static_cast<DWORD>(WHDR_DONE | WHDR_PREPARED));
    }

    // The device runs unpaced, so it may play silence between two writes of this thread
    // (an underrun, which a late writer gets on any card); what it plays of the blocks is
    // each of them once, whole, in order.
    std::vector<short> played = disk.readOutput();
    std::vector<short> heard;
    for (short v : played)
        if (v != 0)
            heard.push_back(v);
    ASSERT_GE(heard.size(), expected.size()) << "blocks cut short";
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), heard.begin())) << "blocks not played in order, sample for sample";
    EXPECT_EQ(heard.size(), expected.size()) << "a block played again";
}

TEST(WaveCapture, FillsQueuedBlocksInOrderOnlyAfterStart)
{
    DiskAudio disk(false);
    const std::vector<short> input = nonZeroSignal(20000, 3);
    disk.writeInput(input);
    Recorder r;
    HWAVEIN in = openIn(r);
    ASSERT_NE(in, nullptr);

    std::vector<std::unique_ptr<Block>> blocks;
    const size_t sizes[] = {3000, 1, 5000, 999, 3000};
    for (size_t s : sizes) {
        blocks.emplace_back(new Block(std::vector<short>(s, 0)));
        ASSERT_EQ(waveInPrepareHeader(in, &blocks.back()->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &blocks.back()->header, kHdr), MMSYSERR_NOERROR);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(r.count(MM_WIM_DATA), 0u) << "captured before waveInStart";

    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(r.waitFor(MM_WIM_DATA, 5));
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    for (auto& b : blocks)
        ASSERT_EQ(waveInUnprepareHeader(in, &b->header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    std::vector<Event> ev = r.snapshot();
    ASSERT_EQ(ev.size(), 7u);
    size_t at = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Block& b = *blocks[i];
        EXPECT_EQ(ev[i + 1].header, &b.header) << "returned out of order at " << i;
        EXPECT_EQ(b.header.dwBytesRecorded, b.header.dwBufferLength);
        EXPECT_TRUE(std::equal(b.samples.begin(), b.samples.end(), input.begin() + at))
            << "block " << i << " is not the next stretch of the input";
        at += b.samples.size();
    }
}

TEST(WaveReset, HandsBackEveryQueuedBlockInOrderBeforeItReturns)
{
    DiskAudio disk(true);
    disk.writeInput(nonZeroSignal(44100 * 4, 4));
    Recorder ro, ri;
    HWAVEOUT out = openOut(ro);
    HWAVEIN in = openIn(ri);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);

    // Seconds of sound each: still queued when the resets come.
    std::vector<std::unique_ptr<Block>> ob, ib;
    for (int i = 0; i < 3; ++i) {
        ob.emplace_back(new Block(nonZeroSignal(44100, 20 + i)));
        ib.emplace_back(new Block(std::vector<short>(44100, 0)));
        ASSERT_EQ(waveOutPrepareHeader(out, &ob.back()->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(out, &ob.back()->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInPrepareHeader(in, &ib.back()->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &ib.back()->header, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);

    std::vector<Event> eo = ro.snapshot(), ei = ri.snapshot();
    ASSERT_EQ(eo.size(), 4u);
    ASSERT_EQ(ei.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(eo[i + 1].header, &ob[i]->header);
        EXPECT_EQ(ei[i + 1].header, &ib[i]->header);
        EXPECT_LT(ib[i]->header.dwBytesRecorded, ib[i]->header.dwBufferLength);
        EXPECT_EQ(waveOutUnprepareHeader(out, &ob[i]->header, kHdr), MMSYSERR_NOERROR);
        EXPECT_EQ(waveInUnprepareHeader(in, &ib[i]->header, kHdr), MMSYSERR_NOERROR);
    }
    // What was captured before the reset is the start of the input, and nothing since.
    EXPECT_EQ(ib[1]->header.dwBytesRecorded, 0u);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(ro.count(MM_WOM_DONE), 3u);
    EXPECT_EQ(ri.count(MM_WIM_DATA), 3u);
}

TEST(WaveCallbacks, NotificationMayResubmitAndResetFromInside)
{
    DiskAudio disk(false);
    Recorder r;
    Block b(std::vector<short>(300, 0));
    const int kPlays = 40;
    int plays = 0;
    HWAVEOUT out = nullptr;
    // Each return replays the block with the next number in it, from inside the notification.
    r.inside = [&](UINT msg, WAVEHDR* h) {
        if (msg != MM_WOM_DONE || ++plays >= kPlays)
            return;
        EXPECT_EQ(waveOutUnprepareHeader(out, h, kHdr), MMSYSERR_NOERROR);
        std::fill(b.samples.begin(), b.samples.end(), static_cast<short>(plays + 1));
        EXPECT_EQ(waveOutPrepareHeader(out, h, kHdr), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutWrite(out, h, kHdr), MMSYSERR_NOERROR);
        if (plays == kPlays - 1) {
            EXPECT_EQ(waveOutReset(out), MMSYSERR_NOERROR);  // returns without waiting on itself
        }
    };
    out = openOut(r);
    ASSERT_NE(out, nullptr);
    std::fill(b.samples.begin(), b.samples.end(), 1);
    ASSERT_EQ(waveOutPrepareHeader(out, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_TRUE(r.waitFor(MM_WOM_DONE, kPlays));
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(r.count(MM_WOM_DONE), static_cast<size_t>(kPlays));

    // Blocks 1..39 were played whole, in order, once each. The last one was written and
    // reset at once: the device may already have played some of it, never more than it holds.
    std::vector<short> played = disk.readOutput();
    int expect = 1;
    size_t i = 0;
    size_t lastPlayed = 0;
    while (i < played.size()) {
        if (played[i] == 0) {
            ++i;
            continue;
        }
        ASSERT_EQ(played[i], expect) << "at sample " << i;
        size_t run = 0;
        while (i + run < played.size() && played[i + run] == expect)
            ++run;
        if (expect < kPlays) {
            ASSERT_EQ(run, b.samples.size()) << "block " << expect << " torn or repeated at sample " << i;
        } else {
            ASSERT_LE(run, b.samples.size()) << "the reset block played more than it holds";
            lastPlayed = run;
        }
        i += run;
        ++expect;
    }
    EXPECT_GE(expect, kPlays) << "blocks before the reset are missing";
    EXPECT_LE(expect, kPlays + 1);
    RecordProperty("reset_block_samples_played", static_cast<int>(lastPlayed));
}

namespace {

// The counters are per process: each test compares against what it saw before it began.
struct StatsDelta {
    QmWaveStats start = qmWaveStats();
    uint64_t underruns() const { return qmWaveStats().underruns - start.underruns; }
    uint64_t overruns() const { return qmWaveStats().overruns - start.overruns; }
};

}  // namespace

TEST(WaveCounters, SlowConsumerCountsOneUnderrunEachTimeTheQueueRunsDry)
{
    DiskAudio disk(true);
    StatsDelta stats;
    Recorder r;
    Block b(nonZeroSignal(441, 21));  // 10 ms, refilled only after 30 ms
    const int kPlays = 5;
    int plays = 0;
    HWAVEOUT out = nullptr;
    r.inside = [&](UINT msg, WAVEHDR* h) {
        if (msg != MM_WOM_DONE || ++plays >= kPlays)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(waveOutWrite(out, h, kHdr), MMSYSERR_NOERROR);
    };
    out = openOut(r);
    ASSERT_NE(out, nullptr);
    // Idle silence before the first write is no underrun.
    ASSERT_TRUE(waitUntil([&] { return disk.outputBytes() > 4096; }));
    EXPECT_EQ(stats.underruns(), 0u);
    ASSERT_EQ(waveOutPrepareHeader(out, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_TRUE(r.waitFor(MM_WOM_DONE, kPlays));
    ASSERT_TRUE(waitUntil([&] { return stats.underruns() >= kPlays; }, std::chrono::seconds(5)));
    // Silence that goes on after the last block is the same underrun, not more.
    const long after = disk.outputBytes();
    ASSERT_TRUE(waitUntil([&] { return disk.outputBytes() > after + 8192; }));
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutUnprepareHeader(out, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(stats.underruns(), static_cast<uint64_t>(kPlays));
    EXPECT_EQ(stats.overruns(), 0u);

    // The output really had a gap after each play: count the block's runs between silences.
    std::vector<short> played = disk.readOutput();
    int runs = 0;
    for (size_t i = 0; i < played.size();) {
        if (played[i] == 0) {
            ++i;
            continue;
        }
        ASSERT_LE(i + b.samples.size(), played.size());
        ASSERT_TRUE(std::equal(b.samples.begin(), b.samples.end(), played.begin() + i)) << "at sample " << i;
        i += b.samples.size();
        ASSERT_TRUE(i == played.size() || played[i] == 0) << "no gap after play " << runs + 1;
        ++runs;
    }
    EXPECT_EQ(runs, kPlays);
}

TEST(WaveCounters, CaptureWithNoBlockQueuedCountsOneOverrunPerEpisode)
{
    DiskAudio disk(true);
    disk.writeInput(nonZeroSignal(44100, 22));
    StatsDelta stats;
    Recorder r;
    HWAVEIN in = openIn(r);
    ASSERT_NE(in, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stats.overruns(), 0u) << "counted before waveInStart";
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(waitUntil([&] { return stats.overruns() >= 1; }, std::chrono::seconds(5)));
    // A long episode is still one.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(stats.overruns(), 1u);

    Block b(std::vector<short>(441, 0));
    ASSERT_EQ(waveInPrepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_TRUE(r.waitFor(MM_WIM_DATA, 1));
    ASSERT_TRUE(waitUntil([&] { return stats.overruns() >= 2; }, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInUnprepareHeader(in, &b.header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(stats.overruns(), 2u);
    EXPECT_EQ(stats.underruns(), 0u);
    // The block between the episodes holds a stretch of the input, none of it dropped inside.
    EXPECT_EQ(b.header.dwBytesRecorded, b.header.dwBufferLength);
    EXPECT_EQ(std::count(b.samples.begin(), b.samples.end(), 0), 0);
}

// The stream queues a capture block again only once it has been played, so a notification
// thread held back for a period or two leaves capture without a block for a moment.
TEST(WaveCounters, CaptureWithoutABlockForAMomentLosesNothingAndLongerKeepsTheOldest)
{
    DiskAudio disk(true);
    const std::vector<short> input = nonZeroSignal(44100 * 3, 23);
    disk.writeInput(input);
    StatsDelta stats;
    Recorder r;
    HWAVEIN in = openIn(r);
    ASSERT_NE(in, nullptr);
    std::vector<std::unique_ptr<Block>> blocks;
    auto add = [&] {
        blocks.emplace_back(new Block(std::vector<short>(2048, 0)));
        ASSERT_EQ(waveInPrepareHeader(in, &blocks.back()->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &blocks.back()->header, kHdr), MMSYSERR_NOERROR);
    };
    add();
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(r.waitFor(MM_WIM_DATA, 1));
    // 50 ms without a block: what came meanwhile counts as recorded, and is kept.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    MMTIME t = {};
    t.wType = TIME_SAMPLES;
    ASSERT_EQ(waveInGetPosition(in, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_GE(t.u.sample, 2048u + 1024u);
    for (int i = 0; i < 3; ++i)
        add();
    ASSERT_TRUE(r.waitFor(MM_WIM_DATA, 4));
    EXPECT_EQ(stats.overruns(), 0u);
    // Then far longer than what can be kept: one overrun, and the next block still goes on
    // from where the last left off (the oldest of what waited is kept).
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    add();
    ASSERT_TRUE(r.waitFor(MM_WIM_DATA, 5));
    EXPECT_EQ(stats.overruns(), 1u);
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    for (auto& b : blocks)
        ASSERT_EQ(waveInUnprepareHeader(in, &b->header, kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);

    size_t at = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const Block& b = *blocks[i];
        ASSERT_EQ(b.header.dwBytesRecorded, b.header.dwBufferLength) << "block " << i;
        EXPECT_TRUE(std::equal(b.samples.begin(), b.samples.end(), input.begin() + at))
            << "block " << i << " is not the next stretch of the input";
        at += b.samples.size();
    }
}

TEST(WaveCounters, CleanFullDuplexRunCountsNothing)
{
    DiskAudio disk(true);
    disk.writeInput(nonZeroSignal(44100 * 3, 23));
    StatsDelta stats;
    Recorder rin, rout;
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    bool running = true;  // written before the resets, read inside the notifications
    std::mutex runLock;
    auto again = [&] {
        std::lock_guard<std::mutex> g(runLock);
        return running;
    };
    rin.inside = [&](UINT msg, WAVEHDR* h) {
        if (msg == MM_WIM_DATA && again()) {
            EXPECT_EQ(waveInAddBuffer(in, h, kHdr), MMSYSERR_NOERROR);
        }
    };
    rout.inside = [&](UINT msg, WAVEHDR* h) {
        if (msg == MM_WOM_DONE && again()) {
            EXPECT_EQ(waveOutWrite(out, h, kHdr), MMSYSERR_NOERROR);
        }
    };
    in = openIn(rin);
    out = openOut(rout);
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    std::vector<std::unique_ptr<Block>> ins, outs;
    for (int i = 0; i < 4; ++i) {
        ins.emplace_back(new Block(std::vector<short>(2048, 0)));
        outs.emplace_back(new Block(nonZeroSignal(2048, 30 + i)));
        ASSERT_EQ(waveInPrepareHeader(in, &ins.back()->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(in, &ins.back()->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutPrepareHeader(out, &outs.back()->header, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    for (auto& b : outs)
        ASSERT_EQ(waveOutWrite(out, &b->header, kHdr), MMSYSERR_NOERROR);
    // About a second of both directions.
    ASSERT_TRUE(rin.waitFor(MM_WIM_DATA, 20));
    ASSERT_TRUE(rout.waitFor(MM_WOM_DONE, 20));
    // Once resubmission stops, the queue drains; a slow reset may then see it run dry.
    const uint64_t underruns = stats.underruns();
    const uint64_t overruns = stats.overruns();
    {
        std::lock_guard<std::mutex> g(runLock);
        running = false;
    }
    // Resets end streaming: they count nothing either.
    ASSERT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutReset(out), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(waveInUnprepareHeader(in, &ins[i]->header, kHdr), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutUnprepareHeader(out, &outs[i]->header, kHdr), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(underruns, 0u);
    EXPECT_EQ(overruns, 0u);
    RecordProperty("underruns_while_draining", static_cast<int>(stats.underruns() - underruns));
}

namespace {

void playOneBlockDryThenExit()
{
    DiskAudio disk(false);
    StatsDelta stats;
    Recorder r;
    HWAVEOUT out = openOut(r);
    Block b(nonZeroSignal(100, 24));
    waveOutPrepareHeader(out, &b.header, kHdr);
    waveOutWrite(out, &b.header, kHdr);
    waitUntil([&] { return stats.underruns() >= 1; }, std::chrono::seconds(5));
    waveOutReset(out);
    waveOutUnprepareHeader(out, &b.header, kHdr);
    waveOutClose(out);
    qmWaveCountRestoration();
    qmWaveCountRestoration();
    std::exit(0);
}

}  // namespace

TEST(WaveCountersDeathTest, StatsLineOnExitOnlyWhenAsked)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("QUILLMORPH_AUDIO_STATS", "1", 1);
            playOneBlockDryThenExit();
        },
        testing::ExitedWithCode(0),
        testing::HasSubstr("sound: 1 underruns, 0 overruns, 2 cushion restorations, 0 device reopenings\n"));
    EXPECT_EXIT(
        {
            unsetenv("QUILLMORPH_AUDIO_STATS");
            playOneBlockDryThenExit();
        },
        testing::ExitedWithCode(0), testing::Not(testing::HasSubstr("sound:")));
}
