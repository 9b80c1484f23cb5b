#pragma once
#include <cstdint>

// Mouse position in a canvas's client pixels, origin top left, y downward.
// During a captured drag it may be negative or beyond the canvas.
struct SPOS {
    int32_t x;
    int32_t y;
};
