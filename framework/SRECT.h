#pragma once
#include <cstdint>

// Placement rectangle in the parent's client pixels. Top-level windows use only
// width and height: they always centre themselves on the screen.
struct SRECT {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};
