#include "dsp/Samples.h"

#include <cstdint>

short toSample(double value)
{
    if (!(value > -32768.0))  // also NaN
        return value != value ? 0 : -32768;
    if (value >= 32767.0)
        return 32767;
    return static_cast<short>(static_cast<int32_t>(value));
}
