#include "framework/SWindow.h"

#include "framework/WindowClass.h"

namespace {
constexpr DWORD kWindowStyle = WS_VISIBLE | WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kInitialSize = 100;
// Paths are read into a classic MAX_PATH buffer; longer ones arrive cut.
constexpr UINT kPathBufferChars = 260;
constexpr UINT kQueryCount = 0xFFFFFFFF;
}

SWindow::SWindow()
{
    hwnd = CreateWindowExW(0, kWindowClassName, L"Quillmorph", kWindowStyle, 0, 0, kInitialSize, kInitialSize,
                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DragAcceptFiles(hwnd, TRUE);
    onSizing = boost::bind(&SWindow::fitToClient, this);
}

SWindow::~SWindow()
{
    onDropFile.clear();
    onSizing.clear();
    onClose.clear();
    // A window that outlived its object must not reach it any more.
    if (hwnd && IsWindow(hwnd) && GetWindowLongPtrW(hwnd, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this))
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
}

void SWindow::setGeometry(SRECT& rect)
{
    const int32_t clientWidth = rect.width;
    const int32_t clientHeight = rect.height;
    RECT outer = {0, 0, clientWidth, clientHeight};
    AdjustWindowRect(&outer, static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)), GetMenu(hwnd) != nullptr);
    const int outerWidth = outer.right - outer.left;
    const int outerHeight = outer.bottom - outer.top;
    // Integer division truncates toward zero, also for windows larger than the screen.
    const int y = (GetSystemMetrics(SM_CYSCREEN) - outerHeight) / 2;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - outerWidth) / 2;
    MoveWindow(hwnd, x, y, outerWidth, outerHeight, TRUE);
    if (child) {
        SRECT content = {0, 0, clientWidth, clientHeight};
        child->setGeometry(content);
    }
}

void SWindow::fitToClient()
{
    RECT client = {0, 0, 0, 0};
    GetClientRect(hwnd, &client);
    SRECT rect = {client.left, client.top, client.right, client.bottom};
    setGeometry(rect);
}

LRESULT SWindow::onMessage(HWND, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_CLOSE:
        if (onClose)
            onClose();
        break;
    case WM_SIZING:
        if (onSizing)
            onSizing();
        break;
    case WM_DROPFILES: {
        HDROP drop = reinterpret_cast<HDROP>(wParam);
        const int count = static_cast<int>(DragQueryFileW(drop, kQueryCount, nullptr, 0));
        for (int i = 0; i < count; ++i) {
            WCHAR path[kPathBufferChars];
            path[0] = 0;  // a failed query leaves the buffer untouched
            DragQueryFileW(drop, static_cast<UINT>(i), path, kPathBufferChars);
            path[kPathBufferChars - 1] = 0;
            std::wstring file(path);
            if (onDropFile)
                onDropFile(file);
        }
        // The handle is ours once the message arrived; without this every drop leaks.
        DragFinish(drop);
        break;
    }
    default:
        break;
    }
    return 0;
}
