#pragma once
// Presentation pacing of the SDL window backend: when what is drawn on a top-level
// window's surface reaches its screen. Internal to platform/. The rule (ScreenPacing)
// needs nothing but the time it is given; the rest reads the window records and calls SDL, and
// calls nothing else of the backend: sdl_gdi.cpp, sdl_window.cpp and sdl_messages.cpp
// call it, never the other way round.

#include <cstdint>

#include "platform/win32.h"

namespace qm {

// The screen follows a window's surface at most once per kPresentIntervalUs (about the
// rate a screen shows; more updates would never be seen): what a paint draws is sent at
// once when the last update is older, otherwise it waits, gathered into one rectangle,
// until presentDue() runs (the message loop wakes for it). Moves keep to the same rate
// where they repaint: see sdl_messages.cpp.
constexpr uint64_t kPresentIntervalUs = 16000;
constexpr uint32_t kNothingToPresent = 0xFFFFFFFF;

// The rule for one top-level window, in microseconds of nowUs().
struct ScreenPacing {
    RECT unshown = {0, 0, 0, 0};  // drawn on the surface, not yet sent to the screen
    uint64_t shownAtUs = 0;       // when the screen was last updated (0: never)
    uint64_t drawnAtUs = 0;       // when it or a child last drew on the surface

    bool owes() const { return unshown.left < unshown.right && unshown.top < unshown.bottom; }
    // Gathers a drawn rectangle into the one still owed.
    void drawn(int64_t left, int64_t top, int64_t right, int64_t bottom, uint64_t now);
    // 0 when an update may go now, else how long until it may.
    uint64_t untilDueUs(uint64_t now) const;
    // What is owed, now forgotten; the caller sends it and calls shown().
    RECT take();
    // take() when something is owed and an update may go now; false otherwise.
    bool takeDue(uint64_t now, RECT& owed);
    void shown(uint64_t now) { shownAtUs = now; }
};

uint64_t nowUs();                 // steady clock, the presentation's time base
// A paint drew this rectangle of a top-level window's surface (surface pixels): it goes
// to the screen now if an update is due, else when presentDue() finds it due.
void showDrawn(HWND topLevel, int64_t left, int64_t top, int64_t right, int64_t bottom);
void present(HWND topLevel);      // the whole surface, at that rate
void presentNow(HWND topLevel);   // the whole surface, now (the screen lost its picture)
void flushScreen(HWND topLevel);  // what is still unshown, now
uint32_t presentDue();            // sends what is due; ms until the next is, or kNothingToPresent

}  // namespace qm
