#pragma once
// The delay read off the times notifications arrive, where the devices' positions do not
// follow the data. An arrival's time less the frames done until then is where that
// device's clock started, plus how late the notification came; the earliest of the last
// few is the best guess. Times are frames of a clock passed in; nothing here reads one.
// Plain values: no allocation, no lock, one thread per object.

#include "framework/DelayReading.h"

#include <cstdint>

struct Arrivals {
    // Arrivals a reading takes the earliest of: the others came late.
    static constexpr int kWindow = 8;
    int64_t origins[kWindow] = {};
    int count = 0;
    // The device had no block queued after the newest: it starts afresh with the next.
    bool starved = false;
    // A notification at `now` for a device that has done `frames` since start.
    void add(int64_t now, int64_t frames);
    // The best guess at where the device's clock started; 0 before any arrival.
    int64_t earliest() const;
};

// What the capture side knows when it reads the delay of the block just notified.
struct CaptureTimes {
    int64_t arrivedAt = 0;       // when the block's notification came
    int64_t now = 0;             // when the reading is taken (the handler has run since)
    int64_t framesCaptured = 0;  // capture frames notified since start, this block's included
    int captureBehind = 0;       // capture blocks still queued behind this one
    int64_t playbackOrigin = 0;  // where playback's clock started, by its own arrivals
    int64_t framesWritten = 0;   // playback frames queued since start
};

// This block's delay: one block, plus what capture has done past it, plus what playback
// still has queued. Adds the arrival to `capture`; a capture that ran further ahead than its
// queued blocks can hold lost input, and its arrivals start afresh. Always valid.
DelayReading readDelayByTimes(Arrivals& capture, const CaptureTimes& t, int blockSize);

// A count of a clock ticking `frequency` times a second, in frames at `rate`, without
// overflowing for the counts a machine reaches in years.
int64_t clockFrames(int64_t count, int64_t frequency, int64_t rate);
