// A pass-through stream on the default devices for bench/latency: runs until SIGTERM
// or SIGINT, or for the number of seconds given as its argument.

#include "framework/SAudioIO.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace {
std::atomic<bool> quit{false};
void onSignal(int) { quit = true; }
}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1e9;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);

    SAudioIO audio;
    audio.open(2048);
    if (!audio.inputDevice || !audio.outputDevice)
        return 1;
    audio.start();
    while (!quit && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    audio.close();
    return 0;
}
