// Win32 windows and messages over SDL2.
// Implemented:
//  [x] RegisterClassExW, CreateWindowExW (WM_NCCREATE, WM_CREATE, WM_SHOWWINDOW, WM_SIZE, WM_MOVE
//      sent before it returns), DestroyWindow (WM_DESTROY, then WM_NCDESTROY children first), IsWindow,
//      GetParent, DefWindowProcW (WM_CLOSE destroys, WM_PAINT validates)
//  [x] Get/SetWindowLongPtrW, Get/SetWindowLongW: user data, style, extended style, procedure
//  [x] GetClientRect, GetWindowRect, AdjustWindowRect(Ex) with a fixed frame, GetMenu (no menus),
//      GetSystemMetrics(SM_CXSCREEN/SM_CYSCREEN), MoveWindow (WM_MOVE, WM_SIZE; repaint -> WM_PAINT)
//  [x] GetMessageW, PeekMessageW, TranslateMessage, DispatchMessageW, SendMessageW, PostMessageW and
//      PostQuitMessage (any thread; they wake a blocked GetMessageW)
//  [x] Mouse: WM_MOUSEMOVE and the L/R/M button messages to the deepest child under the pointer or
//      to the capture window, client coordinates as signed 16-bit in lParam; SetCapture,
//      ReleaseCapture (WM_CAPTURECHANGED), GetCapture
//  [x] Close button, SIGINT, SIGTERM -> WM_CLOSE; exposure -> WM_PAINT
//  [x] DragAcceptFiles, WM_DROPFILES, DragQueryFileW (cut and terminated), DragFinish
//  [ ] Keyboard messages, timers, menus, non-client messages
#include "platform/sdl_window_state.h"
#include "platform/win32_testing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qm {

namespace {

// Frame of a top-level window with a caption: border on each side, caption above.
constexpr int kBorder = 3;
constexpr int kThickBorder = 4;
constexpr int kCaption = 22;
constexpr int kMenuBar = 20;
// Keeps surfaces allocatable whatever size a caller asks for.
constexpr int kMaxSurfaceSide = 16384;
// Waits are bounded so that a lost wake-up costs at most this long.
constexpr Uint32 kWaitSliceMs = 100;
constexpr int kDefaultX = 100;
constexpr int kDefaultY = 100;
constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 480;
constexpr const char* kNoDisplay =
    "cannot open a window: no display found (check DISPLAY or WAYLAND_DISPLAY; "
    "SDL_VIDEODRIVER=offscreen runs without one)";

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

bool onWindowThread()
{
    Backend& b = backend();
    return b.windowThread == std::thread::id() || b.windowThread == std::this_thread::get_id();
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

void wake()
{
    Backend& b = backend();
    if (!b.eventsReady.load(std::memory_order_acquire))
        return;
    SDL_Event ev;
    SDL_zero(ev);
    ev.type = b.wakeEvent;
    SDL_PushEvent(&ev);
}

void postLocked(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG msg;
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = SDL_WasInit(SDL_INIT_TIMER | SDL_INIT_EVENTS) ? SDL_GetTicks() : 0;
    msg.pt = POINT{0, 0};
    backend().posted.push_back(msg);
}

void post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> lock(backend().queueLock);
        postLocked(hwnd, message, wParam, lParam);
    }
    wake();
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

void markTree(HWND hwnd, bool erase)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return;
    w->needsPaint = true;
    if (erase)
        eraseBackground(hwnd);
    std::vector<HWND> children = w->children;
    for (HWND c : children)
        markTree(c, erase);
}

// Invalidates a window and everything inside it, painting the class background at
// once so that nothing stale shows until WM_PAINT arrives.
void invalidate(HWND hwnd)
{
    if (!isShown(hwnd))
        return;
    markTree(hwnd, true);
    present(topLevelOf(hwnd));
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

HWND deepestChildAt(HWND hwnd, int x, int y)
{
    // x, y in hwnd's client coordinates; later children lie on top.
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

void routeMouse(Uint32 windowID, UINT message, int x, int y)
{
    Backend& b = backend();
    HWND top = topLevelForSdl(windowID);
    if (!top)
        return;
    WindowRecord* t = findWindow(top);
    HWND target = nullptr;
    if (b.capture && findWindow(b.capture)) {
        target = b.capture;
    } else {
        if (x < 0 || y < 0 || x >= t->clientWidth || y >= t->clientHeight)
            return;  // outside the window and nobody captured the mouse
        if (t->style & WS_DISABLED)
            return;
        target = deepestChildAt(top, x, y);
    }
    POINT topOrigin = clientOriginOnScreen(top);
    POINT targetOrigin = clientOriginOnScreen(target);
    const long cx = static_cast<long>(topOrigin.x) + x - targetOrigin.x;
    const long cy = static_cast<long>(topOrigin.y) + y - targetOrigin.y;
    // Packed as two 16-bit halves; receivers sign-extend them.
    const LPARAM packed = MAKELPARAM(static_cast<WORD>(cx & 0xFFFF), static_cast<WORD>(cy & 0xFFFF));
    std::lock_guard<std::mutex> lock(b.queueLock);
    postLocked(target, message, b.buttons, packed);
}

WPARAM buttonFlag(Uint8 button)
{
    switch (button) {
    case SDL_BUTTON_LEFT: return MK_LBUTTON;
    case SDL_BUTTON_RIGHT: return MK_RBUTTON;
    case SDL_BUTTON_MIDDLE: return MK_MBUTTON;
    default: return 0;
    }
}

UINT buttonMessage(Uint8 button, bool down)
{
    switch (button) {
    case SDL_BUTTON_LEFT: return down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
    case SDL_BUTTON_RIGHT: return down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
    case SDL_BUTTON_MIDDLE: return down ? WM_MBUTTONDOWN : WM_MBUTTONUP;
    default: return 0;
    }
}

void closeAllTopLevels()
{
    Backend& b = backend();
    bool any = false;
    {
        std::lock_guard<std::mutex> lock(b.queueLock);
        for (auto& entry : b.windows) {
            if (!entry.second->parent && !entry.second->destroying) {
                postLocked(makeHandle<HWND>(entry.first), WM_CLOSE, 0, 0);
                any = true;
            }
        }
    }
    // Nothing to close: a signal still has to end the loop.
    if (!any)
        PostQuitMessage(0);
}

void finishDrop(Uint32 windowID)
{
    Backend& b = backend();
    std::vector<std::wstring> files;
    files.swap(b.pendingDrop);
    HWND top = topLevelForSdl(windowID);
    WindowRecord* t = findWindow(top);
    if (files.empty() || !t || !(t->exStyle & WS_EX_ACCEPTFILES))
        return;
    const uintptr_t handle = newHandle();
    b.drops[handle] = std::move(files);
    post(top, WM_DROPFILES, static_cast<WPARAM>(handle), 0);
}

void translate(const SDL_Event& ev)
{
    Backend& b = backend();
    switch (ev.type) {
    case SDL_QUIT:
        closeAllTopLevels();
        break;
    case SDL_WINDOWEVENT: {
        HWND top = topLevelForSdl(ev.window.windowID);
        if (!top)
            break;
        switch (ev.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
            post(top, WM_CLOSE, 0, 0);
            break;
        case SDL_WINDOWEVENT_EXPOSED:
            // The surface still holds the picture: show it, and let the owners redraw.
            present(top);
            markTree(top, false);
            break;
        case SDL_WINDOWEVENT_SIZE_CHANGED:
            // A resized SDL window comes with a fresh surface.
            invalidate(top);
            break;
        default:
            break;
        }
        break;
    }
    case SDL_MOUSEMOTION:
        routeMouse(ev.motion.windowID, WM_MOUSEMOVE, ev.motion.x, ev.motion.y);
        break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        const bool down = ev.type == SDL_MOUSEBUTTONDOWN;
        const UINT message = buttonMessage(ev.button.button, down);
        if (!message)
            break;
        if (down)
            b.buttons |= buttonFlag(ev.button.button);
        else
            b.buttons &= ~buttonFlag(ev.button.button);
        routeMouse(ev.button.windowID, message, ev.button.x, ev.button.y);
        break;
    }
    case SDL_DROPBEGIN:
        b.pendingDrop.clear();
        break;
    case SDL_DROPFILE:
        if (ev.drop.file) {
            b.pendingDrop.push_back(fromUtf8(ev.drop.file));
            SDL_free(ev.drop.file);
        }
        break;
    case SDL_DROPTEXT:
        SDL_free(ev.drop.file);
        break;
    case SDL_DROPCOMPLETE:
        finishDrop(ev.drop.windowID);
        break;
    default:
        break;
    }
}

// One SDL event at a time, and only when nothing is queued: input is routed when it
// is retrieved, so a capture taken while handling a press applies to the next move.
bool pumpOne()
{
    if (!backend().eventsReady.load(std::memory_order_acquire))
        return false;
    SDL_Event ev;
    if (!SDL_PollEvent(&ev))
        return false;
    translate(ev);
    return true;
}

bool matches(const MSG& m, HWND filter, UINT lo, UINT hi)
{
    if (filter) {
        bool inside = false;
        for (HWND h = m.hwnd; h; h = GetParent(h))
            if (h == filter) {
                inside = true;
                break;
            }
        if (!inside)
            return false;
    }
    if (lo == 0 && hi == 0)
        return true;
    return m.message >= lo && m.message <= hi;
}

enum class Got { Message, Quit, Error, Nothing };

Got retrieve(MSG* out, HWND filter, UINT lo, UINT hi, bool remove, bool wait)
{
    Backend& b = backend();
    if (!out || !onWindowThread())
        return Got::Error;
    ensureEvents();
    for (;;) {
        if (b.failNextGet) {
            b.failNextGet = false;
            return Got::Error;
        }
        if (filter && !findWindow(filter))
            return Got::Error;
        {
            std::lock_guard<std::mutex> lock(b.queueLock);
            for (auto it = b.posted.begin(); it != b.posted.end(); ++it) {
                if (matches(*it, filter, lo, hi)) {
                    *out = *it;
                    if (remove)
                        b.posted.erase(it);
                    return Got::Message;
                }
            }
        }
        if (pumpOne())
            continue;
        {
            std::lock_guard<std::mutex> lock(b.queueLock);
            if (b.quitPosted) {
                *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(b.quitCode), 0, SDL_GetTicks(), POINT{0, 0}};
                if (remove)
                    b.quitPosted = false;
                return Got::Quit;
            }
        }
        // WM_PAINT is made up on demand and stays until the window is validated.
        for (auto& entry : b.windows) {
            MSG paint = {makeHandle<HWND>(entry.first), WM_PAINT, 0, 0, SDL_GetTicks(), POINT{0, 0}};
            if (entry.second->needsPaint && !entry.second->destroying && matches(paint, filter, lo, hi)) {
                *out = paint;
                return Got::Message;
            }
        }
        if (!wait)
            return Got::Nothing;
        SDL_Event ev;
        if (SDL_WaitEventTimeout(&ev, kWaitSliceMs))
            translate(ev);
    }
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

Backend& backend()
{
    // Never destroyed: windows may still be torn down while static objects go.
    static Backend* instance = new Backend;
    return *instance;
}

uintptr_t newHandle()
{
    Backend& b = backend();
    b.nextHandle += 4;
    return b.nextHandle;
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

std::string toUtf8(const wchar_t* text)
{
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text) {
        uint32_t c = static_cast<uint32_t>(*text);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring fromUtf8(const char* text)
{
    std::wstring out;
    if (!text)
        return out;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    while (*s) {
        uint32_t c = *s;
        int extra = 0;
        if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            c &= 0x07;
        } else if (c >= 0xE0) {
            extra = 2;
            c &= 0x0F;
        } else if (c >= 0xC2 && c < 0xE0) {
            extra = 1;
            c &= 0x1F;
        } else if (c >= 0x80) {
            out += static_cast<wchar_t>(0xFFFD);
            ++s;
            continue;
        }
        ++s;
        bool ok = true;
        for (int i = 0; i < extra; ++i, ++s) {
            if ((*s & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (*s & 0x3F);
        }
        if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        out += static_cast<wchar_t>(c);
    }
    return out;
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
        if (it->second->sdl)
            SDL_DestroyWindow(it->second->sdl);
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
    if (const char* forced = std::getenv("QM_SCREEN_SIZE")) {
        int w = 0, h = 0;
        if (std::sscanf(forced, "%dx%d", &w, &h) == 2 && w > 0 && h > 0)
            return index == SM_CXSCREEN ? w : h;
    }
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

BOOL WINAPI GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax)
{
    switch (retrieve(msg, hwnd, filterMin, filterMax, true, true)) {
    case Got::Message: return TRUE;
    case Got::Quit: return FALSE;
    default: return -1;
    }
}

BOOL WINAPI PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg)
{
    Got got = retrieve(msg, hwnd, filterMin, filterMax, (removeMsg & PM_REMOVE) != 0, false);
    return got == Got::Message || got == Got::Quit;
}

BOOL WINAPI TranslateMessage(const MSG*)
{
    return FALSE;  // no keyboard messages to translate
}

LRESULT WINAPI DispatchMessageW(const MSG* msg)
{
    if (!msg || !onWindowThread())
        return 0;
    if (!findWindow(msg->hwnd)) {
        // The window went before its drop arrived: nobody else will free the handle.
        if (msg->message == WM_DROPFILES)
            DragFinish(reinterpret_cast<HDROP>(msg->wParam));
        return 0;
    }
    return send(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WINAPI PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Validating hwnd would read the window table from another thread; a message for
    // a window that is gone is dropped when dispatched instead.
    post(hwnd, message, wParam, lParam);
    return TRUE;
}

LRESULT WINAPI SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!onWindowThread())
        return 0;
    return send(hwnd, message, wParam, lParam);
}

void WINAPI PostQuitMessage(int exitCode)
{
    {
        std::lock_guard<std::mutex> lock(backend().queueLock);
        backend().quitPosted = true;
        backend().quitCode = exitCode;
    }
    wake();
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

void WINAPI DragAcceptFiles(HWND hwnd, BOOL accept)
{
    WindowRecord* w = findWindow(hwnd);
    if (!w)
        return;
    if (accept)
        w->exStyle |= WS_EX_ACCEPTFILES;
    else
        w->exStyle &= ~static_cast<DWORD>(WS_EX_ACCEPTFILES);
    SDL_EventState(SDL_DROPFILE, SDL_ENABLE);
}

UINT WINAPI DragQueryFileW(HDROP drop, UINT index, LPWSTR file, UINT chars)
{
    Backend& b = backend();
    auto it = b.drops.find(key(drop));
    if (it == b.drops.end())
        return 0;
    const std::vector<std::wstring>& files = it->second;
    if (index == 0xFFFFFFFF)
        return static_cast<UINT>(files.size());
    if (index >= files.size())
        return 0;
    const std::wstring& path = files[index];
    if (!file)
        return static_cast<UINT>(path.size());
    if (chars == 0)
        return 0;
    // Cut to the buffer, always terminated.
    const size_t n = std::min<size_t>(path.size(), chars - 1);
    std::copy(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(n), file);
    file[n] = 0;
    return static_cast<UINT>(n);
}

void WINAPI DragFinish(HDROP drop)
{
    backend().drops.erase(key(drop));
}

// Test hooks: real SDL events, so the tests drive the same translation as live input.

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
    backend().failNextGet = true;
}
