// Test seams of the SDL window backend: pushed SDL input, a failing GetMessageW, a
// screen of a chosen size, the count of screen updates, SDL's allocator. Built into
// qm_platform_testing, never into the program.
#include "platform/sdl_window_state.h"

#include <atomic>
#include <map>
#include <vector>

#include "platform/sdl_present.h"
#include "platform/sdl_raster.h"
#include "platform/sdl_test_hooks.h"
#include "platform/win32_testing.h"

using namespace qm;

namespace {

// What a top-level window's screen shows: RGB888 rows.
struct ScreenCopy {
    int width = 0;
    int height = 0;
    std::vector<Uint32> pixels;
};

// What the tests change and watch; the program has none of it.
class Seam final : public TestHooks {
public:
    std::atomic<uint64_t> screenUpdates{0};  // atomic so tests may watch from a thread
    bool failNextGet = false;  // the next GetMessageW returns -1
    int screenWidth = 0;       // GetSystemMetrics reports this screen when both are set
    int screenHeight = 0;
    bool copyScreens = false;  // every screen update also lands in `screens`
    std::map<uintptr_t, ScreenCopy> screens;  // by top-level window, kept after it is destroyed

    void screenUpdated(HWND topLevel, SDL_Surface* s, const SDL_Rect& r) override
    {
        screenUpdates.fetch_add(1, std::memory_order_relaxed);
        if (!copyScreens)
            return;
        ScreenCopy& screen = screens[key(topLevel)];
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
    bool failGetMessage() override
    {
        const bool fail = failNextGet;
        failNextGet = false;
        return fail;
    }
    bool screenSize(int& width, int& height) override
    {
        if (screenWidth <= 0 || screenHeight <= 0)
            return false;
        width = screenWidth;
        height = screenHeight;
        return true;
    }
};

// Never destroyed: windows may still be torn down while static objects are.
Seam& seam()
{
    static Seam* instance = new Seam;
    return *instance;
}

// Registered before main, so that every screen update is counted: this file is linked
// into a test program as soon as it calls any of the functions below.
[[maybe_unused]] const bool g_registered = (setTestHooks(&seam()), true);

}  // namespace

void qmTestPushMouse(HWND topLevel, UINT message, int x, int y)
{
    WindowRecord* w = findWindow(topLevel);
    if (!w || !w->sdl)
        return;
    SDL_Event ev;
    SDL_zero(ev);
    const Uint32 id = SDL_GetWindowID(w->sdl);
    if (message == WM_MOUSEMOVE) {
        ev.type = SDL_MOUSEMOTION;
        ev.motion.windowID = id;
        ev.motion.x = x;
        ev.motion.y = y;
    } else {
        const bool down = message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN || message == WM_MBUTTONDOWN;
        ev.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
        ev.button.windowID = id;
        ev.button.state = down ? SDL_PRESSED : SDL_RELEASED;
        ev.button.clicks = 1;
        ev.button.x = x;
        ev.button.y = y;
        switch (message) {
        case WM_LBUTTONDOWN: case WM_LBUTTONUP: ev.button.button = SDL_BUTTON_LEFT; break;
        case WM_RBUTTONDOWN: case WM_RBUTTONUP: ev.button.button = SDL_BUTTON_RIGHT; break;
        case WM_MBUTTONDOWN: case WM_MBUTTONUP: ev.button.button = SDL_BUTTON_MIDDLE; break;
        default: return;
        }
    }
    SDL_PushEvent(&ev);
}

void qmTestPushDrop(HWND topLevel, const std::vector<std::wstring>& paths)
{
    WindowRecord* w = findWindow(topLevel);
    if (!w || !w->sdl)
        return;
    const Uint32 id = SDL_GetWindowID(w->sdl);
    SDL_Event ev;
    SDL_zero(ev);
    ev.type = SDL_DROPBEGIN;
    ev.drop.windowID = id;
    SDL_PushEvent(&ev);
    for (const std::wstring& path : paths) {
        SDL_zero(ev);
        ev.type = SDL_DROPFILE;
        ev.drop.windowID = id;
        ev.drop.file = SDL_strdup(toUtf8(path.c_str()).c_str());
        SDL_PushEvent(&ev);
    }
    SDL_zero(ev);
    ev.type = SDL_DROPCOMPLETE;
    ev.drop.windowID = id;
    SDL_PushEvent(&ev);
}

void qmTestPushClose(HWND topLevel)
{
    WindowRecord* w = findWindow(topLevel);
    if (!w || !w->sdl)
        return;
    SDL_Event ev;
    SDL_zero(ev);
    ev.type = SDL_WINDOWEVENT;
    ev.window.event = SDL_WINDOWEVENT_CLOSE;
    ev.window.windowID = SDL_GetWindowID(w->sdl);
    SDL_PushEvent(&ev);
}

void qmTestFailNextGetMessage()
{
    seam().failNextGet = true;
}

void qmTestSetScreenSize(int width, int height)
{
    seam().screenWidth = width;
    seam().screenHeight = height;
}

uint64_t qmTestScreenUpdates()
{
    return seam().screenUpdates.load(std::memory_order_relaxed);
}

uint64_t qmTestScreenUpdateIntervalUs()
{
    return kPresentIntervalUs;
}

void qmTestCopyScreens()
{
    seam().copyScreens = true;
}

COLORREF qmTestScreenPixel(HWND topLevel, int x, int y)
{
    const auto& screens = seam().screens;
    auto it = screens.find(key(topLevel));
    if (it == screens.end() || x < 0 || y < 0 || x >= it->second.width || y >= it->second.height)
        return CLR_INVALID;
    const Uint32 rgb = it->second.pixels[static_cast<size_t>(y) * static_cast<size_t>(it->second.width) +
                                         static_cast<size_t>(x)];
    return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

bool qmTestRouteSdlMemory(void* (*allocate)(size_t), void* (*allocateZeroed)(size_t, size_t),
                          void* (*reallocate)(void*, size_t), void (*release)(void*))
{
    return SDL_SetMemoryFunctions(allocate, allocateZeroed, reallocate, release) == 0;
}
