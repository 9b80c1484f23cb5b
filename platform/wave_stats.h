#pragma once
// Sound counters of the wave layer over SDL, per process (hosts other than Windows only:
// WinMM keeps no such counts).

#ifndef _WIN32

#include <cstdint>

struct QmWaveStats {
    uint64_t underruns;     // playback ran dry while streaming: each change from data to silence
    uint64_t overruns;      // capture dropped input with no block queued while started: each episode
    uint64_t reopens;       // a lost or missing SDL device opened again
    uint64_t restorations;  // the stream restored its playback cushion (counted by the stream)
};

// Any thread; a snapshot of atomics, no lock.
QmWaveStats qmWaveStats();
// Any thread, including a notification; allocates nothing.
void qmWaveCountRestoration();

#endif
