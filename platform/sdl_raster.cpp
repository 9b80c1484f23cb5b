// The rasteriser of the SDL drawing layer (see sdl_raster.h).
#include "platform/sdl_raster.h"

namespace qm {

void lock(Target& t)
{
    if (t.surface && SDL_MUSTLOCK(t.surface) && SDL_LockSurface(t.surface) == 0)
        t.locked = true;
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

}  // namespace qm
