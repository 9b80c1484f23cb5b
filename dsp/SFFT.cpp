#include "dsp/SFFT.h"

#include <cmath>
#include <limits>
#include <new>

void SFFT::init(int32_t size)
{
    n = size;
    // 64-bit arithmetic so that a huge size fails instead of wrapping.
    const int64_t tableCount = static_cast<int64_t>(size) * 5 / 4;
    if (size < 0 || tableCount > std::numeric_limits<int32_t>::max())
        throw std::bad_array_new_length();
    const auto workCount = static_cast<int32_t>(2 + std::sqrt(size * 0.5) + 0.5);
    table.alloc(static_cast<int32_t>(tableCount));
    workArea.alloc(workCount);
}
