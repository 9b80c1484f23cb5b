#include "framework/SAudioIO.h"
#include "platform/wave_stats.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

const WORD kChannels = 1;
const WORD kBitsPerSample = 16;
// Longer than any handler that keeps up (one block is 46 ms at 2048 samples), short
// enough that closing the window never seems to hang.
const auto kStopWait = std::chrono::seconds(2);
const UINT kHeaderSize = sizeof(WAVEHDR);
const DWORD kFrameBytes = kChannels * kBitsPerSample / 8;
// How often the watch for lost devices looks, and how many looks without a notification
// mean a device is lost: a second, longer than any block or stall a working device has.
const auto kWatchPeriod = std::chrono::milliseconds(100);
const int kLostPeriods = 10;
// Before the first notification since open, three seconds: Wine's capture gives its first
// block 1.1-1.3 s after a process's first start, and opening again would start it over.
const int kFirstSoundPeriods = 30;
const int kCushionBlocks = DelayControl::kCushionBlocks;

bool framesOf(const MMTIME& t, DWORD& frames)
{
    if (t.wType == TIME_SAMPLES)
        frames = t.u.sample;
    else if (t.wType == TIME_BYTES)
        frames = t.u.cb / kFrameBytes;
    else
        return false;
    return true;
}

void resetHeader(SAudioBlock& b)
{
    b.header.lpData = reinterpret_cast<LPSTR>(b.samples.data.get());
    b.header.dwBufferLength = static_cast<DWORD>(b.samples.count) * sizeof(short);
}

// Keeps the busy count right however the notification leaves.
struct BusyGuard {
    std::atomic<int>& busy;
    explicit BusyGuard(std::atomic<int>& b) : busy(b) { busy.fetch_add(1); }
    ~BusyGuard() { busy.fetch_sub(1); }
};

}  // namespace

void SAudioBlock::alloc(int n)
{
    header = WAVEHDR();
    samples.alloc(n);
    header.lpData = reinterpret_cast<LPSTR>(samples.data.get());
    header.dwBufferLength = static_cast<DWORD>(samples.count) * sizeof(short);
    header.dwUser = reinterpret_cast<DWORD_PTR>(this);
}

SAudioIO::~SAudioIO() { endWatch(); }

void SAudioIO::open(int blockSize)
{
    std::lock_guard<std::mutex> lock(control);
    // A second open would pull the arrays from under queued blocks.
    if (inputDevice || outputDevice) {
        closeLocked();
        if (inputDevice || outputDevice)
            return;
    }
    qmWaveRegisterStatsPrinter();
    for (int i = 0; i < kBlocks; ++i) {
        blocks[i].alloc(blockSize);
        preparedOn[i] = kNone;
    }
    for (int i = 0; i < kPads; ++i) {
        pads[i].alloc(blockSize);
        padQueued[i] = false;
    }
    this->blockSize = blockSize;
    LARGE_INTEGER f = {};
    counterFrequency = QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 1;
    openDevices();
    if (reopenLost && !watcher.joinable()) {
        watching = true;
        watcher = std::thread(&SAudioIO::watch, this);
    }
}

void SAudioIO::openDevices()
{
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = kChannels;
    format.nSamplesPerSec = kSampleRate;
    format.nBlockAlign = kChannels * kBitsPerSample / 8;
    format.nAvgBytesPerSec = kSampleRate * format.nBlockAlign;
    format.wBitsPerSample = kBitsPerSample;
    format.cbSize = 0;
    if (waveInOpen(&inputDevice, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&SAudioIO::inputCallback),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        inputDevice = nullptr;
    if (waveOutOpen(&outputDevice, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&SAudioIO::outputCallback),
                    reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        outputDevice = nullptr;
}

void SAudioIO::start()
{
    std::lock_guard<std::mutex> lock(control);
    wanted = true;
    startLocked();
}

void SAudioIO::startLocked()
{
    // Playback begins with the first captured block: begun now, it would play part of its
    // cushion before capture delivers anything (a sound server opens the two streams some
    // milliseconds apart, Wine's capture sometimes starts a block or more late), and the
    // cushion would have to be restored with a gap in the first words.
    cushionPending = true;
    // Both positions are zero here: just opened, or reset by stop.
    framesWritten = 0;
    framesCaptured = 0;
    readDry = false;
    delayControl = DelayControl(blockSize, reading);
    captureArrivals = Arrivals();
    playbackArrivals = Arrivals();
    playedTotal = 0;
    captureQueued = 0;
    playbackQueued = 0;
    // Where playback would have begun: beginPlayback reads how late capture's first block came.
    playbackOrigin = clockNow();
    running = true;
    for (int i = 0; i < 2; ++i) {
        WAVEHDR* h = &blocks[i].header;
        h->dwFlags = 0;
        preparedOn[i] = kInput;
        waveInPrepareHeader(inputDevice, h, kHeaderSize);
        captureQueued.fetch_add(1);
        waveInAddBuffer(inputDevice, h, kHeaderSize);
    }
    waveInStart(inputDevice);
}

void SAudioIO::beginPlayback()
{
    cushionPending = false;
    if (reading == Reading::NotificationTimes) {
        // Read off notification times, the delay start gives is the one held (the reading's
        // bias is learnt from it): nothing sets it right later. The block just captured goes
        // behind a block of silence, less what its notification came late, so the delay is
        // the cushion as if playback had begun with capture. Later than half a block, capture
        // itself began late, which says nothing of the delay: the whole block of silence.
        const int64_t late = arrivedAt - playbackOrigin.load() - blockSize;
        const int64_t lead = late >= 0 && late <= blockSize / 2 ? late : 0;
        playbackOrigin = clockNow();
        queueSilence((kCushionBlocks - 1) * blockSize - static_cast<int32_t>(lead));
        return;
    }
    // Playback moves in the device's periods, which start anywhere: the next reading shows
    // where, and that is set right with the second block, before a voice can be in it.
    delayControl.beginPhase();
    // Nothing queued yet, so the reading is how long ago capture began: the silence makes
    // up the rest of the cushion. A block of it that is not needed goes to capture.
    const DelayReading r = readDelay();
    const int32_t cushion = kCushionBlocks * blockSize;
    const int32_t silence = r.valid ? cushion - r.delay : cushion;
    queueSilence(std::max<int32_t>(0, std::min<int32_t>(silence, cushion)));
}

void SAudioIO::queueSilence(int32_t frames)
{
    for (int i = kBlocks - kCushionBlocks; i < kBlocks; ++i) {
        WAVEHDR* h = &blocks[i].header;
        const int32_t n = std::min<int32_t>(frames, blockSize);
        if (n == 0) {
            recycle(h, i);
            continue;
        }
        resetHeader(blocks[i]);
        // A restart finds what the last run played still in these blocks.
        std::memset(blocks[i].samples.data.get(), 0, static_cast<size_t>(blockSize) * sizeof(short));
        h->dwBufferLength = static_cast<DWORD>(n) * kFrameBytes;
        // Flags 0, not BEGINLOOP|ENDLOOP: with dwLoops 0 some drivers loop those forever.
        h->dwFlags = 0;
        preparedOn[i] = kOutput;
        waveOutPrepareHeader(outputDevice, h, kHeaderSize);
        write(h);
        framesWritten += n;
        frames -= n;
    }
}

bool SAudioIO::waitForNotifications()
{
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (busy.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void SAudioIO::stop()
{
    std::lock_guard<std::mutex> lock(control);
    wanted = false;
    stopLocked();
}

void SAudioIO::stopLocked()
{
    // Cleared before the busy count is read: a notification that has not yet counted
    // itself in will see false and leave its block alone.
    running = false;
    settled = waitForNotifications();
    if (!settled) {
        // A handler is still at work with its block; the devices drain by themselves
        // while running is false, and a later close finishes the job.
        std::fprintf(stderr, "audio: the block handler has not returned after 2 s; leaving the sound devices open\n");
        return;
    }
    waveInReset(inputDevice);
    waveOutReset(outputDevice);
    // Every block is idle now; undo the preparations the returning notifications left.
    for (int i = 0; i < kBlocks; ++i) {
        WAVEHDR* h = &blocks[i].header;
        if (preparedOn[i] == kInput)
            waveInUnprepareHeader(inputDevice, h, kHeaderSize);
        else if (preparedOn[i] == kOutput)
            waveOutUnprepareHeader(outputDevice, h, kHeaderSize);
        preparedOn[i] = kNone;
        resetHeader(blocks[i]);
    }
    for (int i = 0; i < kPads; ++i) {
        if (padQueued[i])
            waveOutUnprepareHeader(outputDevice, &pads[i].header, kHeaderSize);
        padQueued[i] = false;
        resetHeader(pads[i]);
    }
}

void SAudioIO::close()
{
    // The watch ends first: it takes the lock to open the devices again.
    endWatch();
    std::lock_guard<std::mutex> lock(control);
    wanted = false;
    closeLocked();
}

void SAudioIO::closeLocked()
{
    stopLocked();
    if (!settled)
        return;
    for (SAudioBlock* group : {blocks, pads}) {
        const int n = group == blocks ? kBlocks : kPads;
        for (int i = 0; i < n; ++i) {
            group[i].samples.count = 0;
            group[i].samples.data.reset();
            group[i].header.lpData = nullptr;
            group[i].header.dwBufferLength = 0;
        }
    }
    blockSize = 0;
    closeDevices();
}

void SAudioIO::closeDevices()
{
    waveInClose(inputDevice);
    waveOutClose(outputDevice);
    inputDevice = nullptr;
    outputDevice = nullptr;
}

void SAudioIO::endWatch()
{
    watching = false;
    if (watcher.joinable())
        watcher.join();
}

void SAudioIO::watch()
{
    uint32_t seen = notifications.load();
    int silent = 0;
    bool told = false;
    bool flowed = false;  // since open
    while (watching.load()) {
        std::this_thread::sleep_for(kWatchPeriod);
        const uint32_t n = notifications.load();
        if (n != seen || busy.load() != 0) {
            // Sound flows, or the handler is merely slow: no device is lost.
            flowed = flowed || n != seen;
            seen = n;
            silent = 0;
            told = false;
            continue;
        }
        // Counted in the watch's own periods, so a process stopped meanwhile does not count.
        if (++silent < (flowed ? kLostPeriods : kFirstSoundPeriods))
            continue;
        silent = 0;
        std::lock_guard<std::mutex> lock(control);
        if (!watching.load() || !wanted || !settled)
            continue;
        if (!told)
            std::fprintf(stderr, "sound: no sound for a second; opening the devices again\n");
        told = true;
        stopLocked();
        if (!settled)
            continue;
        closeDevices();
        openDevices();
        startLocked();
        reopenCount.fetch_add(1, std::memory_order_relaxed);
        qmWaveCountReopen();
        seen = notifications.load();
    }
}

int SAudioIO::indexOf(const WAVEHDR* header) const
{
    for (int i = 0; i < kBlocks; ++i)
        if (header == &blocks[i].header)
            return i;
    return -1;
}

int SAudioIO::padIndexOf(const WAVEHDR* header) const
{
    for (int i = 0; i < kPads; ++i)
        if (header == &pads[i].header)
            return i;
    return -1;
}

int64_t SAudioIO::clockNow() const
{
    LARGE_INTEGER c = {};
    QueryPerformanceCounter(&c);
    return clockFrames(c.QuadPart, counterFrequency, kSampleRate);
}

void SAudioIO::notePlayed(DWORD bytes)
{
    const bool starved = playbackQueued.fetch_sub(1) == 1;
    if (reading != Reading::NotificationTimes)
        return;
    playedTotal += bytes / kFrameBytes;
    playbackArrivals.add(clockNow(), playedTotal);
    playbackArrivals.starved = starved;
    playbackOrigin.store(playbackArrivals.earliest(), std::memory_order_release);
}

void SAudioIO::write(WAVEHDR* h)
{
    playbackQueued.fetch_add(1);
    waveOutWrite(outputDevice, h, kHeaderSize);
}

DelayReading SAudioIO::readDelay()
{
    if (reading == Reading::NotificationTimes) {
        CaptureTimes t;
        t.arrivedAt = arrivedAt;
        t.now = clockNow();
        t.framesCaptured = framesCaptured;
        t.captureBehind = captureBehind;
        t.playbackOrigin = playbackOrigin.load(std::memory_order_acquire);
        t.framesWritten = framesWritten;
        return readDelayByTimes(captureArrivals, t, blockSize);
    }
    MMTIME in = {};
    MMTIME out = {};
    in.wType = TIME_SAMPLES;
    out.wType = TIME_SAMPLES;
    DWORD inFrames = 0;
    DWORD outFrames = 0;
    if (waveInGetPosition(inputDevice, &in, sizeof(in)) != MMSYSERR_NOERROR ||
        waveOutGetPosition(outputDevice, &out, sizeof(out)) != MMSYSERR_NOERROR || !framesOf(in, inFrames) ||
        !framesOf(out, outFrames))
        return DelayReading();
    return readDelayByPositions(inFrames, outFrames, framesCaptured, framesWritten, blockSize);
}

void SAudioIO::countRestoration()
{
    restorationCount.fetch_add(1, std::memory_order_relaxed);
    qmWaveCountRestoration();
}

void SAudioIO::recycle(WAVEHDR* h, int index)
{
    resetHeader(blocks[index]);
    h->dwFlags = 0;
    preparedOn[index] = kInput;
    waveInPrepareHeader(inputDevice, h, kHeaderSize);
    captureQueued.fetch_add(1);
    waveInAddBuffer(inputDevice, h, kHeaderSize);
}

void SAudioIO::play(WAVEHDR* h, int index)
{
    if (cushionPending)
        beginPlayback();
    const bool quiet = quietBlock(blocks[index].samples.data.get(), blockSize);
    const DelayReading r = readDelay();
    // Counted once a gap: the blocks a stall held back all read dry as they come in a burst.
    // WinMM counts no underruns, so this is the only count a user gets there.
    if (r.valid && r.dry && !readDry) {
        underrunCount.fetch_add(1, std::memory_order_relaxed);
        if (!kHostCountsUnderruns)
            qmWaveCountUnderrun();
    }
    readDry = r.valid && r.dry;
    const DelayControl::Decision d = delayControl.onBlock(r, captureBehind, quiet);
    if (d.restoration)
        countRestoration();
    int32_t correction = d.correction;
    if (correction < 0) {
        // Playback ran dry: silence first, so what follows keeps the cushion.
        for (int k = 0; k < kPads; ++k) {
            if (padQueued[k].load())
                continue;
            const int32_t n = std::min<int32_t>(-correction, blockSize);
            WAVEHDR* p = &pads[k].header;
            resetHeader(pads[k]);
            p->dwBufferLength = static_cast<DWORD>(n) * kFrameBytes;
            p->dwFlags = 0;
            padQueued[k] = true;
            waveOutPrepareHeader(outputDevice, p, kHeaderSize);
            write(p);
            framesWritten += n;
            correction += n;
            delayControl.made(-n);
            break;
        }
    }
    // Capture ran ahead: what would be heard too late goes, the start of this block or all of it.
    const int32_t skip = correction > 0 ? std::min<int32_t>(correction, blockSize) : 0;
    delayControl.made(skip);
    if (skip == blockSize) {
        recycle(h, index);
        return;
    }
    h->lpData += skip * kFrameBytes;
    h->dwBufferLength -= static_cast<DWORD>(skip) * kFrameBytes;
    h->dwFlags = 0;
    preparedOn[index] = kOutput;
    waveOutPrepareHeader(outputDevice, h, kHeaderSize);
    write(h);
    framesWritten += blockSize - skip;
}

void CALLBACK SAudioIO::inputCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    if (message != MM_WIM_DATA)
        return;
    SAudioIO* self = reinterpret_cast<SAudioIO*>(instance);
    BusyGuard guard(self->busy);
    self->notifications.fetch_add(1, std::memory_order_relaxed);
    if (!self->running.load())
        return;
    WAVEHDR* h = reinterpret_cast<WAVEHDR*>(param1);
    const int i = self->indexOf(h);
    if (i < 0)
        return;
    SAudioBlock* block = reinterpret_cast<SAudioBlock*>(h->dwUser);

    waveInUnprepareHeader(device, h, kHeaderSize);
    self->framesCaptured += h->dwBytesRecorded / kFrameBytes;
    self->captureBehind = self->captureQueued.fetch_sub(1) - 1;
    if (self->reading == Reading::NotificationTimes)
        self->arrivedAt = self->clockNow();
    if (self->onData)
        self->onData(block->samples);
    self->play(h, i);
    self->captureArrivals.starved = self->captureBehind == 0;
}

void CALLBACK SAudioIO::outputCallback(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                       DWORD_PTR)
{
    if (message != MM_WOM_DONE)
        return;
    SAudioIO* self = reinterpret_cast<SAudioIO*>(instance);
    BusyGuard guard(self->busy);
    self->notifications.fetch_add(1, std::memory_order_relaxed);
    if (!self->running.load())
        return;
    WAVEHDR* h = reinterpret_cast<WAVEHDR*>(param1);
    const int pad = self->padIndexOf(h);
    if (pad >= 0) {
        self->notePlayed(h->dwBufferLength);
        waveOutUnprepareHeader(device, h, kHeaderSize);
        self->padQueued[pad] = false;
        return;
    }
    const int i = self->indexOf(h);
    if (i < 0)
        return;

    self->notePlayed(h->dwBufferLength);
    waveOutUnprepareHeader(device, h, kHeaderSize);
    self->recycle(h, i);
}
