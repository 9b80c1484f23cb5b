#pragma once
// Full-duplex stream over the WinMM wave API: four blocks circulate capture ->
// onData -> playback -> capture. Control calls (open, start, stop, close) come from
// one thread; the notifications run on the audio system's thread(s).
//
// The stream holds its own delay, capture to playback, at the two blocks that start
// gives it. It times every block from its capture notification to its playback
// notification; when that delay has moved by more than a quarter block (playback ran
// dry, capture ran ahead after a stall, or the two device clocks drifted apart) it puts
// it back in one step: silence from two spare blocks goes ahead of the next captured block, or the
// start of that block (or the whole of it) is not played. The handler still sees every
// captured block once, in order, whole.

#include "framework/SAudio.h"

#include <atomic>
#include <cstdint>

class SAudioIO final : public SAudio {
public:
    static const int kBlocks = 4;
    static const DWORD kSampleRate = 44100;

    SAudioBlock blocks[kBlocks];
    HWAVEOUT outputDevice = nullptr;
    HWAVEIN inputDevice = nullptr;

    // Times the delay was put back to two blocks since open (any thread may read it).
    std::atomic<unsigned> restorations{0};

    SAudioIO() = default;
    SAudioIO(const SAudioIO&) = delete;
    SAudioIO& operator=(const SAudioIO&) = delete;

    // blockSize zero samples per block, both default devices opened, nothing started.
    void open(int blockSize) override;
    // Stops if running, releases the blocks, closes both devices. Returns promptly.
    void close() override;
    // Queues blocks 0, 1 for capture and the silent blocks 2, 3 for playback.
    // start and stop come from the control thread, never from onData.
    void start() override;
    // After it returns no notification is at work and every block is idle and unprepared.
    // stop and close must not be called from onData (WinMM deadlocks on reset there).
    void stop() override;

    static void CALLBACK inputCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                       DWORD_PTR param2);
    static void CALLBACK outputCallback(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                        DWORD_PTR param2);

private:
    enum Side : unsigned char { kNone, kInput, kOutput };
    static const int kPads = 2;
    // Delay measurements the decision takes the median of: two stray ones cannot move it.
    static const int kWindow = 5;

    // Notifications inside their running check; stop waits for it to reach 0.
    std::atomic<int> busy{0};
    // Device each block was last prepared on, so stop can undo the preparation.
    Side preparedOn[kBlocks] = {kNone, kNone, kNone, kNone};
    // False when a notification outlived stop's wait: blocks and devices are then left alone.
    bool settled = true;

    // Silent blocks, only ever played, for the silence that restores the delay.
    SAudioBlock pads[kPads];
    Side padPreparedOn[kPads] = {kNone, kNone};
    std::atomic<bool> padIdle[kPads] = {{true}, {true}};

    int blockSize = 0;
    // When each block's capture notification came; read when the same block has played
    // (the device queues hand the block over, so no lock is needed).
    int64_t capturedAt[kBlocks] = {0, 0, 0, 0};
    // Epoch each block was queued for playback in; a measurement counts only in its own.
    unsigned queuedInEpoch[kBlocks] = {0, 0, 0, 0};
    // Written by the playback notification, read by the capture notification.
    std::atomic<unsigned> epoch{0};
    std::atomic<unsigned> measured{0};
    std::atomic<int64_t> delays[kWindow] = {};
    // Blocks written for playback and not yet back; dry playback reads 0.
    std::atomic<int> outQueued{0};
    // Capture notification only: the delay to hold (0 until measured after start) and
    // what a decided restoration has still to skip or pad.
    int64_t reference = 0;
    int64_t pendingSkip = 0;
    int64_t pendingPad = 0;

    int indexOf(const WAVEHDR* header) const;
    int padIndexOf(const WAVEHDR* header) const;
    bool waitForNotifications();
    void resetTiming();
    // Samples to skip at the start of the block just captured and of silence to play before it.
    void decideCorrection(int& skip, int& pad);
    int queuePads(int samples);
    void restoreHeader(SAudioBlock& block);
};
