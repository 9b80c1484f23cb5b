#include "framework/SAudioIO.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

const WORD kChannels = 1;
const WORD kBitsPerSample = 16;
// Longer than any handler that keeps up (one block is 46 ms at 2048 samples), short
// enough that closing the window never seems to hang.
const auto kStopWait = std::chrono::seconds(2);
const UINT kHeaderSize = sizeof(WAVEHDR);

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

void SAudioIO::open(int blockSize)
{
    // A second open would pull the arrays from under queued blocks.
    if (inputDevice || outputDevice) {
        close();
        if (inputDevice || outputDevice)
            return;
    }

    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = kChannels;
    format.nSamplesPerSec = kSampleRate;
    format.nBlockAlign = kChannels * kBitsPerSample / 8;
    format.nAvgBytesPerSec = kSampleRate * format.nBlockAlign;
    format.wBitsPerSample = kBitsPerSample;
    format.cbSize = 0;

    for (int i = 0; i < kBlocks; ++i) {
        blocks[i].alloc(blockSize);
        preparedOn[i] = kNone;
    }
    for (int j = 0; j < kPads; ++j) {
        pads[j].alloc(blockSize);
        padPreparedOn[j] = kNone;
        padIdle[j] = true;
    }
    this->blockSize = blockSize;

    if (waveInOpen(&inputDevice, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&SAudioIO::inputCallback),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        inputDevice = nullptr;
    if (waveOutOpen(&outputDevice, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&SAudioIO::outputCallback),
                    reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        outputDevice = nullptr;
}

void SAudioIO::start()
{
    resetTiming();
    pendingSkip = pendingPad = 0;
    reference = 0;
    outQueued = kBlocks - 2;
    for (int i = 0; i < kBlocks; ++i)
        restoreHeader(blocks[i]);
    running = true;
    for (int i = 0; i < 2; ++i) {
        WAVEHDR* h = &blocks[i].header;
        h->dwFlags = 0;
        preparedOn[i] = kInput;
        waveInPrepareHeader(inputDevice, h, kHeaderSize);
        waveInAddBuffer(inputDevice, h, kHeaderSize);
    }
    // Still zero from open: playback begins at once with two blocks of silence.
    // Flags 0, not BEGINLOOP|ENDLOOP: with dwLoops 0 some drivers loop those forever.
    for (int i = 2; i < kBlocks; ++i) {
        WAVEHDR* h = &blocks[i].header;
        h->dwFlags = 0;
        preparedOn[i] = kOutput;
        waveOutPrepareHeader(outputDevice, h, kHeaderSize);
        waveOutWrite(outputDevice, h, kHeaderSize);
    }
    waveInStart(inputDevice);
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
        restoreHeader(blocks[i]);
    }
    for (int j = 0; j < kPads; ++j) {
        if (padPreparedOn[j] == kOutput)
            waveOutUnprepareHeader(outputDevice, &pads[j].header, kHeaderSize);
        padPreparedOn[j] = kNone;
        padIdle[j] = true;
    }
}

void SAudioIO::close()
{
    stop();
    if (!settled)
        return;
    for (int i = 0; i < kBlocks; ++i) {
        blocks[i].samples.count = 0;
        blocks[i].samples.data.reset();
        blocks[i].header.lpData = nullptr;
        blocks[i].header.dwBufferLength = 0;
    }
    for (int j = 0; j < kPads; ++j)
        pads[j].alloc(0);
    blockSize = 0;
    waveInClose(inputDevice);
    waveOutClose(outputDevice);
    inputDevice = nullptr;
    outputDevice = nullptr;
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
    for (int j = 0; j < kPads; ++j)
        if (header == &pads[j].header)
            return j;
    return -1;
}

void SAudioIO::restoreHeader(SAudioBlock& block)
{
    block.header.lpData = reinterpret_cast<LPSTR>(block.samples.data.get());
    block.header.dwBufferLength = static_cast<DWORD>(block.samples.count) * sizeof(short);
}

void SAudioIO::resetTiming()
{
    epoch.fetch_add(1);
    measured.store(0);
}

void SAudioIO::decideCorrection(int& skip, int& pad)
{
    skip = pad = 0;
    if (reference == 0 && outQueued.load() == 0) {
        // Capture came too late for the start's silence: give playback its cushion back
        // before the delay the stream holds from now on is taken.
        pendingPad = blockSize;
        resetTiming();
        restorations.fetch_add(1);
    } else if (pendingSkip == 0 && pendingPad == 0 && measured.load() >= static_cast<unsigned>(kWindow)) {
        int64_t d[kWindow];
        for (int k = 0; k < kWindow; ++k)
            d[k] = delays[k].load();
        std::nth_element(d, d + kWindow / 2, d + kWindow);
        // The notifications see the delay less what the platform buffers on either side,
        // which only the platform knows: the two blocks are what start made of it.
        if (reference == 0)
            reference = d[kWindow / 2];
        const int64_t error = (d[kWindow / 2] - reference) * static_cast<int64_t>(kSampleRate) / 1000000000;
        if (error > blockSize / 4 || error < -blockSize / 4) {
            if (error > 0)
                pendingSkip = error;
            else
                pendingPad = -error;
            // Blocks already on their way were timed before the correction.
            resetTiming();
            restorations.fetch_add(1);
        }
    }
    const int64_t s = std::min<int64_t>(pendingSkip, blockSize);
    pendingSkip -= s;
    skip = static_cast<int>(s);
    pad = static_cast<int>(pendingPad);
}

int SAudioIO::queuePads(int samples)
{
    int queued = 0;
    for (int j = 0; j < kPads && queued < samples; ++j) {
        if (!padIdle[j].load())
            continue;
        const int n = std::min(samples - queued, blockSize);
        WAVEHDR* h = &pads[j].header;
        h->dwFlags = 0;
        h->lpData = reinterpret_cast<LPSTR>(pads[j].samples.data.get());
        h->dwBufferLength = static_cast<DWORD>(n) * sizeof(short);
        padIdle[j] = false;
        padPreparedOn[j] = kOutput;
        waveOutPrepareHeader(outputDevice, h, kHeaderSize);
        outQueued.fetch_add(1);
        if (waveOutWrite(outputDevice, h, kHeaderSize) != MMSYSERR_NOERROR) {
            outQueued.fetch_sub(1);
            padIdle[j] = true;
            break;
        }
        queued += n;
    }
    return queued;
}

void CALLBACK SAudioIO::inputCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    if (message != MM_WIM_DATA)
        return;
    SAudioIO* self = reinterpret_cast<SAudioIO*>(instance);
    BusyGuard guard(self->busy);
    if (!self->running.load())
        return;
    WAVEHDR* h = reinterpret_cast<WAVEHDR*>(param1);
    const int i = self->indexOf(h);
    if (i < 0)
        return;
    SAudioBlock* block = reinterpret_cast<SAudioBlock*>(h->dwUser);

    self->capturedAt[i] = nowNs();
    waveInUnprepareHeader(device, h, kHeaderSize);
    if (self->onData)
        self->onData(block->samples);

    int skip, pad;
    self->decideCorrection(skip, pad);
    h->dwFlags = 0;
    if (skip >= self->blockSize) {
        // Captured too far ahead of playback: this block is not played at all.
        self->preparedOn[i] = kInput;
        waveInPrepareHeader(device, h, kHeaderSize);
        waveInAddBuffer(device, h, kHeaderSize);
        return;
    }
    if (pad > 0)
        self->pendingPad -= self->queuePads(pad);
    h->lpData = reinterpret_cast<LPSTR>(block->samples.data.get() + skip);
    h->dwBufferLength = static_cast<DWORD>(block->samples.count - skip) * sizeof(short);
    self->queuedInEpoch[i] = self->epoch.load();
    self->preparedOn[i] = kOutput;
    waveOutPrepareHeader(self->outputDevice, h, kHeaderSize);
    self->outQueued.fetch_add(1);
    if (waveOutWrite(self->outputDevice, h, kHeaderSize) != MMSYSERR_NOERROR)
        self->outQueued.fetch_sub(1);
}

void CALLBACK SAudioIO::outputCallback(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                       DWORD_PTR)
{
    if (message != MM_WOM_DONE)
        return;
    SAudioIO* self = reinterpret_cast<SAudioIO*>(instance);
    BusyGuard guard(self->busy);
    if (!self->running.load())
        return;
    WAVEHDR* h = reinterpret_cast<WAVEHDR*>(param1);
    self->outQueued.fetch_sub(1);
    const int i = self->indexOf(h);
    if (i < 0) {
        const int j = self->padIndexOf(h);
        if (j >= 0) {
            waveOutUnprepareHeader(device, h, kHeaderSize);
            self->padPreparedOn[j] = kNone;
            self->padIdle[j] = true;
        }
        return;
    }

    // Capture to playback, last sample to last sample: the delay of every sample of the block.
    if (self->queuedInEpoch[i] == self->epoch.load()) {
        const unsigned k = self->measured.fetch_add(1);
        self->delays[k % kWindow].store(nowNs() - self->capturedAt[i]);
    }
    waveOutUnprepareHeader(device, h, kHeaderSize);
    self->restoreHeader(*reinterpret_cast<SAudioBlock*>(h->dwUser));
    h->dwFlags = 0;
    self->preparedOn[i] = kInput;
    waveInPrepareHeader(self->inputDevice, h, kHeaderSize);
    waveInAddBuffer(self->inputDevice, h, kHeaderSize);
}
