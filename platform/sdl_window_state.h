#pragma once
// State of the SDL window backend (everything but wave audio), shared by its files:
// sdl_messages.cpp, sdl_window.cpp, sdl_shell.cpp, sdl_gdi.cpp, sdl_picture.cpp,
// sdl_present.cpp, and what each offers the others. The state and the lookups over it
// (sdl_window_state.cpp) call no other file of the backend. Internal to platform/:
// nothing outside it sees SDL.

#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sdl_present.h"
#include "platform/utf8.h"
#include "platform/win32.h"

namespace qm {

struct WindowRecord {
    std::wstring className;
    WNDPROC proc = nullptr;
    HBRUSH background = nullptr;     // class brush, painted over newly exposed areas
    HINSTANCE instance = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR id = 0;                 // child identifier (hMenu of a child)
    DWORD style = 0;
    DWORD exStyle = 0;
    HWND parent = nullptr;           // null for a top-level window
    std::vector<HWND> children;      // creation order: later ones lie on top
    RECT rect = {0, 0, 0, 0};        // outer rectangle: screen (top-level) or parent client
    int clientWidth = 0;
    int clientHeight = 0;
    SDL_Window* sdl = nullptr;       // top-level windows only
    bool needsPaint = false;         // the update region, kept as all-or-nothing
    ScreenPacing pacing;             // top-level: what its screen still lacks, and when
    uint64_t moveTakenAtUs = 0;      // top-level: when a move for it or a child was last taken (0: never)
    bool destroying = false;         // WM_DESTROY sent: no second destruction
};

struct GdiBitmap {
    SDL_Surface* surface = nullptr;  // always SDL_PIXELFORMAT_RGB888
    HDC selectedInto = nullptr;      // GDI refuses to delete a selected bitmap
    int64_t pendingFill = -1;        // 0xRRGGBB every pixel holds but not yet written (-1: none),
                                     // so a fill that the next copy covers costs nothing
};

struct GdiDC {
    bool memory = false;
    HWND window = nullptr;           // window DCs: whose client area they draw on
    HBITMAP bitmap = nullptr;        // memory DCs: the selected bitmap
    HGDIOBJ pen = nullptr;
    HGDIOBJ brush = nullptr;
    COLORREF dcPenColor = 0;
    COLORREF dcBrushColor = 0xFFFFFF;
    POINT position = {0, 0};
};

// Live objects by handle. Few live at once (a paint holds three), so a linear search
// beats a tree, and freed slots are reused: creating and deleting per paint allocates
// nothing once the table has grown to the program's working set.
template <class T>
class HandleTable {
public:
    T* find(uintptr_t handle)
    {
        if (handle == 0)
            return nullptr;
        for (auto& slot : slots_)
            if (slot.first == handle)
                return &slot.second;
        return nullptr;
    }
    T& insert(uintptr_t handle, const T& value)
    {
        for (auto& slot : slots_)
            if (slot.first == 0) {
                slot = {handle, value};
                return slot.second;
            }
        slots_.emplace_back(handle, value);
        return slots_.back().second;
    }
    bool erase(uintptr_t handle)
    {
        for (auto& slot : slots_)
            if (slot.first == handle && handle != 0) {
                slot = {0, T()};
                return true;
            }
        return false;
    }
    size_t size() const
    {
        size_t n = 0;
        for (const auto& slot : slots_)
            n += slot.first != 0;
        return n;
    }

private:
    std::vector<std::pair<uintptr_t, T>> slots_;  // handle 0: a free slot
};

// A queued message; `input` marks those made from mouse events, the only ones that
// coalesce (a WM_MOUSEMOVE posted by a program is delivered as posted, as on Windows).
struct QueuedMessage {
    MSG msg;
    bool input;
};

// Posted and input messages in arrival order: a ring over one array that grows only
// when full, so a steady flow allocates nothing. Guarded by Backend::queueLock.
class MessageQueue {
public:
    explicit MessageQueue(size_t capacity) : slots_(capacity) {}
    size_t size() const { return count_; }
    QueuedMessage& at(size_t i) { return slots_[(head_ + i) % slots_.size()]; }  // 0 is the oldest
    void push(const QueuedMessage& m)
    {
        if (count_ == slots_.size())
            grow();
        slots_[(head_ + count_) % slots_.size()] = m;
        ++count_;
    }
    void erase(size_t i)
    {
        if (i == 0) {
            head_ = (head_ + 1) % slots_.size();
        } else {
            for (size_t k = i; k + 1 < count_; ++k)
                at(k) = at(k + 1);
        }
        --count_;
    }

private:
    void grow()
    {
        std::vector<QueuedMessage> bigger(slots_.size() * 2);
        for (size_t k = 0; k < count_; ++k)
            bigger[k] = at(k);
        slots_.swap(bigger);
        head_ = 0;
    }
    std::vector<QueuedMessage> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

enum class VideoState { Off, Ready, Failed };

// Bitmaps beyond this are refused (and so are BMP files that claim to be).
constexpr int64_t kMaxBitmapSide = 16384;
constexpr int64_t kMaxBitmapPixels = int64_t(1) << 26;

constexpr size_t kQueueCapacity = 256;

struct Backend {
    // Any thread (PostMessageW, PostQuitMessage):
    std::mutex queueLock;                  // posters run on other threads
    MessageQueue queue{kQueueCapacity};    // posted and input messages, in arrival order
    bool quitPosted = false;               // WM_QUIT comes after the queue drains
    int quitCode = 0;
    std::atomic<bool> eventsReady{false};  // SDL's queue exists, so posters can wake the loop
    Uint32 wakeEvent = 0;                  // SDL user event that wakes GetMessageW; set before eventsReady

    // Window thread only:
    std::thread::id windowThread;          // SendMessageW runs procedures only here
    VideoState video = VideoState::Off;    // first creation decides; a failure is final
    uintptr_t nextHandle = 0x10000;        // never reused, so stale handles fail instead of aliasing
    std::map<std::wstring, WNDCLASSEXW> classes;
    std::map<uintptr_t, std::unique_ptr<WindowRecord>> windows;  // handle order = creation order
    HWND capture = nullptr;                // receives all mouse input while set
    WPARAM buttons = 0;                    // MK_ flags, tracked from SDL button events
    std::map<uintptr_t, std::vector<std::wstring>> drops;  // HDROP contents until DragFinish
    std::vector<std::wstring> pendingDrop; // files between SDL's drop-begin and drop-complete
    HandleTable<GdiDC> dcs;
    HandleTable<GdiBitmap> bitmaps;
    std::vector<SDL_Surface*> spareSurfaces;  // freed bitmaps kept for the next of the same size
    SDL_Surface* defaultBitmap = nullptr;  // the 1 x 1 bitmap a fresh memory DC holds
};

// Created on first use and never destroyed: windows may still be torn down, and the
// sound thread may still post, while static objects are destroyed at exit.
Backend& backend();

inline uintptr_t key(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }
template <class H> H makeHandle(uintptr_t value) { return reinterpret_cast<H>(value); }
uintptr_t newHandle();

// sdl_window_state.cpp: lookups over the window records
WindowRecord* findWindow(HWND hwnd);
HWND topLevelOf(HWND hwnd);
RECT frameInsets(DWORD style, DWORD exStyle, bool menu);  // the frame round a client area
POINT clientOriginInTopLevel(HWND hwnd);  // the client's top-left corner in the top-level's client
bool isShown(HWND hwnd);                  // WS_VISIBLE on it and every ancestor
void ensureEvents();                      // SDL's event queue and the wake event (eventsReady)

// sdl_window.cpp
HWND topLevelForSdl(Uint32 windowID);
POINT clientOriginOnScreen(HWND hwnd);
HWND deepestChildAt(HWND hwnd, int x, int y);  // x, y in hwnd's client coordinates
bool onWindowThread();
LRESULT send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);  // the procedure, now
void markTree(HWND hwnd, bool erase);     // needs WM_PAINT, with the class brush painted at once if erase
void invalidate(HWND hwnd);               // markTree with erasing, then shown

// sdl_messages.cpp
void post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// sdl_shell.cpp: SDL's drop events, assembled into one drop for WM_DROPFILES
void dropBegin();
void dropFile(const char* utf8Path);
HDROP dropComplete(HWND topLevel);        // null when nothing is to be posted to it

// sdl_gdi.cpp
void eraseBackground(HWND hwnd);          // class brush over the client, children kept under WS_CLIPCHILDREN
HBITMAP defaultBitmapHandle();
HBITMAP registerBitmap(SDL_Surface* surface, int64_t pendingFill = -1);  // takes the surface; null gives null
// RGB888, black unless `cleared` is false (the caller then owes every pixel); null beyond the limits.
SDL_Surface* newSurface(int64_t width, int64_t height, bool cleared = true);

}  // namespace qm
