// Test seams of the SDL window backend: pushed SDL input, a failing GetMessageW, a
// screen of a chosen size, the count of screen updates, SDL's allocator. Built into
// qm_platform_testing, never into the program.
#include "platform/sdl_window_state.h"
#include "platform/win32_testing.h"

using namespace qm;

namespace {

// Never destroyed, like the backend that points at it.
TestSeam& seam()
{
    static TestSeam* instance = new TestSeam;
    backend().seam = instance;
    return *instance;
}

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
    return backend().screenUpdates.load(std::memory_order_relaxed);
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
