// The control pad on a real (offscreen) window: what it shows, read back pixel by
// pixel, and what dragging does to its ratios.

#include "AppTestSupport.h"
#include "app/MyCanvas.h"
#include "framework/SWindow.h"
#include "framework/WindowClass.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <vector>

namespace {

const COLORREF kGrey = MyCanvas::kCrosshairColour;
const COLORREF kWhite = RGB(255, 255, 255);

LPARAM packPosition(int x, int y)
{
    return static_cast<LPARAM>(static_cast<uint16_t>(x) | (static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16));
}

class PadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { registerWindowClass(); }

    // Builds a parent window and a pad of the given size in the current folder.
    void makePad(int width = 400, int height = 400)
    {
        parent.reset(new SWindow());
        ASSERT_NE(parent->hwnd, nullptr);
        pad.reset(new MyCanvas(parent.get()));
        ASSERT_NE(pad->hwnd, nullptr);
        parent->setChild(pad.get());
        SRECT client = {0, 0, width, height};
        parent->setGeometry(client);
        pad->paint();
    }

    void TearDown() override
    {
        if (parent && parent->hwnd)
            DestroyWindow(parent->hwnd);
        pad.reset();
        parent.reset();
    }

    void drag(int x, int y)
    {
        SendMessageW(pad->hwnd, WM_LBUTTONDOWN, MK_LBUTTON, packPosition(x, y));
        SendMessageW(pad->hwnd, WM_MOUSEMOVE, MK_LBUTTON, packPosition(x, y));
        SendMessageW(pad->hwnd, WM_LBUTTONUP, 0, packPosition(x, y));
    }

    std::vector<COLORREF> pixels()
    {
        std::vector<COLORREF> out;
        HDC dc = GetDC(pad->hwnd);
        for (int y = 0; y < pad->height; ++y)
            for (int x = 0; x < pad->width; ++x)
                out.push_back(GetPixel(dc, x, y));
        ReleaseDC(pad->hwnd, dc);
        return out;
    }

    COLORREF at(const std::vector<COLORREF>& px, int x, int y) { return px[static_cast<size_t>(y) * pad->width + x]; }

    // Columns of row y that show the crosshair grey.
    std::vector<int> greyColumns(const std::vector<COLORREF>& px, int y)
    {
        std::vector<int> cols;
        for (int x = 0; x < pad->width; ++x)
            if (at(px, x, y) == kGrey)
                cols.push_back(x);
        return cols;
    }

    std::vector<int> greyRows(const std::vector<COLORREF>& px, int x)
    {
        std::vector<int> rows;
        for (int y = 0; y < pad->height; ++y)
            if (at(px, x, y) == kGrey)
                rows.push_back(y);
        return rows;
    }

    apptest::TempWorkDir dir;  // no back.bmp unless a test writes one
    std::unique_ptr<SWindow> parent;
    std::unique_ptr<MyCanvas> pad;
};

TEST_F(PadTest, StartsCentredWithTheCircleInsideItsBox)
{
    makePad();
    EXPECT_EQ(pad->xRatio.load(), 0.5);
    EXPECT_EQ(pad->yRatio.load(), 0.5);
    EXPECT_EQ(pad->picture.get(), nullptr);

    auto px = pixels();
    // Full lines through (200, 200), nothing else grey on rows/columns far from the circle.
    EXPECT_EQ(greyColumns(px, 10), std::vector<int>{200});
    EXPECT_EQ(greyRows(px, 10), std::vector<int>{200});
    EXPECT_EQ(greyColumns(px, 200).size(), 400u);
    EXPECT_EQ(greyRows(px, 200).size(), 400u);

    int outside = 0, nearRadius = 0, total = 0;
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 400; ++x) {
            COLORREF c = at(px, x, y);
            if (x == 200 || y == 200)
                continue;
            if (c != kWhite && c != kGrey)
                ADD_FAILURE() << "unexpected colour at " << x << "," << y;
            if (c != kGrey)
                continue;
            ++total;
            if (x < 150 || x > 250 || y < 150 || y > 250)
                ++outside;
            double d = std::hypot(x + 0.5 - 200, y + 0.5 - 200);
            if (d > 47 && d < 52)
                ++nearRadius;
        }
    EXPECT_EQ(outside, 0);
    EXPECT_GT(total, 250);  // a whole outline, not a few dots
    EXPECT_EQ(nearRadius, total);
    // All four quadrants of the outline are there.
    EXPECT_EQ(at(px, 200, 150), kGrey);
    EXPECT_EQ(at(px, 150, 200), kGrey);
    EXPECT_TRUE(at(px, 249, 201) == kGrey || at(px, 250, 201) == kGrey);
    EXPECT_TRUE(at(px, 201, 249) == kGrey || at(px, 201, 250) == kGrey);
}

TEST_F(PadTest, DragsSetClampedRatiosAndMoveTheCrosshair)
{
    makePad();
    drag(200, 100);
    EXPECT_EQ(pad->xRatio.load(), 0.5);
    EXPECT_EQ(pad->yRatio.load(), 0.25);
    auto px = pixels();
    EXPECT_EQ(greyColumns(px, 300), std::vector<int>{200});
    EXPECT_EQ(greyRows(px, 10), std::vector<int>{100});

    drag(-30, 500);
    EXPECT_EQ(pad->xRatio.load(), 0.0);
    EXPECT_EQ(pad->yRatio.load(), 1.0);
    px = pixels();
    // Vertical line on x = 0; the horizontal one lies on y = 400, outside the pad.
    EXPECT_EQ(greyRows(px, 0).size(), 400u);
    // Only the quarter of the circle above and right of (0, 400) shows.
    int quarter = 0;
    for (int y = 0; y < 400; ++y)
        for (int x = 1; x < 400; ++x)
            if (at(px, x, y) == kGrey) {
                EXPECT_LE(x, 50);
                EXPECT_GE(y, 349);
                ++quarter;
            }
    EXPECT_GT(quarter, 40);

    drag(100000 % 32768, -20000);  // far beyond the edges, still a valid signed 16-bit pair
    EXPECT_EQ(pad->xRatio.load(), 1.0);
    EXPECT_EQ(pad->yRatio.load(), 0.0);
    drag(400, 400);
    EXPECT_EQ(pad->xRatio.load(), 1.0);
    EXPECT_EQ(pad->yRatio.load(), 1.0);
}

TEST_F(PadTest, LineLandsOnePixelBeforeThePointerExactlyWhereTruncationSaysSo)
{
    makePad();
    std::set<int> early;
    for (int x = 0; x <= 400; ++x) {
        drag(x, 20);
        auto px = pixels();
        std::vector<int> cols = greyColumns(px, 300);  // below the circle, away from the horizontal line
        if (x == 400) {
            EXPECT_TRUE(cols.empty());  // on x = 400: just outside the surface
            continue;
        }
        ASSERT_EQ(cols.size(), 1u) << x;
        if (cols[0] == x - 1)
            early.insert(x);
        else
            EXPECT_EQ(cols[0], x);
    }
    const std::set<int> expected = {29, 57, 58, 113, 114, 115, 116, 201, 203, 205, 207, 226, 228, 230, 232, 251, 253, 255};
    EXPECT_EQ(early, expected);
}

TEST_F(PadTest, PressAndReleaseWithoutMoveChangesNothing)
{
    makePad();
    drag(123, 321);
    auto before = pixels();
    double x = pad->xRatio.load(), y = pad->yRatio.load();
    SendMessageW(pad->hwnd, WM_LBUTTONDOWN, MK_LBUTTON, packPosition(10, 10));
    SendMessageW(pad->hwnd, WM_LBUTTONUP, 0, packPosition(10, 10));
    // Moves without a press are not drags.
    SendMessageW(pad->hwnd, WM_MOUSEMOVE, 0, packPosition(30, 30));
    pad->paint();
    EXPECT_EQ(pad->xRatio.load(), x);
    EXPECT_EQ(pad->yRatio.load(), y);
    EXPECT_EQ(pixels(), before);
}

TEST_F(PadTest, SmallPictureLeavesTheRightAndBottomStripsWhite)
{
    ASSERT_TRUE(apptest::writeSolidBmp("back.bmp", 300, 200, 10, 120, 200));
    makePad();
    EXPECT_NE(pad->picture.get(), nullptr);
    EXPECT_EQ(pad->pictureWidth, 300);
    EXPECT_EQ(pad->pictureHeight, 200);
    drag(390, 390);  // crosshair out of the way, in the bottom right corner
    auto px = pixels();
    const COLORREF blue = RGB(10, 120, 200);
    for (int y = 0; y < 330; ++y)
        for (int x = 0; x < 330; ++x) {
            bool inPicture = x < 300 && y < 200;
            EXPECT_EQ(at(px, x, y), inPicture ? blue : kWhite) << x << "," << y;
            if (HasFailure())
                return;
        }
}

TEST_F(PadTest, UnreadablePictureLeavesAWorkingPad)
{
    {
        FILE* f = std::fopen("back.bmp", "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("BM this is not a picture", f);
        std::fclose(f);
    }
    makePad();
    EXPECT_EQ(pad->picture.get(), nullptr);
    EXPECT_EQ(pad->pictureWidth, 0);
    drag(100, 300);
    EXPECT_EQ(pad->xRatio.load(), 0.25);
    EXPECT_EQ(pad->yRatio.load(), 0.75);
    auto px = pixels();
    EXPECT_EQ(greyColumns(px, 10), std::vector<int>{100});
    EXPECT_EQ(at(px, 390, 10), kWhite);
}

TEST_F(PadTest, ShippedPictureLoadsAtItsSize)
{
    std::filesystem::copy_file(std::string(QM_SOURCE_DIR) + "/app/back.bmp", "back.bmp");
    makePad();
    ASSERT_NE(pad->picture.get(), nullptr);
    EXPECT_EQ(pad->pictureWidth, 400);
    EXPECT_EQ(pad->pictureHeight, 400);
    auto px = pixels();
    // The crosshair stays visible: it is the only exact grey, and the picture is never that dark.
    EXPECT_EQ(greyColumns(px, 10), std::vector<int>{200});
    int dark = 0;
    for (COLORREF c : px)
        if (GetRValue(c) + GetGValue(c) + GetBValue(c) < 3 * 110 && c != kGrey)
            ++dark;
    EXPECT_LT(dark, 400 * 400 / 50);  // only lettering, never large areas
}

TEST_F(PadTest, PadWithoutAreaKeepsItsRatios)
{
    makePad(400, 400);
    SRECT empty = {0, 0, 0, 300};
    pad->setGeometry(empty);
    drag(50, 75);
    EXPECT_EQ(pad->xRatio.load(), 0.5);
    EXPECT_EQ(pad->yRatio.load(), 0.25);
    SRECT flat = {0, 0, 200, 0};
    pad->setGeometry(flat);
    drag(150, 75);
    EXPECT_EQ(pad->xRatio.load(), 0.75);
    EXPECT_EQ(pad->yRatio.load(), 0.25);
}

}  // namespace
