#pragma once
// Messages and the message queue of Win32 for hosts other than Windows, over SDL2
// (sdl_messages.cpp lists what it covers).
//
// Threads: everything here belongs to the window thread (the one that creates the
// first window and runs GetMessageW), except PostMessageW and PostQuitMessage, which
// any thread may call and which wake a blocked GetMessageW. There is one message
// queue per process. SendMessageW from another thread does nothing and returns 0.
//
// Mouse moves coalesce as on Windows: a WM_MOUSEMOVE from the mouse that is still
// waiting for its window is replaced by a newer one, so a slow receiver sees the
// latest position instead of a backlog. Buttons, closing and every other message keep
// their order.
//
// Closing: the window's close button, SIGINT and SIGTERM post WM_CLOSE to the
// top-level windows (WM_QUIT when there is none), so all three close alike.

#include "platform/win32_types.h"

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG* LPMSG;

#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))

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

BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);
BOOL WINAPI TranslateMessage(const MSG* msg);
LRESULT WINAPI DispatchMessageW(const MSG* msg);
BOOL WINAPI PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT WINAPI SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void WINAPI PostQuitMessage(int exitCode);
