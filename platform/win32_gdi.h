#pragma once
// Device contexts, bitmaps and drawing (the GDI32 subset) for hosts other than
// Windows, over SDL2 surfaces (sdl_gdi.cpp lists what it covers). Window thread only.
//
// What is drawn on a window DC is on screen when the drawing call returns, one screen
// update per call. DCs, bitmaps of a size used before, fills and copies allocate
// nothing once the program is running, so a paint per mouse move costs no allocation.

#include "platform/win32_types.h"

struct BITMAP {
    LONG bmType;
    LONG bmWidth;
    LONG bmHeight;
    LONG bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    LPVOID bmBits;
};

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

// Resource accounting: GR_GDIOBJECTS counts live DCs and bitmaps (stock objects aside),
// GR_USEROBJECTS live windows.
HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetGuiResources(HANDLE process, DWORD flags);
