#pragma once
// Full-duplex stream over the WinMM wave API: four blocks circulate capture ->
// onData -> playback -> capture. Control calls (open, start, stop, close) come from
// one thread; the notifications run on the audio system's thread(s).
//
// The stream holds the delay start gives it, two blocks from capture to playback. Each
// captured block's delay is read off the two devices' positions; after playback ran dry
// or capture ran ahead (a stall, a lost device, two clocks apart) it plays a stretch of
// silence from a spare block or leaves out the start of a block, once, so a stall costs
// one gap and not the rest of the run. The handler still sees every block once.
//
// The host says how the delay is read (platform/wave_host.h): off the devices' positions
// where they follow the data, else off the times the notifications arrive against the
// frames they account for (framework/NotificationClock.h), and then the delay held is the
// one start gave by that reading. What to correct is DelayControl's decision; the stream
// makes it.

#include "framework/DelayControl.h"
#include "framework/NotificationClock.h"
#include "framework/SAudio.h"
#include "platform/wave_host.h"

#include <atomic>
#include <mutex>
#include <thread>

class SAudioIO final : public SAudio {
public:
    static const int kBlocks = 4;
    static const int kPads = 2;
    static const DWORD kSampleRate = 44100;

    using Reading = WaveReading;
    // Set before start; the host's way unless a test wants the other.
    Reading reading = kHostWaveReading;

    SAudioBlock blocks[kBlocks];
    // Silence for the cushion, never seen by the handler; lengths set per use.
    SAudioBlock pads[kPads];
    HWAVEOUT outputDevice = nullptr;
    HWAVEIN inputDevice = nullptr;

    // Where the platform does not bring lost devices back by itself (WinMM), the stream
    // watches: no notification for a second while running and no handler at work (three
    // seconds before the first since open), and it closes both devices and opens the
    // default ones again, every second until sound flows. Set before open.
    bool reopenLost = !kHostReopensLostDevices;

    SAudioIO() = default;
    ~SAudioIO();
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
    // Gaps the stream read: runs of blocks whose reading found playback dry; any thread.
    uint32_t underruns() const { return underrunCount.load(std::memory_order_relaxed); }
    // Times the watch opened the devices again; any thread.
    uint32_t reopenings() const { return reopenCount.load(std::memory_order_relaxed); }

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
    std::atomic<uint32_t> underrunCount{0};

    // Control calls and the watch's reopening take turns; notifications never take it.
    std::mutex control;
    bool wanted = false;  // started and not stopped since (under control)
    std::thread watcher;
    std::atomic<bool> watching{false};
    std::atomic<uint32_t> notifications{0};
    std::atomic<uint32_t> reopenCount{0};
    void openDevices();
    void closeDevices();
    void startLocked();
    void stopLocked();
    void closeLocked();
    void watch();
    void endWatch();

    // Capture side only (one notification thread), so plain fields.
    int blockSize = 0;
    int64_t framesWritten = 0;     // playback frames queued since start
    int64_t framesCaptured = 0;    // capture frames notified since start
    DelayControl delayControl;
    bool cushionPending = false;   // playback not begun: its cushion goes out with the first block
    bool readDry = false;          // the last block's reading found playback dry

    int64_t counterFrequency = 1;
    Arrivals captureArrivals;               // capture side
    int captureBehind = 0;                  // capture side: blocks queued behind the one notified
    int64_t arrivedAt = 0;                  // capture side: when its notification came
    Arrivals playbackArrivals;              // playback side
    int64_t playedTotal = 0;                // playback side
    std::atomic<int64_t> playbackOrigin{0};  // from the playback side to the capture side
    // Blocks and pads queued on each device (either side adds, its own side takes).
    std::atomic<int> captureQueued{0};
    std::atomic<int> playbackQueued{0};

    int indexOf(const WAVEHDR* header) const;
    int padIndexOf(const WAVEHDR* header) const;
    // This block's delay, read the way `reading` says; capture side.
    DelayReading readDelay();
    // Now, in frames of the performance counter.
    int64_t clockNow() const;
    // Playback side: a block or pad of this many bytes has been played.
    void notePlayed(DWORD bytes);
    void write(WAVEHDR* h);
    // Silence on playback from the spare blocks 2 and 3, up to a block each; a spare block
    // not needed goes to capture.
    void queueSilence(int32_t frames);
    void countRestoration();
    // Queues the handled block for playback, corrected toward the two-block delay.
    void play(WAVEHDR* h, int index);
    // First captured block: the silence before it, so that the delay starts where it is held.
    void beginPlayback();
    void recycle(WAVEHDR* h, int index);
    bool waitForNotifications();
};
