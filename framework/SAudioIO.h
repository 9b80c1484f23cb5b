#pragma once
// Full-duplex stream over the WinMM wave API: four blocks circulate capture ->
// onData -> playback -> capture. Control calls (open, start, stop, close) come from
// one thread; the notifications run on the audio system's thread(s).
//
// The stream holds the delay start gives it, two blocks from capture to playback. Each
// captured block's delay is read off the two devices' positions; after playback ran dry
// or capture ran ahead (a stall, a lost device, two clocks apart) it plays a stretch of
// silence from a spare block or leaves out the start of a block, once, so a stall costs
// one gap and not the rest of the run. The handler still sees every block once. On
// Windows the positions follow the device's clock rather than the data, so there the
// stream only circulates its blocks.

#include "framework/SAudio.h"

#include <atomic>

class SAudioIO final : public SAudio {
public:
    static const int kBlocks = 4;
    static const int kPads = 2;
    // Readings a slow drift must show in a row (8 blocks, 0.37 s) before it is corrected: a
    // reading off for a moment (a device catching up in a burst) is no drift.
    static const int kDriftReadings = 8;
    static const DWORD kSampleRate = 44100;

    SAudioBlock blocks[kBlocks];
    // Silence for the cushion, never seen by the handler; lengths set per use.
    SAudioBlock pads[kPads];
    HWAVEOUT outputDevice = nullptr;
    HWAVEIN inputDevice = nullptr;

    SAudioIO() = default;
    SAudioIO(const SAudioIO&) = delete;
    SAudioIO& operator=(const SAudioIO&) = delete;

    // blockSize zero samples per block, both default devices opened, nothing started.
    void open(int blockSize) override;
    // Stops if running, releases the blocks, closes both devices. Returns promptly.
    void close() override;
    // Queues blocks 0, 1 for capture and the silent blocks 2, 3 for playback.
    // That cushion of two blocks is the delay the stream then holds.
    void start() override;
    // After it returns no notification is at work and every block is idle and unprepared.
    // stop and close must not be called from onData (WinMM deadlocks on reset there).
    void stop() override;

    // False after a stop that gave up on a notification still at work: it may still use the
    // blocks and the handler, so neither may be freed.
    bool idle() const { return settled; }

    // Corrections made since open (silence played or input left out); any thread.
    uint32_t restorations() const { return restorationCount.load(std::memory_order_relaxed); }

    static void CALLBACK inputCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                       DWORD_PTR param2);
    static void CALLBACK outputCallback(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                        DWORD_PTR param2);

private:
    enum Side : unsigned char { kNone, kInput, kOutput };

    // Notifications inside their running check; stop waits for it to reach 0.
    std::atomic<int> busy{0};
    // Device each block was last prepared on, so stop can undo the preparation.
    Side preparedOn[kBlocks] = {kNone, kNone, kNone, kNone};
    // False when a notification outlived stop's wait: blocks and devices are then left alone.
    bool settled = true;
    // A pad is queued for playback (set by the capture side, cleared by the playback side).
    std::atomic<bool> padQueued[kPads] = {};
    std::atomic<uint32_t> restorationCount{0};

    // Capture side only (one notification thread), so plain fields.
    int blockSize = 0;
    uint32_t framesWritten = 0;    // playback frames queued since start (wrap like positions)
    uint32_t framesCaptured = 0;   // capture frames notified since start
    int32_t recent[kDriftReadings] = {};  // last delays: drift is what all of them agree on
    int recentCount = 0;
    int32_t correction = 0;        // frames still to leave out (> 0) or to add as silence (< 0)
    int holdoff = 0;               // blocks before the next reading may start a correction

    int indexOf(const WAVEHDR* header) const;
    int padIndexOf(const WAVEHDR* header) const;
    // Frames from capture of this block's first sample to its playback, and whether playback
    // has run dry; false without positions.
    bool measureDelay(int32_t& delay, bool& dry);
    // Queues the handled block for playback, corrected toward the two-block delay.
    void play(WAVEHDR* h, int index);
    void recycle(WAVEHDR* h, int index);
    bool waitForNotifications();
};
