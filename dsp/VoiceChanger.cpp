#include "dsp/VoiceChanger.h"

#include "dsp/detectPeriod.h"
#include "dsp/rdft.h"

#include <algorithm>
#include <cmath>

namespace {

double clampSetting(double v, double lo, double hi, double neutral)
{
    if (std::isnan(v))
        return neutral;
    return std::min(std::max(v, lo), hi);
}

}  // namespace

VoiceChanger::VoiceChanger() : writePos(0), inputPtr(nullptr), outputPtr(nullptr)
{
    analysisFft.init(kAnalysisSize);
    periodFft.init(kPeriodSize);
    history.alloc(kHistorySize);
    outBuffer.alloc(kHistorySize);
    periodBuffer.alloc(kScratchSize);
    spectrumBuffer.alloc(kScratchSize);
    inputPtr = history.data.get() + kBlockSize;
    outputPtr = outBuffer.data.get();
}

void VoiceChanger::process(double pitchExponent, double formantRatio, double gain)
{
    constexpr int32_t N = kPeriodSize;
    constexpr int32_t H = kPeriodSize / 2;  // harmonics 1 .. H-1

    pitchExponent = clampSetting(pitchExponent, kMinPitchExponent, kMaxPitchExponent, 0);
    formantRatio = clampSetting(formantRatio, kMinFormantRatio, kMaxFormantRatio, 1);

    double* hist = history.data.get();
    double* out = outBuffer.data.get();
    double* period = periodBuffer.data.get();
    double* mag = spectrumBuffer.data.get();
    int* ip = periodFft.workArea.data.get();
    double* w = periodFft.table.data.get();

    const double c = std::pow(2.0, pitchExponent);  // period scale: pitch divided by c
    std::copy(hist, hist + kHistorySize, out);
    const int32_t e = detectPeriod(analysisFft, out);
    const int32_t count = static_cast<int32_t>(e * c);
    const double f = c * formantRatio;  // harmonic-number stretch
    const int32_t limit = std::min(f < 1 ? static_cast<int32_t>(N * f) : N, H);
    // f is fixed for the block: work out the source harmonic of each output one once.
    int16_t source[H];
    for (int32_t i = 1; i < limit; ++i)
        source[i] = static_cast<int16_t>(i / f);

    while (writePos < kBlockSize) {
        // Average of the two input periods from writePos, resampled to N points.
        for (int32_t i = 0; i < N; ++i) {
            const int32_t k = i * e / N;
            period[i] = 0.5 * (hist[writePos + k] + hist[writePos + e + k]);
        }
        rdft(N, 1, period, ip, w);

        // Harmonic amplitudes (scaled by 2/N so a unit sine gives 1).
        mag[0] = 0;
        for (int32_t i = 1; i < H; ++i) {
            const double re = period[2 * i], im = period[2 * i + 1];
            mag[i] = re * re + im * im;
        }
        for (int32_t i = 1; i < H; ++i)
            mag[i] = std::sqrt(mag[i]) * (2.0 / N);
        std::fill(mag + H, mag + N, 0.0);

        // Harmonic i takes the amplitude of input harmonic i / f, in sine phase.
        std::fill(period, period + N, 0.0);
        for (int32_t i = 1; i < limit; ++i)
            period[2 * i + 1] = mag[source[i]];
        rdft(N, -1, period, ip, w);

        // Resample to count samples: this is what moves the pitch.
        for (int32_t j = 0; j < count; ++j)
            hist[writePos + j] = period[N * j / count];
        writePos += count;
    }

    for (int32_t i = 0; i < kBlockSize; ++i)
        out[i] = gain * hist[i];
    std::copy(hist + kBlockSize, hist + kHistorySize, hist);
    writePos %= kBlockSize;
}
