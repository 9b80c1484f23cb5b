#pragma once
// The process's sound counters, on every host. The layer over SDL counts underruns,
// overruns and its reopenings; the stream counts its restorations and, where the host
// leaves lost devices lost, its own reopenings, and where the host counts no underruns,
// the gaps its readings found (playback run dry). QUILLMORPH_AUDIO_STATS=1 prints them on
// one stderr line at exit (what the host does not count is said, not printed as zero).

#include <cstdint>

struct QmWaveStats {
    uint64_t underruns;     // playback ran dry while streaming: each change from data to silence
    uint64_t overruns;      // capture dropped input with no block queued while started: each episode
    uint64_t reopens;       // a lost or missing device opened again
    uint64_t restorations;  // the stream restored its playback cushion
};

// Any thread; a snapshot of atomics, no lock.
QmWaveStats qmWaveStats();
// Any thread, including a notification or SDL's audio thread; allocate nothing, take no lock.
void qmWaveCountUnderrun();
void qmWaveCountOverrun();
void qmWaveCountReopen();
void qmWaveCountRestoration();
// Arms the line at exit when QUILLMORPH_AUDIO_STATS=1; once per process, any later call
// does nothing. Called where devices are opened.
void qmWaveRegisterStatsPrinter();
