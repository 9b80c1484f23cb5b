#include "dsp/detectPeriod.h"

#include "dsp/rdft.h"
#include "dsp/spectrumKernels.h"

#include <cmath>

int32_t detectPeriod(SFFT& fft, double* buf)
{
    const int32_t n = fft.n;
    int* ip = fft.workArea.data.get();
    double* w = fft.table.data.get();

    rdft(n, 1, buf, ip, w);
    // Magnitudes rather than power: flatter weighting of the harmonics.
    spectrumMagnitudesInPlace(buf + 2, n / 2 - 1);
    buf[0] = 0;
    buf[1] = 0;
    rdft(n, -1, buf, ip, w);

    // Strictly greater: ties keep the smaller lag, NaN never wins.
    int32_t best = kMinPeriod;
    for (int32_t j = kMinPeriod; j < kMaxPeriodEnd; ++j) {
        if (buf[j] > buf[best])
            best = j;
    }
    return best;
}
