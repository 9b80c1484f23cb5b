// Win32 GDI drawing and pictures over SDL2 surfaces.
// Implemented:
//  [x] GetDC/ReleaseDC: window DCs draw on the top-level SDL surface, offset and clipped to
//      the window's client area (children left out under WS_CLIPCHILDREN); what they draw is
//      shown before the drawing call returns
//  [x] CreateCompatibleDC/DeleteDC, CreateCompatibleBitmap (32-bit), SelectObject (bitmaps,
//      stock pens and brushes), DeleteObject (refused while a bitmap is selected, as GDI does),
//      GetStockObject, GetObjectW (BITMAP)
//  [x] SetDCPenColor, SetDCBrushColor, PatBlt (WHITENESS, BLACKNESS, PATCOPY, DSTINVERT),
//      BitBlt (SRCCOPY and the fills), MoveToEx, LineTo (end point left out),
//      Arc (counter-clockwise; equal start and end give the whole outline), GetPixel, SetPixel
//  [x] LoadImageW: system icon and cursor; BMP files through SDL's loader (LR_LOADFROMFILE)
//  [x] GetGuiResources(GR_GDIOBJECTS): live DCs and bitmaps
//  [ ] Pens wider than one pixel, fonts, regions, mapping modes
#include "platform/sdl_window_state.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qm {

namespace {

// GDI works in 27-bit coordinates; larger ones are refused rather than overflowing.
constexpr int64_t kMaxCoordinate = int64_t(1) << 27;
// Bitmaps beyond this are refused (and so are BMP files that claim to be).
constexpr int64_t kMaxBitmapSide = 16384;
constexpr int64_t kMaxBitmapPixels = int64_t(1) << 26;
constexpr uintptr_t kStockBase = 0x100;
constexpr int kStockCount = 20;
constexpr uintptr_t kIconHandle = 0x400;
constexpr uintptr_t kCursorHandle = 0x404;
constexpr uintptr_t kDefaultBitmapHandle = 0x408;
constexpr WORD kStandardResourceFirst = 32512;
constexpr WORD kStandardResourceLast = 32650;
constexpr double kPi = 3.14159265358979323846;

bool isStock(HGDIOBJ object)
{
    const uintptr_t k = key(object);
    return k >= kStockBase && k < kStockBase + 4 * kStockCount && (k - kStockBase) % 4 == 0;
}

int stockIndex(HGDIOBJ object)
{
    return isStock(object) ? static_cast<int>((key(object) - kStockBase) / 4) : -1;
}

bool isPen(HGDIOBJ object)
{
    const int i = stockIndex(object);
    return i == WHITE_PEN || i == BLACK_PEN || i == NULL_PEN || i == DC_PEN;
}

bool isBrush(HGDIOBJ object)
{
    const int i = stockIndex(object);
    return (i >= WHITE_BRUSH && i <= NULL_BRUSH) || i == DC_BRUSH;
}

// 0xRRGGBB, or -1 for "draws nothing".
int64_t stockColor(int index, const GdiDC* dc)
{
    switch (index) {
    case WHITE_BRUSH: case WHITE_PEN: return 0xFFFFFF;
    case LTGRAY_BRUSH: return 0xC0C0C0;
    case GRAY_BRUSH: return 0x808080;
    case DKGRAY_BRUSH: return 0x404040;
    case BLACK_BRUSH: case BLACK_PEN: return 0x000000;
    case DC_PEN: return dc ? int64_t(GetRValue(dc->dcPenColor)) << 16 | GetGValue(dc->dcPenColor) << 8 |
                                 GetBValue(dc->dcPenColor)
                           : 0;
    case DC_BRUSH: return dc ? int64_t(GetRValue(dc->dcBrushColor)) << 16 | GetGValue(dc->dcBrushColor) << 8 |
                                   GetBValue(dc->dcBrushColor)
                             : 0xFFFFFF;
    default: return -1;
    }
}

COLORREF toColorref(Uint32 rgb)
{
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

Uint32 toRgb(COLORREF c)
{
    return Uint32(GetRValue(c)) << 16 | Uint32(GetGValue(c)) << 8 | GetBValue(c);
}

GdiDC* findDC(HDC dc)
{
    auto& dcs = backend().dcs;
    auto it = dcs.find(key(dc));
    return it == dcs.end() ? nullptr : &it->second;
}

GdiBitmap* findBitmap(HGDIOBJ object)
{
    auto& bitmaps = backend().bitmaps;
    auto it = bitmaps.find(key(object));
    return it == bitmaps.end() ? nullptr : &it->second;
}

SDL_Surface* defaultSurface()
{
    Backend& b = backend();
    if (!b.defaultBitmap)
        b.defaultBitmap = SDL_CreateRGBSurfaceWithFormat(0, 1, 1, 32, SDL_PIXELFORMAT_RGB888);
    return b.defaultBitmap;
}

SDL_Surface* surfaceOf(HBITMAP bitmap)
{
    if (key(bitmap) == kDefaultBitmapHandle)
        return defaultSurface();
    GdiBitmap* bm = findBitmap(bitmap);
    return bm ? bm->surface : nullptr;
}

HBITMAP registerBitmap(SDL_Surface* surface)
{
    if (!surface)
        return nullptr;
    const uintptr_t handle = newHandle();
    backend().bitmaps[handle] = GdiBitmap{surface, nullptr};
    return makeHandle<HBITMAP>(handle);
}

SDL_Surface* newSurface(int64_t width, int64_t height)
{
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide ||
        width * height > kMaxBitmapPixels)
        return nullptr;
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, static_cast<int>(width), static_cast<int>(height), 32,
                                                    SDL_PIXELFORMAT_RGB888);
    if (s)
        SDL_memset(s->pixels, 0, static_cast<size_t>(s->pitch) * static_cast<size_t>(s->h));
    return s;
}

// Where a DC's drawing lands: a surface, the DC's origin on it, a clip rectangle in
// surface pixels, and areas left out (children of a WS_CLIPCHILDREN window).
struct Target {
    SDL_Surface* surface = nullptr;
    int64_t originX = 0;
    int64_t originY = 0;
    int64_t clipLeft = 0, clipTop = 0, clipRight = 0, clipBottom = 0;
    std::vector<SDL_Rect> excluded;
    HWND shownBy = nullptr;  // top-level window to present afterwards
    bool locked = false;

    bool empty() const { return !surface || clipLeft >= clipRight || clipTop >= clipBottom; }
};

void intersect(Target& t, int64_t l, int64_t tp, int64_t r, int64_t b)
{
    t.clipLeft = std::max(t.clipLeft, l);
    t.clipTop = std::max(t.clipTop, tp);
    t.clipRight = std::min(t.clipRight, r);
    t.clipBottom = std::min(t.clipBottom, b);
}

bool windowTarget(HWND hwnd, Target& t)
{
    WindowRecord* w = findWindow(hwnd);
    HWND top = topLevelOf(hwnd);
    WindowRecord* tw = findWindow(top);
    if (!w || !tw || !tw->sdl || !isShown(hwnd))
        return false;
    t.surface = SDL_GetWindowSurface(tw->sdl);
    if (!t.surface)
        return false;
    t.clipLeft = 0;
    t.clipTop = 0;
    t.clipRight = std::min(t.surface->w, tw->clientWidth);
    t.clipBottom = std::min(t.surface->h, tw->clientHeight);
    // Clip to the window and every ancestor between it and the top level.
    for (HWND h = hwnd; h && h != top; h = findWindow(h)->parent) {
        POINT o = clientOriginInTopLevel(h);
        WindowRecord* r = findWindow(h);
        intersect(t, o.x, o.y, int64_t(o.x) + r->clientWidth, int64_t(o.y) + r->clientHeight);
    }
    POINT origin = clientOriginInTopLevel(hwnd);
    t.originX = origin.x;
    t.originY = origin.y;
    if (w->style & WS_CLIPCHILDREN) {
        for (HWND c : w->children) {
            WindowRecord* cr = findWindow(c);
            if (!cr || !(cr->style & WS_VISIBLE))
                continue;
            t.excluded.push_back(SDL_Rect{static_cast<int>(origin.x + cr->rect.left),
                                          static_cast<int>(origin.y + cr->rect.top),
                                          static_cast<int>(cr->rect.right - cr->rect.left),
                                          static_cast<int>(cr->rect.bottom - cr->rect.top)});
        }
    }
    t.shownBy = top;
    return true;
}

bool targetOf(HDC dc, Target& t)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return false;
    if (!d->memory)
        return d->window && windowTarget(d->window, t);
    t.surface = surfaceOf(d->bitmap);
    if (!t.surface)
        return false;
    t.clipRight = t.surface->w;
    t.clipBottom = t.surface->h;
    return true;
}

void lock(Target& t)
{
    if (t.surface && SDL_MUSTLOCK(t.surface) && SDL_LockSurface(t.surface) == 0)
        t.locked = true;
}

void finish(Target& t)
{
    if (t.locked)
        SDL_UnlockSurface(t.surface);
    t.locked = false;
    if (t.shownBy)
        present(t.shownBy);
}

bool excluded(const Target& t, int64_t x, int64_t y)
{
    for (const SDL_Rect& r : t.excluded)
        if (x >= r.x && x < int64_t(r.x) + r.w && y >= r.y && y < int64_t(r.y) + r.h)
            return true;
    return false;
}

// x, y in surface pixels, already clipped.
void putRaw(SDL_Surface* s, int64_t x, int64_t y, Uint32 rgb)
{
    Uint8* row = static_cast<Uint8*>(s->pixels) + y * s->pitch;
    const int bpp = s->format->BytesPerPixel;
    if (s->format->format == SDL_PIXELFORMAT_RGB888) {
        reinterpret_cast<Uint32*>(row)[x] = rgb;
        return;
    }
    const Uint32 v = SDL_MapRGB(s->format, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
    switch (bpp) {
    case 4: reinterpret_cast<Uint32*>(row)[x] = v; break;
    case 2: reinterpret_cast<Uint16*>(row)[x] = static_cast<Uint16>(v); break;
    case 3: std::memcpy(row + x * 3, &v, 3); break;
    case 1: row[x] = static_cast<Uint8>(v); break;
    default: break;
    }
}

Uint32 getRaw(SDL_Surface* s, int64_t x, int64_t y)
{
    const Uint8* row = static_cast<const Uint8*>(s->pixels) + y * s->pitch;
    if (s->format->format == SDL_PIXELFORMAT_RGB888)
        return reinterpret_cast<const Uint32*>(row)[x] & 0xFFFFFF;
    Uint32 v = 0;
    switch (s->format->BytesPerPixel) {
    case 4: v = reinterpret_cast<const Uint32*>(row)[x]; break;
    case 2: v = reinterpret_cast<const Uint16*>(row)[x]; break;
    case 3: std::memcpy(&v, row + x * 3, 3); break;
    case 1: v = row[x]; break;
    default: break;
    }
    Uint8 r, g, b;
    SDL_GetRGB(v, s->format, &r, &g, &b);
    return Uint32(r) << 16 | Uint32(g) << 8 | b;
}

// x, y in DC coordinates.
void plot(Target& t, int64_t x, int64_t y, Uint32 rgb)
{
    x += t.originX;
    y += t.originY;
    if (x < t.clipLeft || x >= t.clipRight || y < t.clipTop || y >= t.clipBottom || excluded(t, x, y))
        return;
    putRaw(t.surface, x, y, rgb);
}

bool readPixel(Target& t, int64_t x, int64_t y, Uint32& rgb)
{
    x += t.originX;
    y += t.originY;
    if (x < t.clipLeft || x >= t.clipRight || y < t.clipTop || y >= t.clipBottom)
        return false;
    rgb = getRaw(t.surface, x, y);
    return true;
}

enum class Fill { Color, Invert };

// Rectangle [x0, x1) x [y0, y1) in DC coordinates.
void fillRect(Target& t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, Fill mode, Uint32 rgb)
{
    const int64_t l = std::max(x0 + t.originX, t.clipLeft), r = std::min(x1 + t.originX, t.clipRight);
    const int64_t tp = std::max(y0 + t.originY, t.clipTop), b = std::min(y1 + t.originY, t.clipBottom);
    for (int64_t y = tp; y < b; ++y)
        for (int64_t x = l; x < r; ++x) {
            if (!t.excluded.empty() && excluded(t, x, y))
                continue;
            putRaw(t.surface, x, y, mode == Fill::Invert ? (~getRaw(t.surface, x, y) & 0xFFFFFF) : rgb);
        }
}

int64_t penColor(const GdiDC& d)
{
    return stockColor(stockIndex(d.pen), &d);
}

bool inRange(int64_t v)
{
    return v >= -kMaxCoordinate && v <= kMaxCoordinate;
}

// Pixels of the line from (x0, y0) towards (x1, y1), the end point left out. Only the
// steps that can land inside the clip rectangle are walked.
void drawLine(Target& t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, Uint32 rgb)
{
    const int64_t dx = x1 - x0, dy = y1 - y0;
    const int64_t adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
    const int64_t sx = dx < 0 ? -1 : 1, sy = dy < 0 ? -1 : 1;
    const bool xMajor = adx >= ady;
    const int64_t steps = xMajor ? adx : ady;
    if (steps == 0)
        return;
    // Major-axis clip window in DC coordinates.
    const int64_t lo = xMajor ? t.clipLeft - t.originX : t.clipTop - t.originY;
    const int64_t hi = xMajor ? t.clipRight - t.originX : t.clipBottom - t.originY;
    const int64_t start = xMajor ? x0 : y0;
    const int64_t dir = xMajor ? sx : sy;
    int64_t first = 0, last = steps;  // i in [first, last)
    if (dir > 0) {
        first = std::max<int64_t>(first, lo - start);
        last = std::min<int64_t>(last, hi - start);
    } else {
        first = std::max<int64_t>(first, start - hi + 1);
        last = std::min<int64_t>(last, start - lo + 1);
    }
    const int64_t minor = xMajor ? ady : adx;
    for (int64_t i = first; i < last; ++i) {
        const int64_t offset = (2 * i * minor + steps) / (2 * steps);
        if (xMajor)
            plot(t, x0 + sx * i, y0 + sy * offset, rgb);
        else
            plot(t, x0 + sx * offset, y0 + sy * i, rgb);
    }
}

double angleOf(double x, double y, double cx, double cy)
{
    // Counter-clockwise as seen on screen, where y grows downward.
    return std::atan2(-(y - cy), x - cx);
}

}  // namespace

HBITMAP defaultBitmapHandle()
{
    return makeHandle<HBITMAP>(kDefaultBitmapHandle);
}

void present(HWND topLevel)
{
    WindowRecord* w = findWindow(topLevel);
    if (w && w->sdl && !w->parent)
        SDL_UpdateWindowSurface(w->sdl);
}

void eraseBackground(HWND hwnd)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return;
    const int64_t color = stockColor(stockIndex(w->background), nullptr);
    if (color < 0)
        return;
    Target t;
    if (!windowTarget(hwnd, t))
        return;
    t.shownBy = nullptr;  // the caller presents once for the whole tree
    lock(t);
    fillRect(t, 0, 0, w->clientWidth, w->clientHeight, Fill::Color, static_cast<Uint32>(color));
    finish(t);
}

}  // namespace qm

using namespace qm;

HDC WINAPI GetDC(HWND hwnd)
{
    if (hwnd && !findWindow(hwnd))
        return nullptr;
    const uintptr_t handle = newHandle();
    GdiDC dc;
    dc.window = hwnd;  // null: the screen, which here draws nowhere
    dc.pen = GetStockObject(BLACK_PEN);
    dc.brush = GetStockObject(WHITE_BRUSH);
    backend().dcs[handle] = dc;
    return makeHandle<HDC>(handle);
}

int WINAPI ReleaseDC(HWND, HDC dc)
{
    GdiDC* d = findDC(dc);
    if (!d || d->memory)
        return 0;
    backend().dcs.erase(key(dc));
    return 1;
}

HDC WINAPI CreateCompatibleDC(HDC)
{
    const uintptr_t handle = newHandle();
    GdiDC dc;
    dc.memory = true;
    dc.bitmap = defaultBitmapHandle();
    dc.pen = GetStockObject(BLACK_PEN);
    dc.brush = GetStockObject(WHITE_BRUSH);
    backend().dcs[handle] = dc;
    return makeHandle<HDC>(handle);
}

BOOL WINAPI DeleteDC(HDC dc)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return FALSE;
    // The selected bitmap survives its DC; it can be deleted from now on.
    if (GdiBitmap* bm = findBitmap(d->bitmap))
        bm->selectedInto = nullptr;
    backend().dcs.erase(key(dc));
    return TRUE;
}

HBITMAP WINAPI CreateCompatibleBitmap(HDC, int width, int height)
{
    if (width < 0 || height < 0)
        return nullptr;
    // A zero size gives the smallest bitmap there is, as GDI does.
    if (width == 0 || height == 0)
        width = height = 1;
    return registerBitmap(newSurface(width, height));
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object)
{
    GdiDC* d = findDC(dc);
    if (!d || !object)
        return nullptr;
    if (isPen(object)) {
        HGDIOBJ previous = d->pen;
        d->pen = object;
        return previous;
    }
    if (isBrush(object)) {
        HGDIOBJ previous = d->brush;
        d->brush = object;
        return previous;
    }
    const bool isDefault = key(object) == kDefaultBitmapHandle;
    GdiBitmap* bm = findBitmap(object);
    if ((!bm && !isDefault) || !d->memory)
        return nullptr;
    if (bm && bm->selectedInto && bm->selectedInto != dc)
        return nullptr;  // a bitmap lives in one DC at a time
    HBITMAP previous = d->bitmap;
    if (GdiBitmap* old = findBitmap(previous))
        old->selectedInto = nullptr;
    d->bitmap = static_cast<HBITMAP>(object);
    if (bm)
        bm->selectedInto = dc;
    return previous;
}

BOOL WINAPI DeleteObject(HGDIOBJ object)
{
    if (isStock(object) || key(object) == kDefaultBitmapHandle)
        return TRUE;
    GdiBitmap* bm = findBitmap(object);
    if (!bm || bm->selectedInto)
        return FALSE;
    SDL_FreeSurface(bm->surface);
    backend().bitmaps.erase(key(object));
    return TRUE;
}

HGDIOBJ WINAPI GetStockObject(int index)
{
    if (stockColor(index, nullptr) < 0 && index != NULL_BRUSH && index != NULL_PEN)
        return nullptr;
    return makeHandle<HGDIOBJ>(kStockBase + 4 * static_cast<uintptr_t>(index));
}

int WINAPI GetObjectW(HANDLE object, int size, LPVOID buffer)
{
    SDL_Surface* s = surfaceOf(static_cast<HBITMAP>(object));
    if (!s)
        return 0;
    if (!buffer)
        return sizeof(BITMAP);
    if (size <= 0)
        return 0;
    BITMAP bm = {};
    bm.bmType = 0;
    bm.bmWidth = s->w;
    bm.bmHeight = s->h;
    bm.bmWidthBytes = s->w * 4;
    bm.bmPlanes = 1;
    bm.bmBitsPixel = 32;
    bm.bmBits = nullptr;
    const size_t n = std::min(static_cast<size_t>(size), sizeof(BITMAP));
    std::memcpy(buffer, &bm, n);
    return static_cast<int>(n);
}

COLORREF WINAPI SetDCPenColor(HDC dc, COLORREF color)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return CLR_INVALID;
    COLORREF previous = d->dcPenColor;
    d->dcPenColor = color & 0xFFFFFF;
    return previous;
}

COLORREF WINAPI SetDCBrushColor(HDC dc, COLORREF color)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return CLR_INVALID;
    COLORREF previous = d->dcBrushColor;
    d->dcBrushColor = color & 0xFFFFFF;
    return previous;
}

BOOL WINAPI PatBlt(HDC dc, int x, int y, int width, int height, DWORD rop)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return FALSE;
    Fill mode = Fill::Color;
    int64_t color = 0;
    switch (rop) {
    case WHITENESS: color = 0xFFFFFF; break;
    case BLACKNESS: color = 0x000000; break;
    case DSTINVERT: mode = Fill::Invert; break;
    case PATCOPY: color = stockColor(stockIndex(d->brush), d); break;
    default: return FALSE;
    }
    Target t;
    if (!targetOf(dc, t))
        return TRUE;  // nothing visible to draw on
    if (color < 0)
        return TRUE;  // the null brush paints nothing
    // Negative extents count from the other corner.
    int64_t x0 = x, x1 = int64_t(x) + width, y0 = y, y1 = int64_t(y) + height;
    if (x1 < x0)
        std::swap(x0, x1);
    if (y1 < y0)
        std::swap(y0, y1);
    lock(t);
    fillRect(t, x0, y0, x1, y1, mode, static_cast<Uint32>(color));
    finish(t);
    return TRUE;
}

BOOL WINAPI BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int srcX, int srcY, DWORD rop)
{
    if (rop != SRCCOPY)
        return PatBlt(dst, x, y, width, height, rop);
    if (!findDC(dst) || !findDC(src))
        return FALSE;
    if (width <= 0 || height <= 0)
        return TRUE;
    Target to, from;
    if (!targetOf(dst, to) || to.empty() || !targetOf(src, from))
        return TRUE;
    // Only the part that can land inside the destination's clip is read.
    const int64_t l = std::max<int64_t>(x, to.clipLeft - to.originX);
    const int64_t r = std::min<int64_t>(int64_t(x) + width, to.clipRight - to.originX);
    const int64_t tp = std::max<int64_t>(y, to.clipTop - to.originY);
    const int64_t b = std::min<int64_t>(int64_t(y) + height, to.clipBottom - to.originY);
    if (l >= r || tp >= b)
        return TRUE;
    // Read everything first: source and destination may share a surface and overlap.
    const int64_t w = r - l, h = b - tp;
    std::vector<Uint32> pixels(static_cast<size_t>(w * h));
    std::vector<bool> valid(static_cast<size_t>(w * h));
    lock(from);
    for (int64_t j = 0; j < h; ++j)
        for (int64_t i = 0; i < w; ++i) {
            Uint32 rgb = 0;
            const size_t k = static_cast<size_t>(j * w + i);
            valid[k] = readPixel(from, srcX + (l - x) + i, srcY + (tp - y) + j, rgb);
            pixels[k] = rgb;
        }
    if (from.locked)
        SDL_UnlockSurface(from.surface);
    lock(to);
    for (int64_t j = 0; j < h; ++j)
        for (int64_t i = 0; i < w; ++i) {
            const size_t k = static_cast<size_t>(j * w + i);
            if (valid[k])
                plot(to, l + i, tp + j, pixels[k]);
        }
    finish(to);
    return TRUE;
}

BOOL WINAPI MoveToEx(HDC dc, int x, int y, LPPOINT previous)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return FALSE;
    if (previous)
        *previous = d->position;
    d->position = POINT{x, y};
    return TRUE;
}

BOOL WINAPI LineTo(HDC dc, int x, int y)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return FALSE;
    const POINT from = d->position;
    if (!inRange(x) || !inRange(y) || !inRange(from.x) || !inRange(from.y))
        return FALSE;
    d->position = POINT{x, y};
    const int64_t color = penColor(*d);
    Target t;
    if (color < 0 || !targetOf(dc, t) || t.empty())
        return TRUE;
    lock(t);
    drawLine(t, from.x, from.y, x, y, static_cast<Uint32>(color));
    finish(t);
    return TRUE;
}

BOOL WINAPI Arc(HDC dc, int left, int top, int right, int bottom, int xStart, int yStart, int xEnd, int yEnd)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return FALSE;
    for (int v : {left, top, right, bottom, xStart, yStart, xEnd, yEnd})
        if (!inRange(v))
            return FALSE;
    int64_t l = left, r = right, tp = top, b = bottom;
    if (r < l)
        std::swap(l, r);
    if (b < tp)
        std::swap(tp, b);
    // The outline stays inside the box, right and bottom edges excluded.
    --r;
    --b;
    const int64_t color = penColor(*d);
    Target t;
    if (r < l || b < tp || color < 0 || !targetOf(dc, t) || t.empty())
        return TRUE;
    const Uint32 rgb = static_cast<Uint32>(color);
    const double cx = (l + r) / 2.0, cy = (tp + b) / 2.0;
    const double a = (r - l) / 2.0, e = (b - tp) / 2.0;
    const double start = angleOf(xStart, yStart, cx, cy);
    const double end = angleOf(xEnd, yEnd, cx, cy);
    const bool whole = (xStart == xEnd && yStart == yEnd) || start == end;
    const double sweep = std::fmod(end - start + 4 * kPi, 2 * kPi);
    auto put = [&](int64_t px, int64_t py) {
        if (!whole && std::fmod(angleOf(double(px), double(py), cx, cy) - start + 4 * kPi, 2 * kPi) > sweep)
            return;
        plot(t, px, py, rgb);
    };
    // Only columns and rows that can reach the clip rectangle are walked.
    const int64_t colFirst = std::max(l, t.clipLeft - t.originX), colLast = std::min(r, t.clipRight - 1 - t.originX);
    const int64_t rowFirst = std::max(tp, t.clipTop - t.originY), rowLast = std::min(b, t.clipBottom - 1 - t.originY);
    lock(t);
    if (a == 0 || e == 0) {
        // A box one pixel thin: the outline is the box itself.
        for (int64_t y = rowFirst; y <= rowLast; ++y)
            for (int64_t x = colFirst; x <= colLast; ++x)
                put(x, y);
        finish(t);
        return TRUE;
    }
    // Sampling by columns and by rows gives a gap-free outline at every slope.
    for (int64_t x = colFirst; x <= colLast; ++x) {
        const double u = (x - cx) / a;
        const double dy = e * std::sqrt(std::max(0.0, 1 - u * u));
        put(x, static_cast<int64_t>(std::floor(cy - dy + 0.5)));
        put(x, static_cast<int64_t>(std::ceil(cy + dy - 0.5)));
    }
    for (int64_t y = rowFirst; y <= rowLast; ++y) {
        const double v = (y - cy) / e;
        const double dx = a * std::sqrt(std::max(0.0, 1 - v * v));
        put(static_cast<int64_t>(std::floor(cx - dx + 0.5)), y);
        put(static_cast<int64_t>(std::ceil(cx + dx - 0.5)), y);
    }
    finish(t);
    return TRUE;
}

COLORREF WINAPI GetPixel(HDC dc, int x, int y)
{
    Target t;
    if (!targetOf(dc, t))
        return CLR_INVALID;
    t.shownBy = nullptr;
    lock(t);
    Uint32 rgb = 0;
    const bool inside = readPixel(t, x, y, rgb);
    finish(t);
    return inside ? toColorref(rgb) : CLR_INVALID;
}

COLORREF WINAPI SetPixel(HDC dc, int x, int y, COLORREF color)
{
    Target t;
    if (!targetOf(dc, t))
        return CLR_INVALID;
    lock(t);
    Uint32 ignored = 0;
    const bool inside = readPixel(t, x, y, ignored) && !excluded(t, x + t.originX, y + t.originY);
    if (inside)
        plot(t, x, y, toRgb(color));
    finish(t);
    return inside ? (color & 0xFFFFFF) : CLR_INVALID;
}

namespace {

uint32_t readLE(const unsigned char* p, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// SDL decodes the file; this only refuses headers whose picture could not be held,
// before anything is allocated for it.
bool plausibleBmp(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;  // a FIFO or device would block or never end
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char h[26] = {};
    const size_t got = std::fread(h, 1, sizeof h, f);
    std::fclose(f);
    if (got < sizeof h || h[0] != 'B' || h[1] != 'M')
        return false;
    const uint32_t infoSize = readLE(h + 14, 4);
    int64_t width = 0, height = 0;
    if (infoSize == 12) {
        width = readLE(h + 18, 2);
        height = readLE(h + 20, 2);
    } else {
        width = static_cast<int32_t>(readLE(h + 18, 4));
        height = static_cast<int32_t>(readLE(h + 22, 4));
    }
    if (height < 0)
        height = -height;  // top-down rows
    return width > 0 && height > 0 && width <= kMaxBitmapSide && height <= kMaxBitmapSide &&
           width * height <= kMaxBitmapPixels;
}

HBITMAP loadBitmapFile(LPCWSTR name, int cx, int cy)
{
    const std::string path = toUtf8(name);
    if (path.empty() || !plausibleBmp(path))
        return nullptr;
    SDL_Surface* loaded = SDL_LoadBMP(path.c_str());
    if (!loaded)
        return nullptr;
    SDL_Surface* converted = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGB888, 0);
    SDL_FreeSurface(loaded);
    if (!converted)
        return nullptr;
    if ((cx > 0 && cx != converted->w) || (cy > 0 && cy != converted->h)) {
        SDL_Surface* scaled = newSurface(cx > 0 ? cx : converted->w, cy > 0 ? cy : converted->h);
        if (scaled && SDL_BlitScaled(converted, nullptr, scaled, nullptr) != 0) {
            SDL_FreeSurface(scaled);
            scaled = nullptr;
        }
        SDL_FreeSurface(converted);
        converted = scaled;
    }
    return registerBitmap(converted);
}

}  // namespace

HANDLE WINAPI LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT load)
{
    if (!name || cx < 0 || cy < 0)
        return nullptr;
    if (type == IMAGE_BITMAP) {
        if (!(load & LR_LOADFROMFILE) || IS_INTRESOURCE(name))
            return nullptr;  // no resources are linked into the program here
        return loadBitmapFile(name, cx, cy);
    }
    if (type == IMAGE_ICON || type == IMAGE_CURSOR) {
        const uintptr_t id = reinterpret_cast<uintptr_t>(name);
        if (instance || (load & LR_LOADFROMFILE) || !IS_INTRESOURCE(name) || id < kStandardResourceFirst ||
            id > kStandardResourceLast)
            return nullptr;
        // The system's standard icon and cursor: shared, never released.
        return makeHandle<HANDLE>(type == IMAGE_ICON ? kIconHandle : kCursorHandle);
    }
    return nullptr;
}

HANDLE WINAPI GetCurrentProcess(void)
{
    return makeHandle<HANDLE>(~uintptr_t(0));
}

DWORD WINAPI GetGuiResources(HANDLE, DWORD flags)
{
    Backend& b = backend();
    if (flags == GR_GDIOBJECTS)
        return static_cast<DWORD>(b.dcs.size() + b.bitmaps.size());
    if (flags == GR_USEROBJECTS)
        return static_cast<DWORD>(b.windows.size());
    return 0;
}
