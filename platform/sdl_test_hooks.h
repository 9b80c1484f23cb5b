#pragma once
// Where the test library (sdl_testing.cpp) looks into the SDL window backend. The
// program registers nothing: every hook costs it one null check. Internal to platform/.

#include <SDL.h>

#include "platform/win32.h"

namespace qm {

class TestHooks {
public:
    // A top-level window's screen was updated from `rect` of its surface.
    virtual void screenUpdated(HWND topLevel, SDL_Surface* surface, const SDL_Rect& rect) = 0;
    // True once for each failure asked for: GetMessageW then returns -1.
    virtual bool failGetMessage() = 0;
    // True, with the size, when GetSystemMetrics is to report a screen of that size.
    virtual bool screenSize(int& width, int& height) = 0;

protected:
    ~TestHooks() = default;
};

TestHooks* testHooks();  // null in the program
void setTestHooks(TestHooks* hooks);

}  // namespace qm
