#pragma once
// The control pad: background picture, grey crosshair and a circle of radius 50.
// Dragging with the left button moves the crosshair; xRatio and yRatio are the
// fractions of the pad's width and height where it lies, always within [0, 1].

#include "framework/SCanvas.h"
#include "platform/win32.h"

#include <atomic>
#include <cstdint>

// Owns a GDI bitmap: DeleteObject when the holder goes.
class BitmapHolder {
public:
    explicit BitmapHolder(HBITMAP handle = nullptr) : handle_(handle) {}
    ~BitmapHolder()
    {
        if (handle_)
            DeleteObject(handle_);
    }
    BitmapHolder(const BitmapHolder&) = delete;
    BitmapHolder& operator=(const BitmapHolder&) = delete;

    HBITMAP get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HBITMAP handle_;
};

class MyCanvas final : public SCanvas {
public:
    static constexpr COLORREF kCrosshairColour = 0x646464;  // red, green, blue 100 each
    static constexpr int kCircleRadius = 50;

    // Builds the canvas inside parent, loads "back.bmp" from the current folder
    // (a missing or unreadable file leaves the pad without a picture).
    explicit MyCanvas(SWidget* parent);

    // Window thread only, inside paint().
    void draw() override;

    // Window thread: sets both ratios from the pointer (clamped) and repaints at once.
    void onMouseDrag(SPOS& pos);

    BitmapHolder picture;
    int32_t pictureWidth;
    int32_t pictureHeight;
    // Written by the window thread, read once per block by the audio thread; only
    // clamped values are ever stored.
    std::atomic<double> xRatio;
    std::atomic<double> yRatio;
};
