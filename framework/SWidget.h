#pragma once
// A layout backed by one native window.

#include "framework/SLayout.h"
#include "platform/win32.h"

class SWidget : public SLayoutSimple {
public:
    // Slot 2: every message of the widget's window, from windowProc, before the
    // default handling (which always follows). The result is not used.
    virtual LRESULT onMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) = 0;

    HWND hwnd = nullptr;  // created by the constructor; never destroyed by the widget

protected:
    SWidget() = default;
    ~SWidget() = default;
    SWidget(const SWidget&) = delete;  // one object per native window
    SWidget& operator=(const SWidget&) = delete;
};
