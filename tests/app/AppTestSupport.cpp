#include "AppTestSupport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace apptest {

TempWorkDir::TempWorkDir()
{
    namespace fs = std::filesystem;
    previous_ = fs::current_path().string();
    std::random_device seed;
    std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed());
    for (int attempt = 0;; ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("quillmorph-app-" + std::to_string(rng()));
        if (fs::create_directory(candidate)) {
            path_ = candidate.string();
            break;
        }
        if (attempt > 100)
            throw std::runtime_error("cannot create a temporary folder");
    }
    fs::current_path(path_);
}

TempWorkDir::~TempWorkDir()
{
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
}

bool writeSolidBmp(const std::string& file, int width, int height, uint8_t r, uint8_t g, uint8_t b)
{
    const uint32_t rowBytes = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
    const uint32_t imageBytes = rowBytes * static_cast<uint32_t>(height);
    std::vector<uint8_t> out;
    auto u16 = [&](uint32_t v) { out.push_back(v & 0xFF); out.push_back((v >> 8) & 0xFF); };
    auto u32 = [&](uint32_t v) { u16(v & 0xFFFF); u16(v >> 16); };
    out.push_back('B');
    out.push_back('M');
    u32(54 + imageBytes);
    u32(0);
    u32(54);
    u32(40);
    u32(static_cast<uint32_t>(width));
    u32(static_cast<uint32_t>(height));
    u16(1);
    u16(24);
    u32(0);
    u32(imageBytes);
    u32(2835);
    u32(2835);
    u32(0);
    u32(0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            out.push_back(b);
            out.push_back(g);
            out.push_back(r);
        }
        for (uint32_t pad = static_cast<uint32_t>(width) * 3; pad < rowBytes; ++pad)
            out.push_back(0);
    }
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<double> voicedSignal(double period, size_t start, size_t count, double peak)
{
    const double pi = 3.14159265358979323846;
    std::vector<double> x(count, 0.0);
    const int harmonics = static_cast<int>(period / 2.5);
    double norm = 0;
    for (int k = 1; k <= harmonics; ++k)
        norm += 1.0 / k;
    for (size_t i = 0; i < count; ++i) {
        double t = static_cast<double>(start + i);
        double v = 0;
        for (int k = 1; k <= harmonics; ++k) {
            // Fixed, irregular phases keep the waveform from being a symmetric pulse.
            double phase = 0.7 * k * k;
            // A broad resonance near the 3rd harmonic, like a first formant.
            double env = (1.0 / k) * (1.0 + 1.5 * std::exp(-0.5 * (k - 3.0) * (k - 3.0)));
            v += env * std::sin(2 * pi * k * t / period + phase);
        }
        x[i] = peak * v / norm;
    }
    return x;
}

double rms(const double* x, size_t n)
{
    double s = 0;
    for (size_t i = 0; i < n; ++i)
        s += x[i] * x[i];
    return n ? std::sqrt(s / n) : 0.0;
}

double estimatePeriod(const double* x, size_t n, int minLag, int maxLag)
{
    if (rms(x, n) < 1e-9 || n <= static_cast<size_t>(maxLag) + 1)
        return 0;
    std::vector<double> score(static_cast<size_t>(maxLag) + 2, 0.0);
    for (int lag = minLag - 1; lag <= maxLag + 1; ++lag) {
        if (lag < 1)
            continue;
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = 0; i + lag < n; ++i) {
            xy += x[i] * x[i + lag];
            xx += x[i] * x[i];
            yy += x[i + lag] * x[i + lag];
        }
        score[static_cast<size_t>(lag)] = (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0;
    }
    double best = -2;
    for (int lag = minLag; lag <= maxLag; ++lag)
        best = std::max(best, score[static_cast<size_t>(lag)]);
    for (int lag = minLag; lag <= maxLag; ++lag) {
        double s = score[static_cast<size_t>(lag)];
        bool peak = s >= score[static_cast<size_t>(lag) - 1] && s >= score[static_cast<size_t>(lag) + 1];
        if (peak && s >= 0.9 * best) {
            // Parabolic refinement around the integer peak.
            double a = score[static_cast<size_t>(lag) - 1], b = s, c = score[static_cast<size_t>(lag) + 1];
            double d = a - 2 * b + c;
            return lag + (d != 0 ? 0.5 * (a - c) / d : 0.0);
        }
    }
    return 0;
}

double estimatePeriod(const std::vector<double>& x, int minLag, int maxLag)
{
    return estimatePeriod(x.data(), x.size(), minLag, maxLag);
}

}  // namespace apptest
