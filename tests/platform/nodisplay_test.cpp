// With no display and no driver asked for, window creation fails with one line on stderr.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/win32.h"

namespace {

LRESULT CALLBACK plainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST(PlatformNoDisplay, CreationFailsWithOneClearLine)
{
    unsetenv("SDL_VIDEODRIVER");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = plainProc;
    wc.lpszClassName = L"nodisplay_class";
    RegisterClassExW(&wc);

    testing::internal::CaptureStderr();
    HWND first = CreateWindowExW(0, wc.lpszClassName, L"x", WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
    HWND second = CreateWindowExW(0, wc.lpszClassName, L"x", WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(err.find("cannot open a window"), std::string::npos) << err;
    EXPECT_NE(err.find("display"), std::string::npos) << err;
    // One line, printed once.
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

}  // namespace
