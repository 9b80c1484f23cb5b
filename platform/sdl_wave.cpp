// WinMM wave audio over SDL2 (hosts other than Windows).
//
// Implemented:
//  [x] waveInOpen / waveOutOpen on WAVE_MAPPER (or device 0): PCM, 8 or 16 bits, 1 to 8 channels,
//      any common rate; SDL converts to whatever the hardware runs. CALLBACK_FUNCTION or CALLBACK_NULL;
//      WAVE_FORMAT_QUERY. A device that cannot open prints one line on stderr and fails; on a
//      driver whose devices come and go (a sound server, ALSA: anything but SDL's disk and dummy
//      drivers) it opens anyway and waits for one, as if it had gone away (see below).
//  [x] MM_WIM_OPEN/DATA/CLOSE and MM_WOM_OPEN/DONE/CLOSE, in order, on one notification thread per device.
//  [x] Capture with no block queued is kept (up to 0.1 s) for the next block queued, as a card's
//      buffer keeps it; only what does not fit is lost (an overrun).
//  [x] Prepare and unprepare, waveInAddBuffer, waveOutWrite, waveInStart, waveInStop, both resets
//      (they return once every returned block has been notified), both closes.
//  [x] WinMM results for misuse: unknown, closed or wrong-direction handle, null or short header,
//      empty buffer, unprepared or still queued header, unsupported format or flags.
//  [x] waveInGetPosition / waveOutGetPosition in TIME_SAMPLES, TIME_BYTES or TIME_MS (any other
//      type is answered in TIME_BYTES, as WinMM does): what moved between SDL and the queued
//      blocks since open or reset. Capture dropped for want of a block and playback silence
//      while nothing is queued do not count, so the difference between what the caller queued
//      and the position is what is still waiting. Between SDL's periods a device's position
//      moves on its clock, as the periods that moved data bound it (platform/device_clock.h).
//  [x] A device that goes away (the sound server restarted, a headset unplugged) is reopened
//      by its notification thread as soon as SDL can open the default device again, with its
//      queue kept; one stderr line says so. A running device that has had no period from SDL
//      for three seconds counts as gone too (a driver may keep a dead server's device
//      "playing"). A PulseAudio server must name its default devices before SDL may connect
//      to it again (SDL 2.26 crashes on one that is still starting).
//  [x] Counts underruns, overruns and reopens in the process's counters (platform/wave_stats.h),
//      whose line QUILLMORPH_AUDIO_STATS=1 prints at exit.
//  [ ] Not: pause/restart, volume, device enumeration, CALLBACK_WINDOW/THREAD/EVENT.
//      Every block is played once whatever its flags (no looping).
//
// Threads. SDL's audio thread moves samples between SDL and the queued blocks under the device's
// mutex and never calls out. Notifications go out on the device's own thread with no lock of ours
// or SDL's held, so a notification may call back into this API (the stream does) without deadlock,
// and a slow one cannot stall SDL: capture keeps a little of what has no block to go into and
// drops the rest, playback plays silence, as a sound card would. A reset or close called from
// inside a notification does not wait for the notification thread (that would be waiting on itself).

#include "platform/win32_wave.h"
#include "platform/device_clock.h"
#include "platform/sound_server.h"
#include "platform/wave_stats.h"

#include <SDL.h>

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// SDL's buffer, rounded up to a power of two: 1,024 frames (23 ms) at 44.1 or 48 kHz. Measured
// on PulseAudio with drags and two busy loops, 256 and 512 frames gave dropouts at rest and
// under load; 1,024 none, and adds about 12 ms to the delay; 2,048 added 35 ms.
const double kSdlBufferSeconds = 0.02;
// SDL's native PipeWire driver asks the graph for a quantum of its buffer: at 1,024 frames the
// delay was 156-158 ms against PulseAudio's 150-151 (beside two busy loops, on devices that
// add no delay of their own). Half that gave 147-148 ms, clean beside two busy loops, under
// pointer floods and across a restarted server; the server's graph thread and the client's
// run at real-time priority.
const char* const kHalfBufferDriver = "pipewire";

// For the driver SDL has picked (SDL_GetCurrentAudioDriver after its audio is initialised).
Uint16 sdlBufferFrames(DWORD rate, const char* driver)
{
    Uint16 frames = 64;
    while (frames < rate * kSdlBufferSeconds && frames < 4096)
        frames *= 2;
    if (driver && std::strcmp(driver, kHalfBufferDriver) == 0)
        frames /= 2;
    return frames;
}

// Bound on waiting for the notification thread: it only runs long if a notification
// function does, and reset and close must not hang behind one that never returns.
const auto kNotifyWait = std::chrono::seconds(5);
// How often a notification thread looks for a lost device, and tries to reopen one.
const auto kDeviceCheck = std::chrono::milliseconds(200);
// Looks in a row in which a running device had no period from SDL: it is lost, even if SDL
// still calls it playing (SDL's native PipeWire driver after the server died). Three seconds:
// after the process was stopped for half a second, SDL's PulseAudio devices gave no period
// for a second, and capture took half a second to give its first.
const int kSilentLooks = 15;
const auto kReopenRetry = std::chrono::milliseconds(500);
// SDL's capture periods stopped this long (the process or the sound server stalled): on
// PulseAudio the device is opened afresh, since SDL's capture there never catches up with the
// backlog a stall leaves (measured: a third of real time for seconds after a 0.5 s stop).
const auto kStallGap = std::chrono::milliseconds(150);
// Periods a device's clock may stand from the data moved: a server's queue and a period
// late come to less than three.
const uint64_t kClockReach = 4;
// How long a device check may wait for a sound server's answer (it holds the control path).
const int kServerProbeMs = 200;
// Capture SDL delivers while no block is queued is kept this long for the next block, as a
// card's buffer keeps it: the stream requeues a block only once it has been played, so a
// notification thread a busy machine holds back for a period or two would otherwise lose input.
const double kCaptureHoldSeconds = 0.1;
// Sound servers run their own real-time threads at 5 (PulseAudio) or above.
const int kSoundThreadRealtimePriority = 3;
const WORD kMaxChannels = 8;
const DWORD kMinRate = 1000;
const DWORD kMaxRate = 384000;

void sayNothing(const char*, int, const char*, int, const char*, ...) {}

// The threads that carry sound (SDL's and the notification threads) run real-time where
// the user may (root, or a real-time limit), as desktop audio programs' threads are: at
// an ordinary policy, however high, a machine full of other work delayed them past the
// cushion. Below a sound server's own real-time threads; their work per period is short.
// False when the policy was not granted.
bool makeCallingThreadRealtime()
{
    sched_param rt = {};
    rt.sched_priority = kSoundThreadRealtimePriority;
    return pthread_setschedparam(pthread_self(), SCHED_RR, &rt) == 0;
}

// Where no sound server answers, SDL falls back to ALSA, whose library prints a dozen
// lines of its own on stderr before the one line that says what is wrong; a user should
// see only the latter. The library stays loaded, so SDL's later load finds the same one.
void prepareSdlAudio()
{
    static std::once_flag once;
    std::call_once(once, [] {
        void* lib = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return;
        using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
        using SetHandler = int (*)(Handler);
        if (auto set = reinterpret_cast<SetHandler>(dlsym(lib, "snd_lib_error_set_handler")))
            set(&sayNothing);
    });
}

typedef void(CALLBACK* InProc)(HWAVEIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
typedef void(CALLBACK* OutProc)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct WaveDevice {
    bool capture = false;              // direction: which calls accept the handle, which messages go out
    uintptr_t handle = 0;              // what the caller holds; passed back with every notification
    DWORD_PTR callback = 0;            // CALLBACK_FUNCTION target, 0 for CALLBACK_NULL
    DWORD_PTR instance = 0;            // the caller's value, passed back with every notification
    SDL_AudioDeviceID sdl = 0;         // opened and closed only under control
    SDL_AudioSpec want = {};           // what open asked SDL for, to reopen the same
    bool lost = false;                 // under control: SDL lost the device (or never had one); reopening it
    bool inited = false;               // under control: holds a reference to SDL's audio subsystem
    bool everOpened = false;           // under control: SDL opened a device for it at least once
    bool stalled = false;              // SDL's periods stopped for a while; reopen once
    bool reopenAfterStall = false;     // capture on a server whose backlog SDL never catches up
    bool realtime = false;             // a device, not a file, sets the pace: its threads may run real-time
    uint64_t periods = 0;              // SDL's calls so far
    uint64_t periodsSeen = 0;          // notification thread only: periods at its last look ...
    int silentLooks = 0;               // ... and its looks in a row since with none, while running
    std::chrono::steady_clock::time_point nextReopen;  // under control
    Uint8 silence = 0;                 // playback fill while no block is queued
    DWORD frameBytes = 2;              // one sample of every channel, for positions
    DWORD rate = 44100;                // for positions in milliseconds
    std::mutex control;                // serialises the SDL pause/close calls of start, stop, reset, close
    std::mutex lock;                   // guards all below; held only for short copies and list edits
    std::condition_variable wake;      // the notification thread waits here for work
    std::condition_variable progress;  // reset and close wait here for notifications to go out
    WAVEHDR* head = nullptr;           // queued blocks, filled or played in order, linked by lpNext
    WAVEHDR* tail = nullptr;
    WAVEHDR* doneHead = nullptr;       // finished blocks waiting for their notification, in order
    WAVEHDR* doneTail = nullptr;
    uint64_t finished = 0;             // blocks ever put on the done list ...
    uint64_t delivered = 0;            // ... and notified: reset waits for these to meet
    uint64_t moved = 0;                // bytes moved between SDL and blocks since open or reset
    // The last period, so positions move smoothly between SDL's calls instead of by whole buffers.
    std::chrono::steady_clock::time_point lastCall;
    uint64_t lastMoved = 0;            // bytes of blocks in it
    uint64_t lastLength = 0;           // bytes in all
    DeviceClock clock;                 // a device's (realtime) clock, off the periods that moved data
    bool openPending = true;           // the open notification has not gone out yet
    bool closing = false;              // handle is dead; the thread sends the close notification and ends
    bool threadEnded = false;          // close may join
    bool started = false;              // capture only: blocks are filled (waveInStart until stop/reset)
    bool streaming = false;            // playback: a block was written since open or reset, so silence is an underrun
    bool dropping = false;             // capture: inside an overrun episode, counted once
    std::unique_ptr<uint8_t[]> held;   // capture: recorded with no block queued, oldest first (from open)
    size_t heldCapacity = 0;
    size_t heldStart = 0;
    size_t heldLength = 0;
    std::thread thread;
    std::thread::id threadId;          // reset and close never wait on the thread they run on
};

struct Backend {
    std::mutex registryLock;                                  // guards devices and nextHandle; short holds
    std::map<uintptr_t, std::shared_ptr<WaveDevice>> devices; // open handles (changes only at open/close)
    uintptr_t nextHandle = 0x5100;                            // never reused, so a stale handle is unknown
    std::mutex sdlLock;                                       // SDL's init, open, close and quit in one file
};

// Never destroyed: notification threads a stuck handler keeps alive may still use it at exit.
Backend& backend()
{
    static Backend* b = new Backend();
    return *b;
}

std::shared_ptr<WaveDevice> find(const void* handle, bool capture)
{
    Backend& b = backend();
    std::lock_guard<std::mutex> g(b.registryLock);
    auto it = b.devices.find(reinterpret_cast<uintptr_t>(handle));
    if (it == b.devices.end() || it->second->capture != capture)
        return nullptr;
    return it->second;
}

void append(WAVEHDR*& head, WAVEHDR*& tail, WAVEHDR* h)
{
    h->lpNext = nullptr;
    if (tail)
        tail->lpNext = h;
    else
        head = h;
    tail = h;
}

WAVEHDR* popFront(WAVEHDR*& head, WAVEHDR*& tail)
{
    WAVEHDR* h = head;
    head = h->lpNext;
    if (!head)
        tail = nullptr;
    h->lpNext = nullptr;
    return h;
}

// Under d.lock. The header stays WHDR_INQUEUE until its notification goes out, so the caller
// cannot resubmit or unprepare it while this layer still links it.
void finishHead(WaveDevice& d)
{
    WAVEHDR* h = popFront(d.head, d.tail);
    if (d.capture)
        h->dwBytesRecorded = static_cast<DWORD>(h->reserved);
    append(d.doneHead, d.doneTail, h);
    ++d.finished;
}

// Under d.lock: what capture holds goes into the queued blocks first, in order.
bool drainHeld(WaveDevice& d)
{
    bool finishedAny = false;
    while (d.heldLength > 0 && d.head) {
        WAVEHDR* h = d.head;
        const size_t n = std::min(d.heldLength, static_cast<size_t>(h->dwBufferLength - h->reserved));
        std::memcpy(h->lpData + h->reserved, d.held.get() + d.heldStart, n);
        h->reserved += n;
        d.moved += n;
        d.heldStart += n;
        d.heldLength -= n;
        if (h->reserved == h->dwBufferLength) {
            finishHead(d);
            finishedAny = true;
        }
    }
    if (d.heldLength == 0)
        d.heldStart = 0;
    return finishedAny;
}

// Under d.lock: keeps what no block took, as far as there is room; returns what is lost.
size_t hold(WaveDevice& d, const Uint8* stream, size_t n)
{
    if (d.heldStart > 0 && d.heldStart + d.heldLength + n > d.heldCapacity) {
        std::memmove(d.held.get(), d.held.get() + d.heldStart, d.heldLength);
        d.heldStart = 0;
    }
    const size_t room = d.heldCapacity - d.heldStart - d.heldLength;
    const size_t kept = std::min(room, n) / d.frameBytes * d.frameBytes;
    std::memcpy(d.held.get() + d.heldStart + d.heldLength, stream, kept);
    d.heldLength += kept;
    return n - kept;
}

double steadySeconds(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Under the device lock, at the end of a period that began at `now`: what it says of the
// device's clock. Only a period that moved data in full says anything.
void timePeriod(WaveDevice& d, std::chrono::steady_clock::time_point now, uint64_t movedBefore, uint64_t len,
                bool lost)
{
    if (d.capture && d.started && !lost && len > 0)
        d.clock.add(steadySeconds(now), static_cast<double>((d.moved + d.heldLength) / d.frameBytes));
    else if (!d.capture && len > 0 && d.moved - movedBefore == len)
        d.clock.add(steadySeconds(now), static_cast<double>(movedBefore / d.frameBytes));
    else
        d.clock.restart();
}

void SDLCALL audioCallback(void* userdata, Uint8* stream, int len)
{
    WaveDevice& d = *static_cast<WaveDevice*>(userdata);
    // SDL's own thread, which SDL left at a raised nice value where it could.
    thread_local bool asked = false;
    if (!asked) {
        asked = true;
        if (d.realtime)
            makeCallingThreadRealtime();
    }
    bool finishedAny = false;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> g(d.lock);
        ++d.periods;
        const uint64_t movedBefore = d.moved;
        size_t left = static_cast<size_t>(len);
        if (d.capture && !d.started)
            left = 0;
        if (d.capture && left > 0)
            finishedAny = drainHeld(d);
        while (left > 0 && d.head && d.heldLength == 0) {
            WAVEHDR* h = d.head;
            size_t room = h->dwBufferLength - h->reserved;
            size_t n = left < room ? left : room;
            if (d.capture)
                std::memcpy(h->lpData + h->reserved, stream, n);
            else
                std::memcpy(stream, h->lpData + h->reserved, n);
            stream += n;
            left -= n;
            h->reserved += n;
            d.moved += n;
            if (h->reserved == h->dwBufferLength) {
                finishHead(d);
                finishedAny = true;
            }
        }
        // Capture with no block queued keeps what it has room for and loses the rest, as a
        // card does; playback plays silence. A block filled in this period ends the episode
        // before, even when the rest is lost.
        const size_t lost = d.capture && left > 0 ? hold(d, stream, left) : 0;
        if (d.capture && d.moved != movedBefore)
            d.dropping = false;
        if (lost > 0) {
            if (!d.dropping)
                qmWaveCountOverrun();
            d.dropping = true;
        } else if (d.capture && len > 0 && d.started) {
            d.dropping = false;
        }
        if (!d.capture && left > 0) {
            std::memset(stream, d.silence, left);
            if (d.streaming)
                qmWaveCountUnderrun();
            d.streaming = false;
        }
        if (d.reopenAfterStall && d.lastLength > 0 && now - d.lastCall > kStallGap && !d.stalled) {
            d.stalled = true;
            finishedAny = true;  // wakes the notification thread
        }
        if (d.realtime)
            timePeriod(d, now, movedBefore, static_cast<uint64_t>(len), lost > 0);
        d.lastCall = now;
        d.lastMoved = d.moved - movedBefore;
        d.lastLength = static_cast<uint64_t>(len);
    }
    if (finishedAny)
        d.wake.notify_one();
}

// On the notification thread, with no lock held: a device SDL reports stopped is closed and
// opened again (SDL's default device, so the one that replaced it), paused as it was.
void watchDevice(WaveDevice& d)
{
    std::unique_lock<std::mutex> ctl(d.control, std::try_to_lock);
    if (!ctl.owns_lock()) {
        // Start, stop, reset or close at work: look again soon (a stall stays flagged,
        // so without the pause this would spin).
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return;
    }
    bool stalled;
    bool silent;
    {
        std::lock_guard<std::mutex> g(d.lock);
        if (d.closing)
            return;
        stalled = d.stalled;
        d.stalled = false;
        // Playback runs from open, capture from waveInStart; either has periods while it runs.
        const bool running = d.sdl && (!d.capture || d.started);
        d.silentLooks = running && d.periods == d.periodsSeen ? d.silentLooks + 1 : 0;
        d.periodsSeen = d.periods;
        silent = d.silentLooks >= kSilentLooks;
    }
    const char* what = d.capture ? "recording" : "playback";
    const auto now = std::chrono::steady_clock::now();
    if (!d.lost && stalled) {
        d.lost = true;
        d.nextReopen = now;
    } else if (!d.lost) {
        if (!silent && SDL_GetAudioDeviceStatus(d.sdl) != SDL_AUDIO_STOPPED)
            return;
        std::fprintf(stderr, "sound: the %s device went away; waiting for one to come back\n", what);
        d.lost = true;
        d.nextReopen = now;
    }
    if (now < d.nextReopen)
        return;
    d.nextReopen = now + kReopenRetry;
    if (probeSoundServer(kServerProbeMs) == SoundServer::Starting)
        return;
    Backend& b = backend();
    std::lock_guard<std::mutex> g(b.sdlLock);
    if (!d.inited) {
        prepareSdlAudio();
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            return;
        d.inited = true;
    }
    // Closed first: SDL's thread for it may hold d.lock until it ends.
    if (d.sdl)
        SDL_CloseAudioDevice(d.sdl);
    {
        std::lock_guard<std::mutex> l(d.lock);
        d.sdl = 0;
    }
    SDL_AudioSpec have = {};
    d.want.samples = sdlBufferFrames(d.rate, SDL_GetCurrentAudioDriver());
    SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, d.capture ? 1 : 0, &d.want, &have, 0);
    if (id == 0) {
        // Never opened: let go of SDL's audio, so the next try picks its driver afresh (a
        // sound server may come up where only a fallback driver answered before).
        if (!d.everOpened) {
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            d.inited = false;
        }
        return;
    }
    bool run;
    {
        std::lock_guard<std::mutex> l(d.lock);
        d.sdl = id;
        d.silentLooks = 0;
        d.clock.restart();
        d.silence = have.silence;
        const char* driver = SDL_GetCurrentAudioDriver();
        d.reopenAfterStall = d.capture && driver && std::strcmp(driver, "pulseaudio") == 0;
        run = !d.capture || d.started;
    }
    d.lost = false;
    if (run)
        SDL_PauseAudioDevice(id, 0);
    qmWaveCountReopen();
    if (!d.everOpened)
        std::fprintf(stderr, "sound: a %s device is there now\n", what);
    else if (!stalled)
        std::fprintf(stderr, "sound: the %s device is back\n", what);
    d.everOpened = true;
}

void notifyLoop(std::shared_ptr<WaveDevice> dp)
{
    WaveDevice& d = *dp;
#if SDL_VERSION_ATLEAST(2, 0, 16)
    // SDL keeps per-thread data (its error text) for threads it did not start until told.
    struct TlsCleanup {
        ~TlsCleanup() { SDL_TLSCleanup(); }
    } tlsCleanup;
#endif
    // Like a driver's callback thread: real-time, or else as high as SDL gets it (a lower
    // nice value, through RealtimeKit where the user may not set it).
    if (!(d.realtime && makeCallingThreadRealtime()))
        SDL_SetThreadPriority(SDL_THREAD_PRIORITY_HIGH);
    const UINT openMsg = d.capture ? MM_WIM_OPEN : MM_WOM_OPEN;
    const UINT dataMsg = d.capture ? MM_WIM_DATA : MM_WOM_DONE;
    const UINT closeMsg = d.capture ? MM_WIM_CLOSE : MM_WOM_CLOSE;
    std::unique_lock<std::mutex> lk(d.lock);
    // Looked at on a clock of its own: a lost device may keep SDL's periods (and so the
    // blocks) going, with nothing heard or recorded.
    auto nextWatch = std::chrono::steady_clock::now() + kDeviceCheck;
    for (;;) {
        d.wake.wait_until(lk, nextWatch, [&] { return d.openPending || d.doneHead || d.closing || d.stalled; });
        if (!d.closing && (d.stalled || std::chrono::steady_clock::now() >= nextWatch)) {
            nextWatch = std::chrono::steady_clock::now() + kDeviceCheck;
            lk.unlock();
            watchDevice(d);
            lk.lock();
            continue;
        }
        if (!d.openPending && !d.doneHead && !d.closing)
            continue;
        UINT msg;
        WAVEHDR* h = nullptr;
        if (d.openPending) {
            d.openPending = false;
            msg = openMsg;
        } else if (d.doneHead) {
            h = popFront(d.doneHead, d.doneTail);
            h->dwFlags = (h->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
            msg = dataMsg;
        } else {
            msg = closeMsg;
        }
        lk.unlock();
        if (d.callback) {
            if (d.capture)
                reinterpret_cast<InProc>(d.callback)(reinterpret_cast<HWAVEIN>(d.handle), msg, d.instance,
                                                      reinterpret_cast<DWORD_PTR>(h), 0);
            else
                reinterpret_cast<OutProc>(d.callback)(reinterpret_cast<HWAVEOUT>(d.handle), msg, d.instance,
                                                       reinterpret_cast<DWORD_PTR>(h), 0);
        }
        lk.lock();
        if (h)
            ++d.delivered;
        if (msg == closeMsg) {
            d.threadEnded = true;
            d.progress.notify_all();
            return;
        }
        d.progress.notify_all();
    }
}

bool formatSupported(const WAVEFORMATEX& f)
{
    if (f.wFormatTag != WAVE_FORMAT_PCM)
        return false;
    if (f.nChannels < 1 || f.nChannels > kMaxChannels)
        return false;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16)
        return false;
    if (f.nSamplesPerSec < kMinRate || f.nSamplesPerSec > kMaxRate)
        return false;
    if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8)
        return false;
    return f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

// SDL's disk and dummy drivers stand for a file or nothing: a device there that cannot open
// will not appear later. Any other driver may have one soon (a server starting, a card plugged in).
bool devicesComeAndGo()
{
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return !driver || (std::strcmp(driver, "disk") != 0 && std::strcmp(driver, "dummy") != 0);
}

MMRESULT openDevice(bool capture, void** phandle, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags)
{
    if (deviceId != WAVE_MAPPER && deviceId != 0)
        return MMSYSERR_BADDEVICEID;
    if (!format)
        return MMSYSERR_INVALPARAM;
    const DWORD kind = flags & CALLBACK_TYPEMASK;
    if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION)
        return MMSYSERR_NOTSUPPORTED;
    if (kind == CALLBACK_FUNCTION && !callback)
        return MMSYSERR_INVALPARAM;
    if (!formatSupported(*format))
        return WAVERR_BADFORMAT;
    if (flags & WAVE_FORMAT_QUERY)
        return MMSYSERR_NOERROR;
    if (!phandle)
        return MMSYSERR_INVALPARAM;
    *phandle = nullptr;

    qmWaveRegisterStatsPrinter();
    auto d = std::make_shared<WaveDevice>();
    d->capture = capture;
    // SDL's disk driver may run unpaced, as fast as it can: a real-time thread that never
    // waits would starve the machine.
    d->realtime = devicesComeAndGo();
    d->callback = kind == CALLBACK_FUNCTION ? callback : 0;
    d->instance = instance;

    const char* what = capture ? "recording" : "playback";
    SDL_AudioSpec& want = d->want;
    want.freq = static_cast<int>(format->nSamplesPerSec);
    want.format = format->wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16SYS;
    want.channels = static_cast<Uint8>(format->nChannels);
    want.callback = audioCallback;
    want.userdata = d.get();
    d->frameBytes = format->nBlockAlign;
    d->rate = format->nSamplesPerSec;
    d->clock = DeviceClock(capture ? DeviceClock::Side::Capture : DeviceClock::Side::Playback, d->rate);
    if (capture) {
        d->heldCapacity = static_cast<size_t>(kCaptureHoldSeconds * d->rate) * d->frameBytes;
        d->held.reset(new uint8_t[d->heldCapacity]);
    }
    Backend& b = backend();
    char reason[256] = "";
    if (probeSoundServer(kServerProbeMs) == SoundServer::Starting) {
        std::snprintf(reason, sizeof reason, ": the sound server is still starting");
    } else {
        std::lock_guard<std::mutex> g(b.sdlLock);
        prepareSdlAudio();
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            std::snprintf(reason, sizeof reason, ": %s", SDL_GetError());
        } else {
            SDL_AudioSpec have = {};
            want.samples = sdlBufferFrames(d->rate, SDL_GetCurrentAudioDriver());
            // No allowed changes: SDL converts between this format and the hardware's.
            d->sdl = SDL_OpenAudioDevice(nullptr, capture ? 1 : 0, &want, &have, 0);
            const char* driver = SDL_GetCurrentAudioDriver();
            if (d->sdl == 0) {
                std::snprintf(reason, sizeof reason, " (%s): %s", driver ? driver : "no driver", SDL_GetError());
                SDL_QuitSubSystem(SDL_INIT_AUDIO);
            } else {
                d->inited = true;
                d->everOpened = true;
                d->silence = have.silence;
                d->reopenAfterStall = capture && driver && std::strcmp(driver, "pulseaudio") == 0;
            }
        }
    }
    if (!d->everOpened) {
        if (!devicesComeAndGo()) {
            std::fprintf(stderr, "sound: cannot open the default %s device%s\n", what, reason);
            return MMSYSERR_BADDEVICEID;
        }
        // Opened without a device, as if it had gone away: the notification thread looks for one.
        std::fprintf(stderr, "sound: cannot open the default %s device%s; waiting for one\n", what, reason);
        d->lost = true;
        d->nextReopen = std::chrono::steady_clock::now() + kReopenRetry;
    }

    {
        std::lock_guard<std::mutex> g(b.registryLock);
        d->handle = b.nextHandle++;
    }
    {
        std::lock_guard<std::mutex> g(d->lock);
        d->thread = std::thread(notifyLoop, d);
        d->threadId = d->thread.get_id();
    }
    // Playback runs from open on, silent until a block is written; capture waits for waveInStart.
    if (!capture && d->sdl)
        SDL_PauseAudioDevice(d->sdl, 0);
    {
        std::lock_guard<std::mutex> g(b.registryLock);
        b.devices[d->handle] = d;
    }
    *phandle = reinterpret_cast<void*>(d->handle);
    return MMSYSERR_NOERROR;
}

MMRESULT closeDevice(const void* handle, bool capture)
{
    std::shared_ptr<WaveDevice> d = find(handle, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    std::unique_lock<std::mutex> ctl(d->control);
    {
        std::lock_guard<std::mutex> g(d->lock);
        if (d->closing)
            return MMSYSERR_INVALHANDLE;
        if (d->head || d->doneHead)
            return WAVERR_STILLPLAYING;
        d->closing = true;
        d->started = false;
    }
    {
        Backend& b = backend();
        std::lock_guard<std::mutex> g(b.registryLock);
        b.devices.erase(d->handle);
    }
    {
        Backend& b = backend();
        std::lock_guard<std::mutex> g(b.sdlLock);
        if (d->sdl)
            SDL_CloseAudioDevice(d->sdl);
        if (d->inited)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    ctl.unlock();

    std::unique_lock<std::mutex> lk(d->lock);
    d->wake.notify_one();
    const bool self = std::this_thread::get_id() == d->threadId;
    if (!self)
        d->progress.wait_for(lk, kNotifyWait, [&] { return d->threadEnded; });
    const bool ended = d->threadEnded;
    lk.unlock();
    // A thread still inside a notification (or this very thread) finishes on its own;
    // it holds its own reference to the device.
    if (ended && !self)
        d->thread.join();
    else
        d->thread.detach();
    return MMSYSERR_NOERROR;
}

MMRESULT checkHeader(LPWAVEHDR h, UINT size)
{
    if (!h || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

MMRESULT prepare(const void* handle, bool capture, LPWAVEHDR h, UINT size)
{
    std::shared_ptr<WaveDevice> d = find(handle, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = checkHeader(h, size))
        return r;
    std::lock_guard<std::mutex> g(d->lock);
    if (d->closing)
        return MMSYSERR_INVALHANDLE;
    if (h->dwFlags & WHDR_PREPARED)
        return MMSYSERR_NOERROR;
    // An empty block would come back at once, forever.
    if (!h->lpData || h->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    h->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT unprepare(const void* handle, bool capture, LPWAVEHDR h, UINT size)
{
    std::shared_ptr<WaveDevice> d = find(handle, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = checkHeader(h, size))
        return r;
    std::lock_guard<std::mutex> g(d->lock);
    if (d->closing)
        return MMSYSERR_INVALHANDLE;
    if (h->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    h->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT submit(const void* handle, bool capture, LPWAVEHDR h, UINT size)
{
    std::shared_ptr<WaveDevice> d = find(handle, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = checkHeader(h, size))
        return r;
    std::lock_guard<std::mutex> g(d->lock);
    if (d->closing)
        return MMSYSERR_INVALHANDLE;
    if (!(h->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (h->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    if (!h->lpData || h->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    h->dwFlags = (h->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
    h->reserved = 0;
    if (capture)
        h->dwBytesRecorded = 0;
    else
        d->streaming = true;
    append(d->head, d->tail, h);
    // What capture kept while no block was queued goes in at once.
    if (capture && d->heldLength > 0) {
        d->dropping = false;
        if (drainHeld(*d))
            d->wake.notify_one();
    }
    return MMSYSERR_NOERROR;
}

// Returns every queued block (capture: what it holds so far) and waits until each has been notified.
MMRESULT reset(const void* handle, bool capture)
{
    std::shared_ptr<WaveDevice> d = find(handle, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    uint64_t target;
    {
        // Not held while waiting below: a notification may itself call start or reset.
        std::lock_guard<std::mutex> ctl(d->control);
        {
            std::lock_guard<std::mutex> g(d->lock);
            if (d->closing)
                return MMSYSERR_INVALHANDLE;
            d->started = false;
            d->streaming = false;
            d->dropping = false;
            d->heldStart = 0;
            d->heldLength = 0;
            d->moved = 0;
            d->lastMoved = 0;
            d->lastLength = 0;
            d->clock.restart();
            while (d->head)
                finishHead(*d);
            target = d->finished;
        }
        if (capture)
            SDL_PauseAudioDevice(d->sdl, 1);
    }
    d->wake.notify_one();
    if (std::this_thread::get_id() == d->threadId)
        return MMSYSERR_NOERROR;
    std::unique_lock<std::mutex> lk(d->lock);
    d->progress.wait_for(lk, kNotifyWait, [&] { return d->delivered >= target || d->threadEnded; });
    return MMSYSERR_NOERROR;
}

// Any thread, also inside a notification; takes the device lock for a moment.
MMRESULT position(const void* handle, bool capture, LPMMTIME t, UINT size)
{
    std::shared_ptr<WaveDevice> d = find(handle, capture);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (!t || size < sizeof(MMTIME))
        return MMSYSERR_INVALPARAM;
    uint64_t bytes;
    {
        std::lock_guard<std::mutex> g(d->lock);
        if (d->closing)
            return MMSYSERR_INVALHANDLE;
        // Capture: what is held for the next block was recorded too.
        bytes = d->moved + d->heldLength;
        // Within a period: capture is recording into the head block (or what holds input
        // for it), playback is still playing what SDL took last. A device's clock says how
        // far; without one, the time since the last period does, up to that period.
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - d->lastCall).count();
        const uint64_t since = static_cast<uint64_t>(seconds * d->rate) * d->frameBytes;
        const bool clocked = d->clock.known();
        const double clockBytes = clocked ? std::floor(d->clock.at(steadySeconds(now))) * d->frameBytes : 0;
        // Bounds on how far the clock may stand from the data: a device that stopped moving
        // any (a stalled server) has stopped its clock too. Capture just after a stall, whose
        // data the server may have dropped, no further than a period: read off the old bounds,
        // a reading ran 26-40 ms long, and the stream cut that out of the voice, then added
        // it back as silence.
        const uint64_t periods = capture && d->clock.unsure() ? 1 : kClockReach;
        const double reach = static_cast<double>(periods * d->lastLength);
        if (capture && d->started && (d->head || d->heldLength < d->heldCapacity) && d->lastLength > 0)
            bytes += clocked ? static_cast<uint64_t>(std::clamp(clockBytes - static_cast<double>(bytes), 0.0, reach))
                             : std::min(since, d->lastLength);
        else if (!capture)
            bytes -= clocked ? static_cast<uint64_t>(std::clamp(static_cast<double>(bytes) - clockBytes, 0.0,
                                                                std::min(reach, static_cast<double>(bytes))))
                             : d->lastMoved - std::min(since, d->lastMoved);
    }
    const uint64_t frames = bytes / d->frameBytes;
    // DWORD positions wrap, as WinMM's do; callers take differences.
    switch (t->wType) {
    case TIME_SAMPLES:
        t->u.sample = static_cast<DWORD>(frames);
        break;
    case TIME_MS:
        t->u.ms = static_cast<DWORD>(frames * 1000 / d->rate);
        break;
    default:
        t->wType = TIME_BYTES;
        t->u.cb = static_cast<DWORD>(bytes);
        break;
    }
    return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT WINAPI waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return openDevice(true, reinterpret_cast<void**>(phwi), uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
}

MMRESULT WINAPI waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return openDevice(false, reinterpret_cast<void**>(phwo), uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
}

MMRESULT WINAPI waveInClose(HWAVEIN hwi) { return closeDevice(hwi, true); }
MMRESULT WINAPI waveOutClose(HWAVEOUT hwo) { return closeDevice(hwo, false); }

MMRESULT WINAPI waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) { return prepare(hwi, true, pwh, cbwh); }
MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return prepare(hwo, false, pwh, cbwh);
}

MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return unprepare(hwi, true, pwh, cbwh);
}
MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return unprepare(hwo, false, pwh, cbwh);
}

MMRESULT WINAPI waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) { return submit(hwi, true, pwh, cbwh); }
MMRESULT WINAPI waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) { return submit(hwo, false, pwh, cbwh); }

MMRESULT WINAPI waveInStart(HWAVEIN hwi)
{
    std::shared_ptr<WaveDevice> d = find(hwi, true);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> ctl(d->control);
    {
        std::lock_guard<std::mutex> g(d->lock);
        if (d->closing)
            return MMSYSERR_INVALHANDLE;
        d->started = true;
        d->dropping = false;
        d->lastLength = 0;  // the pause before this start is not a stall
        d->clock.restart();
        d->silentLooks = 0;
    }
    SDL_PauseAudioDevice(d->sdl, 0);
    return MMSYSERR_NOERROR;
}

// Stops filling; a partly filled block comes back with what it holds, the rest stay queued.
MMRESULT WINAPI waveInStop(HWAVEIN hwi)
{
    std::shared_ptr<WaveDevice> d = find(hwi, true);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> ctl(d->control);
    {
        std::lock_guard<std::mutex> g(d->lock);
        if (d->closing)
            return MMSYSERR_INVALHANDLE;
        d->started = false;
        // What was recorded before the stop is kept where a block takes it; the rest goes.
        drainHeld(*d);
        d->heldStart = 0;
        d->heldLength = 0;
        if (d->head && d->head->reserved > 0)
            finishHead(*d);
    }
    SDL_PauseAudioDevice(d->sdl, 1);
    d->wake.notify_one();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveInReset(HWAVEIN hwi) { return reset(hwi, true); }
MMRESULT WINAPI waveOutReset(HWAVEOUT hwo) { return reset(hwo, false); }

MMRESULT WINAPI waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt) { return position(hwi, true, pmmt, cbmmt); }
MMRESULT WINAPI waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt)
{
    return position(hwo, false, pmmt, cbmmt);
}
