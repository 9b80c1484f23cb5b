#include "platform/wave_stats.h"
#include "platform/wave_host.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Plain atomics with trivial destructors: safe to read from an exit handler while threads run.
std::atomic<uint64_t> gUnderruns{0};
std::atomic<uint64_t> gOverruns{0};
std::atomic<uint64_t> gReopens{0};
std::atomic<uint64_t> gRestorations{0};

void printStats()
{
    const QmWaveStats s = qmWaveStats();
    const auto n = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    if (kHostCountsUnderruns)
        std::fprintf(stderr, "sound: %llu underruns, %llu overruns, %llu cushion restorations, %llu device reopenings\n",
                     n(s.underruns), n(s.overruns), n(s.restorations), n(s.reopens));
    else
        std::fprintf(stderr,
                     "sound: %llu underruns, %llu cushion restorations, %llu device reopenings (WinMM counts no overruns; "
                     "the underruns are the gaps the stream read)\n",
                     n(s.underruns), n(s.restorations), n(s.reopens));
}

}  // namespace

QmWaveStats qmWaveStats()
{
    return {gUnderruns.load(std::memory_order_relaxed), gOverruns.load(std::memory_order_relaxed),
            gReopens.load(std::memory_order_relaxed), gRestorations.load(std::memory_order_relaxed)};
}

void qmWaveCountUnderrun() { gUnderruns.fetch_add(1, std::memory_order_relaxed); }
void qmWaveCountOverrun() { gOverruns.fetch_add(1, std::memory_order_relaxed); }
void qmWaveCountReopen() { gReopens.fetch_add(1, std::memory_order_relaxed); }
void qmWaveCountRestoration() { gRestorations.fetch_add(1, std::memory_order_relaxed); }

// At exit rather than at the last close: a program may open and close devices many times.
void qmWaveRegisterStatsPrinter()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const char* v = std::getenv("QUILLMORPH_AUDIO_STATS");
        if (v && std::strcmp(v, "1") == 0)
            std::atexit(printStats);
    });
}
