// Posting from other threads: messages arrive in order and wake a blocked GetMessageW.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

std::vector<std::vector<LPARAM>> g_seen(2);

LRESULT CALLBACK recordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP && wParam < g_seen.size())
        g_seen[wParam].push_back(lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST(PlatformWindowThreads, PostsFromOtherThreadsWakeTheLoopInOrder)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = recordingProc;
    wc.lpszClassName = L"thread_test_class";
    ASSERT_NE(RegisterClassExW(&wc), 0);
    HWND h = CreateWindowExW(0, wc.lpszClassName, L"", WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr, nullptr,
                             nullptr);
    ASSERT_NE(h, nullptr);

    constexpr int kPerThread = 2000;
    std::vector<std::thread> posters;
    for (WPARAM t = 0; t < 2; ++t)
        posters.emplace_back([=] {
            for (int i = 0; i < kPerThread; ++i)
                PostMessageW(h, WM_APP, t, i);
        });
    // The quit message comes from yet another thread once both posters are done,
    // while the loop below is (most likely) blocked waiting.
    std::thread quitter([&] {
        for (std::thread& p : posters)
            p.join();
        PostQuitMessage(3);
    });

    MSG m;
    BOOL got;
    while ((got = GetMessageW(&m, nullptr, 0, 0)) > 0)
        DispatchMessageW(&m);
    quitter.join();
    EXPECT_EQ(got, FALSE);
    EXPECT_EQ(m.wParam, 3u);
    for (const auto& seen : g_seen) {
        ASSERT_EQ(seen.size(), static_cast<size_t>(kPerThread));
        for (int i = 0; i < kPerThread; ++i)
            ASSERT_EQ(seen[i], i);
    }
    DestroyWindow(h);
}

}  // namespace
