// File drops (SHELL32) over SDL2's drop events.
// Implemented:
//  [x] DragAcceptFiles (sets WS_EX_ACCEPTFILES; refused drops are dropped quietly)
//  [x] WM_DROPFILES to the top-level window, one per drop, with every file of it in order
//  [x] DragQueryFileW: the count (index 0xFFFFFFFF), a path's length (null buffer), a path cut
//      to the buffer and terminated; DragFinish
//  [ ] DragQueryPoint, drops on child windows, dropped text
#include "platform/sdl_window_state.h"

#include <algorithm>

namespace qm {

void dropBegin()
{
    backend().pendingDrop.clear();
}

void dropFile(const char* utf8Path)
{
    if (utf8Path)
        backend().pendingDrop.push_back(fromUtf8(utf8Path));
}

HDROP dropComplete(HWND topLevel)
{
    Backend& b = backend();
    std::vector<std::wstring> files;
    files.swap(b.pendingDrop);
    WindowRecord* t = findWindow(topLevel);
    if (files.empty() || !t || !(t->exStyle & WS_EX_ACCEPTFILES))
        return nullptr;
    const uintptr_t handle = newHandle();
    b.drops[handle] = std::move(files);
    return makeHandle<HDROP>(handle);
}

}  // namespace qm

using namespace qm;

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
