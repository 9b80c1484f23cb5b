#pragma once
// Window, message, drawing and picture subset of Win32 for hosts other than Windows,
// implemented over SDL2 (sdl_window.cpp: windows, messages, capture, drops;
// sdl_gdi.cpp: device contexts, bitmaps, drawing, pictures). Names, values and
// signatures are Windows' own; behaviour follows documented Win32 where the program
// depends on it.
//
// Threads: everything here belongs to the window thread (the one that creates the
// first window and runs GetMessageW), except PostMessageW and PostQuitMessage, which
// any thread may call and which wake a blocked GetMessageW. There is one message
// queue per process. SendMessageW from another thread does nothing and returns 0.
//
// No display: when SDL_VIDEODRIVER is not set and SDL finds no display (it would fall
// back to its offscreen or dummy driver), CreateWindowExW prints one line on stderr
// and returns NULL, as does every later creation. The entry point must then exit
// non-zero. SDL_VIDEODRIVER=offscreen or dummy, set explicitly, run headless.
//
// Closing: the window's close button, SIGINT and SIGTERM post WM_CLOSE to the
// top-level windows (WM_QUIT when there is none), so all three close alike.
//
// Screen size: GetSystemMetrics(SM_CXSCREEN/SM_CYSCREEN) reports the primary display,
// or WIDTHxHEIGHT from the environment variable QM_SCREEN_SIZE when set (tests).

#include "platform/win32_types.h"

typedef WORD ATOM;
typedef HANDLE HGLOBAL;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG* LPMSG;

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

struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
};

#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

// Messages
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_MOVE 0x0003
#define WM_SIZE 0x0005
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_ERASEBKGND 0x0014
#define WM_SHOWWINDOW 0x0018
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_RBUTTONDOWN 0x0204
#define WM_RBUTTONUP 0x0205
#define WM_MBUTTONDOWN 0x0207
#define WM_MBUTTONUP 0x0208
#define WM_SIZING 0x0214
#define WM_CAPTURECHANGED 0x0215
#define WM_DROPFILES 0x0233
#define WM_USER 0x0400
#define WM_APP 0x8000

#define SIZE_RESTORED 0
#define MK_LBUTTON 0x0001
#define MK_RBUTTON 0x0002
#define MK_MBUTTON 0x0010
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001

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

// Resources
#define IDI_APPLICATION MAKEINTRESOURCEW(32512)
#define IDC_ARROW MAKEINTRESOURCEW(32512)
#define IMAGE_BITMAP 0
#define IMAGE_ICON 1
#define IMAGE_CURSOR 2
#define LR_DEFAULTCOLOR 0x00000000
#define LR_LOADFROMFILE 0x00000010
#define LR_DEFAULTSIZE 0x00000040
#define LR_CREATEDIBSECTION 0x00002000
#define LR_SHARED 0x00008000

// GDI
#define WHITE_BRUSH 0
#define LTGRAY_BRUSH 1
#define GRAY_BRUSH 2
#define DKGRAY_BRUSH 3
#define BLACK_BRUSH 4
#define NULL_BRUSH 5
#define WHITE_PEN 6
#define BLACK_PEN 7
#define NULL_PEN 8
#define DC_BRUSH 18
#define DC_PEN 19

#define SRCCOPY 0x00CC0020
#define PATCOPY 0x00F00021
#define DSTINVERT 0x00550009
#define BLACKNESS 0x00000042
#define WHITENESS 0x00FF0062

#define CLR_INVALID 0xFFFFFFFF
#define GR_GDIOBJECTS 0
#define GR_USEROBJECTS 1

// Window classes and windows (sdl_window.cpp)
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

// Messages
BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);
BOOL WINAPI TranslateMessage(const MSG* msg);
LRESULT WINAPI DispatchMessageW(const MSG* msg);
BOOL WINAPI PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void WINAPI PostQuitMessage(int exitCode);

// Mouse capture and file drops
HWND WINAPI SetCapture(HWND hwnd);
BOOL WINAPI ReleaseCapture(void);
HWND WINAPI GetCapture(void);
void WINAPI DragAcceptFiles(HWND hwnd, BOOL accept);
UINT WINAPI DragQueryFileW(HDROP drop, UINT index, LPWSTR file, UINT chars);
void WINAPI DragFinish(HDROP drop);

// Device contexts, objects and drawing (sdl_gdi.cpp)
HDC WINAPI GetDC(HWND hwnd);
int WINAPI ReleaseDC(HWND hwnd, HDC dc);
HDC WINAPI CreateCompatibleDC(HDC dc);
BOOL WINAPI DeleteDC(HDC dc);
HBITMAP WINAPI CreateCompatibleBitmap(HDC dc, int width, int height);
HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object);
BOOL WINAPI DeleteObject(HGDIOBJ object);
HGDIOBJ WINAPI GetStockObject(int index);
int WINAPI GetObjectW(HANDLE object, int size, LPVOID buffer);
COLORREF WINAPI SetDCPenColor(HDC dc, COLORREF color);
COLORREF WINAPI SetDCBrushColor(HDC dc, COLORREF color);
BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop);
BOOL WINAPI BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int srcX, int srcY, DWORD rop);
BOOL WINAPI MoveToEx(HDC dc, int x, int y, LPPOINT previous);
BOOL WINAPI LineTo(HDC dc, int x, int y);
BOOL WINAPI Arc(HDC dc, int left, int top, int right, int bottom, int xStart, int yStart, int xEnd, int yEnd);
COLORREF WINAPI GetPixel(HDC dc, int x, int y);
COLORREF WINAPI SetPixel(HDC dc, int x, int y, COLORREF color);
// Icons and cursors: the system's (no module, resource 32512). Bitmaps: BMP files
// with LR_LOADFROMFILE; a missing, unreadable or malformed file gives NULL.
HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT load);

// Resource accounting: GR_GDIOBJECTS counts live DCs and bitmaps (stock objects aside).
HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetGuiResources(HANDLE process, DWORD flags);
