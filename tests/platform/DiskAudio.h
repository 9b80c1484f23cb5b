#pragma once
// SDL's disk audio driver in a private folder: capture reads raw 16-bit samples from
// in.raw, playback writes them to out.raw. Set up before the first device opens.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class DiskAudio {
public:
    std::string dir;
    std::string in;
    std::string out;

    // paced: real time, as a sound card; otherwise as fast as the threads run.
    explicit DiskAudio(bool paced)
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qm-audio-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            ADD_FAILURE() << "mkdtemp failed";
        dir = buf.data();
        in = dir + "/in.raw";
        out = dir + "/out.raw";
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILEIN", in.c_str(), 1);
        setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
        if (paced)
            unsetenv("SDL_DISKAUDIODELAY");
        else
            setenv("SDL_DISKAUDIODELAY", "0", 1);
    }

    ~DiskAudio()
    {
        std::remove(in.c_str());
        std::remove(out.c_str());
        rmdir(dir.c_str());
    }

    void writeInput(const std::vector<short>& samples) const
    {
        FILE* f = std::fopen(in.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        if (!samples.empty())
            std::fwrite(samples.data(), sizeof(short), samples.size(), f);
        std::fclose(f);
    }

    std::vector<short> readOutput() const
    {
        std::vector<short> s;
        FILE* f = std::fopen(out.c_str(), "rb");
        if (!f)
            return s;
        short buf[4096];
        size_t n;
        while ((n = std::fread(buf, sizeof(short), 4096, f)) > 0)
            s.insert(s.end(), buf, buf + n);
        std::fclose(f);
        return s;
    }

    long outputBytes() const
    {
        struct stat st;
        return stat(out.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
    }
};

// Polls until done() or the deadline; the deadline only catches hangs.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A signal with no zero sample, so silence around it is unambiguous.
inline std::vector<short> nonZeroSignal(size_t n, unsigned seed)
{
    std::vector<short> s(n);
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        short v = static_cast<short>((x >> 16) % 30000) + 1;
        s[i] = (x & 0x80000000u) ? v : static_cast<short>(-v);
    }
    return s;
}
