#pragma once
// Window, message, drawing and picture subset of Win32 (declarations; see sdl_window.cpp).
