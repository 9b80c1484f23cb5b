#pragma once
// Kernel32's high-resolution clock for hosts other than Windows, with its names and
// signatures. Implemented over SDL2 in platform/sdl_time.cpp.

#include "platform/win32_types.h"

typedef int64_t LONGLONG;
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* frequency);
