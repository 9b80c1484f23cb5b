#pragma once
// The one way into the operating system for framework/ and app/.
// On Windows: the real USER32/GDI32/SHELL32/WinMM headers.
// Elsewhere: the same names, values and signatures, implemented over SDL2 in platform/.

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>
#else
#include "platform/win32_types.h"
#include "platform/win32_window.h"
#include "platform/win32_messages.h"
#include "platform/win32_shell.h"
#include "platform/win32_gdi.h"
#include "platform/win32_picture.h"
#include "platform/win32_wave.h"
#include "platform/win32_time.h"
#endif
