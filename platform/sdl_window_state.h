#pragma once
// State shared by the SDL window backend's two files (sdl_window.cpp, sdl_gdi.cpp).
// Internal to platform/: nothing outside it sees SDL.

#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    bool destroying = false;         // WM_DESTROY sent: no second destruction
};

struct GdiBitmap {
    SDL_Surface* surface = nullptr;  // always SDL_PIXELFORMAT_RGB888
    HDC selectedInto = nullptr;      // GDI refuses to delete a selected bitmap
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

enum class VideoState { Off, Ready, Failed };

struct Backend {
    // Any thread (PostMessageW, PostQuitMessage):
    std::mutex queueLock;                  // posters run on other threads
    std::deque<MSG> posted;                // posted and input messages, in arrival order
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
    bool failNextGet = false;              // test hook: next GetMessageW returns -1
    std::map<uintptr_t, GdiDC> dcs;
    std::map<uintptr_t, GdiBitmap> bitmaps;
    SDL_Surface* defaultBitmap = nullptr;  // the 1 x 1 bitmap a fresh memory DC holds
};

Backend& backend();

inline uintptr_t key(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }
template <class H> H makeHandle(uintptr_t value) { return reinterpret_cast<H>(value); }
uintptr_t newHandle();

// sdl_window.cpp
WindowRecord* findWindow(HWND hwnd);
HWND topLevelOf(HWND hwnd);
POINT clientOriginInTopLevel(HWND hwnd);  // the client's top-left corner in the top-level's client
bool isShown(HWND hwnd);                  // WS_VISIBLE on it and every ancestor
std::string toUtf8(const wchar_t* text);
std::wstring fromUtf8(const char* text);

// sdl_gdi.cpp
void eraseBackground(HWND hwnd);          // class brush over the client, children kept under WS_CLIPCHILDREN
void present(HWND topLevel);              // shows the top-level window's surface now
HBITMAP defaultBitmapHandle();

}  // namespace qm
