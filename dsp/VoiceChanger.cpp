#include "dsp/VoiceChanger.h"

#include "dsp/detectPeriod.h"
#include "dsp/rdft.h"
#include "dsp/spectrumKernels.h"

#include <algorithm>
#include <cmath>

namespace {

// sin(2 pi t / N) for the direct synthesis of short periods.
struct SineTable {
    double s[VoiceChanger::kPeriodSize];
    SineTable()
    {
        constexpr int32_t N = VoiceChanger::kPeriodSize;
        const double step = 2 * std::acos(-1.0) / N;
        for (int32_t t = 0; t < N; ++t)
            s[t] = std::sin(step * t);
    }
};
const SineTable kSine;

// Below this many (harmonic, sample) terms a direct sine sum over the samples that
// are written beats the inverse transform of the whole period (measured).
constexpr int32_t kDirectSynthesisTerms = 2048;

// Two doubles per vector (SSE2 on x86-64, NEON on ARM64).
typedef double pair __attribute__((vector_size(16)));

// Capture of a short period: input sample k (the sum of the two periods) fills the
// points from runStart[k] on; each run is written as P pairs, the next run
// overwriting what lies past its start.
template <int P>
inline void fillRuns(double* period, const double* first, const double* second, const int16_t* runStart, int32_t e)
{
    for (int32_t k = 0; k < e; ++k) {
        const double v = first[k] + second[k];
        const pair vv{v, v};
        double* p = period + runStart[k];
        for (int t = 0; t < P; ++t)
            __builtin_memcpy(p + 2 * t, &vv, sizeof vv);
    }
}

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

    // e, count and f are fixed for the block, so every index is worked out once.
    // Capture positions in the input period:
    int16_t capture[N];
    for (int32_t i = 0; i < N; ++i)
        capture[i] = static_cast<int16_t>(i * e / N);
    // Only the input harmonics some output harmonic reads need a magnitude: need[]
    // lists them (in increasing order, as i / f is monotonic; divided by fold below),
    // slot[i] says which one output harmonic i takes, slot 0 standing for silence.
    int16_t need[H];
    int16_t slot[H];
    int32_t needCount = 0;
    for (int32_t i = 1; i < limit; ++i) {
        const int32_t s = static_cast<int32_t>(i / f);
        if (s < 1 || s >= H) {
            slot[i] = 0;
            continue;
        }
        if (needCount == 0 || need[needCount - 1] != s)
            need[needCount++] = static_cast<int16_t>(s);
        slot[i] = static_cast<int16_t>(needCount);
    }
    // Short input periods: each captured sample fills a run of at least three of
    // the N points, so the capture writes runs (input sample k covers points
    // ceil(k N / e) .. ceil((k + 1) N / e) - 1), each as up to ten points from its
    // start: the next run overwrites the excess (periodBuffer has room past N).
    const int32_t maxRun = (N + e - 1) / e;
    const bool captureRuns = maxRun >= 3;
    int16_t runStart[N];
    if (captureRuns) {
        // ceil(k N / e) step by step (no division per point)
        const int32_t step = N / e, rest = N % e;
        int32_t q = 0, r = 0;  // k N = q e - r with 0 <= r < e
        for (int32_t k = 0; k < e; ++k) {
            runStart[k] = static_cast<int16_t>(q);
            q += step;
            r -= rest;
            if (r < 0) {
                r += e;
                ++q;
            }
        }
    }
    // need[] is often a plain range (every input harmonic from need[0] on is read).
    // When every harmonic read is a multiple of fold (a power of two: a pitch shift
    // up with the formants kept gives s = 2i or 4i), the N-point spectrum at those
    // harmonics is the (N / fold)-point spectrum of the period folded onto itself,
    // X[fold m] = sum_j (sum_q x[j + q N / fold]) e^(2 pi i m j / (N / fold)): a
    // transform of half or a quarter of the size, same values to rounding.
    int32_t needBits = 0;
    for (int32_t m = 0; m < needCount; ++m)
        needBits |= need[m];
    const int32_t fold = std::min(needBits == 0 ? 1 : (needBits & -needBits), int32_t{16});
    const int32_t analysisSize = N / fold;
    for (int32_t m = 0; m < needCount; ++m)
        need[m] = static_cast<int16_t>(need[m] >> __builtin_ctz(static_cast<unsigned>(fold)));  // folded index
    const bool needRange = needCount > 0 && need[needCount - 1] - need[0] == needCount - 1;
    // Output harmonic i takes magnitude i (formant stretch 1 with nothing folded away).
    bool slotIsIndex = true;
    for (int32_t i = 1; i < limit && slotIsIndex; ++i)
        slotIsIndex = slot[i] == i;
    // Resampling positions of the written period:
    int16_t resample[2 * kBlockSize];
    {
        // trunc(N j / count) step by step (no division per sample)
        const int32_t step = N / count, rest = N % count;
        int32_t q = 0, r = 0;  // N j = q count + r with 0 <= r < count
        for (int32_t j = 0; j < count; ++j) {
            resample[j] = static_cast<int16_t>(q);
            q += step;
            r += rest;
            if (r >= count) {
                r -= count;
                ++q;
            }
        }
    }
    for (int32_t j = count; j < count + 7; ++j)  // read, not written, by the direct synthesis
        resample[j] = 0;
    // Output harmonics that carry an amplitude, for the direct synthesis.
    int16_t harmonic[H];
    int16_t harmonicSlot[H];
    int32_t harmonicCount = 0;
    for (int32_t i = 1; i < limit; ++i) {
        if (slot[i] != 0) {
            harmonic[harmonicCount] = static_cast<int16_t>(i);
            harmonicSlot[harmonicCount++] = slot[i];
        }
    }
    const bool direct = harmonicCount * count <= kDirectSynthesisTerms;
    // The sine values the direct synthesis reads, fixed for the block:
    // sines[m * sineStride + j] = sin(2 pi harmonic[m] resample[j] / N), for j up to
    // count rounded up to eight (resample is 0 past count).
    const int32_t sineStride = (count + 7) & ~7;
    double sines[kDirectSynthesisTerms + 7 * H];
    if (direct) {
        for (int32_t m = 0; m < harmonicCount; ++m) {
            const int32_t i = harmonic[m];
            for (int32_t j = 0; j < sineStride; ++j)
                sines[m * sineStride + j] = kSine.s[(i * resample[j]) & (N - 1)];
        }
    }

    while (writePos < kBlockSize) {
        // Sum of the two input periods from writePos, resampled to N points; the
        // average's factor 1/2 is folded into the 2/N below (exact: powers of two).
        const double* first = hist + writePos;
        const double* second = first + e;
        double* dst = hist + writePos;
        // Two silent input periods give a silent output period (every transform of
        // zeros is zeros): nothing to compute.
        int32_t nonzero = 0;
        while (nonzero < 2 * e && first[nonzero] == 0)
            ++nonzero;
        if (nonzero == 2 * e) {
            std::fill(dst, dst + count, 0.0);
            writePos += count;
            continue;
        }
        if (captureRuns) {
            switch ((maxRun + 1) / 2) {  // 2 .. 5 pairs cover a run (e >= 60)
            case 2:
                fillRuns<2>(period, first, second, runStart, e);
                break;
            case 3:
                fillRuns<3>(period, first, second, runStart, e);
                break;
            case 4:
                fillRuns<4>(period, first, second, runStart, e);
                break;
            default:
                fillRuns<5>(period, first, second, runStart, e);
                break;
            }
        } else {
            for (int32_t i = 0; i < N; ++i)
                period[i] = first[capture[i]] + second[capture[i]];
        }
        if (fold > 1) {
            for (int32_t j = 0; j < analysisSize; ++j) {
                double v = period[j];
                for (int32_t q = 1; q < fold; ++q)
                    v += period[j + q * analysisSize];
                period[j] = v;
            }
        }
        rdft(analysisSize, 1, period, ip, w);

        // Harmonic amplitudes (scaled so that a unit sine gives 1).
        // One pass: a second pass reading these as vectors right after they were
        // stored one by one would stall on store forwarding.
        mag[0] = 0;
        if (needRange) {
            spectrumMagnitudes(period + 2 * need[0], needCount, 1.0 / N, mag + 1);
        } else {
            // Gather the harmonics read into a packed run past the N elements in use.
            double* packed = mag + N;
            for (int32_t m = 0; m < needCount; ++m) {
                packed[2 * m] = period[2 * need[m]];
                packed[2 * m + 1] = period[2 * need[m] + 1];
            }
            spectrumMagnitudes(packed, needCount, 1.0 / N, mag + 1);
        }

        if (direct) {
            // Only count of the N synthesised samples are read: sum their sines directly.
            double amp[H];
            for (int32_t m = 0; m < harmonicCount; ++m)
                amp[m] = mag[harmonicSlot[m]];
            sineSums(sines, sineStride, amp, harmonicCount, count, dst);
            writePos += count;
            continue;
        }

        // Harmonic i takes the amplitude of input harmonic i / f, in sine phase. The
        // inverse transform of a sine-only spectrum is odd, y[N - j] = -y[j], and its
        // first half is the sine transform S[j] = sum_i B[i] sin(pi i j / H) of H
        // points, computed through a real transform of H points (the sine transform
        // of Numerical Recipes' sinft): half the transform, same result to rounding.
        const int32_t written = std::max(limit, int32_t{1});
        double* f = period;
        f[0] = 0;
        if (slotIsIndex)
            std::copy(mag + 1, mag + written, f + 1);
        else
            for (int32_t i = 1; i < written; ++i)
                f[i] = mag[slot[i]];
        std::fill(f + written, f + H + 1, 0.0);
        for (int32_t i = 1; i < H / 2; ++i) {
            const double u = f[i], v = f[H - i];
            const double y1 = kSine.s[i] * (u + v), y2 = 0.5 * (u - v);  // sin(pi i / H)
            f[i] = y1 + y2;
            f[H - i] = y1 - y2;
        }
        f[H / 2] *= 2;
        rdft(H, 1, f, ip, w);
        // From the packed spectrum F: S[2k] = Im F[k], S[2k+1] = F[0]/2 + sum_{0<l<=k} Re F[l].
        // The running sum in four independent quarters, each then offset by the
        // sums before it: four short dependency chains instead of one long one.
        f[0] *= 0.5;
        f[1] = 0;
        {
            constexpr int32_t Q = H / 8;  // pairs (Re, Im) per quarter
            double* q0 = f;
            double* q1 = f + 2 * Q;
            double* q2 = f + 4 * Q;
            double* q3 = f + 6 * Q;
            double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
            for (int32_t t = 0; t < 2 * Q; t += 2) {
                s0 += q0[t];
                q0[t] = q0[t + 1];
                q0[t + 1] = s0;
                s1 += q1[t];
                q1[t] = q1[t + 1];
                q1[t + 1] = s1;
                s2 += q2[t];
                q2[t] = q2[t + 1];
                q2[t + 1] = s2;
                s3 += q3[t];
                q3[t] = q3[t + 1];
                q3[t + 1] = s3;
            }
            const double o1 = s0, o2 = s0 + s1, o3 = o2 + s2;
            for (int32_t t = 1; t < 2 * Q; t += 2) {
                q1[t] += o1;
                q2[t] += o2;
                q3[t] += o3;
            }
        }
        f[H] = 0;  // y[H] = sin(pi i) terms

        // Resample to count samples: this is what moves the pitch. Positions from H
        // on read the mirrored first half.
        int32_t j = 0;
        for (; j < count && resample[j] <= H; ++j)
            dst[j] = f[resample[j]];
        for (; j < count; ++j)
            dst[j] = -f[N - resample[j]];
        writePos += count;
    }

    for (int32_t i = 0; i < kBlockSize; ++i)
        out[i] = gain * hist[i];
    std::copy(hist + kBlockSize, hist + kHistorySize, hist);
    writePos %= kBlockSize;
}
