// Presentation pacing: sends what paints drew on a top-level window's surface to its
// screen, at most once per kPresentIntervalUs (see sdl_present.h).
#include "platform/sdl_present.h"

#include <algorithm>
#include <chrono>

#include "platform/sdl_test_hooks.h"
#include "platform/sdl_window_state.h"

namespace qm {

namespace {

// Stands for "the whole surface" before it is clipped to the surface of the moment.
constexpr int64_t kMaxSurfaceExtent = 1 << 20;

bool g_anyUnshown = false;  // some top-level window's screen lags its surface

WindowRecord* findTopLevel(HWND topLevel)
{
    WindowRecord* w = findWindow(topLevel);
    return w && !w->parent ? w : nullptr;
}

void drawn(WindowRecord& w, int64_t l, int64_t tp, int64_t r, int64_t b, uint64_t now)
{
    w.pacing.drawn(l, tp, r, b, now);
    g_anyUnshown = true;
}

// Sends the window's unshown rectangle, clipped to the surface SDL holds now (a resize
// replaces it).
void sendToScreen(HWND top, WindowRecord& w, const RECT& u, uint64_t now)
{
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
    w.pacing.shown(now);
    if (TestHooks* hooks = testHooks())
        hooks->screenUpdated(top, s, rect);
}

void flushWindow(HWND top, WindowRecord& w, uint64_t now)
{
    sendToScreen(top, w, w.pacing.take(), now);
}

void drawnAndDue(HWND topLevel, int64_t l, int64_t tp, int64_t r, int64_t b)
{
    WindowRecord* w = findTopLevel(topLevel);
    if (!w || !w->sdl)
        return;
    const uint64_t now = nowUs();
    drawn(*w, l, tp, r, b, now);
    RECT owed;
    if (w->pacing.takeDue(now, owed))
        sendToScreen(topLevel, *w, owed, now);
}

}  // namespace

void ScreenPacing::drawn(int64_t left, int64_t top, int64_t right, int64_t bottom, uint64_t now)
{
    drawnAtUs = now;
    RECT& u = unshown;
    if (!owes()) {
        u = RECT{static_cast<LONG>(left), static_cast<LONG>(top), static_cast<LONG>(right), static_cast<LONG>(bottom)};
    } else {
        u.left = std::min<LONG>(u.left, static_cast<LONG>(left));
        u.top = std::min<LONG>(u.top, static_cast<LONG>(top));
        u.right = std::max<LONG>(u.right, static_cast<LONG>(right));
        u.bottom = std::max<LONG>(u.bottom, static_cast<LONG>(bottom));
    }
}

uint64_t ScreenPacing::untilDueUs(uint64_t now) const
{
    if (shownAtUs == 0 || now - shownAtUs >= kPresentIntervalUs)
        return 0;
    return shownAtUs + kPresentIntervalUs - now;
}

RECT ScreenPacing::take()
{
    const RECT u = unshown;
    unshown = RECT{0, 0, 0, 0};
    return u;
}

bool ScreenPacing::takeDue(uint64_t now, RECT& owed)
{
    if (!owes() || untilDueUs(now) != 0)
        return false;
    owed = take();
    return true;
}

uint64_t nowUs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void showDrawn(HWND topLevel, int64_t left, int64_t top, int64_t right, int64_t bottom)
{
    if (left < right && top < bottom)
        drawnAndDue(topLevel, left, top, right, bottom);
}

void present(HWND topLevel)
{
    drawnAndDue(topLevel, 0, 0, kMaxSurfaceExtent, kMaxSurfaceExtent);
}

void presentNow(HWND topLevel)
{
    WindowRecord* w = findTopLevel(topLevel);
    if (!w || !w->sdl)
        return;
    const uint64_t now = nowUs();
    drawn(*w, 0, 0, kMaxSurfaceExtent, kMaxSurfaceExtent, now);
    flushWindow(topLevel, *w, now);
}

void flushScreen(HWND topLevel)
{
    if (WindowRecord* w = findTopLevel(topLevel))
        flushWindow(topLevel, *w, nowUs());
}

uint32_t presentDue()
{
    if (!g_anyUnshown)
        return kNothingToPresent;
    const uint64_t now = nowUs();
    uint64_t soonest = UINT64_MAX;
    for (auto& entry : backend().windows) {
        WindowRecord& w = *entry.second;
        if (w.parent || !w.pacing.owes())
            continue;
        const uint64_t wait = w.pacing.untilDueUs(now);
        if (wait == 0)
            flushWindow(makeHandle<HWND>(entry.first), w, now);
        else
            soonest = std::min(soonest, wait);
    }
    g_anyUnshown = soonest != UINT64_MAX;
    // Rounded up, so that the wait never ends just before the update is due.
    return g_anyUnshown ? static_cast<uint32_t>((soonest + 999) / 1000) : kNothingToPresent;
}

}  // namespace qm
