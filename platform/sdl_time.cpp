// Kernel32's high-resolution clock over SDL2 (hosts other than Windows).
//
// Implemented:
//  [x] QueryPerformanceCounter, QueryPerformanceFrequency: a monotonic clock, any thread,
//      without SDL_Init
//  [ ] Not: the tick counts, time of day

#include "platform/win32_time.h"

#include <SDL.h>

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count)
{
    if (!count)
        return 0;
    count->QuadPart = static_cast<LONGLONG>(SDL_GetPerformanceCounter());
    return 1;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    if (!frequency)
        return 0;
    frequency->QuadPart = static_cast<LONGLONG>(SDL_GetPerformanceFrequency());
    return 1;
}
