#pragma once

#include "dsp/SFFT.h"

#include <cstdint>

// Shortest and one-past-longest pitch period searched, in samples (about 735 Hz
// down to 86 Hz at 44.1 kHz). Absolute counts: they do not scale with fft.n.
constexpr int32_t kMinPeriod = 60;
constexpr int32_t kMaxPeriodEnd = 512;

// Pitch period of the fft.n samples in buf (fft.n >= 512): the lag in
// [kMinPeriod, kMaxPeriodEnd) where the correlation built from the magnitude
// spectrum is largest; the smallest such lag on ties; kMinPeriod for silence.
// buf is overwritten with that correlation. Allocates nothing.
int32_t detectPeriod(SFFT& fft, double* buf);
