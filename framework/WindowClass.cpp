#include "framework/WindowClass.h"

#include "framework/SWidget.h"

namespace {
// The system's standard application icon and arrow cursor share this resource number.
constexpr WORD kStandardResource = 32512;
}

void registerWindowClass()
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = windowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = static_cast<HICON>(LoadImageW(nullptr, MAKEINTRESOURCEW(kStandardResource), IMAGE_ICON, 0, 0,
                                             LR_SHARED | LR_DEFAULTSIZE));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = static_cast<HCURSOR>(LoadImageW(nullptr, MAKEINTRESOURCEW(kStandardResource), IMAGE_CURSOR, 0, 0,
                                                 LR_SHARED | LR_DEFAULTSIZE));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = kWindowClassName;
    RegisterClassExW(&wc);
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Zero until the constructor has associated its object, i.e. during creation.
    SWidget* widget = reinterpret_cast<SWidget*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (widget)
        widget->onMessage(hwnd, message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

int runMessageLoop()
{
    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            return 0;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
