// Copy avoidance: the history of what each surface's pixels equal (see sdl_copy_history.h).
#include "platform/sdl_copy_history.h"

#include <algorithm>
#include <cstddef>

namespace qm {

namespace {

// Inside `area`, pixel p is what p + shift was on the surface that had `baseStamp`,
// except inside the damage rectangles.
struct SurfaceHistory {
    SDL_Surface* surface = nullptr;  // null: a free slot
    uint64_t stamp = 0;              // new with every write, unique across surfaces
    uint64_t lastUse = 0;            // the least recently used slot goes when none is free
    uint64_t baseStamp = 0;          // 0: nothing known
    SDL_Rect area = {0, 0, 0, 0};
    int shiftX = 0;
    int shiftY = 0;
    SDL_Rect damage[kDamageRects];
    int damageCount = 0;
};
constexpr size_t kHistorySlots = 16;

// Fixed: tracking allocates nothing. Plain data, so nothing runs at exit either.
SurfaceHistory g_histories[kHistorySlots];
uint64_t g_clock = 0;  // source of stamps and use times

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
    const uintptr_t p = reinterpret_cast<uintptr_t>(s->userdata);
    const uintptr_t first = reinterpret_cast<uintptr_t>(&g_histories[0]);
    if (p >= first && p < first + sizeof(g_histories) && (p - first) % sizeof(SurfaceHistory) == 0) {
        SurfaceHistory* h = static_cast<SurfaceHistory*>(s->userdata);
        // A slot taken over by another surface no longer speaks for this one.
        if (h->surface == s) {
            h->lastUse = ++g_clock;
            return h;
        }
    }
    if (!create)
        return nullptr;
    SurfaceHistory* slot = &g_histories[0];
    for (SurfaceHistory& h : g_histories) {
        if (!h.surface) {
            slot = &h;
            break;
        }
        if (h.lastUse < slot->lastUse)
            slot = &h;
    }
    *slot = SurfaceHistory{};
    slot->surface = s;
    slot->stamp = slot->lastUse = ++g_clock;
    s->userdata = slot;
    return slot;
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

}  // namespace

void written(SDL_Surface* s, const SDL_Rect& r)
{
    SurfaceHistory* h = historyOf(s, false);
    if (!h || r.w <= 0 || r.h <= 0)
        return;
    h->stamp = ++g_clock;
    if (h->baseStamp)
        addDamage(*h, r);
}

void writtenWhole(SDL_Surface* s)
{
    written(s, SDL_Rect{0, 0, s->w, s->h});
}

void forgetHistory(SDL_Surface* s)
{
    if (SurfaceHistory* h = historyOf(s, false))
        *h = SurfaceHistory{};
    s->userdata = nullptr;
}

void planCopy(SDL_Surface* from, SDL_Surface* to, const SDL_Rect& area, int shiftX, int shiftY, CopyPlan& plan)
{
    // What the copy brings, described by the source's history where it covers the
    // source rectangle; the pixels of the destination that hold it already are skipped.
    const SDL_Rect source = {area.x + shiftX, area.y + shiftY, area.w, area.h};
    SurfaceHistory* src = historyOf(from, true);
    plan.area = area;
    plan.baseStamp = src->stamp;
    plan.baseX = shiftX;
    plan.baseY = shiftY;
    plan.carriedCount = 0;
    if (src->baseStamp && contains(src->area, source)) {
        plan.baseStamp = src->baseStamp;
        plan.baseX += src->shiftX;
        plan.baseY += src->shiftY;
        for (int i = 0; i < src->damageCount; ++i) {
            const SDL_Rect& d = src->damage[i];
            const SDL_Rect moved = intersection(SDL_Rect{d.x - shiftX, d.y - shiftY, d.w, d.h}, area);
            if (moved.w > 0)
                plan.carried[plan.carriedCount++] = moved;
        }
    }
    const SurfaceHistory* dst = historyOf(to, true);
    const bool known = dst->baseStamp == plan.baseStamp && dst->shiftX == plan.baseX &&
                       dst->shiftY == plan.baseY && contains(dst->area, area);
    plan.partCount = 0;
    if (!known) {
        plan.parts[plan.partCount++] = area;
        return;
    }
    for (int i = 0; i < dst->damageCount + plan.carriedCount; ++i) {
        const SDL_Rect d =
            intersection(i < dst->damageCount ? dst->damage[i] : plan.carried[i - dst->damageCount], area);
        if (d.w > 0)
            plan.parts[plan.partCount++] = d;
    }
}

void copied(SDL_Surface* to, const CopyPlan& plan)
{
    SurfaceHistory* dst = historyOf(to, true);
    dst->stamp = ++g_clock;
    dst->baseStamp = plan.baseStamp;
    dst->area = plan.area;
    dst->shiftX = plan.baseX;
    dst->shiftY = plan.baseY;
    std::copy(plan.carried, plan.carried + plan.carriedCount, dst->damage);
    dst->damageCount = plan.carriedCount;
}

}  // namespace qm
