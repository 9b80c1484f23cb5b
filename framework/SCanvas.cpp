#include "framework/SCanvas.h"

#include "framework/WindowClass.h"

namespace {
constexpr DWORD kCanvasStyle = WS_CHILD | WS_VISIBLE;
constexpr int kInitialSize = 100;
}

SCanvas::SCanvas(SWidget* parent)
{
    hwnd = CreateWindowExW(0, kWindowClassName, L"", kCanvasStyle, 0, 0, kInitialSize, kInitialSize,
                           parent ? parent->hwnd : nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

SCanvas::~SCanvas()
{
    onMouseDrag.clear();
    if (hwnd && IsWindow(hwnd) && GetWindowLongPtrW(hwnd, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this))
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
}

void SCanvas::setGeometry(SRECT& rect)
{
    const SRECT placed = rect;
    MoveWindow(hwnd, placed.x, placed.y, placed.width, placed.height, TRUE);
    width = placed.width;
    height = placed.height;
}

void SCanvas::paint()
{
    // Without a window GetDC(NULL) would hand out the whole screen.
    if (!hwnd)
        return;
    HDC windowDC = GetDC(hwnd);
    backDC = CreateCompatibleDC(windowDC);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDC, width, height);
    HGDIOBJ previousBitmap = SelectObject(backDC, bitmap);
    SelectObject(backDC, GetStockObject(DC_PEN));
    SelectObject(backDC, GetStockObject(DC_BRUSH));
    PatBlt(backDC, 0, 0, width, height, WHITENESS);
    draw();
    BitBlt(windowDC, 0, 0, width, height, backDC, 0, 0, SRCCOPY);
    // GDI refuses to delete a bitmap still selected into a DC, and DeleteDC does not
    // free it: deselect first, or every paint leaks a width x height bitmap.
    SelectObject(backDC, previousBitmap);
    DeleteObject(bitmap);
    DeleteDC(backDC);
    backDC = nullptr;
    ReleaseDC(hwnd, windowDC);
}

LRESULT SCanvas::onMessage(HWND, UINT message, WPARAM, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        paint();
        break;
    case WM_MOUSEMOVE:
        if (dragging) {
            // Signed 16-bit each: a captured drag left or above the canvas is negative.
            SPOS pos = {static_cast<int16_t>(LOWORD(lParam)), static_cast<int16_t>(HIWORD(lParam))};
            if (onMouseDrag)
                onMouseDrag(pos);
        }
        break;
    case WM_LBUTTONDOWN:
        dragging = true;
        SetCapture(hwnd);
        break;
    case WM_LBUTTONUP:
        dragging = false;
        ReleaseCapture();
        break;
    default:
        break;
    }
    return 0;
}
