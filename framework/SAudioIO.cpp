#include "framework/SAudioIO.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

const WORD kChannels = 1;
const WORD kBitsPerSample = 16;
// Longer than any handler that keeps up (one block is 46 ms at 2048 samples), short
// enough that closing the window never seems to hang.
const auto kStopWait = std::chrono::seconds(2);
const UINT kHeaderSize = sizeof(WAVEHDR);

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

    if (waveInOpen(&inputDevice, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&SAudioIO::inputCallback),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        inputDevice = nullptr;
    if (waveOutOpen(&outputDevice, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&SAudioIO::outputCallback),
                    reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        outputDevice = nullptr;
}

void SAudioIO::start()
{
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

    waveInUnprepareHeader(device, h, kHeaderSize);
    if (self->onData)
        self->onData(block->samples);
    h->dwFlags = 0;
    self->preparedOn[i] = kOutput;
    waveOutPrepareHeader(self->outputDevice, h, kHeaderSize);
    waveOutWrite(self->outputDevice, h, kHeaderSize);
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
    const int i = self->indexOf(h);
    if (i < 0)
        return;

    waveOutUnprepareHeader(device, h, kHeaderSize);
    h->dwFlags = 0;
    self->preparedOn[i] = kInput;
    waveInPrepareHeader(self->inputDevice, h, kHeaderSize);
    waveInAddBuffer(self->inputDevice, h, kHeaderSize);
}
