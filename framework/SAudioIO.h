#pragma once
// Full-duplex stream over the WinMM wave API: four blocks circulate capture ->
// onData -> playback -> capture. Control calls (open, start, stop, close) come from
// one thread; the notifications run on the audio system's thread(s).

#include "framework/SAudio.h"

#include <atomic>

class SAudioIO final : public SAudio {
public:
    static const int kBlocks = 4;
    static const DWORD kSampleRate = 44100;

    SAudioBlock blocks[kBlocks];
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

    // Notifications inside their running check; stop waits for it to reach 0.
    std::atomic<int> busy{0};
    // Device each block was last prepared on, so stop can undo the preparation.
    Side preparedOn[kBlocks] = {kNone, kNone, kNone, kNone};
    // False when a notification outlived stop's wait: blocks and devices are then left alone.
    bool settled = true;

    int indexOf(const WAVEHDR* header) const;
    bool waitForNotifications();
};
