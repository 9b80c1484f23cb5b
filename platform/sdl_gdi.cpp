// Win32 GDI drawing over SDL2 surfaces.
// Implemented:
//  [x] GetDC/ReleaseDC: window DCs draw on the top-level SDL surface, offset and clipped to
//      the window's client area (children left out under WS_CLIPCHILDREN); what they draw
//      reaches the screen at once after a pause, and during a flood of paints at most once
//      per 16 ms, the touched areas gathered into one update (the message loop sends the rest)
//  [x] CreateCompatibleDC/DeleteDC, CreateCompatibleBitmap (32-bit), SelectObject (bitmaps,
//      stock pens and brushes), DeleteObject (refused while a bitmap is selected, as GDI does),
//      GetStockObject, GetObjectW (BITMAP)
//  [x] SetDCPenColor, SetDCBrushColor, PatBlt (WHITENESS, BLACKNESS, PATCOPY, DSTINVERT),
//      BitBlt (SRCCOPY and the fills; whole rows copied where the formats match), MoveToEx,
//      LineTo (end point left out), Arc (counter-clockwise; equal start and end give the whole
//      outline), GetPixel, SetPixel
//  [x] No allocation per paint: DCs and bitmaps live in reused slots, a freed bitmap's pixels
//      serve the next one of its size
//  [x] GetGuiResources(GR_GDIOBJECTS): live DCs and bitmaps
//  [ ] Pens wider than one pixel, fonts, regions, mapping modes, raster operations beyond these
// Here: handles, stock objects, spare surfaces, DCs and where they draw (targets and
// clipping), and the API. The pixels are the rasteriser's (sdl_raster.h); what a surface
// already holds, the copy history's (sdl_copy_history.h); when the screen is updated, the
// presentation's (sdl_present.h).
#include "platform/sdl_window_state.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/sdl_copy_history.h"
#include "platform/sdl_present.h"
#include "platform/sdl_raster.h"

namespace qm {

namespace {

// GDI works in 27-bit coordinates; larger ones are refused rather than overflowing.
constexpr int64_t kMaxCoordinate = int64_t(1) << 27;
// Freed bitmaps kept for reuse: a paint needs one back buffer; more would only hold memory.
constexpr size_t kSpareSurfaces = 2;
constexpr int64_t kMaxSparePixels = int64_t(1) << 22;
constexpr uintptr_t kStockBase = 0x100;
constexpr int kStockCount = 20;
constexpr uintptr_t kDefaultBitmapHandle = 0x408;
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
    return backend().dcs.find(key(dc));
}

GdiBitmap* findBitmap(HGDIOBJ object)
{
    return backend().bitmaps.find(key(object));
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

SDL_Surface* takeSpare(int64_t width, int64_t height)
{
    auto& spares = backend().spareSurfaces;
    for (auto it = spares.begin(); it != spares.end(); ++it) {
        SDL_Surface* s = *it;
        if (s->w == width && s->h == height) {
            spares.erase(it);
            return s;
        }
    }
    return nullptr;
}

void releaseSurface(SDL_Surface* s)
{
    auto& spares = backend().spareSurfaces;
    if (!s)
        return;
    if (kSpareSurfaces == 0 || s->format->format != SDL_PIXELFORMAT_RGB888 || (s->flags & SDL_PREALLOC) ||
        int64_t(s->w) * s->h > kMaxSparePixels) {
        forgetHistory(s);
        SDL_FreeSurface(s);
        return;
    }
    if (spares.capacity() < kSpareSurfaces)
        spares.reserve(kSpareSurfaces);
    if (spares.size() == kSpareSurfaces) {
        forgetHistory(spares.front());
        SDL_FreeSurface(spares.front());
        spares.erase(spares.begin());
    }
    spares.push_back(s);
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
        t.intersect(o.x, o.y, int64_t(o.x) + r->clientWidth, int64_t(o.y) + r->clientHeight);
    }
    POINT origin = clientOriginInTopLevel(hwnd);
    t.originX = origin.x;
    t.originY = origin.y;
    if (w->style & WS_CLIPCHILDREN) {
        for (HWND c : w->children) {
            WindowRecord* cr = findWindow(c);
            if (!cr || !(cr->style & WS_VISIBLE))
                continue;
            t.exclude(SDL_Rect{static_cast<int>(origin.x + cr->rect.left), static_cast<int>(origin.y + cr->rect.top),
                               static_cast<int>(cr->rect.right - cr->rect.left),
                               static_cast<int>(cr->rect.bottom - cr->rect.top)});
        }
    }
    t.shownBy = top;
    return true;
}

GdiBitmap* selectedBitmap(HDC dc)
{
    GdiDC* d = findDC(dc);
    return d && d->memory ? findBitmap(d->bitmap) : nullptr;
}

// A bitmap that still owes its fill gets it now, unless what comes overwrites every pixel.
void settleFill(GdiBitmap* bm, bool overwritten)
{
    if (!bm || bm->pendingFill < 0)
        return;
    SDL_Surface* s = bm->surface;
    if (!overwritten) {
        for (int y = 0; y < s->h; ++y) {
            Uint32* row = reinterpret_cast<Uint32*>(static_cast<Uint8*>(s->pixels) + int64_t(y) * s->pitch);
            std::fill(row, row + s->w, static_cast<Uint32>(bm->pendingFill));
        }
        writtenWhole(s);
    }
    bm->pendingFill = -1;
}

// With `settle` false the caller must settleFill the DC's bitmap before touching pixels.
bool targetOf(HDC dc, Target& t, bool settle = true)
{
    GdiDC* d = findDC(dc);
    if (!d)
        return false;
    if (!d->memory)
        return d->window && windowTarget(d->window, t);
    t.surface = surfaceOf(d->bitmap);
    if (!t.surface)
        return false;
    if (settle)
        settleFill(findBitmap(d->bitmap), false);
    t.clipRight = t.surface->w;
    t.clipBottom = t.surface->h;
    return true;
}

// What a drawing call drew goes to the surface's history and, on a window, to its screen.
void finish(Target& t)
{
    if (t.locked)
        SDL_UnlockSurface(t.surface);
    t.locked = false;
    if (t.surface && !t.historyKept && t.touchedLeft < t.touchedRight && t.touchedTop < t.touchedBottom)
        written(t.surface, SDL_Rect{static_cast<int>(t.touchedLeft), static_cast<int>(t.touchedTop),
                                    static_cast<int>(t.touchedRight - t.touchedLeft),
                                    static_cast<int>(t.touchedBottom - t.touchedTop)});
    showDrawn(t.shownBy, t.touchedLeft, t.touchedTop, t.touchedRight, t.touchedBottom);
}

int64_t penColor(const GdiDC& d)
{
    return stockColor(stockIndex(d.pen), &d);
}

bool inRange(int64_t v)
{
    return v >= -kMaxCoordinate && v <= kMaxCoordinate;
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

HBITMAP registerBitmap(SDL_Surface* surface, int64_t pendingFill)
{
    if (!surface)
        return nullptr;
    const uintptr_t handle = newHandle();
    backend().bitmaps.insert(handle, GdiBitmap{surface, nullptr, pendingFill});
    return makeHandle<HBITMAP>(handle);
}

SDL_Surface* newSurface(int64_t width, int64_t height, bool cleared)
{
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide ||
        width * height > kMaxBitmapPixels)
        return nullptr;
    SDL_Surface* s = takeSpare(width, height);
    if (!s)
        s = SDL_CreateRGBSurfaceWithFormat(0, static_cast<int>(width), static_cast<int>(height), 32,
                                           SDL_PIXELFORMAT_RGB888);
    // A new bitmap is black, also when its pixels served another before.
    if (s && cleared) {
        SDL_memset(s->pixels, 0, static_cast<size_t>(s->pitch) * static_cast<size_t>(s->h));
        writtenWhole(s);
    }
    return s;
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
    backend().dcs.insert(handle, dc);
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
    backend().dcs.insert(handle, dc);
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
    return registerBitmap(newSurface(width, height, false), 0x000000);
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
    releaseSurface(bm->surface);
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
    if (!targetOf(dc, t, false))
        return TRUE;  // nothing visible to draw on
    if (color < 0)
        return TRUE;  // the null brush paints nothing
    // Negative extents count from the other corner.
    int64_t x0 = x, x1 = int64_t(x) + width, y0 = y, y1 = int64_t(y) + height;
    if (x1 < x0)
        std::swap(x0, x1);
    if (y1 < y0)
        std::swap(y0, y1);
    if (GdiBitmap* bm = selectedBitmap(dc)) {
        const bool all = x0 <= 0 && y0 <= 0 && x1 >= t.surface->w && y1 >= t.surface->h;
        if (all && mode == Fill::Color) {
            bm->pendingFill = color;  // written when something reads or draws over part of it
            return TRUE;
        }
        settleFill(bm, false);
    }
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
    // The destination's pending fill stays pending until pixels are copied.
    if (!targetOf(src, from) || !targetOf(dst, to, false) || to.empty())
        return TRUE;
    // Only what lands inside the destination's clip and comes from inside the source's.
    const int64_t dx = int64_t(srcX) - x, dy = int64_t(srcY) - y;  // source = destination + (dx, dy)
    int64_t l = std::max<int64_t>(x, to.clipLeft - to.originX);
    int64_t r = std::min<int64_t>(int64_t(x) + width, to.clipRight - to.originX);
    int64_t tp = std::max<int64_t>(y, to.clipTop - to.originY);
    int64_t b = std::min<int64_t>(int64_t(y) + height, to.clipBottom - to.originY);
    l = std::max(l, from.clipLeft - from.originX - dx);
    r = std::min(r, from.clipRight - from.originX - dx);
    tp = std::max(tp, from.clipTop - from.originY - dy);
    b = std::min(b, from.clipBottom - from.originY - dy);
    if (l >= r || tp >= b)
        return TRUE;
    // Memory DCs clip to nothing but their bitmap, so this is the whole of it.
    settleFill(selectedBitmap(dst), l <= 0 && tp <= 0 && r >= to.surface->w && b >= to.surface->h);
    SDL_Surface* in = from.surface;
    SDL_Surface* out = to.surface;
    const bool sameFormat = in->format->format == out->format->format;
    const int bytes = out->format->BytesPerPixel;
    // Rows in surface pixels; when the copy moves down its own surface, go bottom-up so
    // that no row is read after it was overwritten (memmove handles each row).
    const int64_t first = tp + to.originY, last = b + to.originY;
    const int64_t shiftX = dx + from.originX - to.originX, shiftY = dy + from.originY - to.originY;
    const bool upward = in == out && shiftY < 0;
    // Within one row, spans go right to left when the copy moves right.
    const bool leftward = in == out && shiftY == 0 && shiftX < 0;
    lock(from);
    lock(to);
    auto copyRows = [&](int64_t left, int64_t right, int64_t top, int64_t bottom) {
        for (int64_t k = 0; k < bottom - top; ++k) {
            const int64_t row = upward ? bottom - 1 - k : top + k;
            forVisibleSpans(to, row, left, right, [&](int64_t a, int64_t z) {
                if (sameFormat) {
                    std::memmove(pixelAt(out, a, row), pixelAt(in, a + shiftX, row + shiftY),
                                 static_cast<size_t>((z - a) * bytes));
                } else {
                    for (int64_t i = a; i < z; ++i)
                        putRaw(out, i, row, getRaw(in, i + shiftX, row + shiftY));
                }
            }, leftward);
        }
        to.touch(left, top, right, bottom);
    };
    const SDL_Rect area = {static_cast<int>(l + to.originX), static_cast<int>(first), static_cast<int>(r - l),
                           static_cast<int>(last - first)};
    if (sameFormat && in != out && to.exclusionTotal() == 0) {
        // Only what the destination does not hold already.
        CopyPlan plan;
        planCopy(in, out, area, static_cast<int>(shiftX), static_cast<int>(shiftY), plan);
        for (int i = 0; i < plan.partCount; ++i) {
            const SDL_Rect& p = plan.parts[i];
            copyRows(p.x, int64_t(p.x) + p.w, p.y, int64_t(p.y) + p.h);
        }
        copied(out, plan);
        to.historyKept = true;
    } else {
        copyRows(area.x, int64_t(area.x) + area.w, first, last);
    }
    if (from.locked)
        SDL_UnlockSurface(from.surface);
    from.locked = false;
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
