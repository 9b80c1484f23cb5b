#include "dsp/VoiceChanger.h"

#include "dsp/detectPeriod.h"
#include "dsp/rdft.h"
#include "dsp/spectrumKernels.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int32_t kPoints = VoiceChanger::kPeriodSize;  // points of one resampled period
constexpr int32_t kHarmonics = kPoints / 2;              // a period carries harmonics 1 .. kHarmonics - 1

// sin(2 pi t / kPoints) for the direct synthesis of short periods.
struct SineTable {
    double values[kPoints];
    SineTable()
    {
        const double step = 2 * std::acos(-1.0) / kPoints;
        for (int32_t point = 0; point < kPoints; ++point)
            values[point] = std::sin(step * point);
    }
};
const SineTable kSine;

// Below this many (harmonic, sample) terms a direct sine sum over the samples that
// are written beats the inverse transform of the whole period (measured).
constexpr int32_t kDirectSynthesisTerms = 2048;

// Two doubles per vector (SSE2 on x86-64, NEON on ARM64).
typedef double doublePair __attribute__((vector_size(16)));

double clampSetting(double value, double lo, double hi, double neutral)
{
    if (std::isnan(value))
        return neutral;
    return std::min(std::max(value, lo), hi);
}

// What every period of a block shares, worked out once per block: the input
// period, the output period and the harmonic stretch are fixed for the block, so
// every index is too. Lives on the audio thread's stack (about 40 KB).
struct BlockPlan {
    int32_t inputPeriod;   // samples, from the detector
    int32_t outputPeriod;  // samples written per period: inputPeriod scaled for the pitch
    int32_t limit;         // output harmonics 1 .. limit - 1 may carry an amplitude

    // Capture: the sum of two input periods resampled to kPoints points.
    // Long periods: the input sample each point reads.
    int16_t capture[kPoints];
    // Short periods (each input sample fills a run of three points or more): where
    // input sample k's run starts, and the longest run.
    bool captureRuns;
    int32_t maxRun;
    int16_t runStart[kPoints];

    // Analysis: only the input harmonics some output harmonic reads need a
    // magnitude. need[] lists them (increasing, as i / stretch is monotonic; divided
    // by fold), slot[i] says which one output harmonic i takes, slot 0 standing for
    // silence.
    int16_t need[kHarmonics];
    int32_t needCount;
    bool needRange;  // need[] is a plain range: every harmonic from need[0] on is read
    int16_t slot[kHarmonics];
    bool slotIsIndex;  // output harmonic i takes magnitude i
    // Every harmonic read is a multiple of fold (a power of two, at most 16), so the
    // analysis runs on the period folded onto itself, analysisSize = kPoints / fold.
    int32_t fold;
    int32_t analysisSize;

    // Synthesis: the period point each written sample reads (0 for the 7 past
    // outputPeriod, which the direct synthesis reads and does not use).
    int16_t resample[2 * VoiceChanger::kBlockSize];
    // Direct synthesis (few terms): the output harmonics that carry an amplitude,
    // their slots, and their sines at the resampled points,
    // sines[m * sineStride + j] = sin(2 pi harmonic[m] resample[j] / kPoints).
    int16_t harmonic[kHarmonics];
    int16_t harmonicSlot[kHarmonics];
    int32_t harmonicCount;
    bool direct;
    int32_t sineStride;  // outputPeriod rounded up to eight
    double sines[kDirectSynthesisTerms + 7 * kHarmonics];

    BlockPlan(int32_t inputPeriod, double periodScale, double formantRatio);

private:
    void planCapture();
    void planAnalysis(double stretch);
    void planSynthesis();
};

BlockPlan::BlockPlan(int32_t period, double periodScale, double formantRatio)
    : inputPeriod(period), outputPeriod(static_cast<int32_t>(period * periodScale))
{
    const double stretch = periodScale * formantRatio;  // harmonic-number stretch
    limit = std::min(stretch < 1 ? static_cast<int32_t>(kPoints * stretch) : kPoints, kHarmonics);
    planCapture();
    planAnalysis(stretch);
    planSynthesis();
}

void BlockPlan::planCapture()
{
    // Input sample k covers points ceil(k kPoints / inputPeriod) up to the next run's start.
    maxRun = (kPoints + inputPeriod - 1) / inputPeriod;
    captureRuns = maxRun >= 3;
    if (!captureRuns) {
        for (int32_t i = 0; i < kPoints; ++i)
            capture[i] = static_cast<int16_t>(i * inputPeriod / kPoints);
        return;
    }
    // ceil(k kPoints / inputPeriod) step by step (no division per point):
    // k kPoints = quotient inputPeriod - remainder with 0 <= remainder < inputPeriod.
    const int32_t step = kPoints / inputPeriod, rest = kPoints % inputPeriod;
    int32_t quotient = 0, remainder = 0;
    for (int32_t k = 0; k < inputPeriod; ++k) {
        runStart[k] = static_cast<int16_t>(quotient);
        quotient += step;
        remainder -= rest;
        if (remainder < 0) {
            remainder += inputPeriod;
            ++quotient;
        }
    }
}

void BlockPlan::planAnalysis(double stretch)
{
    needCount = 0;
    for (int32_t i = 1; i < limit; ++i) {
        const int32_t source = static_cast<int32_t>(i / stretch);
        if (source < 1 || source >= kHarmonics) {
            slot[i] = 0;
            continue;
        }
        if (needCount == 0 || need[needCount - 1] != source)
            need[needCount++] = static_cast<int16_t>(source);
        slot[i] = static_cast<int16_t>(needCount);
    }
    // When every harmonic read is a multiple of fold (a pitch shift up with the
    // formants kept gives 2i or 4i), the kPoints-point spectrum at those harmonics
    // is the (kPoints / fold)-point spectrum of the period folded onto itself,
    // X[fold m] = sum_j (sum_q x[j + q kPoints / fold]) e^(2 pi i m j / (kPoints / fold)):
    // a transform of half or a quarter of the size, same values to rounding.
    int32_t needBits = 0;
    for (int32_t m = 0; m < needCount; ++m)
        needBits |= need[m];
    fold = std::min(needBits == 0 ? 1 : (needBits & -needBits), int32_t{16});
    analysisSize = kPoints / fold;
    const int foldShift = __builtin_ctz(static_cast<unsigned>(fold));
    for (int32_t m = 0; m < needCount; ++m)
        need[m] = static_cast<int16_t>(need[m] >> foldShift);
    needRange = needCount > 0 && need[needCount - 1] - need[0] == needCount - 1;
    slotIsIndex = true;
    for (int32_t i = 1; i < limit && slotIsIndex; ++i)
        slotIsIndex = slot[i] == i;
}

void BlockPlan::planSynthesis()
{
    // trunc(kPoints j / outputPeriod) step by step (no division per sample):
    // kPoints j = quotient outputPeriod + remainder with 0 <= remainder < outputPeriod.
    const int32_t step = kPoints / outputPeriod, rest = kPoints % outputPeriod;
    int32_t quotient = 0, remainder = 0;
    for (int32_t j = 0; j < outputPeriod; ++j) {
        resample[j] = static_cast<int16_t>(quotient);
        quotient += step;
        remainder += rest;
        if (remainder >= outputPeriod) {
            remainder -= outputPeriod;
            ++quotient;
        }
    }
    for (int32_t j = outputPeriod; j < outputPeriod + 7; ++j)
        resample[j] = 0;
    harmonicCount = 0;
    for (int32_t i = 1; i < limit; ++i) {
        if (slot[i] != 0) {
            harmonic[harmonicCount] = static_cast<int16_t>(i);
            harmonicSlot[harmonicCount++] = slot[i];
        }
    }
    direct = harmonicCount * outputPeriod <= kDirectSynthesisTerms;
    sineStride = (outputPeriod + 7) & ~7;
    if (!direct)
        return;
    for (int32_t m = 0; m < harmonicCount; ++m) {
        const int32_t number = harmonic[m];
        for (int32_t j = 0; j < sineStride; ++j)
            sines[m * sineStride + j] = kSine.values[(number * resample[j]) & (kPoints - 1)];
    }
}

// Capture of a short period: input sample k (the sum of the two periods) fills the
// points from runStart[k] on; each run is written as Pairs pairs, the next run
// overwriting what lies past its start (the period buffer has room past kPoints).
template <int Pairs>
inline void fillRuns(double* period, const double* first, const double* second, const int16_t* runStart,
                     int32_t inputPeriod)
{
    for (int32_t k = 0; k < inputPeriod; ++k) {
        const double sum = first[k] + second[k];
        const doublePair sumTwice{sum, sum};
        double* run = period + runStart[k];
        for (int pair = 0; pair < Pairs; ++pair)
            __builtin_memcpy(run + 2 * pair, &sumTwice, sizeof sumTwice);
    }
}

// The sum of the two input periods from first, resampled to kPoints points; the
// average's factor 1/2 is folded into the magnitudes' 2/kPoints (exact: powers of two).
void capturePeriod(const BlockPlan& plan, const double* first, double* period)
{
    const double* second = first + plan.inputPeriod;
    if (!plan.captureRuns) {
        for (int32_t i = 0; i < kPoints; ++i)
            period[i] = first[plan.capture[i]] + second[plan.capture[i]];
        return;
    }
    switch ((plan.maxRun + 1) / 2) {  // 2 .. 5 pairs cover a run (input period >= 60)
    case 2:
        fillRuns<2>(period, first, second, plan.runStart, plan.inputPeriod);
        break;
    case 3:
        fillRuns<3>(period, first, second, plan.runStart, plan.inputPeriod);
        break;
    case 4:
        fillRuns<4>(period, first, second, plan.runStart, plan.inputPeriod);
        break;
    default:
        fillRuns<5>(period, first, second, plan.runStart, plan.inputPeriod);
        break;
    }
}

void foldPeriod(const BlockPlan& plan, double* period)
{
    // Part by part, each a plain vector pass; the sums keep their order (part 1 first).
    const int32_t size = plan.analysisSize;
    for (int32_t part = 1; part < plan.fold; ++part) {
        const double* from = period + part * size;
        for (int32_t j = 0; j < size; ++j)
            period[j] += from[j];
    }
}

// Amplitudes of the input harmonics read, from the analysis spectrum, into
// magnitudes[1 ..] (scaled so that a unit sine gives 1); magnitudes[0] = 0 is the
// silent slot. One pass: a second pass reading these as vectors right after they
// were stored one by one would stall on store forwarding.
void harmonicMagnitudes(const BlockPlan& plan, const double* spectrum, double* magnitudes)
{
    magnitudes[0] = 0;
    if (plan.needRange) {
        spectrumMagnitudes(spectrum + 2 * plan.need[0], plan.needCount, 1.0 / kPoints, magnitudes + 1);
        return;
    }
    // Gather the harmonics read into a packed run past the kPoints elements in use.
    double* packed = magnitudes + kPoints;
    for (int32_t m = 0; m < plan.needCount; ++m) {
        packed[2 * m] = spectrum[2 * plan.need[m]];
        packed[2 * m + 1] = spectrum[2 * plan.need[m] + 1];
    }
    spectrumMagnitudes(packed, plan.needCount, 1.0 / kPoints, magnitudes + 1);
}

// Only outputPeriod of the kPoints synthesised samples are read: sum their sines directly.
void synthesizeDirectly(const BlockPlan& plan, const double* magnitudes, double* dst)
{
    double amplitudes[kHarmonics];
    for (int32_t m = 0; m < plan.harmonicCount; ++m)
        amplitudes[m] = magnitudes[plan.harmonicSlot[m]];
    sineSums(plan.sines, plan.sineStride, amplitudes, plan.harmonicCount, plan.outputPeriod, dst);
}

// Harmonic i takes the amplitude of input harmonic i / stretch, in sine phase. The
// inverse transform of a sine-only spectrum is odd, y[kPoints - j] = -y[j], and its
// first half is the sine transform S[j] = sum_i B[i] sin(pi i j / H) of
// H = kHarmonics points, computed through a real transform of H points (the sine
// transform of Numerical Recipes' sinft): half the transform, same result to
// rounding. Leaves S[0 .. H] in half[0 .. H].
void synthesizeHalfPeriod(const BlockPlan& plan, const double* magnitudes, double* half, int* workArea,
                          double* table)
{
    const int32_t written = std::max(plan.limit, int32_t{1});
    half[0] = 0;
    if (plan.slotIsIndex)
        std::copy(magnitudes + 1, magnitudes + written, half + 1);
    else
        for (int32_t i = 1; i < written; ++i)
            half[i] = magnitudes[plan.slot[i]];
    std::fill(half + written, half + kHarmonics + 1, 0.0);
    for (int32_t i = 1; i < kHarmonics / 2; ++i) {
        const double low = half[i], high = half[kHarmonics - i];
        // kSine.values[i] = sin(pi i / kHarmonics)
        const double evenPart = kSine.values[i] * (low + high), oddPart = 0.5 * (low - high);
        half[i] = evenPart + oddPart;
        half[kHarmonics - i] = evenPart - oddPart;
    }
    half[kHarmonics / 2] *= 2;
    rdft(kHarmonics, 1, half, workArea, table);
    // From the packed spectrum F: S[2k] = Im F[k], S[2k+1] = F[0]/2 + sum_{0<l<=k} Re F[l].
    // The running sum in four independent quarters, each then offset by the
    // sums before it: four short dependency chains instead of one long one.
    half[0] *= 0.5;
    half[1] = 0;
    constexpr int32_t kQuarterPairs = kHarmonics / 8;  // pairs (Re, Im) per quarter
    double* q0 = half;
    double* q1 = half + 2 * kQuarterPairs;
    double* q2 = half + 4 * kQuarterPairs;
    double* q3 = half + 6 * kQuarterPairs;
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (int32_t re = 0; re < 2 * kQuarterPairs; re += 2) {
        s0 += q0[re];
        q0[re] = q0[re + 1];
        q0[re + 1] = s0;
        s1 += q1[re];
        q1[re] = q1[re + 1];
        q1[re + 1] = s1;
        s2 += q2[re];
        q2[re] = q2[re + 1];
        q2[re + 1] = s2;
        s3 += q3[re];
        q3[re] = q3[re + 1];
        q3[re + 1] = s3;
    }
    const double offset1 = s0, offset2 = s0 + s1, offset3 = offset2 + s2;
    for (int32_t sum = 1; sum < 2 * kQuarterPairs; sum += 2) {
        q1[sum] += offset1;
        q2[sum] += offset2;
        q3[sum] += offset3;
    }
    half[kHarmonics] = 0;  // y[kHarmonics] = sin(pi i) terms
}

// Resample the period to outputPeriod samples: this is what moves the pitch.
// Points from kHarmonics on read the mirrored first half.
void resampleHalfPeriod(const BlockPlan& plan, const double* half, double* dst)
{
    int32_t j = 0;
    for (; j < plan.outputPeriod && plan.resample[j] <= kHarmonics; ++j)
        dst[j] = half[plan.resample[j]];
    for (; j < plan.outputPeriod; ++j)
        dst[j] = -half[kPoints - plan.resample[j]];
}

// One output period at `at`, made from the two input periods that start there.
// period, magnitudes: scratch of VoiceChanger::kScratchSize; fft: the kPoints context.
void synthesizePeriod(const BlockPlan& plan, double* at, double* period, double* magnitudes, SFFT& fft)
{
    int* workArea = fft.workArea.data.get();
    double* table = fft.table.data.get();
    capturePeriod(plan, at, period);
    if (plan.fold > 1)
        foldPeriod(plan, period);
    rdft(plan.analysisSize, 1, period, workArea, table);
    harmonicMagnitudes(plan, period, magnitudes);
    if (plan.direct) {
        synthesizeDirectly(plan, magnitudes, at);
        return;
    }
    synthesizeHalfPeriod(plan, magnitudes, period, workArea, table);
    resampleHalfPeriod(plan, period, at);
}

bool silentPeriods(const double* first, int32_t inputPeriod)
{
    int32_t nonzero = 0;
    while (nonzero < 2 * inputPeriod && first[nonzero] == 0)
        ++nonzero;
    return nonzero == 2 * inputPeriod;
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
    pitchExponent = clampSetting(pitchExponent, kMinPitchExponent, kMaxPitchExponent, 0);
    formantRatio = clampSetting(formantRatio, kMinFormantRatio, kMaxFormantRatio, 1);
    double* hist = history.data.get();
    double* out = outBuffer.data.get();

    std::copy(hist, hist + kHistorySize, out);
    const int32_t inputPeriod = detectPeriod(analysisFft, out);
    const double periodScale = std::pow(2.0, pitchExponent);  // pitch divided by it
    const BlockPlan plan(inputPeriod, periodScale, formantRatio);

    while (writePos < kBlockSize) {
        // Each output period replaces the start of the two input periods it is made from.
        double* at = hist + writePos;
        writePos += plan.outputPeriod;
        // Two silent input periods give a silent output period (every transform of
        // zeros is zeros): nothing to compute.
        if (silentPeriods(at, inputPeriod)) {
            std::fill(at, at + plan.outputPeriod, 0.0);
            continue;
        }
        synthesizePeriod(plan, at, periodBuffer.data.get(), spectrumBuffer.data.get(), periodFft);
    }

    for (int32_t i = 0; i < kBlockSize; ++i)
        out[i] = gain * hist[i];
    std::copy(hist + kBlockSize, hist + kHistorySize, hist);
    writePos %= kBlockSize;
}
