// The main window with its stream really running (SDL's disk driver, unpaced):
// drags on the window thread while blocks flow on the audio thread, then the
// close path the user takes. Built for ThreadSanitizer too.

#include "AppTestSupport.h"
#include "app/MainWindow.h"
#include "framework/WindowClass.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace {

LPARAM packPosition(int x, int y)
{
    return static_cast<LPARAM>(static_cast<uint16_t>(x) | (static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16));
}

TEST(RunningProgram, DragsDuringSoundThenCloseStopsEverythingAndEndsTheLoop)
{
    // The disk driver reads this file (named in the test's environment).
    {
        std::vector<double> x = apptest::voicedSignal(180.0, 0, 44100 * 4, 6000);
        std::ofstream f(QM_DISK_IN, std::ios::binary);
        for (double v : x) {
            int16_t s = static_cast<int16_t>(v);
            f.write(reinterpret_cast<const char*>(&s), 2);
        }
    }
    registerWindowClass();
    MainWindow window;
    ASSERT_NE(window.hwnd, nullptr);
    ASSERT_TRUE(window.audio->running);

    // Sweep the pad on the window thread while the audio thread reads the ratios.
    for (int i = 0; i < 120; ++i) {
        int x = (i * 37) % 460 - 30, y = (i * 53) % 460 - 30;
        SendMessageW(window.canvas->hwnd, WM_LBUTTONDOWN, MK_LBUTTON, packPosition(200, 200));
        SendMessageW(window.canvas->hwnd, WM_MOUSEMOVE, MK_LBUTTON, packPosition(x, y));
        SendMessageW(window.canvas->hwnd, WM_LBUTTONUP, 0, packPosition(x, y));
        double xr = window.canvas->xRatio.load(), yr = window.canvas->yRatio.load();
        ASSERT_TRUE(xr >= 0.0 && xr <= 1.0 && yr >= 0.0 && yr <= 1.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // The close button's path: WM_CLOSE stops the sound, then the window goes and the loop ends.
    PostMessageW(window.hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(runMessageLoop(), 0);
    EXPECT_FALSE(window.audio->running);
    for (const SAudioBlock& b : window.audio->blocks)
        EXPECT_EQ(b.samples.count, 0);

    delete window.audio;
    delete window.canvas;

    std::ifstream out(QM_DISK_OUT, std::ios::binary | std::ios::ate);
    EXPECT_GT(static_cast<long>(out.tellg()), 2L * 2048 * 2) << "no blocks were played";
}

}  // namespace
