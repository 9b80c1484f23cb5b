// The PulseAudio client library is loaded at run time, as SDL loads it: a machine without it
// still runs the program (with whatever driver SDL picks instead).

#include "platform/sound_server.h"

#include <cstdlib>
#include <cstring>

#if defined(__linux__) && __has_include(<pulse/pulseaudio.h>) && __has_include(<dlfcn.h>)
#include <chrono>
#include <dlfcn.h>
#include <pulse/pulseaudio.h>

namespace {

struct PulseLib {
    decltype(&pa_mainloop_new) mainloopNew;
    decltype(&pa_mainloop_free) mainloopFree;
    decltype(&pa_mainloop_get_api) mainloopApi;
    decltype(&pa_mainloop_prepare) mainloopPrepare;
    decltype(&pa_mainloop_poll) mainloopPoll;
    decltype(&pa_mainloop_dispatch) mainloopDispatch;
    decltype(&pa_context_new) contextNew;
    decltype(&pa_context_connect) contextConnect;
    decltype(&pa_context_get_state) contextState;
    decltype(&pa_context_get_server_info) serverInfo;
    decltype(&pa_context_disconnect) contextDisconnect;
    decltype(&pa_context_unref) contextUnref;
    decltype(&pa_operation_get_state) operationState;
    decltype(&pa_operation_unref) operationUnref;
};

template <typename F>
bool bind(void* lib, const char* name, F& f)
{
    f = reinterpret_cast<F>(dlsym(lib, name));
    return f != nullptr;
}

// Loaded once and never unloaded (SDL holds its own reference to the same library).
const PulseLib* pulse()
{
    static const PulseLib* lib = [] () -> const PulseLib* {
        void* h = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!h)
            return nullptr;
        static PulseLib l;
        const bool ok = bind(h, "pa_mainloop_new", l.mainloopNew) && bind(h, "pa_mainloop_free", l.mainloopFree) &&
                        bind(h, "pa_mainloop_get_api", l.mainloopApi) &&
                        bind(h, "pa_mainloop_prepare", l.mainloopPrepare) &&
                        bind(h, "pa_mainloop_poll", l.mainloopPoll) &&
                        bind(h, "pa_mainloop_dispatch", l.mainloopDispatch) &&
                        bind(h, "pa_context_new", l.contextNew) && bind(h, "pa_context_connect", l.contextConnect) &&
                        bind(h, "pa_context_get_state", l.contextState) &&
                        bind(h, "pa_context_get_server_info", l.serverInfo) &&
                        bind(h, "pa_context_disconnect", l.contextDisconnect) &&
                        bind(h, "pa_context_unref", l.contextUnref) &&
                        bind(h, "pa_operation_get_state", l.operationState) &&
                        bind(h, "pa_operation_unref", l.operationUnref);
        return ok ? &l : nullptr;
    }();
    return lib;
}

struct Defaults {
    bool answered = false;
    bool sink = false;
    bool source = false;
};

void onServerInfo(pa_context*, const pa_server_info* i, void* user)
{
    Defaults& d = *static_cast<Defaults*>(user);
    d.answered = true;
    d.sink = i && i->default_sink_name && *i->default_sink_name;
    d.source = i && i->default_source_name && *i->default_source_name;
}

}  // namespace

SoundServer probeSoundServer(int timeoutMs)
{
    // SDL uses PulseAudio only when asked to or when it picks a driver itself.
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    if (driver && *driver && std::strcmp(driver, "pulseaudio") != 0 && std::strcmp(driver, "pulse") != 0)
        return SoundServer::Unknown;
    const PulseLib* p = pulse();
    if (!p)
        return SoundServer::Unknown;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pa_mainloop* loop = p->mainloopNew();
    if (!loop)
        return SoundServer::Unknown;
    pa_context* c = p->contextNew(p->mainloopApi(loop), "Quillmorph");
    SoundServer result = SoundServer::Absent;
    // One step of the loop, waiting no later than the deadline; false once it has passed.
    auto step = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (p->mainloopPrepare(loop, static_cast<int>(left.count())) < 0 || p->mainloopPoll(loop) < 0 ||
            p->mainloopDispatch(loop) < 0)
            return false;
        return true;
    };
    if (c && p->contextConnect(c, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        pa_context_state_t s = p->contextState(c);
        while (PA_CONTEXT_IS_GOOD(s) && s != PA_CONTEXT_READY && step())
            s = p->contextState(c);
        if (s == PA_CONTEXT_READY) {
            result = SoundServer::Starting;
            Defaults d;
            pa_operation* op = p->serverInfo(c, onServerInfo, &d);
            if (op) {
                while (!d.answered && p->operationState(op) == PA_OPERATION_RUNNING && step()) {
                }
                p->operationUnref(op);
            }
            if (d.answered && d.sink && d.source)
                result = SoundServer::Ready;
        } else if (PA_CONTEXT_IS_GOOD(s)) {
            result = SoundServer::Starting;  // answers, but too slowly to be ready
        }
        p->contextDisconnect(c);
    }
    if (c)
        p->contextUnref(c);
    p->mainloopFree(loop);
    return result;
}

#else

SoundServer probeSoundServer(int)
{
    return SoundServer::Unknown;
}

#endif
