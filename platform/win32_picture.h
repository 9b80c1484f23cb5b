#pragma once
// Pictures, icons and cursors of Win32 for hosts other than Windows
// (sdl_picture.cpp lists what it covers). Window thread only.

#include "platform/win32_types.h"

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

// Icons and cursors: the system's (no module, resource 32512). Bitmaps: BMP files
// with LR_LOADFROMFILE; a missing, unreadable, malformed or truncated file gives NULL,
// and so does one whose declared size its data cannot fill, before anything is
// allocated for it.
HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT load);
