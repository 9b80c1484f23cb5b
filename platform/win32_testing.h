#pragma once
// Test seams of the SDL window backend (hosts other than Windows only; not Win32).
// They live in the qm_platform_testing library, which only tests link; the program
// has none of them. Input is pushed as real SDL events, so tests drive the same
// translation as live input. Window thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

// A mouse event at (x, y) in a top-level window's client pixels: WM_MOUSEMOVE or a
// left, right or middle button message.
void qmTestPushMouse(HWND topLevel, UINT message, int x, int y);
// Files dropped on a top-level window, as one drop.
void qmTestPushDrop(HWND topLevel, const std::vector<std::wstring>& paths);
// The close button of a top-level window.
void qmTestPushClose(HWND topLevel);
// The next GetMessageW fails and returns -1.
void qmTestFailNextGetMessage();
// GetSystemMetrics reports a primary screen of this size from now on; 0 x 0 goes back
// to the real one.
void qmTestSetScreenSize(int width, int height);
// How many times a window's surface has been sent to the screen so far (any thread).
uint64_t qmTestScreenUpdates();
// A window's screen is updated at most once per this many microseconds.
uint64_t qmTestScreenUpdateIntervalUs();
// From now on every screen update is also copied, so that tests can read what each
// top-level window's screen shows (also after the window is gone).
void qmTestCopyScreens();
// What the screen of a top-level window shows at (x, y) of its client area, as far as
// copied since qmTestCopyScreens; CLR_INVALID outside or before its first update.
COLORREF qmTestScreenPixel(HWND topLevel, int x, int y);
// Every allocation the backend's SDL makes goes through these from now on. Call it
// before anything else of this layer runs (a static initializer); false if refused.
bool qmTestRouteSdlMemory(void* (*allocate)(size_t), void* (*allocateZeroed)(size_t, size_t),
                          void* (*reallocate)(void*, size_t), void (*release)(void*));
