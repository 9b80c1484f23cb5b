#pragma once
// The rasteriser of the SDL drawing layer: pixels, spans, rectangles and lines on a
// surface, clipped to a Target. Internal to platform/; it knows surfaces only: where a
// DC's drawing lands is worked out by sdl_gdi.cpp, which also reports what was drawn
// (to the copy history and the presentation).

#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/win32.h"

namespace qm {

// Windows with more children than this keep the rest of their exclusions on the heap.
constexpr int kInlineExclusions = 8;

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
    void intersect(int64_t l, int64_t tp, int64_t r, int64_t b)
    {
        clipLeft = std::max(clipLeft, l);
        clipTop = std::max(clipTop, tp);
        clipRight = std::min(clipRight, r);
        clipBottom = std::min(clipBottom, b);
    }
};

void lock(Target& t);
bool excluded(const Target& t, int64_t x, int64_t y);

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

// x, y in surface pixels, already clipped; colours as 0xRRGGBB. Inline: the copies
// of sdl_gdi.cpp call them per pixel where formats differ.
inline Uint8* pixelAt(SDL_Surface* s, int64_t x, int64_t y)
{
    return static_cast<Uint8*>(s->pixels) + y * s->pitch + x * s->format->BytesPerPixel;
}

inline void putRaw(SDL_Surface* s, int64_t x, int64_t y, Uint32 rgb)
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

inline Uint32 getRaw(SDL_Surface* s, int64_t x, int64_t y)
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

// x, y in DC coordinates, clipped here.
void plot(Target& t, int64_t x, int64_t y, Uint32 rgb);
bool readPixel(Target& t, int64_t x, int64_t y, Uint32& rgb);
enum class Fill { Color, Invert };
// Rectangle [x0, x1) x [y0, y1), row by row.
void fillRect(Target& t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, Fill mode, Uint32 rgb);
// The line from (x0, y0) towards (x1, y1), the end point left out.
void drawLine(Target& t, int64_t x0, int64_t y0, int64_t x1, int64_t y1, Uint32 rgb);

}  // namespace qm
