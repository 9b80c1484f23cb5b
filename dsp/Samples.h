#pragma once
// What the program and the offline renderer share about the voice changer's output:
// the rate it is meant for, the gain they apply and the conversion to 16-bit samples.

// Samples per second. The detector's period range (60 to 511 samples) is chosen for
// it; the stream runs at it and the renderer resamples to it.
constexpr int kSampleRate = 44100;

// The level the program plays the rebuilt voice at; the renderer's default.
constexpr double kOutputGain = 0.4;

// Truncates toward zero, then saturates to the 16-bit range (wrapping would turn every
// loud peak into a full-scale click). Not a number, which has no sound meaning, is silence.
short toSample(double value);
