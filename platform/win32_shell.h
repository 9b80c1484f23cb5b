#pragma once
// File drops (the SHELL32 subset) for hosts other than Windows, over SDL2's drop
// events (sdl_shell.cpp lists what it covers). Window thread only.

#include "platform/win32_types.h"

typedef HANDLE HGLOBAL;

void WINAPI DragAcceptFiles(HWND hwnd, BOOL accept);
// With index 0xFFFFFFFF the number of files; with a null buffer the length of a path;
// otherwise the path cut to the buffer and terminated.
UINT WINAPI DragQueryFileW(HDROP drop, UINT index, LPWSTR file, UINT chars);
// Frees the drop; the handle is invalid afterwards.
void WINAPI DragFinish(HDROP drop);
