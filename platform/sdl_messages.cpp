// Win32 messages and the message queue over SDL2's event queue.
// Implemented:
//  [x] GetMessageW, PeekMessageW (window and range filters, PM_REMOVE), TranslateMessage (nothing to
//      translate), DispatchMessageW, SendMessageW (window thread), PostMessageW and PostQuitMessage
//      (any thread; they wake a blocked GetMessageW)
//  [x] Mouse: WM_MOUSEMOVE and the L/R/M button messages to the deepest child under the pointer or
//      to the capture window, client coordinates as signed 16-bit in lParam, the pointer's screen
//      position in pt; a move still waiting for its window is replaced by the newer one; while
//      moves repaint, they are handed out at most once per screen update (see heldUntilUs)
//  [x] Close button, SIGINT, SIGTERM -> WM_CLOSE to every top-level window (WM_QUIT without one)
//  [x] Exposure and resizing -> WM_PAINT, made up on demand while a window needs painting
//  [x] Waits end in time for a screen update that paints left waiting (see present())
//  [x] File drops handed to sdl_shell.cpp, which posts WM_DROPFILES
//  [ ] Keyboard messages, timers, WM_QUIT before pending messages, cross-thread SendMessageW
#include "platform/sdl_window_state.h"

#include "platform/sdl_present.h"
#include "platform/sdl_test_hooks.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace qm {

namespace {

// Waits are bounded so that a lost wake-up costs at most this long.
constexpr Uint32 kWaitSliceMs = 100;
// SDL events taken in at most after a held move's wait, before it goes.
constexpr int kPumpsAfterHold = 64;
constexpr UINT kMouseFirst = WM_MOUSEMOVE;
constexpr UINT kMouseLast = WM_MBUTTONUP;

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

DWORD now()
{
    return SDL_WasInit(SDL_INIT_TIMER | SDL_INIT_EVENTS) ? SDL_GetTicks() : 0;
}

void postLocked(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    backend().queue.push(QueuedMessage{MSG{hwnd, message, wParam, lParam, now(), POINT{0, 0}}, false});
}

// A move replaces the newest mouse message still queued when that is a move for the
// same window; after a button message it queues behind it, so order is kept.
void postInput(HWND target, UINT message, WPARAM wParam, LPARAM lParam, POINT pt)
{
    Backend& b = backend();
    const MSG msg = {target, message, wParam, lParam, now(), pt};
    std::lock_guard<std::mutex> lock(b.queueLock);
    if (message == WM_MOUSEMOVE) {
        for (size_t i = b.queue.size(); i-- > 0;) {
            QueuedMessage& m = b.queue.at(i);
            if (!m.input || m.msg.message < kMouseFirst || m.msg.message > kMouseLast)
                continue;
            if (m.msg.message == WM_MOUSEMOVE && m.msg.hwnd == target) {
                m.msg = msg;
                return;
            }
            break;
        }
    }
    b.queue.push(QueuedMessage{msg, true});
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
    const POINT topOrigin = clientOriginOnScreen(top);
    const POINT targetOrigin = clientOriginOnScreen(target);
    const long cx = static_cast<long>(topOrigin.x) + x - targetOrigin.x;
    const long cy = static_cast<long>(topOrigin.y) + y - targetOrigin.y;
    // Packed as two 16-bit halves; receivers sign-extend them.
    const LPARAM packed = MAKELPARAM(static_cast<WORD>(cx & 0xFFFF), static_cast<WORD>(cy & 0xFFFF));
    const POINT screen = {static_cast<LONG>(topOrigin.x + x), static_cast<LONG>(topOrigin.y + y)};
    postInput(target, message, b.buttons, packed, screen);
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

// The motions that directly follow `ev` in SDL's queue for the same window are taken
// as one, the newest (wake-ups in between carry nothing). A press or anything else
// ends the run, so buttons stay between the moves they came between.
void absorbFollowingMotions(SDL_Event& ev)
{
    const Uint32 wakeEvent = backend().wakeEvent;
    SDL_Event next;
    while (SDL_PeepEvents(&next, 1, SDL_PEEKEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1) {
        const bool motion = next.type == SDL_MOUSEMOTION && next.motion.windowID == ev.motion.windowID;
        if (!motion && next.type != wakeEvent)
            break;
        // Only this thread takes events, so the head is still the one peeked.
        if (SDL_PeepEvents(&next, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) != 1)
            break;
        if (motion)
            ev = next;
    }
}

void translate(SDL_Event& ev)
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
            presentNow(top);
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
        absorbFollowingMotions(ev);
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
        dropBegin();
        break;
    case SDL_DROPFILE:
        dropFile(ev.drop.file);
        SDL_free(ev.drop.file);
        break;
    case SDL_DROPTEXT:
        SDL_free(ev.drop.file);
        break;
    case SDL_DROPCOMPLETE: {
        HWND top = topLevelForSdl(ev.drop.windowID);
        if (HDROP drop = dropComplete(top))
            post(top, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
        break;
    }
    default:
        break;
    }
}

// One SDL event (or run of motions) at a time, and only when nothing is queued: input
// is routed when it is retrieved, so a capture taken while handling a press applies
// to the next move.
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

size_t queueSize()
{
    std::lock_guard<std::mutex> lock(backend().queueLock);
    return backend().queue.size();
}

// A pad repainted per move at 1 kHz draws far more pictures than a screen shows. So the
// newest message, when it is an input move for a window that drew after the previous
// move was taken, waits until that window's screen may be updated again: the moves of
// the meantime join it, and its repaint goes to the screen at once. Anything queued
// behind it, or a quit, releases it. Returns when it may go (0: now). Queue lock held.
uint64_t heldUntilUs(size_t index, uint64_t now)
{
    Backend& b = backend();
    const QueuedMessage& m = b.queue.at(index);
    if (!m.input || m.msg.message != WM_MOUSEMOVE || index + 1 != b.queue.size() || b.quitPosted)
        return 0;
    WindowRecord* top = findWindow(topLevelOf(m.msg.hwnd));
    if (!top || top->moveTakenAtUs == 0 || top->pacing.drawnAtUs < top->moveTakenAtUs)
        return 0;
    const uint64_t wait = top->pacing.untilDueUs(now);
    return wait ? now + wait : 0;
}

void moveTaken(HWND hwnd, uint64_t now)
{
    if (WindowRecord* top = findWindow(topLevelOf(hwnd)))
        top->moveTakenAtUs = now;
}

Got retrieve(MSG* out, HWND filter, UINT lo, UINT hi, bool remove, bool wait)
{
    Backend& b = backend();
    if (!out || !onWindowThread())
        return Got::Error;
    ensureEvents();
    // A stream of messages without paints must not hold back the last picture either.
    presentDue();
    for (;;) {
        if (TestHooks* hooks = testHooks(); hooks && hooks->failGetMessage())
            return Got::Error;
        if (filter && !findWindow(filter))
            return Got::Error;
        uint64_t heldUntil = 0;
        {
            std::lock_guard<std::mutex> lock(b.queueLock);
            const uint64_t now = nowUs();
            for (size_t i = 0; i < b.queue.size(); ++i) {
                if (matches(b.queue.at(i).msg, filter, lo, hi)) {
                    heldUntil = heldUntilUs(i, now);
                    if (heldUntil)
                        break;
                    *out = b.queue.at(i).msg;
                    if (remove) {
                        if (b.queue.at(i).input && out->message == WM_MOUSEMOVE)
                            moveTaken(out->hwnd, now);
                        b.queue.erase(i);
                    }
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
        // Idle: the screen gets what it is owed, now or when the wait for it ends.
        const Uint32 untilPresent = presentDue();
        if (!wait)
            return Got::Nothing;
        if (heldUntil) {
            // Input that comes meanwhile would only join the held move or queue behind
            // it, so it is not watched for: one wake-up per screen update, not per event.
            const uint64_t now = nowUs();
            const uint64_t untilUs = std::min<uint64_t>(heldUntil > now ? heldUntil - now : 0,
                                                        uint64_t(std::min(kWaitSliceMs, untilPresent)) * 1000);
            std::this_thread::sleep_for(std::chrono::microseconds(untilUs));
            // What came is taken in before the move goes: moves join it, events that
            // queue nothing pass, and the first message queued behind it ends the round.
            const size_t queued = queueSize();
            for (int i = 0; i < kPumpsAfterHold && queueSize() == queued && pumpOne(); ++i) {
            }
            continue;
        }
        SDL_Event ev;
        if (SDL_WaitEventTimeout(&ev, static_cast<int>(std::min(kWaitSliceMs, untilPresent))))
            translate(ev);
    }
}

}  // namespace

void post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> lock(backend().queueLock);
        postLocked(hwnd, message, wParam, lParam);
    }
    wake();
}


}  // namespace qm

using namespace qm;

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
