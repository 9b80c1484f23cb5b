#pragma once

#include "dsp/SFFT.h"
#include "framework/SDATA.h"

#include <cstdint>

// Block processor: finds the pitch period once per block and rebuilds the signal
// period by period as sums of sines, with the period scaled for the pitch and the
// harmonic amplitudes re-mapped for the formants. Output lags input by one block.
//
// Per block: write kBlockSize samples (16-bit units as doubles) at inputPtr, call
// process, read kBlockSize samples at outputPtr. process runs on the audio thread,
// allocates nothing and touches no other object; one thread at a time.
class VoiceChanger {
public:
    static constexpr int32_t kBlockSize = 2048;
    static constexpr int32_t kHistorySize = 2 * kBlockSize;  // previous block + current one
    static constexpr int32_t kAnalysisSize = 4096;           // detector transform size
    static constexpr int32_t kPeriodSize = 512;              // one period, resampled
    static constexpr int32_t kScratchSize = 2048;
    static constexpr double kMinPitchExponent = -2;  // two octaves up
    static constexpr double kMaxPitchExponent = 2;   // two octaves down
    static constexpr double kMinFormantRatio = 0;    // silence
    static constexpr double kMaxFormantRatio = 2;

    VoiceChanger();
    VoiceChanger(const VoiceChanger&) = delete;  // would share the arrays behind inputPtr
    VoiceChanger& operator=(const VoiceChanger&) = delete;

    // pitchExponent: output period = input period * 2^pitchExponent, in [-2, 2].
    // formantRatio: spectral envelope scaled in frequency by it, in [0, 2].
    // gain: applied to the output block. Settings outside their ranges are
    // clamped, and a setting that is not a number counts as neutral (0 and 1),
    // so no setting can move an index outside the buffers.
    void process(double pitchExponent, double formantRatio, double gain);

    int32_t writePos;          // where the next period begins in history, in [0, kBlockSize)
    SFFT analysisFft;          // kAnalysisSize, for the detector
    SFFT periodFft;            // kPeriodSize, per period
    SDATA<double> outBuffer;   // kHistorySize: detector scratch; first kBlockSize = output
    SDATA<double> history;     // kHistorySize: synthesised before writePos, input from it on
    SDATA<double> periodBuffer;    // kScratchSize, first kPeriodSize used
    SDATA<double> spectrumBuffer;  // kScratchSize, first kPeriodSize used
    double* inputPtr;          // history + kBlockSize
    double* outputPtr;         // outBuffer + 0
};
