// The framework on the real USER32/SHELL32 (Windows, or Wine under Xvfb): the parts
// that only the native side can show. A window object above 4 GB still gets its
// messages (pointer-sized user data), and a drop built the way the shell builds one
// reaches onDropFile file by file, cut to the 260-character buffer, and is released.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "framework/SWindow.h"
#include "framework/WindowClass.h"
#include "platform/win32.h"
#include <shlobj.h>  // DROPFILES

namespace {

class Recorder final : public SWindow {
public:
    void closed() { ++closes; }
    void dropped(std::wstring& path) { drops.push_back(path); }
    int closes = 0;
    std::vector<std::wstring> drops;
};

class NativeWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { registerWindowClass(); }
};

// Reserves memory at the top of the 64-bit address space, well above 4 GB.
struct HighMemory {
    void* base = nullptr;
    explicit HighMemory(size_t bytes)
    {
        base = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE);
    }
    ~HighMemory()
    {
        if (base)
            VirtualFree(base, 0, MEM_RELEASE);
    }
};

TEST_F(NativeWindow, ObjectAbove4GBReceivesItsMessages)
{
    static_assert(sizeof(void*) == 8, "the 64-bit build is the one that can truncate");
    HighMemory mem(sizeof(Recorder));
    ASSERT_NE(mem.base, nullptr);
    ASSERT_GT(reinterpret_cast<uintptr_t>(mem.base), uintptr_t(0xFFFFFFFFu))
        << "could not place the object above 4 GB";
    Recorder* w = new (mem.base) Recorder();
    ASSERT_NE(w->hwnd, nullptr);
    w->onClose = boost::bind(&Recorder::closed, w);
    // The association must hold the whole address, not its low 32 bits.
    EXPECT_EQ(GetWindowLongPtrW(w->hwnd, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(w));
    SendMessageW(w->hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(w->closes, 1);
    EXPECT_FALSE(IsWindow(w->hwnd)) << "the default handling destroys the window after onClose";
    w->~Recorder();
}

// A drop handle as the shell makes it: DROPFILES followed by the wide paths, each
// terminated, and an empty one at the end, in movable global memory.
HDROP makeDrop(const std::vector<std::wstring>& paths)
{
    size_t chars = 1;
    for (const std::wstring& p : paths)
        chars += p.size() + 1;
    HGLOBAL mem = GlobalAlloc(GHND, sizeof(DROPFILES) + chars * sizeof(WCHAR));
    if (!mem)
        return nullptr;
    auto* df = static_cast<DROPFILES*>(GlobalLock(mem));
    df->pFiles = sizeof(DROPFILES);
    df->fWide = TRUE;
    WCHAR* out = reinterpret_cast<WCHAR*>(reinterpret_cast<char*>(df) + sizeof(DROPFILES));
    for (const std::wstring& p : paths) {
        std::memcpy(out, p.c_str(), (p.size() + 1) * sizeof(WCHAR));
        out += p.size() + 1;
    }
    *out = 0;  // the list ends with an empty string
    GlobalUnlock(mem);
    return static_cast<HDROP>(mem);
}

TEST_F(NativeWindow, DropReachesTheSlotPerFileCutToTheBufferAndIsReleased)
{
    Recorder w;
    ASSERT_NE(w.hwnd, nullptr);
    w.onDropFile = boost::bind(&Recorder::dropped, &w, boost::placeholders::_1);
    std::wstring longPath = L"C:\\";
    while (longPath.size() < 300)
        longPath += L"abcdefghij\\";
    longPath += L"voice.wav";
    const std::vector<std::wstring> paths = {L"C:\\one.wav", longPath, L"D:\\three\\3.wav"};
    HDROP drop = makeDrop(paths);
    ASSERT_NE(drop, nullptr);
    ASSERT_EQ(DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0), 3u);
    ASSERT_EQ(DragQueryFileW(drop, 1, nullptr, 0), longPath.size());
    ASSERT_GT(GlobalSize(drop), 0u);

    SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);

    ASSERT_EQ(w.drops.size(), 3u);
    EXPECT_EQ(w.drops[0], paths[0]);
    EXPECT_EQ(w.drops[1], longPath.substr(0, 259)) << "260 characters with the terminator";
    EXPECT_EQ(w.drops[2], paths[2]);
    // DragFinish frees the handle: global memory that is gone has no size.
    EXPECT_EQ(GlobalSize(drop), 0u) << "the drop handle was not released";
    DestroyWindow(w.hwnd);
}

TEST_F(NativeWindow, DropWithEmptySlotChangesNothingAndIsReleased)
{
    Recorder w;
    ASSERT_NE(w.hwnd, nullptr);
    HDROP unbound = makeDrop({L"C:\\a.wav", L"C:\\b.wav"});
    ASSERT_GT(GlobalSize(unbound), 0u);
    SendMessageW(w.hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(unbound), 0);
    EXPECT_TRUE(w.drops.empty());
    EXPECT_EQ(GlobalSize(unbound), 0u);
    DestroyWindow(w.hwnd);
}

TEST_F(NativeWindow, ClientAreaIsExactly400By400WithTheRealFrame)
{
    Recorder w;
    ASSERT_NE(w.hwnd, nullptr);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(w.hwnd, GWL_STYLE)) & 0x12CA0000u, 0x12CA0000u);
    SRECT r = {0, 0, 400, 400};
    w.setGeometry(r);
    RECT client = {0, 0, 0, 0};
    ASSERT_TRUE(GetClientRect(w.hwnd, &client));
    EXPECT_EQ(client.right - client.left, 400);
    EXPECT_EQ(client.bottom - client.top, 400);
    RECT outer;
    GetWindowRect(w.hwnd, &outer);
    // The frame adds a caption: the outer rectangle is strictly larger.
    EXPECT_GT(outer.bottom - outer.top, 400);
    EXPECT_GE(outer.right - outer.left, 400);
    wchar_t title[64] = {0};
    GetWindowTextW(w.hwnd, title, 64);
    EXPECT_STREQ(title, L"Quillmorph");
    DestroyWindow(w.hwnd);
}

}  // namespace
