#pragma once
// The top-level window: "Quillmorph", a caption with system menu and minimise box,
// accepting dropped files, centred on the primary screen by setGeometry.

#include <string>

#include "framework/SEvent.h"
#include "framework/SWidget.h"

class SWindow : public SWidget {
public:
    // Creates the native window (visible, 100 x 100 at the screen's corner until
    // placed) and associates it with this object. Needs registerWindowClass first.
    // On a host without a display hwnd stays null (the platform says why on stderr).
    SWindow();
    // Empties the slots and detaches the object from its window. The window is left
    // alone: normally closing has destroyed it already, after the loop ended.
    // Virtual: SWindow is used on its own and as a base, and owners may hold either.
    virtual ~SWindow();

    // Client area width x height, centred on the primary screen; x and y are ignored.
    // The child, if any, is given (0, 0, width, height).
    void setGeometry(SRECT& rect) override;
    // WM_CLOSE -> onClose, WM_SIZING -> onSizing, WM_DROPFILES -> onDropFile per file.
    LRESULT onMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

    // Centres the window again at its present client size and re-places the child.
    void fitToClient();

    SEvent onClose;                     // the window is asked to close; it closes after
    SEvent onSizing;                    // bound to fitToClient by the constructor
    SEvent1<std::wstring> onDropFile;   // one full path per dropped file, in index order
};
