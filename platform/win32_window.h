#pragma once
// Window classes, windows, geometry and mouse capture of Win32 for hosts other than
// Windows, over SDL2 (sdl_window.cpp lists what it covers). Names, values and
// signatures are Windows' own; behaviour follows documented Win32 where the program
// depends on it. Window thread only (see win32_messages.h).
//
// No display: when SDL_VIDEODRIVER is not set and SDL finds no display (it would fall
// back to its offscreen or dummy driver), CreateWindowExW prints one line on stderr
// and returns NULL, as does every later creation. The entry point must then exit
// non-zero. SDL_VIDEODRIVER=offscreen or dummy, set explicitly, run headless.
//
// Screen size: GetSystemMetrics(SM_CXSCREEN/SM_CYSCREEN) reports the primary display.

#include "platform/win32_types.h"

typedef WORD ATOM;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
    HICON hIconSm;
};

struct CREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
};

#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

// Window styles
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_MAXIMIZE 0x01000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_OVERLAPPEDWINDOW (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_EX_ACCEPTFILES 0x00000010L

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002

#define CW_USEDEFAULT ((int)0x80000000)

// Window data indices (GWL_USERDATA exists only on 32-bit Windows: use GWLP_USERDATA)
#define GWLP_WNDPROC (-4)
#define GWLP_HINSTANCE (-6)
#define GWLP_ID (-12)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_USERDATA (-21)

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc);
HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL WINAPI DestroyWindow(HWND hwnd);
BOOL WINAPI IsWindow(HWND hwnd);
HWND WINAPI GetParent(HWND hwnd);
LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LONG_PTR WINAPI GetWindowLongPtrW(HWND hwnd, int index);
LONG_PTR WINAPI SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value);
LONG WINAPI GetWindowLongW(HWND hwnd, int index);
LONG WINAPI SetWindowLongW(HWND hwnd, int index, LONG value);
BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect);
BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect);
BOOL WINAPI AdjustWindowRect(LPRECT rect, DWORD style, BOOL menu);
BOOL WINAPI AdjustWindowRectEx(LPRECT rect, DWORD style, BOOL menu, DWORD exStyle);
HMENU WINAPI GetMenu(HWND hwnd);
int WINAPI GetSystemMetrics(int index);
BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName);

// While a window holds the capture, all mouse input goes to it wherever the pointer is.
HWND WINAPI SetCapture(HWND hwnd);
BOOL WINAPI ReleaseCapture(void);
HWND WINAPI GetCapture(void);
