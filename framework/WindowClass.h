#pragma once
// The one window class of every native window of the program, its procedure and
// the thread's message loop. All of it runs on the window thread.

#include "platform/win32.h"

constexpr const wchar_t* kWindowClassName = L"sapp_classname";

// Registers kWindowClassName (redraw on resize, white background, standard icon and
// arrow). Call once, before any SWindow or SCanvas is constructed.
void registerWindowClass();

// Hands every message to the associated SWidget's onMessage (none while the window
// is being created), then always to DefWindowProcW, whose result it returns.
LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Runs GetMessageW/TranslateMessage/DispatchMessageW until the quit message or an
// error from GetMessageW; returns 0 in both cases.
int runMessageLoop();
