#pragma once
// Test hooks of the SDL window backend (hosts other than Windows only; not Win32).
// They push real SDL events, so tests drive the same translation as live input.
// Window thread only.

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
