#pragma once
// Simulated wave devices for the stream: the WinMM wave calls SAudioIO makes, over two
// sample clocks that the test steps by hand, in simulated time. Capture and playback can
// run at different rates (two crystals), notifications can be held back (a stalled
// handler) and the whole process can stop while the sound server runs on. Single-threaded:
// notifications go out from step(), after the devices have moved, as a driver's thread would.
//
// Every input sample is coded with its capture index (index % kCode + 1; 0 is silence), so
// the output tells which input sample each output sample was and how late it came.

#include "platform/win32.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

const int kCode = 32000;

struct Config {
    double playbackRate = 1.0;  // playback frames per capture frame (1 + ppm * 1e-6)
    int chunk = 256;            // frames moved per device period, as SDL's buffer
    // Frames a notification comes after its block is done, beyond the period's own lateness.
    uint64_t captureLate = 0;
    uint64_t playbackLate = 0;
    // Capture delivers nothing before this (a sound server opens its streams apart).
    uint64_t captureStart = 0;
    // Input sample at capture index i: 0 means silence there (a pause in the voice).
    std::function<bool(uint64_t i)> voiced = [](uint64_t) { return true; };
    // Receives every output frame (see output()); when set, output() stays empty.
    std::function<void(uint64_t j, int64_t index)> listen;
};

void reset(const Config& c);
// Moves both devices by one period of the capture clock, then delivers what finished.
void step();
// Capture index (capture clock frames) the simulation has reached.
uint64_t now();
// Holds notifications back from now for the given frames (a handler stuck that long).
void holdNotifications(uint64_t frames);
// The process stops for the given frames: no period runs; the server plays silence and
// keeps what was captured, which arrives all at once when the process runs again.
void stopProcess(uint64_t frames);

// What playback produced, one entry per output frame: the capture index of the input sample
// that frame carried, or -1 for silence.
const std::vector<int64_t>& output();
// Capture index at which output frame j was played (the playback clock in capture frames).
double playedAt(uint64_t j);

}  // namespace sim
