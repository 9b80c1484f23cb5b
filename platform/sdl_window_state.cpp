// Lookups over the SDL window backend's state (see sdl_window_state.h): the records of
// windows, their tree and frames. They call no other file of the backend, so that
// drawing and presentation can find windows without calling back into sdl_window.cpp.
#include "platform/sdl_window_state.h"

#include "platform/sdl_test_hooks.h"

namespace qm {

namespace {

// Frame of a top-level window with a caption: border on each side, caption above.
constexpr int kBorder = 3;
constexpr int kThickBorder = 4;
constexpr int kCaption = 22;
constexpr int kMenuBar = 20;

TestHooks* g_testHooks = nullptr;  // set by the test library only

}  // namespace

Backend& backend()
{
    static Backend* instance = new Backend;
    return *instance;
}

uintptr_t newHandle()
{
    Backend& b = backend();
    b.nextHandle += 4;
    return b.nextHandle;
}

RECT frameInsets(DWORD style, DWORD exStyle, bool menu)
{
    (void)exStyle;
    int border = 0;
    if (style & WS_THICKFRAME)
        border = kThickBorder;
    else if (style & WS_DLGFRAME)
        border = kBorder;
    else if (style & WS_BORDER)
        border = 1;
    int top = border;
    if ((style & WS_CAPTION) == WS_CAPTION)
        top += kCaption;
    if (menu && !(style & WS_CHILD))
        top += kMenuBar;
    return RECT{border, top, border, border};
}

WindowRecord* findWindow(HWND hwnd)
{
    Backend& b = backend();
    auto it = b.windows.find(key(hwnd));
    return it == b.windows.end() ? nullptr : it->second.get();
}

HWND topLevelOf(HWND hwnd)
{
    HWND h = hwnd;
    for (WindowRecord* w = findWindow(h); w && w->parent; w = findWindow(h))
        h = w->parent;
    return findWindow(h) ? h : nullptr;
}

POINT clientOriginInTopLevel(HWND hwnd)
{
    POINT p = {0, 0};
    for (WindowRecord* w = findWindow(hwnd); w && w->parent; w = findWindow(w->parent)) {
        RECT in = frameInsets(w->style, w->exStyle, false);
        p.x += w->rect.left + in.left;
        p.y += w->rect.top + in.top;
    }
    return p;
}

bool isShown(HWND hwnd)
{
    for (WindowRecord* w = findWindow(hwnd); w; w = findWindow(w->parent)) {
        if (!(w->style & WS_VISIBLE))
            return false;
        if (!w->parent)
            return true;
    }
    return false;
}

void ensureEvents()
{
    Backend& b = backend();
    if (b.eventsReady.load(std::memory_order_acquire))
        return;
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    if (SDL_InitSubSystem(SDL_INIT_EVENTS) != 0)
        return;
    b.wakeEvent = SDL_RegisterEvents(1);
    b.eventsReady.store(true, std::memory_order_release);
}

TestHooks* testHooks()
{
    return g_testHooks;
}

void setTestHooks(TestHooks* hooks)
{
    g_testHooks = hooks;
}

}  // namespace qm
