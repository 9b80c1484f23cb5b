#pragma once
// A child drawing surface that repaints completely through a back buffer and
// reports left-button drags as positions.

#include <cstdint>

#include "framework/SEvent.h"
#include "framework/SPOS.h"
#include "framework/SWidget.h"

class SCanvas : public SWidget {
public:
    // Creates a visible child window of parent's window (no parent: none, and
    // creation fails as a child needs one; such a canvas never paints).
    explicit SCanvas(SWidget* parent);
    // Empties onMouseDrag and detaches the object from its window.
    ~SCanvas();

    // Moves and sizes the window (repainting) and records width and height.
    void setGeometry(SRECT& rect) override;
    // WM_PAINT -> paint; left button press/release start/end a drag (with capture);
    // moves while dragging go to onMouseDrag as signed 16-bit client coordinates.
    LRESULT onMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
    // Slot 3: paints into backDC, a white width x height surface with the DC pen and
    // DC brush selected. Called only by paint.
    virtual void draw() = 0;

    // Redraws the whole canvas now and shows it before returning; window thread only.
    void paint();

    int32_t width = 0;         // from the last setGeometry
    int32_t height = 0;
    HDC backDC = nullptr;      // valid only while paint runs, null otherwise
    bool dragging = false;     // from a left press on the canvas to the next left release
    SEvent1<SPOS> onMouseDrag; // position in client pixels; may lie outside the canvas
};
