#pragma once

#include "framework/SDATA.h"

#include <cstdint>

// Tables of a real FFT of one size, handed with the size to rdft:
//   rdft(f.n, dir, data, f.workArea.data.get(), f.table.data.get()).
// The tables are built by the first transform, not by init.
struct SFFT {
    SDATA<double> table;  // n*5/4 doubles; rdft uses the first n/2
    SDATA<int> workArea;  // 2 + trunc(sqrt(n/2) + 0.5) ints: built sizes, bit-reversal seeds
    int32_t n = 0;

    // Stores n and replaces both arrays with zero-filled ones (tables unbuilt).
    // A negative n, or one whose table would not fit a 32-bit count, throws
    // std::bad_array_new_length; allocation failure throws std::bad_alloc.
    void init(int32_t size);
};
