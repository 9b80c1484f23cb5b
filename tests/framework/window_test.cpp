// The window framework on real windows: routing, geometry, drops, canvas, message loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/SCanvas.h"
#include "framework/SWindow.h"
#include "framework/WindowClass.h"
#include "platform/win32.h"
#ifndef _WIN32
#include "platform/win32_testing.h"
#endif

namespace {

constexpr COLORREF kWhite = 0xFFFFFF;
constexpr COLORREF kBlack = 0x000000;

void pump()
{
    MSG m;
    for (int guard = 0; guard < 10000 && PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE); ++guard)
        if (m.message != WM_QUIT)
            DispatchMessageW(&m);
}

class TestWindow final : public SWindow {
public:
    LRESULT onMessage(HWND h, UINT message, WPARAM wParam, LPARAM lParam) override
    {
        seen.push_back(message);
        if (message == WM_DROPFILES)
            lastDrop = reinterpret_cast<HDROP>(wParam);
        if (message == WM_CLOSE)
            aliveAtClose = IsWindow(h) != FALSE;
        return SWindow::onMessage(h, message, wParam, lParam);
    }
    void closed() { ++closes; closedWhileAlive = IsWindow(hwnd) != FALSE; }
    void dropped(std::wstring& path) { drops.push_back(path); }

    std::vector<UINT> seen;
    std::vector<std::wstring> drops;
    HDROP lastDrop = nullptr;
    int closes = 0;
    bool closedWhileAlive = false;
    bool aliveAtClose = false;
};

class TestCanvas final : public SCanvas {
public:
    explicit TestCanvas(SWidget* parent) : SCanvas(parent) {}
    void draw() override
    {
        ++draws;
        if (fillBlack)
            PatBlt(backDC, 0, 0, width, height, BLACKNESS);
        if (cross) {
            SetDCPenColor(backDC, RGB(100, 100, 100));
            MoveToEx(backDC, 0, height / 3, nullptr);
            LineTo(backDC, width, height / 3);
            Arc(backDC, 10, 10, 60, 60, 35, 35, 35, 35);
        }
    }
    void dragged(SPOS& p) { positions.push_back(p); }
    void setGeometry(SRECT& r) override
    {
        placed.push_back(r);
        SCanvas::setGeometry(r);
    }

    int draws = 0;
    bool fillBlack = false;
    bool cross = false;
    std::vector<SPOS> positions;
    std::vector<SRECT> placed;
};

class Framework : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        registerWindowClass();
#ifndef _WIN32
        qmTestSetScreenSize(1920, 1080);  // the size the placement cases are worked out for
#endif
    }
    void TearDown() override { pump(); }
    static int screenW() { return GetSystemMetrics(SM_CXSCREEN); }
    static int screenH() { return GetSystemMetrics(SM_CYSCREEN); }
    static RECT windowRect(HWND h)
    {
        RECT r = {0, 0, 0, 0};
        GetWindowRect(h, &r);
        return r;
    }
};

TEST_F(Framework, MessagesDuringCreationReachNoObjectLaterOnesAllDo)
{
    TestWindow w;
    ASSERT_NE(w.hwnd, nullptr);
    // Creation sent WM_NCCREATE and WM_CREATE before the object was associated.
    for (UINT m : w.seen) {
        EXPECT_NE(m, static_cast<UINT>(WM_NCCREATE));
        EXPECT_NE(m, static_cast<UINT>(WM_CREATE));
    }
    EXPECT_EQ(GetWindowLongPtrW(w.hwnd, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&w));
    w.seen.clear();
    SendMessageW(w.hwnd, WM_USER + 5, 0, 0);
    PostMessageW(w.hwnd, WM_USER + 6, 0, 0);
    pump();
    std::vector<UINT> user;
    for (UINT m : w.seen)
        if (m >= WM_USER)
            user.push_back(m);
    EXPECT_EQ(user, (std::vector<UINT>{WM_USER + 5, WM_USER + 6}));
    DestroyWindow(w.hwnd);
}

TEST_F(Framework, CloseRunsTheSlotFirstThenDestroysWindowAndChild)
{
    TestWindow w;
    TestCanvas c(&w);
    w.setChild(&c);
    w.onClose = boost::bind(&TestWindow::closed, &w);
    SendMessageW(w.hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(w.closes, 1);
    EXPECT_TRUE(w.closedWhileAlive);
    EXPECT_FALSE(IsWindow(w.hwnd));
    EXPECT_FALSE(IsWindow(c.hwnd));

    TestWindow unbound;
    PostMessageW(unbound.hwnd, WM_CLOSE, 0, 0);
    pump();
    EXPECT_TRUE(unbound.aliveAtClose);
    EXPECT_FALSE(IsWindow(unbound.hwnd));
}

TEST_F(Framework, SetGeometryCentresOnTheScreenIgnoringXAndY)
{
    TestWindow w;
    TestCanvas c(&w);
    w.setChild(&c);
    SRECT r = {300, 200, 400, 400};
    w.setGeometry(r);
    RECT outer = windowRect(w.hwnd), client;
    GetClientRect(w.hwnd, &client);
    EXPECT_EQ(client.right, 400);
    EXPECT_EQ(client.bottom, 400);
    const int ow = outer.right - outer.left, oh = outer.bottom - outer.top;
    EXPECT_EQ(outer.left, (screenW() - ow) / 2);
    EXPECT_EQ(outer.top, (screenH() - oh) / 2);
    if (screenW() == 1920 && screenH() == 1080 && ow == 406 && oh == 428) {
        EXPECT_EQ(outer.left, 757);
        EXPECT_EQ(outer.top, 326);
    }
    SRECT origin = {0, 0, 400, 400};
    w.setGeometry(origin);
    RECT again = windowRect(w.hwnd);
    EXPECT_EQ(again.left, outer.left);
    EXPECT_EQ(again.top, outer.top);
    // The child fills the client area.
    ASSERT_FALSE(c.placed.empty());
    EXPECT_EQ(c.placed.back().x, 0);
    EXPECT_EQ(c.placed.back().y, 0);
    EXPECT_EQ(c.width, 400);
    EXPECT_EQ(c.height, 400);

    // Wider than the screen by 203: x truncates toward zero to -101.
    RECT frame = {0, 0, 0, 0};
    AdjustWindowRect(&frame, static_cast<DWORD>(GetWindowLongW(w.hwnd, GWL_STYLE)), FALSE);
    SRECT wide = {0, 0, screenW() + 203 - (frame.right - frame.left), 100};
    w.setGeometry(wide);
    EXPECT_EQ(windowRect(w.hwnd).left, -101);
    DestroyWindow(w.hwnd);
}

TEST_F(Framework, SizingRecentresAtTheCurrentClientSize)
{
    TestWindow w;
    TestCanvas c(&w);
    w.setChild(&c);
    SRECT r = {0, 0, 300, 200};
    w.setGeometry(r);
    const RECT centred = windowRect(w.hwnd);
    MoveWindow(w.hwnd, 3, 4, centred.right - centred.left, centred.bottom - centred.top, TRUE);
    c.placed.clear();
    RECT proposed = {1, 2, 3, 4};
    SendMessageW(w.hwnd, WM_SIZING, 2, reinterpret_cast<LPARAM>(&proposed));
    const RECT after = windowRect(w.hwnd);
    EXPECT_EQ(after.left, centred.left);
    EXPECT_EQ(after.top, centred.top);
    EXPECT_EQ(after.right, centred.right);
    ASSERT_EQ(c.placed.size(), 1u);
    EXPECT_EQ(c.placed[0].x, 0);
    EXPECT_EQ(c.placed[0].y, 0);
    EXPECT_EQ(c.placed[0].width, 300);
    EXPECT_EQ(c.placed[0].height, 200);
    EXPECT_EQ(proposed.left, 1);  // neither read nor changed
    EXPECT_EQ(proposed.bottom, 4);
    DestroyWindow(w.hwnd);
}

#ifndef _WIN32
TEST_F(Framework, DropsReachTheSlotOncePerFileInOrderAndAreReleased)
{
    TestWindow w;
    w.onDropFile = boost::bind(&TestWindow::dropped, &w, boost::placeholders::_1);
    const std::wstring longPath = L"/data/" + std::wstring(400, L'L');
    qmTestPushDrop(w.hwnd, {L"/data/one.wav", L"/data/two.wav", longPath});
    pump();
    ASSERT_EQ(w.drops.size(), 3u);
    EXPECT_EQ(w.drops[0], L"/data/one.wav");
    EXPECT_EQ(w.drops[1], L"/data/two.wav");
    EXPECT_EQ(w.drops[2], longPath.substr(0, 259));  // cut to the 260-character buffer
    ASSERT_NE(w.lastDrop, nullptr);
    EXPECT_EQ(DragQueryFileW(w.lastDrop, 0xFFFFFFFF, nullptr, 0), 0u);  // released

    // An empty slot: the drop is still read and released, nothing else happens.
    w.onDropFile.clear();
    w.drops.clear();
    qmTestPushDrop(w.hwnd, {L"/data/three.wav"});
    pump();
    EXPECT_TRUE(w.drops.empty());
    EXPECT_EQ(DragQueryFileW(w.lastDrop, 0xFFFFFFFF, nullptr, 0), 0u);

    // A handle whose count is 0 invokes nothing.
    w.onDropFile = boost::bind(&TestWindow::dropped, &w, boost::placeholders::_1);
    SendMessageW(w.hwnd, WM_DROPFILES, 0x1234, 0);
    EXPECT_TRUE(w.drops.empty());
    DestroyWindow(w.hwnd);
}
#endif

struct CanvasFixture : Framework {
    void SetUp() override
    {
        window = new TestWindow;
        canvas = new TestCanvas(window);
        window->setChild(canvas);
        canvas->onMouseDrag = boost::bind(&TestCanvas::dragged, canvas, boost::placeholders::_1);
        SRECT r = {0, 0, 400, 400};
        window->setGeometry(r);
        pump();
    }
    void TearDown() override
    {
        DestroyWindow(window->hwnd);
        pump();
        delete canvas;
        delete window;
    }
    void send(UINT message, LPARAM lParam = 0) { SendMessageW(canvas->hwnd, message, 0, lParam); }
    TestWindow* window = nullptr;
    TestCanvas* canvas = nullptr;
};

TEST_F(CanvasFixture, DragsReportSignedPositionsOnlyWhilePressed)
{
    send(WM_MOUSEMOVE, MAKELPARAM(10, 10));  // no press yet
    send(WM_LBUTTONDOWN, MAKELPARAM(10, 10));
    send(WM_LBUTTONUP, MAKELPARAM(10, 10));
    EXPECT_TRUE(canvas->positions.empty());

    send(WM_LBUTTONDOWN, MAKELPARAM(1, 1));
    EXPECT_TRUE(canvas->dragging);
    EXPECT_EQ(GetCapture(), canvas->hwnd);
    send(WM_MOUSEMOVE, static_cast<LPARAM>(0xFFFF0005));
    send(WM_MOUSEMOVE, static_cast<LPARAM>(0x0000FFFF));
    send(WM_MOUSEMOVE, static_cast<LPARAM>(0x01900190));
    send(WM_LBUTTONUP);
    EXPECT_FALSE(canvas->dragging);
    EXPECT_EQ(GetCapture(), nullptr);
    send(WM_MOUSEMOVE, MAKELPARAM(7, 7));
    ASSERT_EQ(canvas->positions.size(), 3u);
    EXPECT_EQ(canvas->positions[0].x, 5);
    EXPECT_EQ(canvas->positions[0].y, -1);
    EXPECT_EQ(canvas->positions[1].x, -1);
    EXPECT_EQ(canvas->positions[1].y, 0);
    EXPECT_EQ(canvas->positions[2].x, 400);
    EXPECT_EQ(canvas->positions[2].y, 400);
}

#ifndef _WIN32
TEST_F(CanvasFixture, RealPointerDragIsCapturedBeyondTheCanvas)
{
    qmTestPushMouse(window->hwnd, WM_MOUSEMOVE, 50, 50);
    qmTestPushMouse(window->hwnd, WM_LBUTTONDOWN, 100, 120);
    qmTestPushMouse(window->hwnd, WM_MOUSEMOVE, 150, 160);
    pump();  // moves still waiting would coalesce into the last
    qmTestPushMouse(window->hwnd, WM_MOUSEMOVE, -30, 500);
    qmTestPushMouse(window->hwnd, WM_LBUTTONUP, -30, 500);
    qmTestPushMouse(window->hwnd, WM_MOUSEMOVE, 60, 60);
    pump();
    ASSERT_EQ(canvas->positions.size(), 2u);
    EXPECT_EQ(canvas->positions[0].x, 150);
    EXPECT_EQ(canvas->positions[0].y, 160);
    EXPECT_EQ(canvas->positions[1].x, -30);
    EXPECT_EQ(canvas->positions[1].y, 500);
    EXPECT_FALSE(canvas->dragging);
}
#endif

TEST_F(CanvasFixture, PaintCoversExactlyThePlacedArea)
{
    SRECT r = {10, 20, 400, 300};
    canvas->setGeometry(r);
    EXPECT_EQ(canvas->width, 400);
    EXPECT_EQ(canvas->height, 300);
    pump();  // the move's repaint
    canvas->fillBlack = true;
    canvas->paint();
    HDC dc = GetDC(window->hwnd);
    for (int y = 0; y < 400; y += 3)
        for (int x = 0; x < 400; x += 3) {
            const bool inside = x >= 10 && y >= 20 && y < 320;
            ASSERT_EQ(GetPixel(dc, x, y), inside ? kBlack : kWhite) << x << "," << y;
        }
    EXPECT_EQ(GetPixel(dc, 9, 20), kWhite);
    EXPECT_EQ(GetPixel(dc, 10, 19), kWhite);
    EXPECT_EQ(GetPixel(dc, 10, 20), kBlack);
    EXPECT_EQ(GetPixel(dc, 399, 319), kBlack);
    EXPECT_EQ(GetPixel(dc, 10, 320), kWhite);
    ReleaseDC(window->hwnd, dc);
}

TEST_F(CanvasFixture, EmptyDrawLeavesWhiteAndRepaintsAreIdentical)
{
    HDC dc = GetDC(canvas->hwnd);
    PatBlt(dc, 0, 0, 400, 400, BLACKNESS);
    const int before = canvas->draws;
    canvas->paint();
    EXPECT_EQ(canvas->draws, before + 1);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x)
            ASSERT_EQ(GetPixel(dc, x, y), kWhite) << x << "," << y;

    canvas->cross = true;
    canvas->paint();
    std::vector<COLORREF> first;
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x)
            first.push_back(GetPixel(dc, x, y));
    EXPECT_EQ(GetPixel(dc, 5, 133), RGB(100, 100, 100));
    canvas->paint();
    size_t i = 0, differing = 0;
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x)
            differing += GetPixel(dc, x, y) != first[i++];
    EXPECT_EQ(differing, 0u);
    ReleaseDC(canvas->hwnd, dc);
}

TEST_F(CanvasFixture, PaintRequestsRepaintAndPaintsLeakNothing)
{
    const int before = canvas->draws;
    // A real change of size: Windows sends no paint for a move that changes nothing.
    MoveWindow(canvas->hwnd, 0, 0, 300, 300, TRUE);
    pump();
    EXPECT_EQ(canvas->draws, before + 1);  // one WM_PAINT, validated after the object
    EXPECT_EQ(canvas->backDC, nullptr);

    const DWORD objects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    for (int k = 0; k < 50; ++k)
        canvas->paint();
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), objects);
}

TEST_F(Framework, CanvasWithoutParentHasNoWindowAndPaintsNothing)
{
    TestCanvas orphan(nullptr);
    EXPECT_EQ(orphan.hwnd, nullptr);
    orphan.paint();
    EXPECT_EQ(orphan.draws, 0);
}

TEST_F(Framework, DestroyedObjectIsNoLongerReachedByItsWindow)
{
    HWND h;
    {
        TestWindow w;
        h = w.hwnd;
    }
    // Would reach freed memory if the association survived the object.
    SendMessageW(h, WM_USER, 0, 0);
    EXPECT_EQ(GetWindowLongPtrW(h, GWLP_USERDATA), 0);
    DestroyWindow(h);
}

TEST_F(Framework, MessageLoopReturnsZeroOnQuitAndOnError)
{
    TestWindow w;
    PostMessageW(w.hwnd, WM_USER + 9, 0, 0);
    PostQuitMessage(5);
    EXPECT_EQ(runMessageLoop(), 0);
    EXPECT_EQ(w.seen.back(), static_cast<UINT>(WM_USER + 9));
#ifndef _WIN32
    qmTestFailNextGetMessage();
    EXPECT_EQ(runMessageLoop(), 0);
#endif
    DestroyWindow(w.hwnd);
}

}  // namespace
