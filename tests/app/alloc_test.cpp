// What the window thread allocates: nothing per pointer move once the program runs
// (the move, the pad's repaint with its picture, the copy to the window), and nothing
// large for a picture file that only claims to be large. Every C++ allocation and
// every one SDL makes is counted, on the thread that arms the count.

#include "AppTestSupport.h"
#include "app/MainWindow.h"
#include "framework/WindowClass.h"
#include "platform/win32.h"
#include "platform/win32_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

namespace {

thread_local bool t_armed = false;
std::atomic<size_t> g_allocations{0};
std::atomic<size_t> g_largest{0};

void counted(size_t size)
{
    if (!t_armed)
        return;
    ++g_allocations;
    size_t seen = g_largest.load();
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
}

void* sdlMalloc(size_t size)
{
    counted(size);
    return std::malloc(size);
}
void* sdlCalloc(size_t n, size_t size)
{
    counted(n * size);
    return std::calloc(n, size);
}
void* sdlRealloc(void* p, size_t size)
{
    counted(size);
    return std::realloc(p, size);
}
void sdlFree(void* p)
{
    std::free(p);
}

// Before SDL allocates anything: its memory goes through the counters from the start.
const bool g_sdlCounted = qmTestRouteSdlMemory(sdlMalloc, sdlCalloc, sdlRealloc, sdlFree);

struct Count {
    Count()
    {
        g_allocations = 0;
        g_largest = 0;
        t_armed = true;
    }
    ~Count() { t_armed = false; }
    size_t allocations() const { return g_allocations.load(); }
    size_t largest() const { return g_largest.load(); }
};

// Dispatches what is pending without waiting; returns how many moves it handled.
int pump()
{
    MSG m;
    int moves = 0;
    for (int guard = 0; guard < 10000 && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++guard) {
        if (m.message == WM_QUIT)
            continue;
        moves += m.message == WM_MOUSEMOVE;
        DispatchMessageW(&m);
    }
    return moves;
}

// Runs the loop, waiting, until a move has been handled: call it only with one pending
// (moves that repaint come at most once per screen update, so it may wait that long).
void takeMove()
{
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        DispatchMessageW(&m);
        if (m.message == WM_MOUSEMOVE)
            return;
    }
}

class AllocTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { registerWindowClass(); }

    void TearDown() override
    {
        if (window) {
            window->audio->close();
            DestroyWindow(window->hwnd);
            delete window->audio;
            delete window->canvas;
            window.reset();
        }
    }

    apptest::TempWorkDir dir;
    std::unique_ptr<MainWindow> window;
};

TEST_F(AllocTest, PointerMovesAndTheirRepaintsAllocateNothing)
{
    ASSERT_TRUE(g_sdlCounted);
    ASSERT_TRUE(apptest::writeSolidBmp("back.bmp", 400, 400, 30, 120, 200));
    window.reset(new MainWindow());
    ASSERT_NE(window->hwnd, nullptr);
    ASSERT_NE(window->canvas->picture.get(), nullptr);
    pump();
    const HWND top = window->hwnd;
    // The client area is the pad; press on it, then let the first moves grow what grows once.
    qmTestPushMouse(top, WM_LBUTTONDOWN, 200, 200);
    pump();
    for (int i = 0; i < 20; ++i) {
        qmTestPushMouse(top, WM_MOUSEMOVE, 100 + i, 100 + i);
        takeMove();
    }
    const uint64_t updatesBefore = qmTestScreenUpdates();
    const auto started = std::chrono::steady_clock::now();
    constexpr int kTaken = 100, kFlood = 1000;
    size_t allocations = 0;
    int repaints = 0;
    {
        Count count;
        // One by one, each waited for: each is a move handled and a full repaint.
        for (int i = 0; i < kTaken; ++i) {
            qmTestPushMouse(top, WM_MOUSEMOVE, (i * 7) % 400, (i * 13) % 400);
            takeMove();
        }
        // A flood between passes that never wait: most join the move held for the
        // next screen update; then the newest is waited for.
        for (int i = kTaken; i < kTaken + kFlood; ++i) {
            qmTestPushMouse(top, WM_MOUSEMOVE, (i * 7) % 400, (i * 13) % 400);
            if (i + 1 < kTaken + kFlood)
                repaints += pump();
        }
        takeMove();
        allocations = count.allocations();
    }
    EXPECT_EQ(allocations, 0u);
    // Paints faster than the screen's rate share its updates, and so do the moves of a flood.
    const auto tookUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    const uint64_t updates = qmTestScreenUpdates() - updatesBefore;
    EXPECT_GE(updates, 1u);
    EXPECT_LE(updates, static_cast<uint64_t>(tookUs.count()) / qmTestScreenUpdateIntervalUs() + 1);
    EXPECT_LT(repaints, kFlood / 2);
    const int kMoves = kTaken + kFlood;
    // The last move is what the pad shows: its ratios and the crosshair's column.
    const int lastX = ((kMoves - 1) * 7) % 400, lastY = ((kMoves - 1) * 13) % 400;
    EXPECT_DOUBLE_EQ(window->canvas->xRatio.load(), lastX / 400.0);
    EXPECT_DOUBLE_EQ(window->canvas->yRatio.load(), lastY / 400.0);
    HDC dc = GetDC(window->canvas->hwnd);
    const int far = lastY > 200 ? 10 : 390;
    EXPECT_EQ(GetPixel(dc, static_cast<int>(400 * (lastX / 400.0)), far), MyCanvas::kCrosshairColour);
    EXPECT_EQ(GetPixel(dc, lastX > 200 ? 10 : 390, far), RGB(30, 120, 200));
    ReleaseDC(window->canvas->hwnd, dc);
    qmTestPushMouse(top, WM_LBUTTONUP, 0, 0);
    pump();
}

TEST_F(AllocTest, APictureThatOnlyClaimsToBeHugeIsRefusedBeforeAnythingLarge)
{
    ASSERT_TRUE(g_sdlCounted);
    // 16384 x 4096 at 32 bits per pixel (256 MB of pixels) in a 64-byte file.
    unsigned char bmp[64] = {'B', 'M'};
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bmp[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    put(2, sizeof bmp);
    put(10, 54);
    put(14, 40);
    put(18, 16384);
    put(22, 4096);
    bmp[26] = 1;
    bmp[28] = 32;
    FILE* f = std::fopen("back.bmp", "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bmp, 1, sizeof bmp, f), sizeof bmp);
    std::fclose(f);
    size_t largest = 0;
    HANDLE picture = nullptr;
    {
        Count count;
        picture = LoadImageW(nullptr, L"back.bmp", IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE);
        largest = count.largest();
    }
    EXPECT_EQ(picture, nullptr);
    EXPECT_LT(largest, size_t(1) << 16) << "bytes in one allocation";

    // The program starts anyway, with a white pad.
    window.reset(new MainWindow());
    ASSERT_NE(window->hwnd, nullptr);
    EXPECT_EQ(window->canvas->picture.get(), nullptr);
}

}  // namespace

// C++ allocations of the whole binary go through the same counter. They pair malloc
// with free; GCC, seeing the replaced operators inlined, would call that a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t size)
{
    counted(size);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size)
{
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    counted(size);
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    std::free(p);
}
