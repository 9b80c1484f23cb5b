#pragma once
// Plain-loop references for the detector and the voice changer: naive DFTs in
// place of rdft, every step of a block written out directly. Slow and obvious.

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ref {

constexpr double kPi = 3.14159265358979323846;

// Cosine/sine of 2 pi m / n for m in [0, n), so that sums use exact index products.
struct Twiddles {
    explicit Twiddles(int n) : n(n), c(n), s(n)
    {
        for (int m = 0; m < n; ++m) {
            c[m] = std::cos(2 * kPi * m / n);
            s[m] = std::sin(2 * kPi * m / n);
        }
    }
    int n;
    std::vector<double> c, s;
};

// Correlation from the magnitude spectrum at lags [lo, hi).
inline std::vector<double> correlation(const std::vector<double>& x, int lo, int hi)
{
    const int n = static_cast<int>(x.size());
    const Twiddles t(n);
    std::vector<double> mag(n / 2, 0.0);
    for (int k = 1; k < n / 2; ++k) {
        double re = 0, im = 0;
        for (int j = 0; j < n; ++j) {
            const int m = static_cast<int>((static_cast<int64_t>(j) * k) % n);
            re += x[j] * t.c[m];
            im += x[j] * t.s[m];
        }
        mag[k] = std::sqrt(re * re + im * im);
    }
    std::vector<double> r(hi, 0.0);
    for (int j = lo; j < hi; ++j) {
        double acc = 0;
        for (int k = 1; k < n / 2; ++k)
            acc += mag[k] * t.c[(static_cast<int64_t>(j) * k) % n];
        r[j] = acc;
    }
    return r;
}

inline int detect(const std::vector<double>& x)
{
    const std::vector<double> r = correlation(x, 60, 512);
    int best = 60;
    for (int j = 60; j < 512; ++j)
        if (r[j] > r[best])
            best = j;
    return best;
}

struct VoiceChanger {
    int writePos = 0;
    int lastPeriod = 0;
    std::vector<double> history = std::vector<double>(4096, 0.0);
    std::vector<double> out = std::vector<double>(2048, 0.0);
    Twiddles tw{512};

    void process(double pitchExponent, double formantRatio, double gain)
    {
        const double c = std::pow(2.0, pitchExponent);
        const int e = detect(history);
        lastPeriod = e;
        const int count = static_cast<int>(e * c);
        const double f = c * formantRatio;
        const int limit = f < 1 ? static_cast<int>(512 * f) : 512;
        while (writePos < 2048) {
            std::vector<double> p(512);
            for (int i = 0; i < 512; ++i) {
                const int k = static_cast<int>(static_cast<double>(i) * e / 512);
                p[i] = 0.5 * (history[writePos + k] + history[writePos + e + k]);
            }
            // Amplitudes of harmonics 1..255, zero elsewhere.
            std::vector<double> amp(512, 0.0);
            for (int i = 1; i < 256; ++i) {
                double re = 0, im = 0;
                for (int j = 0; j < 512; ++j) {
                    re += p[j] * tw.c[(i * j) % 512];
                    im += p[j] * tw.s[(i * j) % 512];
                }
                re *= 2.0 / 512;
                im *= 2.0 / 512;
                amp[i] = std::sqrt(re * re + im * im);
            }
            std::vector<double> b(512, 0.0);
            for (int i = 1; i < limit; ++i)
                b[i] = amp[static_cast<int>(i / f)];
            std::vector<double> y(512, 0.0);
            for (int j = 0; j < 512; ++j)
                for (int i = 1; i < 256; ++i)
                    y[j] += b[i] * tw.s[(i * j) % 512];
            for (int j = 0; j < count; ++j)
                history[writePos + j] = y[static_cast<int>(512.0 * j / count)];
            writePos += count;
        }
        for (int i = 0; i < 2048; ++i)
            out[i] = gain * history[i];
        for (int i = 0; i < 2048; ++i)
            history[i] = history[i + 2048];
        writePos -= 2048;
    }
};

// Parallel two-pole resonators, one per formant frequency (Hz), each with pole
// radius r: the sum of src filtered through each, scaled by gain.
inline std::vector<double> formants(const std::vector<double>& src, std::initializer_list<double> centres, double r,
                                    double rate, double gain)
{
    std::vector<double> y(src.size(), 0.0);
    for (double fc : centres) {
        const double w = 2 * kPi * fc / rate;
        const double a1 = 2 * r * std::cos(w), a2 = -r * r;
        double y1 = 0, y2 = 0;
        for (size_t i = 0; i < src.size(); ++i) {
            const double v = src[i] + a1 * y1 + a2 * y2;
            y2 = y1;
            y1 = v;
            y[i] += gain * v;
        }
    }
    return y;
}

}  // namespace ref
