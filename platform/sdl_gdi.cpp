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
#include "platform/sdl_window_state.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qm {

namespace {

// GDI works in 27-bit coordinates; larger ones are refused rather than overflowing.
constexpr int64_t kMaxCoordinate = int64_t(1) << 27;
// Freed bitmaps kept for reuse: a paint needs one back buffer; more would only hold memory.
constexpr size_t kSpareSurfaces = 2;
constexpr int64_t kMaxSparePixels = int64_t(1) << 22;
// Windows with more children than this keep the rest of their exclusions on the heap.
constexpr int kInlineExclusions = 8;
constexpr uintptr_t kStockBase = 0x100;
constexpr int kStockCount = 20;
constexpr uintptr_t kDefaultBitmapHandle = 0x408;
constexpr double kPi = 3.14159265358979323846;
// Stands for "the whole surface" before it is clipped to the surface of the moment.
constexpr int64_t kMaxSurfaceExtent = 1 << 20;

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

SDL_Rect intersection(const SDL_Rect& a, const SDL_Rect& b)
{
    const int l = std::max(a.x, b.x), t = std::max(a.y, b.y);
    const int r = std::min(a.x + a.w, b.x + b.w), bt = std::min(a.y + a.h, b.y + b.h);
    return r > l && bt > t ? SDL_Rect{l, t, r - l, bt - t} : SDL_Rect{0, 0, 0, 0};
}

bool contains(const SDL_Rect& outer, const SDL_Rect& inner)
{
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.w <= outer.x + outer.w &&
           inner.y + inner.h <= outer.y + outer.h;
}

SDL_Rect boundingBox(const SDL_Rect& a, const SDL_Rect& b)
{
    const int l = std::min(a.x, b.x), t = std::min(a.y, b.y);
    return SDL_Rect{l, t, std::max(a.x + a.w, b.x + b.w) - l, std::max(a.y + a.h, b.y + b.h) - t};
}

SurfaceHistory* historyOf(SDL_Surface* s, bool create)
{
    Backend& b = backend();
    const uintptr_t p = reinterpret_cast<uintptr_t>(s->userdata);
    const uintptr_t first = reinterpret_cast<uintptr_t>(&b.histories[0]);
    if (p >= first && p < first + sizeof(b.histories) && (p - first) % sizeof(SurfaceHistory) == 0) {
        SurfaceHistory* h = static_cast<SurfaceHistory*>(s->userdata);
        // A slot taken over by another surface no longer speaks for this one.
        if (h->surface == s) {
            h->lastUse = ++b.historyClock;
            return h;
        }
    }
    if (!create)
        return nullptr;
    SurfaceHistory* slot = &b.histories[0];
    for (SurfaceHistory& h : b.histories) {
        if (!h.surface) {
            slot = &h;
            break;
        }
        if (h.lastUse < slot->lastUse)
            slot = &h;
    }
    *slot = SurfaceHistory{};
    slot->surface = s;
    slot->stamp = slot->lastUse = ++b.historyClock;
    s->userdata = slot;
    return slot;
}

void forgetHistory(SDL_Surface* s)
{
    if (SurfaceHistory* h = historyOf(s, false))
        *h = SurfaceHistory{};
    s->userdata = nullptr;
}

void addDamage(SurfaceHistory& h, const SDL_Rect& r)
{
    const SDL_Rect d = intersection(r, h.area);
    if (d.w == 0)
        return;
    if (contains(d, h.area)) {
        h.baseStamp = 0;  // nothing known any more
        h.damageCount = 0;
        return;
    }
    if (h.damageCount < kDamageRects) {
        h.damage[h.damageCount++] = d;
        return;
    }
    // Full: merged into the rectangle that grows least.
    int best = 0;
    int64_t bestGrowth = INT64_MAX;
    for (int i = 0; i < h.damageCount; ++i) {
        const SDL_Rect u = boundingBox(h.damage[i], d);
        const int64_t growth = int64_t(u.w) * u.h - int64_t(h.damage[i].w) * h.damage[i].h;
        if (growth < bestGrowth) {
            bestGrowth = growth;
            best = i;
        }
    }
    h.damage[best] = boundingBox(h.damage[best], d);
    if (contains(h.damage[best], h.area)) {
        h.baseStamp = 0;
        h.damageCount = 0;
    }
}

// Every write to a surface's pixels comes through here (or sets the history itself).
void written(SDL_Surface* s, const SDL_Rect& r)
{
    SurfaceHistory* h = historyOf(s, false);
    if (!h || r.w <= 0 || r.h <= 0)
        return;
    h->stamp = ++backend().historyClock;
    if (h->baseStamp)
        addDamage(*h, r);
}

void writtenWhole(SDL_Surface* s)
{
    written(s, SDL_Rect{0, 0, s->w, s->h});
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

// Where a DC's drawing lands: a surface, the DC's origin on it, a clip rectangle in
// surface pixels, and areas left out (children of a WS_CLIPCHILDREN window).
struct Target {
    SDL_Surface* surface = nullptr;
    int64_t originX = 0;
    int64_t originY = 0;
    int64_t clipLeft = 0, clipTop = 0, clipRight = 0, clipBottom = 0;
    SDL_Rect exclusions[kInlineExclusions];
    int exclusionCount = 0;
    std::vector<SDL_Rect> moreExclusions;  // stays empty, unallocated, for windows with few children
    HWND shownBy = nullptr;                // top-level window to present afterwards
    bool locked = false;
    bool historyKept = false;              // the drawing call updated the surface's history itself
    // What was drawn, in surface pixels: only that is sent to the screen.
    int64_t touchedLeft = INT64_MAX, touchedTop = INT64_MAX, touchedRight = INT64_MIN, touchedBottom = INT64_MIN;

    bool empty() const { return !surface || clipLeft >= clipRight || clipTop >= clipBottom; }
    int exclusionTotal() const { return exclusionCount + static_cast<int>(moreExclusions.size()); }
    const SDL_Rect& exclusion(int i) const
    {
        return i < exclusionCount ? exclusions[i] : moreExclusions[static_cast<size_t>(i - exclusionCount)];
    }
    void exclude(const SDL_Rect& r)
    {
        if (exclusionCount < kInlineExclusions)
            exclusions[exclusionCount++] = r;
        else
            moreExclusions.push_back(r);
    }
    void touch(int64_t l, int64_t tp, int64_t r, int64_t b)
    {
        touchedLeft = std::min(touchedLeft, l);
        touchedTop = std::min(touchedTop, tp);
        touchedRight = std::max(touchedRight, r);
        touchedBottom = std::max(touchedBottom, b);
    }
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

void lock(Target& t)
{
    if (t.surface && SDL_MUSTLOCK(t.surface) && SDL_LockSurface(t.surface) == 0)
        t.locked = true;
}

void addUnshown(WindowRecord& w, int64_t l, int64_t tp, int64_t r, int64_t b, uint64_t now)
{
    w.drawnAtUs = now;
    RECT& u = w.unshown;
    if (u.left >= u.right || u.top >= u.bottom) {
        u = RECT{static_cast<LONG>(l), static_cast<LONG>(tp), static_cast<LONG>(r), static_cast<LONG>(b)};
    } else {
        u.left = std::min<LONG>(u.left, static_cast<LONG>(l));
        u.top = std::min<LONG>(u.top, static_cast<LONG>(tp));
        u.right = std::max<LONG>(u.right, static_cast<LONG>(r));
        u.bottom = std::max<LONG>(u.bottom, static_cast<LONG>(b));
    }
    backend().anyUnshown = true;
}

bool due(const WindowRecord& w, uint64_t now)
{
    return untilPresentUs(w, now) == 0;
}

Uint32 getRaw(SDL_Surface* s, int64_t x, int64_t y);

void copyToScreenSeam(HWND top, SDL_Surface* s, const SDL_Rect& r)
{
    ScreenCopy& screen = backend().seam->screens[key(top)];
    if (screen.width != s->w || screen.height != s->h) {
        screen.width = s->w;
        screen.height = s->h;
        screen.pixels.assign(static_cast<size_t>(s->w) * static_cast<size_t>(s->h), 0);
    }
    for (int y = r.y; y < r.y + r.h; ++y)
        for (int x = r.x; x < r.x + r.w; ++x)
            screen.pixels[static_cast<size_t>(y) * static_cast<size_t>(s->w) + static_cast<size_t>(x)] =
                getRaw(s, x, y);
}

// Sends the window's unshown rectangle, clipped to the surface SDL holds now (a resize
// replaces it).
void flushWindow(HWND top, WindowRecord& w, uint64_t now)
{
    RECT u = w.unshown;
    w.unshown = RECT{0, 0, 0, 0};
    if (!w.sdl || u.left >= u.right || u.top >= u.bottom)
        return;
    SDL_Surface* s = SDL_GetWindowSurface(w.sdl);
    if (!s)
        return;
    const int l = std::max<int>(0, u.left), tp = std::max<int>(0, u.top);
    const int r = std::min<int>(s->w, u.right), b = std::min<int>(s->h, u.bottom);
    if (l >= r || tp >= b)
        return;
    const SDL_Rect rect = {l, tp, r - l, b - tp};
    SDL_UpdateWindowSurfaceRects(w.sdl, &rect, 1);
    w.shownAtUs = now;
    Backend& bk = backend();
    bk.screenUpdates.fetch_add(1, std::memory_order_relaxed);
    if (bk.seam && bk.seam->copyScreens)
        copyToScreenSeam(top, s, rect);
}

void showTouched(const Target& t)
{
    WindowRecord* w = findWindow(t.shownBy);
    if (!w || !w->sdl || w->parent || t.touchedLeft >= t.touchedRight || t.touchedTop >= t.touchedBottom)
        return;
    const uint64_t now = nowUs();
    addUnshown(*w, t.touchedLeft, t.touchedTop, t.touchedRight, t.touchedBottom, now);
    if (due(*w, now))
        flushWindow(t.shownBy, *w, now);
}

void finish(Target& t)
{
    if (t.locked)
        SDL_UnlockSurface(t.surface);
    t.locked = false;
    if (t.surface && !t.historyKept && t.touchedLeft < t.touchedRight && t.touchedTop < t.touchedBottom)
        written(t.surface, SDL_Rect{static_cast<int>(t.touchedLeft), static_cast<int>(t.touchedTop),
                                    static_cast<int>(t.touchedRight - t.touchedLeft),
                                    static_cast<int>(t.touchedBottom - t.touchedTop)});
    showTouched(t);
}

bool excluded(const Target& t, int64_t x, int64_t y)
{
    for (int i = 0; i < t.exclusionTotal(); ++i) {
        const SDL_Rect& r = t.exclusion(i);
        if (x >= r.x && x < int64_t(r.x) + r.w && y >= r.y && y < int64_t(r.y) + r.h)
            return true;
    }
    return false;
}

// Calls span(from, to) for each part of surface row y within [l, r) that no excluded
// rectangle covers, left to right, or right to left when `leftward`.
template <class Span>
void forVisibleSpans(const Target& t, int64_t y, int64_t l, int64_t r, Span span, bool leftward = false)
{
    int64_t x = leftward ? r : l;  // the edge of what is still to do
    while (leftward ? x > l : x < r) {
        int64_t end = leftward ? l : r;
        bool covered = false;
        for (int i = 0; i < t.exclusionTotal() && !covered; ++i) {
            const SDL_Rect& e = t.exclusion(i);
            if (y < e.y || y >= int64_t(e.y) + e.h || e.w <= 0)
                continue;
            const int64_t left = e.x, right = int64_t(e.x) + e.w;
            const int64_t next = leftward ? x - 1 : x;  // the pixel about to be done
            if (next >= left && next < right) {
                x = leftward ? left : right;
                covered = true;
            } else if (leftward ? (right < x && right > end) : (left > x && left < end)) {
                end = leftward ? right : left;
            }
        }
        if (covered)
            continue;
        if (leftward)
            span(end, x);
        else
            span(x, end);
        x = end;
    }
}

Uint8* pixelAt(SDL_Surface* s, int64_t x, int64_t y)
{
    return static_cast<Uint8*>(s->pixels) + y * s->pitch + x * s->format->BytesPerPixel;
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
    t.touch(x, y, x + 1, y + 1);
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

// Rectangle [x0, x1) x [y0, y1) in DC coordinates, row by row.
void fillRect(Target& t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, Fill mode, Uint32 rgb)
{
    const int64_t l = std::max(x0 + t.originX, t.clipLeft), r = std::min(x1 + t.originX, t.clipRight);
    const int64_t tp = std::max(y0 + t.originY, t.clipTop), b = std::min(y1 + t.originY, t.clipBottom);
    if (l >= r || tp >= b)
        return;
    SDL_Surface* s = t.surface;
    const bool direct = s->format->format == SDL_PIXELFORMAT_RGB888;
    for (int64_t y = tp; y < b; ++y)
        forVisibleSpans(t, y, l, r, [&](int64_t from, int64_t to) {
            Uint32* row = reinterpret_cast<Uint32*>(pixelAt(s, 0, y));
            if (direct && mode == Fill::Color) {
                std::fill(row + from, row + to, rgb);
            } else if (direct) {
                for (int64_t x = from; x < to; ++x)
                    row[x] = ~row[x] & 0xFFFFFF;
            } else {
                for (int64_t x = from; x < to; ++x)
                    putRaw(s, x, y, mode == Fill::Invert ? (~getRaw(s, x, y) & 0xFFFFFF) : rgb);
            }
        });
    t.touch(l, tp, r, b);
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

uint64_t nowUs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t untilPresentUs(const WindowRecord& w, uint64_t now)
{
    if (w.shownAtUs == 0 || now - w.shownAtUs >= kPresentIntervalUs)
        return 0;
    return w.shownAtUs + kPresentIntervalUs - now;
}

HBITMAP defaultBitmapHandle()
{
    return makeHandle<HBITMAP>(kDefaultBitmapHandle);
}

void present(HWND topLevel)
{
    WindowRecord* w = findWindow(topLevel);
    if (!w || !w->sdl || w->parent)
        return;
    const uint64_t now = nowUs();
    addUnshown(*w, 0, 0, kMaxSurfaceExtent, kMaxSurfaceExtent, now);
    if (due(*w, now))
        flushWindow(topLevel, *w, now);
}

void presentNow(HWND topLevel)
{
    WindowRecord* w = findWindow(topLevel);
    if (!w || !w->sdl || w->parent)
        return;
    const uint64_t now = nowUs();
    addUnshown(*w, 0, 0, kMaxSurfaceExtent, kMaxSurfaceExtent, now);
    flushWindow(topLevel, *w, now);
}

void flushScreen(HWND topLevel)
{
    WindowRecord* w = findWindow(topLevel);
    if (w && !w->parent)
        flushWindow(topLevel, *w, nowUs());
}

Uint32 presentDue()
{
    Backend& b = backend();
    if (!b.anyUnshown)
        return kNothingToPresent;
    const uint64_t now = nowUs();
    uint64_t soonest = UINT64_MAX;
    for (auto& entry : b.windows) {
        WindowRecord& w = *entry.second;
        if (w.parent || w.unshown.left >= w.unshown.right || w.unshown.top >= w.unshown.bottom)
            continue;
        if (due(w, now))
            flushWindow(makeHandle<HWND>(entry.first), w, now);
        else
            soonest = std::min(soonest, w.shownAtUs + kPresentIntervalUs - now);
    }
    b.anyUnshown = soonest != UINT64_MAX;
    // Rounded up, so that the wait never ends just before the update is due.
    return b.anyUnshown ? static_cast<Uint32>((soonest + 999) / 1000) : kNothingToPresent;
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
        // What the copy brings, described by the source's history where it covers the
        // source rectangle; the pixels of the destination that hold it already are skipped.
        const int sx = static_cast<int>(shiftX), sy = static_cast<int>(shiftY);
        const SDL_Rect source = {area.x + sx, area.y + sy, area.w, area.h};
        SurfaceHistory* src = historyOf(in, true);
        uint64_t baseStamp = src->stamp;
        int baseX = sx, baseY = sy;
        SDL_Rect carried[kDamageRects];
        int carriedCount = 0;
        if (src->baseStamp && contains(src->area, source)) {
            baseStamp = src->baseStamp;
            baseX += src->shiftX;
            baseY += src->shiftY;
            for (int i = 0; i < src->damageCount; ++i) {
                const SDL_Rect& d = src->damage[i];
                const SDL_Rect moved = intersection(SDL_Rect{d.x - sx, d.y - sy, d.w, d.h}, area);
                if (moved.w > 0)
                    carried[carriedCount++] = moved;
            }
        }
        SurfaceHistory* dst = historyOf(out, true);
        const bool known = dst->baseStamp == baseStamp && dst->shiftX == baseX && dst->shiftY == baseY &&
                           contains(dst->area, area);
        if (known) {
            for (int i = 0; i < dst->damageCount + carriedCount; ++i) {
                const SDL_Rect d = intersection(i < dst->damageCount ? dst->damage[i] : carried[i - dst->damageCount], area);
                if (d.w > 0)
                    copyRows(d.x, int64_t(d.x) + d.w, d.y, int64_t(d.y) + d.h);
            }
        } else {
            copyRows(area.x, int64_t(area.x) + area.w, first, last);
        }
        dst->stamp = ++backend().historyClock;
        dst->baseStamp = baseStamp;
        dst->area = area;
        dst->shiftX = baseX;
        dst->shiftY = baseY;
        std::copy(carried, carried + carriedCount, dst->damage);
        dst->damageCount = carriedCount;
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
