#include "SimWave.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <map>

namespace sim {
namespace {

struct Device {
    bool open = false;
    bool capture = false;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    std::deque<WAVEHDR*> queue;
    uint64_t moved = 0;  // frames between the device and blocks since open or reset
    bool started = false;
};

struct Origin {
    const char* base;  // lpData when capture began filling the header
    uint64_t first;    // capture index of its first frame
};

struct Finished {
    Device* device;
    WAVEHDR* header;
    uint64_t due;  // when its notification may go out
};

struct State {
    Config config;
    Device in, out;
    uint64_t captureIndex = 0;  // next capture frame (the capture clock)
    uint64_t clock = 0;         // the simulation's time in capture frames
    double owed = 0;            // playback frames due but not yet moved
    uint64_t holdUntil = 0;     // capture notifications wait until then
    uint64_t stoppedUntil = 0;  // the process runs no period until then
    std::deque<Finished> finished;  // in the order the blocks finished
    std::map<const WAVEHDR*, Origin> origins;
    std::vector<int64_t> output;
    uint64_t played = 0;
};

State st;

HWAVEIN inHandle() { return reinterpret_cast<HWAVEIN>(static_cast<uintptr_t>(0x11)); }
HWAVEOUT outHandle() { return reinterpret_cast<HWAVEOUT>(static_cast<uintptr_t>(0x22)); }

Device* device(const void* h, bool capture)
{
    Device* d = capture ? &st.in : &st.out;
    const void* want = capture ? static_cast<const void*>(inHandle()) : static_cast<const void*>(outHandle());
    return h == want && d->open ? d : nullptr;
}

void notify(Device& d, UINT msg, WAVEHDR* h)
{
    if (!d.callback)
        return;
    if (d.capture)
        reinterpret_cast<void(CALLBACK*)(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(d.callback)(
            inHandle(), msg, d.instance, reinterpret_cast<DWORD_PTR>(h), 0);
    else
        reinterpret_cast<void(CALLBACK*)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)>(d.callback)(
            outHandle(), msg, d.instance, reinterpret_cast<DWORD_PTR>(h), 0);
}

void finish(Device& d)
{
    WAVEHDR* h = d.queue.front();
    d.queue.pop_front();
    if (d.capture)
        h->dwBytesRecorded = static_cast<DWORD>(h->reserved);
    st.finished.push_back({&d, h, st.clock + (d.capture ? st.config.captureLate : st.config.playbackLate)});
}

void deliver(bool all)
{
    for (;;) {
        // Each device's latency is fixed, so skipping what is not due keeps each one's order.
        auto it = st.finished.begin();
        while (!all && it != st.finished.end() &&
               (it->due > st.clock || (it->device->capture && st.clock < st.holdUntil)))
            ++it;
        if (it == st.finished.end())
            return;
        Device* d = it->device;
        WAVEHDR* h = it->header;
        st.finished.erase(it);
        h->dwFlags = (h->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
        notify(*d, d->capture ? MM_WIM_DATA : MM_WOM_DONE, h);
    }
}

void captureFrame()
{
    const uint64_t i = st.captureIndex++;
    Device& d = st.in;
    if (!d.started || d.queue.empty())
        return;  // nothing queued: lost, as on a card
    WAVEHDR* h = d.queue.front();
    if (h->reserved == 0)
        st.origins[h] = {h->lpData, i};
    const short v = st.config.voiced(i) ? static_cast<short>(i % kCode + 1) : 0;
    std::memcpy(h->lpData + h->reserved, &v, sizeof v);
    h->reserved += sizeof v;
    ++d.moved;
    if (h->reserved == h->dwBufferLength)
        finish(d);
}

void emit(int64_t index)
{
    if (st.config.listen)
        st.config.listen(st.played, index);
    else
        st.output.push_back(index);
    ++st.played;
}

void playFrame()
{
    Device& d = st.out;
    if (d.queue.empty()) {
        emit(-1);
        return;
    }
    WAVEHDR* h = d.queue.front();
    short v;
    std::memcpy(&v, h->lpData + h->reserved, sizeof v);
    int64_t index = -1;
    auto o = st.origins.find(h);
    if (v != 0 && o != st.origins.end())
        index = static_cast<int64_t>(o->second.first) + (h->lpData + h->reserved - o->second.base) / 2;
    emit(index);
    h->reserved += sizeof v;
    ++d.moved;
    if (h->reserved == h->dwBufferLength)
        finish(d);
}

MMRESULT open(bool capture, void** ph, DWORD_PTR cb, DWORD_PTR inst)
{
    Device& d = capture ? st.in : st.out;
    d = Device();
    d.open = true;
    d.capture = capture;
    d.callback = cb;
    d.instance = inst;
    *ph = capture ? static_cast<void*>(inHandle()) : static_cast<void*>(outHandle());
    notify(d, capture ? MM_WIM_OPEN : MM_WOM_OPEN, nullptr);
    return MMSYSERR_NOERROR;
}

MMRESULT close(const void* h, bool capture)
{
    Device* d = device(h, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!d->queue.empty())
        return WAVERR_STILLPLAYING;
    notify(*d, capture ? MM_WIM_CLOSE : MM_WOM_CLOSE, nullptr);
    d->open = false;
    return MMSYSERR_NOERROR;
}

MMRESULT prepare(const void* h, bool capture, WAVEHDR* w, bool on)
{
    if (!device(h, capture))
        return MMSYSERR_INVALHANDLE;
    if (!on && (w->dwFlags & WHDR_INQUEUE))
        return WAVERR_STILLPLAYING;
    w->dwFlags = on ? (w->dwFlags | WHDR_PREPARED) : (w->dwFlags & ~static_cast<DWORD>(WHDR_PREPARED));
    return MMSYSERR_NOERROR;
}

MMRESULT submit(const void* h, bool capture, WAVEHDR* w)
{
    Device* d = device(h, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!(w->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (w->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    w->dwFlags = (w->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
    w->reserved = 0;
    d->queue.push_back(w);
    return MMSYSERR_NOERROR;
}

MMRESULT resetDevice(const void* h, bool capture)
{
    Device* d = device(h, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started = false;
    d->moved = 0;
    while (!d->queue.empty())
        finish(*d);
    deliver(true);
    return MMSYSERR_NOERROR;
}

MMRESULT position(const void* h, bool capture, LPMMTIME t)
{
    Device* d = device(h, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    t->wType = TIME_SAMPLES;
    t->u.sample = static_cast<DWORD>(d->moved);
    return MMSYSERR_NOERROR;
}

}  // namespace

void reset(const Config& c)
{
    st = State();
    st.config = c;
}

void step()
{
    const uint64_t chunk = static_cast<uint64_t>(st.config.chunk);
    if (st.clock < st.stoppedUntil) {
        // The server plays silence meanwhile and buffers what it captures.
        st.clock += chunk;
        st.owed += chunk * st.config.playbackRate;
        const uint64_t n = static_cast<uint64_t>(st.owed);
        st.owed -= static_cast<double>(n);
        for (uint64_t k = 0; k < n; ++k)
            emit(-1);
        return;
    }
    st.clock += chunk;
    if (st.clock <= st.config.captureStart)
        st.captureIndex = st.clock;
    while (st.captureIndex < st.clock)
        captureFrame();
    st.owed += chunk * st.config.playbackRate;
    const uint64_t n = static_cast<uint64_t>(st.owed);
    st.owed -= static_cast<double>(n);
    for (uint64_t k = 0; k < n; ++k)
        playFrame();
    deliver(false);
}

uint64_t now() { return st.clock; }
void holdNotifications(uint64_t frames) { st.holdUntil = st.clock + frames; }
void stopProcess(uint64_t frames) { st.stoppedUntil = st.clock + frames; }
const std::vector<int64_t>& output() { return st.output; }
double playedAt(uint64_t j) { return static_cast<double>(j) / st.config.playbackRate; }

}  // namespace sim

MMRESULT WINAPI waveInOpen(LPHWAVEIN ph, UINT, LPCWAVEFORMATEX, DWORD_PTR cb, DWORD_PTR inst, DWORD)
{
    return sim::open(true, reinterpret_cast<void**>(ph), cb, inst);
}
MMRESULT WINAPI waveOutOpen(LPHWAVEOUT ph, UINT, LPCWAVEFORMATEX, DWORD_PTR cb, DWORD_PTR inst, DWORD)
{
    return sim::open(false, reinterpret_cast<void**>(ph), cb, inst);
}
MMRESULT WINAPI waveInClose(HWAVEIN h) { return sim::close(h, true); }
MMRESULT WINAPI waveOutClose(HWAVEOUT h) { return sim::close(h, false); }
MMRESULT WINAPI waveInPrepareHeader(HWAVEIN h, LPWAVEHDR w, UINT) { return sim::prepare(h, true, w, true); }
MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT h, LPWAVEHDR w, UINT) { return sim::prepare(h, false, w, true); }
MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN h, LPWAVEHDR w, UINT) { return sim::prepare(h, true, w, false); }
MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT h, LPWAVEHDR w, UINT) { return sim::prepare(h, false, w, false); }
MMRESULT WINAPI waveInAddBuffer(HWAVEIN h, LPWAVEHDR w, UINT) { return sim::submit(h, true, w); }
MMRESULT WINAPI waveOutWrite(HWAVEOUT h, LPWAVEHDR w, UINT) { return sim::submit(h, false, w); }
MMRESULT WINAPI waveInStart(HWAVEIN h)
{
    sim::Device* d = sim::device(h, true);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    d->started = true;
    return MMSYSERR_NOERROR;
}
MMRESULT WINAPI waveInReset(HWAVEIN h) { return sim::resetDevice(h, true); }
MMRESULT WINAPI waveOutReset(HWAVEOUT h) { return sim::resetDevice(h, false); }
MMRESULT WINAPI waveInGetPosition(HWAVEIN h, LPMMTIME t, UINT) { return sim::position(h, true, t); }
MMRESULT WINAPI waveOutGetPosition(HWAVEOUT h, LPMMTIME t, UINT) { return sim::position(h, false, t); }

// The simulation's time stands in for the clock: one count per capture frame.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* c)
{
    c->QuadPart = static_cast<LONGLONG>(sim::now());
    return 1;
}
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* f)
{
    f->QuadPart = 44100;
    return 1;
}
