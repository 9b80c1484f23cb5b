// Win32 windows, geometry and mouse capture over SDL2.
// Implemented:
//  [x] RegisterClassExW, CreateWindowExW (WM_NCCREATE, WM_CREATE, WM_SHOWWINDOW, WM_SIZE, WM_MOVE
//      sent before it returns), DestroyWindow (WM_DESTROY, then WM_NCDESTROY children first), IsWindow,
//      GetParent, DefWindowProcW (WM_CLOSE destroys, WM_PAINT validates, WM_ERASEBKGND erases)
//  [x] Get/SetWindowLongPtrW, Get/SetWindowLongW: user data, style, extended style, procedure, id
//  [x] GetClientRect, GetWindowRect, AdjustWindowRect(Ex) with a fixed frame, GetMenu (no menus),
//      GetSystemMetrics(SM_CXSCREEN/SM_CYSCREEN), MoveWindow (WM_MOVE, WM_SIZE; repaint -> WM_PAINT),
//      GetModuleHandleW(NULL)
//  [x] SetCapture, ReleaseCapture (WM_CAPTURECHANGED), GetCapture; hit testing for the mouse
//  [ ] Menus, non-client messages, SetWindowPos, ShowWindow, z-order changes
#include "platform/sdl_window_state.h"

#include "platform/sdl_present.h"
#include "platform/sdl_test_hooks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qm {

namespace {

// Keeps surfaces allocatable whatever size a caller asks for.
constexpr int kMaxSurfaceSide = 16384;
constexpr int kDefaultX = 100;
constexpr int kDefaultY = 100;
constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 480;
constexpr const char* kNoDisplay =
    "cannot open a window: no display found (check DISPLAY or WAYLAND_DISPLAY; "
    "SDL_VIDEODRIVER=offscreen runs without one)";

bool ensureVideo()
{
    Backend& b = backend();
    if (b.video != VideoState::Off)
        return b.video == VideoState::Ready;
    ensureEvents();
    const char* requested = SDL_getenv("SDL_VIDEODRIVER");
    const bool named = requested && *requested;
#if defined(__linux__)
    // Probing would only end on SDL's invisible fallback, after noise from the probes.
    const char* x11 = SDL_getenv("DISPLAY");
    const char* wayland = SDL_getenv("WAYLAND_DISPLAY");
    if (!named && !(x11 && *x11) && !(wayland && *wayland)) {
        std::fprintf(stderr, "%s\n", kNoDisplay);
        b.video = VideoState::Failed;
        return false;
    }
#endif
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    // A click that activates the window also starts a drag, as on Windows.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    // The window is drawn in memory and shown after every paint: the system's own image
    // transfer (shared memory on X11) costs little, while SDL's default on Linux, a GL
    // texture per update, runs the whole GL pipeline on the CPU where the driver is a
    // software one (virtual and remote displays). A user's setting still wins.
    SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_DEFAULT);
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "cannot open a window: %s\n", SDL_GetError());
        b.video = VideoState::Failed;
        return false;
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    const bool headless = driver && (std::strcmp(driver, "offscreen") == 0 || std::strcmp(driver, "dummy") == 0);
    // SDL falls back to an invisible driver when there is no display; a desktop
    // program must not then wait for input on a window nobody can see.
    if (headless && !named) {
        std::fprintf(stderr, "%s\n", kNoDisplay);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        b.video = VideoState::Failed;
        return false;
    }
    b.video = VideoState::Ready;
    b.windowThread = std::this_thread::get_id();
    return true;
}

void sizeTopLevel(WindowRecord& w)
{
    if (!w.sdl)
        return;
    SDL_SetWindowSize(w.sdl, std::clamp(w.clientWidth, 1, kMaxSurfaceSide),
                      std::clamp(w.clientHeight, 1, kMaxSurfaceSide));
    RECT in = frameInsets(w.style, w.exStyle, false);
    SDL_SetWindowPosition(w.sdl, w.rect.left + in.left, w.rect.top + in.top);
}

void destroyTree(HWND hwnd, std::vector<HWND>& order)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return;
    w->destroying = true;
    order.push_back(hwnd);
    std::vector<HWND> children = w->children;
    for (HWND c : children)
        destroyTree(c, order);
}

}  // namespace

bool onWindowThread()
{
    Backend& b = backend();
    return b.windowThread == std::thread::id() || b.windowThread == std::this_thread::get_id();
}

LRESULT send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return 0;
    WNDPROC proc = w->proc;
    return proc ? proc(hwnd, message, wParam, lParam) : DefWindowProcW(hwnd, message, wParam, lParam);
}

POINT clientOriginOnScreen(HWND hwnd)
{
    POINT p = {0, 0};
    for (HWND h = hwnd; h;) {
        WindowRecord* w = findWindow(h);
        if (!w)
            break;
        RECT in = frameInsets(w->style, w->exStyle, false);
        p.x += w->rect.left + in.left;
        p.y += w->rect.top + in.top;
        h = w->parent;
    }
    return p;
}

HWND deepestChildAt(HWND hwnd, int x, int y)
{
    // Later children lie on top.
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return nullptr;
    for (auto it = w->children.rbegin(); it != w->children.rend(); ++it) {
        WindowRecord* c = findWindow(*it);
        if (!c || !(c->style & WS_VISIBLE) || (c->style & WS_DISABLED))
            continue;
        if (x >= c->rect.left && x < c->rect.right && y >= c->rect.top && y < c->rect.bottom) {
            RECT in = frameInsets(c->style, c->exStyle, false);
            return deepestChildAt(*it, x - c->rect.left - in.left, y - c->rect.top - in.top);
        }
    }
    return hwnd;
}

HWND topLevelForSdl(Uint32 windowID)
{
    for (auto& entry : backend().windows)
        if (entry.second->sdl && SDL_GetWindowID(entry.second->sdl) == windowID)
            return makeHandle<HWND>(entry.first);
    return nullptr;
}

void markTree(HWND hwnd, bool erase)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return;
    w->needsPaint = true;
    if (erase)
        eraseBackground(hwnd);
    // By index: a procedure never runs from here, but the list is not copied either.
    for (size_t i = 0; i < w->children.size(); ++i)
        markTree(w->children[i], erase);
}

// Paints the class background at once, so that nothing stale shows until WM_PAINT.
void invalidate(HWND hwnd)
{
    if (!isShown(hwnd))
        return;
    markTree(hwnd, true);
    present(topLevelOf(hwnd));
}

}  // namespace qm

using namespace qm;

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc)
{
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName))
        return 0;
    Backend& b = backend();
    std::wstring name = wc->lpszClassName;
    if (b.classes.count(name))
        return 0;  // already registered, as on Windows
    WNDCLASSEXW copy = *wc;
    copy.lpszClassName = nullptr;  // the caller's string need not outlive the call
    copy.lpszMenuName = nullptr;
    b.classes[name] = copy;
    return static_cast<ATOM>(0xC000 + b.classes.size());
}

HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                            int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param)
{
    Backend& b = backend();
    if (!className || IS_INTRESOURCE(className))
        return nullptr;
    auto cls = b.classes.find(className);
    if (cls == b.classes.end())
        return nullptr;
    if (parent && !findWindow(parent))
        return nullptr;
    if ((style & WS_CHILD) && !parent)
        return nullptr;  // a child window needs a parent, as on Windows
    if (!ensureVideo() || !onWindowThread())
        return nullptr;

    if (x == CW_USEDEFAULT) {
        x = kDefaultX;
        y = kDefaultY;
    }
    if (width == CW_USEDEFAULT) {
        width = kDefaultWidth;
        height = kDefaultHeight;
    }
    width = std::max(width, 0);
    height = std::max(height, 0);

    auto rec = std::make_unique<WindowRecord>();
    rec->className = className;
    rec->proc = cls->second.lpfnWndProc;
    rec->background = cls->second.hbrBackground;
    rec->instance = instance;
    rec->style = style;
    rec->exStyle = exStyle;
    rec->parent = (style & WS_CHILD) ? parent : nullptr;
    rec->id = (style & WS_CHILD) ? reinterpret_cast<LONG_PTR>(menu) : 0;
    rec->rect = RECT{x, y, static_cast<LONG>(static_cast<int64_t>(x) + width) ,
                     static_cast<LONG>(static_cast<int64_t>(y) + height)};
    RECT in = frameInsets(style, exStyle, false);
    rec->clientWidth = std::max(0, width - in.left - in.right);
    rec->clientHeight = std::max(0, height - in.top - in.bottom);

    if (!rec->parent) {
        std::string title = toUtf8(windowName);
        Uint32 flags = (style & WS_VISIBLE) ? SDL_WINDOW_SHOWN : SDL_WINDOW_HIDDEN;
        rec->sdl = SDL_CreateWindow(title.c_str(), x + in.left, y + in.top,
                                    std::clamp(rec->clientWidth, 1, kMaxSurfaceSide),
                                    std::clamp(rec->clientHeight, 1, kMaxSurfaceSide), flags);
        if (!rec->sdl) {
            std::fprintf(stderr, "cannot open a window: %s\n", SDL_GetError());
            return nullptr;
        }
    }

    const uintptr_t handle = newHandle();
    HWND hwnd = makeHandle<HWND>(handle);
    WindowRecord* w = rec.get();
    b.windows[handle] = std::move(rec);
    if (w->parent)
        findWindow(w->parent)->children.push_back(hwnd);

    CREATESTRUCTW cs = {param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                        windowName, className, exStyle};
    // The procedure may destroy the window from any of these; re-check after each.
    if (!send(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (!findWindow(hwnd) || send(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (!findWindow(hwnd))
        return nullptr;
    if (style & WS_VISIBLE)
        send(hwnd, WM_SHOWWINDOW, TRUE, 0);
    if ((w = findWindow(hwnd)) != nullptr)
        send(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(w->clientWidth & 0xFFFF, w->clientHeight & 0xFFFF));
    if ((w = findWindow(hwnd)) != nullptr)
        send(hwnd, WM_MOVE, 0, MAKELPARAM(w->rect.left & 0xFFFF, w->rect.top & 0xFFFF));
    if (!findWindow(hwnd))
        return nullptr;
    invalidate(hwnd);
    return hwnd;
}

BOOL WINAPI DestroyWindow(HWND hwnd)
{
    Backend& b = backend();
    WindowRecord* w = findWindow(hwnd);
    if (!w || w->destroying || !onWindowThread())
        return FALSE;
    std::vector<HWND> order;  // parent first, then its descendants
    destroyTree(hwnd, order);
    for (HWND h : order)
        if (b.capture == h)
            b.capture = nullptr;
    for (HWND h : order)
        send(h, WM_DESTROY, 0, 0);
    for (auto it = order.rbegin(); it != order.rend(); ++it)
        send(*it, WM_NCDESTROY, 0, 0);
    HWND parent = findWindow(hwnd) ? findWindow(hwnd)->parent : nullptr;
    for (HWND h : order) {
        auto it = b.windows.find(key(h));
        if (it == b.windows.end())
            continue;
        if (it->second->sdl) {
            flushScreen(h);  // the last picture is shown, not dropped with the window
            SDL_DestroyWindow(it->second->sdl);
        }
        b.windows.erase(it);
    }
    if (WindowRecord* p = findWindow(parent)) {
        p->children.erase(std::remove(p->children.begin(), p->children.end(), hwnd), p->children.end());
        if (!p->destroying)
            invalidate(parent);
    }
    return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd)
{
    return findWindow(hwnd) ? TRUE : FALSE;
}

HWND WINAPI GetParent(HWND hwnd)
{
    WindowRecord* w = findWindow(hwnd);
    return w ? w->parent : nullptr;
}

LRESULT WINAPI DefWindowProcW(HWND hwnd, UINT message, WPARAM, LPARAM)
{
    switch (message) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(hwnd);
        return 0;
    case WM_PAINT:
        if (WindowRecord* w = findWindow(hwnd))
            w->needsPaint = false;
        return 0;
    case WM_ERASEBKGND:
        eraseBackground(hwnd);
        present(topLevelOf(hwnd));
        return 1;
    default:
        return 0;
    }
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hwnd, int index)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return 0;
    switch (index) {
    case GWLP_USERDATA: return w->userData;
    case GWL_STYLE: return static_cast<LONG>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG>(w->exStyle);
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_ID: return w->id;
    default: return 0;
    }
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return 0;
    const LONG_PTR previous = GetWindowLongPtrW(hwnd, index);
    switch (index) {
    case GWLP_USERDATA: w->userData = value; break;
    case GWL_STYLE: w->style = static_cast<DWORD>(value); break;
    case GWL_EXSTYLE: w->exStyle = static_cast<DWORD>(value); break;
    case GWLP_WNDPROC: w->proc = reinterpret_cast<WNDPROC>(value); break;
    case GWLP_HINSTANCE: w->instance = reinterpret_cast<HINSTANCE>(value); break;
    case GWLP_ID: w->id = value; break;
    default: return 0;
    }
    return previous;
}

LONG WINAPI GetWindowLongW(HWND hwnd, int index)
{
    return static_cast<LONG>(GetWindowLongPtrW(hwnd, index));
}

LONG WINAPI SetWindowLongW(HWND hwnd, int index, LONG value)
{
    return static_cast<LONG>(SetWindowLongPtrW(hwnd, index, value));
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w || !rect)
        return FALSE;
    *rect = RECT{0, 0, w->clientWidth, w->clientHeight};
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w || !rect)
        return FALSE;
    POINT origin = w->parent ? clientOriginOnScreen(w->parent) : POINT{0, 0};
    *rect = RECT{origin.x + w->rect.left, origin.y + w->rect.top, origin.x + w->rect.right,
                 origin.y + w->rect.bottom};
    return TRUE;
}

BOOL WINAPI AdjustWindowRectEx(LPRECT rect, DWORD style, BOOL menu, DWORD exStyle)
{
    if (!rect)
        return FALSE;
    RECT in = frameInsets(style, exStyle, menu != FALSE);
    rect->left -= in.left;
    rect->top -= in.top;
    rect->right += in.right;
    rect->bottom += in.bottom;
    return TRUE;
}

BOOL WINAPI AdjustWindowRect(LPRECT rect, DWORD style, BOOL menu)
{
    return AdjustWindowRectEx(rect, style, menu, 0);
}

HMENU WINAPI GetMenu(HWND)
{
    return nullptr;
}

int WINAPI GetSystemMetrics(int index)
{
    if (index != SM_CXSCREEN && index != SM_CYSCREEN)
        return 0;
    int width = 0, height = 0;
    if (TestHooks* hooks = testHooks(); hooks && hooks->screenSize(width, height))
        return index == SM_CXSCREEN ? width : height;
    if (!SDL_WasInit(SDL_INIT_VIDEO))
        return 0;
    SDL_Rect bounds;
    if (SDL_GetDisplayBounds(0, &bounds) != 0)
        return 0;
    return index == SM_CXSCREEN ? bounds.w : bounds.h;
}

BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w || !onWindowThread())
        return FALSE;
    width = std::max(width, 0);
    height = std::max(height, 0);
    const RECT before = w->rect;
    const int oldWidth = w->clientWidth;
    const int oldHeight = w->clientHeight;
    RECT in = frameInsets(w->style, w->exStyle, false);
    w->rect = RECT{x, y, static_cast<LONG>(static_cast<int64_t>(x) + width),
                   static_cast<LONG>(static_cast<int64_t>(y) + height)};
    w->clientWidth = std::max(0, width - in.left - in.right);
    w->clientHeight = std::max(0, height - in.top - in.bottom);
    const bool moved = before.left != w->rect.left || before.top != w->rect.top;
    const bool resized = oldWidth != w->clientWidth || oldHeight != w->clientHeight;
    const bool topLevel = w->parent == nullptr;
    const HWND parent = w->parent;
    if (topLevel)
        sizeTopLevel(*w);
    if (moved && (w = findWindow(hwnd)) != nullptr)
        send(hwnd, WM_MOVE, 0, MAKELPARAM(w->rect.left & 0xFFFF, w->rect.top & 0xFFFF));
    if (resized && (w = findWindow(hwnd)) != nullptr)
        send(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(w->clientWidth & 0xFFFF, w->clientHeight & 0xFFFF));
    if (!findWindow(hwnd))
        return TRUE;
    // Like SetWindowPos, a call that changes nothing repaints nothing; a top-level
    // window that changed size has a new surface whatever the caller asked.
    if ((repaint && (moved || resized)) || (topLevel && resized)) {
        if (parent)
            invalidate(parent);
        invalidate(hwnd);
    }
    return TRUE;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR moduleName)
{
    // Only the program itself is a module here.
    static int self;
    return moduleName ? nullptr : reinterpret_cast<HMODULE>(&self);
}

HWND WINAPI SetCapture(HWND hwnd)
{
    Backend& b = backend();
    if (!onWindowThread())
        return nullptr;
    HWND previous = b.capture;
    if (!findWindow(hwnd))
        return previous;
    b.capture = hwnd;
    if (previous && previous != hwnd)
        send(previous, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(hwnd));
    // Keep pointer events coming while the pointer is outside the window; not every
    // driver supports it, and a drag inside the window works without.
    SDL_CaptureMouse(SDL_TRUE);
    return previous;
}

BOOL WINAPI ReleaseCapture(void)
{
    Backend& b = backend();
    if (!onWindowThread())
        return FALSE;
    HWND previous = b.capture;
    b.capture = nullptr;
    if (SDL_WasInit(SDL_INIT_VIDEO))
        SDL_CaptureMouse(SDL_FALSE);
    if (previous)
        send(previous, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND WINAPI GetCapture(void)
{
    return backend().capture;
}
