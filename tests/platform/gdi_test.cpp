// Drawing and pictures of the SDL backend, checked pixel by pixel with GetPixel.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "platform/win32_testing.h"

namespace {

constexpr COLORREF kWhite = 0xFFFFFF;
constexpr COLORREF kBlack = 0x000000;
constexpr COLORREF kGrey = 0x646464;

// A memory DC holding a fresh w x h bitmap (black), released on scope exit.
struct Canvas {
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ previous;
    int w, h;
    Canvas(int width, int height) : w(width), h(height)
    {
        HDC screen = GetDC(nullptr);
        dc = CreateCompatibleDC(screen);
        bitmap = CreateCompatibleBitmap(screen, w, h);
        ReleaseDC(nullptr, screen);
        previous = SelectObject(dc, bitmap);
        SelectObject(dc, GetStockObject(DC_PEN));
        SetDCPenColor(dc, kGrey);
    }
    ~Canvas()
    {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    std::set<std::pair<int, int>> set(COLORREF color) const
    {
        std::set<std::pair<int, int>> out;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (GetPixel(dc, x, y) == color)
                    out.insert({x, y});
        return out;
    }
};

using Pixels = std::set<std::pair<int, int>>;

TEST(PlatformDrawing, LineToLeavesOutItsEndPoint)
{
    Canvas c(20, 20);
    MoveToEx(c.dc, 2, 5, nullptr);
    LineTo(c.dc, 8, 5);
    EXPECT_EQ(c.set(kGrey), (Pixels{{2, 5}, {3, 5}, {4, 5}, {5, 5}, {6, 5}, {7, 5}}));

    PatBlt(c.dc, 0, 0, 20, 20, BLACKNESS);
    MoveToEx(c.dc, 10, 9, nullptr);
    LineTo(c.dc, 10, 6);  // upward
    EXPECT_EQ(c.set(kGrey), (Pixels{{10, 9}, {10, 8}, {10, 7}}));

    PatBlt(c.dc, 0, 0, 20, 20, BLACKNESS);
    MoveToEx(c.dc, 0, 0, nullptr);
    LineTo(c.dc, 4, 4);
    LineTo(c.dc, 4, 4);  // zero length: nothing
    EXPECT_EQ(c.set(kGrey), (Pixels{{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
    POINT at;
    MoveToEx(c.dc, 0, 0, &at);
    EXPECT_EQ(at.x, 4);
    EXPECT_EQ(at.y, 4);

    // A shallow line: one pixel per column, rows never step back, end left out.
    PatBlt(c.dc, 0, 0, 20, 20, BLACKNESS);
    MoveToEx(c.dc, 1, 1, nullptr);
    LineTo(c.dc, 11, 4);
    Pixels p = c.set(kGrey);
    EXPECT_EQ(p.size(), 10u);
    EXPECT_EQ(p.count({1, 1}), 1u);
    EXPECT_EQ(p.count({11, 4}), 0u);
    int lastRow = 1;
    for (auto [x, y] : p) {
        EXPECT_GE(y, lastRow);
        EXPECT_LE(y - lastRow, 1);
        lastRow = y;
    }
}

TEST(PlatformDrawing, LinesFarOutsideAreClippedNotWalked)
{
    Canvas c(16, 16);
    MoveToEx(c.dc, -100000000, 5, nullptr);
    EXPECT_TRUE(LineTo(c.dc, 100000000, 5));
    Pixels row;
    for (int x = 0; x < 16; ++x)
        row.insert({x, 5});
    EXPECT_EQ(c.set(kGrey), row);
    // Beyond GDI's coordinate space the call fails and draws nothing.
    PatBlt(c.dc, 0, 0, 16, 16, BLACKNESS);
    MoveToEx(c.dc, -2000000000, 3, nullptr);
    EXPECT_FALSE(LineTo(c.dc, 2000000000, 3));
    EXPECT_TRUE(c.set(kGrey).empty());
}

TEST(PlatformDrawing, ArcWithEqualEndsDrawsTheWholeOutline)
{
    Canvas c(400, 400);
    ASSERT_TRUE(Arc(c.dc, 150, 150, 250, 250, 200, 200, 200, 200));
    Pixels p = c.set(kGrey);
    ASSERT_FALSE(p.empty());
    std::set<int> rows, cols;
    for (auto [x, y] : p) {
        EXPECT_GE(x, 150);
        EXPECT_LE(x, 249);
        EXPECT_GE(y, 150);
        EXPECT_LE(y, 249);
        // On the circle of radius 49.5 round (199.5, 199.5), within a pixel.
        const double r = std::hypot(x - 199.5, y - 199.5);
        EXPECT_NEAR(r, 49.5, 1.0) << x << "," << y;
        // Symmetric in both axes.
        EXPECT_EQ(p.count({399 - x, y}), 1u);
        EXPECT_EQ(p.count({x, 399 - y}), 1u);
        rows.insert(y);
        cols.insert(x);
    }
    // Every row and column of the box is touched: the outline has no gap.
    EXPECT_EQ(rows.size(), 100u);
    EXPECT_EQ(cols.size(), 100u);
    EXPECT_EQ(GetPixel(c.dc, 200, 200), kBlack);

    // Start and end on different radials: the counter-clockwise part only.
    PatBlt(c.dc, 0, 0, 400, 400, BLACKNESS);
    Arc(c.dc, 150, 150, 250, 250, 300, 200, 200, 100);  // from the right to the top
    p = c.set(kGrey);
    ASSERT_FALSE(p.empty());
    for (auto [x, y] : p) {
        EXPECT_GE(x, 199);
        EXPECT_LE(y, 200);
    }
}

TEST(PlatformDrawing, ArcIsClippedAtTheSurfaceEdge)
{
    // A circle whose centre lies on the bottom-left corner: only a quarter shows.
    Canvas c(100, 100);
    Arc(c.dc, -50, 50, 50, 150, 0, 100, 0, 100);
    Pixels p = c.set(kGrey);
    ASSERT_FALSE(p.empty());
    for (auto [x, y] : p)
        EXPECT_NEAR(std::hypot(x + 0.5, y - 99.5), 49.5, 1.0);
}

TEST(PlatformDrawing, PatBltAndBitBltCopyExactRectangles)
{
    Canvas src(30, 20), dst(30, 20);
    PatBlt(src.dc, 0, 0, 30, 20, WHITENESS);
    SetPixel(src.dc, 3, 4, RGB(10, 20, 30));
    SetPixel(src.dc, 12, 9, RGB(200, 100, 50));
    EXPECT_EQ(GetPixel(src.dc, 3, 4), RGB(10, 20, 30));

    ASSERT_TRUE(BitBlt(dst.dc, 5, 6, 10, 8, src.dc, 3, 4, SRCCOPY));
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            const bool inside = x >= 5 && x < 15 && y >= 6 && y < 14;
            COLORREF expected = inside ? GetPixel(src.dc, x - 2, y - 2) : kBlack;
            ASSERT_EQ(GetPixel(dst.dc, x, y), expected) << x << "," << y;
        }
    EXPECT_EQ(GetPixel(dst.dc, 5, 6), RGB(10, 20, 30));
    EXPECT_EQ(GetPixel(dst.dc, 14, 11), RGB(200, 100, 50));

    // Overlapping copy inside one bitmap moves the picture intact.
    PatBlt(dst.dc, 0, 0, 30, 20, BLACKNESS);
    for (int x = 0; x < 10; ++x)
        SetPixel(dst.dc, x, 0, RGB(x * 20, 0, 0));
    BitBlt(dst.dc, 1, 0, 10, 1, dst.dc, 0, 0, SRCCOPY);
    for (int x = 0; x < 10; ++x)
        EXPECT_EQ(GetPixel(dst.dc, x + 1, 0), RGB(x * 20, 0, 0));

    // Negative extents fill from the other corner; outside reads are invalid.
    PatBlt(dst.dc, 0, 0, 30, 20, BLACKNESS);
    PatBlt(dst.dc, 10, 10, -3, -2, WHITENESS);
    EXPECT_EQ(dst.set(kWhite), (Pixels{{7, 8}, {8, 8}, {9, 8}, {7, 9}, {8, 9}, {9, 9}}));
    EXPECT_EQ(GetPixel(dst.dc, 30, 0), CLR_INVALID);
    EXPECT_EQ(GetPixel(dst.dc, -1, 0), CLR_INVALID);
}

// Every pixel of a DC's w x h area, row by row.
std::vector<COLORREF> snapshot(HDC dc, int w, int h)
{
    std::vector<COLORREF> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.push_back(GetPixel(dc, x, y));
    return out;
}

void fillPattern(const Canvas& c, unsigned seed)
{
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) {
            seed = seed * 1103515245u + 12345u;
            SetPixel(c.dc, x, y, (seed >> 8) & 0xFFFFFF);
        }
}

TEST(PlatformDrawing, BitBltMatchesAPixelByPixelReference)
{
    struct Case {
        int x, y, w, h, srcX, srcY;
        bool sameBitmap;
    } cases[] = {
        {5, 6, 10, 8, 3, 4, false},     {-4, -3, 20, 12, 0, 0, false}, {25, 15, 20, 20, 0, 0, false},
        {0, 0, 31, 21, -5, -2, false},  {2, 2, 10, 10, 25, 15, false}, {0, 0, 30, 20, 0, 0, false},
        {3, 2, 20, 12, 0, 0, true},     {0, 0, 20, 12, 3, 2, true},    {0, 5, 30, 10, 0, 0, true},
        {0, 0, 30, 10, 0, 5, true},     {4, 0, 20, 20, 0, 0, true},    {0, 0, 20, 20, 4, 0, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "to " << k.x << "," << k.y << " size " << k.w << "x" << k.h << " from "
                                        << k.srcX << "," << k.srcY << (k.sameBitmap ? " within one bitmap" : ""));
        Canvas src(30, 20), dst(30, 20);
        fillPattern(src, 1);
        fillPattern(dst, 2);
        Canvas& from = k.sameBitmap ? dst : src;
        const std::vector<COLORREF> in = snapshot(from.dc, from.w, from.h);
        std::vector<COLORREF> expected = snapshot(dst.dc, dst.w, dst.h);
        for (int y = k.y; y < k.y + k.h; ++y)
            for (int x = k.x; x < k.x + k.w; ++x) {
                const int sx = x - k.x + k.srcX, sy = y - k.y + k.srcY;
                if (x >= 0 && x < dst.w && y >= 0 && y < dst.h && sx >= 0 && sx < from.w && sy >= 0 && sy < from.h)
                    expected[static_cast<size_t>(y * dst.w + x)] = in[static_cast<size_t>(sy * from.w + sx)];
            }
        ASSERT_TRUE(BitBlt(dst.dc, k.x, k.y, k.w, k.h, from.dc, k.srcX, k.srcY, SRCCOPY));
        EXPECT_EQ(snapshot(dst.dc, dst.w, dst.h), expected);
    }
}

TEST(PlatformDrawing, NewBitmapsAreBlackAndFillsHoldForWhateverComesNext)
{
    {
        Canvas c(50, 40);
        EXPECT_EQ(c.set(kBlack).size(), 2000u);
        PatBlt(c.dc, 0, 0, 50, 40, WHITENESS);
        EXPECT_EQ(c.set(kWhite).size(), 2000u);
        // A line over the fill, and a copy over part of it, leave the rest white.
        MoveToEx(c.dc, 0, 3, nullptr);
        LineTo(c.dc, 50, 3);
        Canvas small(5, 5);
        BitBlt(c.dc, 10, 10, 5, 5, small.dc, 0, 0, SRCCOPY);
        EXPECT_EQ(c.set(kGrey).size(), 50u);
        EXPECT_EQ(c.set(kBlack).size(), 25u);
        EXPECT_EQ(c.set(kWhite).size(), 2000u - 75u);
        // Fill, then invert everything: black.
        PatBlt(c.dc, 0, 0, 50, 40, WHITENESS);
        PatBlt(c.dc, 0, 0, 50, 40, DSTINVERT);
        EXPECT_EQ(c.set(kBlack).size(), 2000u);
        // A filled bitmap read as a source copies its fill.
        Canvas white(50, 40), target(50, 40);
        PatBlt(white.dc, -5, -5, 60, 60, WHITENESS);
        BitBlt(target.dc, 0, 0, 20, 20, white.dc, 0, 0, SRCCOPY);
        EXPECT_EQ(target.set(kWhite).size(), 400u);
        // A full copy replaces a pending fill entirely.
        fillPattern(small, 3);
        Canvas covered(5, 5);
        PatBlt(covered.dc, 0, 0, 5, 5, WHITENESS);
        BitBlt(covered.dc, 0, 0, 5, 5, small.dc, 0, 0, SRCCOPY);
        EXPECT_EQ(snapshot(covered.dc, 5, 5), snapshot(small.dc, 5, 5));
        PatBlt(c.dc, 0, 0, 50, 40, WHITENESS);
    }
    // The pixels of the bitmaps just freed serve the next ones of their size: still black.
    for (int i = 0; i < 3; ++i) {
        Canvas again(50, 40);
        EXPECT_EQ(again.set(kBlack).size(), 2000u);
        PatBlt(again.dc, 0, 0, 25, 40, WHITENESS);
    }
}

TEST(PlatformDrawing, SelectedBitmapsCannotBeDeletedAndNothingLeaks)
{
    const DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bm = CreateCompatibleBitmap(dc, 8, 8);
    HGDIOBJ old = SelectObject(dc, bm);
    ASSERT_NE(old, nullptr);
    EXPECT_FALSE(DeleteObject(bm));  // still selected: refused, as GDI does
    HDC other = CreateCompatibleDC(nullptr);
    EXPECT_EQ(SelectObject(other, bm), nullptr);  // one DC at a time
    EXPECT_EQ(SelectObject(dc, old), bm);
    EXPECT_TRUE(DeleteObject(bm));
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_TRUE(DeleteDC(other));
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), before);

    BITMAP info = {};
    HBITMAP sized = CreateCompatibleBitmap(nullptr, 37, 11);
    EXPECT_EQ(GetObjectW(sized, sizeof(BITMAP), &info), static_cast<int>(sizeof(BITMAP)));
    EXPECT_EQ(info.bmWidth, 37);
    EXPECT_EQ(info.bmHeight, 11);
    DeleteObject(sized);
    EXPECT_EQ(GetObjectW(sized, sizeof(BITMAP), &info), 0);  // gone
    EXPECT_EQ(CreateCompatibleBitmap(nullptr, 1 << 20, 1 << 20), nullptr);
}

// Minimal BMP writer for the loader tests: bottom-up unless topDown, BI_RGB.
std::vector<unsigned char> makeBmp(int w, int h, int bits, bool topDown = false)
{
    auto put = [](std::vector<unsigned char>& v, size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            v[at + i] = static_cast<unsigned char>(value >> (8 * i));
    };
    const int palette = bits <= 8 ? (1 << bits) : 0;
    const size_t stride = ((static_cast<size_t>(w) * bits + 31) / 32) * 4;
    const size_t offset = 14 + 40 + palette * 4;
    std::vector<unsigned char> v(offset + stride * h, 0);
    v[0] = 'B';
    v[1] = 'M';
    put(v, 2, static_cast<uint32_t>(v.size()), 4);
    put(v, 10, static_cast<uint32_t>(offset), 4);
    put(v, 14, 40, 4);
    put(v, 18, static_cast<uint32_t>(w), 4);
    put(v, 22, static_cast<uint32_t>(topDown ? -h : h), 4);
    put(v, 26, 1, 2);
    put(v, 28, static_cast<uint32_t>(bits), 2);
    put(v, 46, static_cast<uint32_t>(palette), 4);
    for (int i = 0; i < palette; ++i)  // grey ramp, entry 1 = red for the 1-bit case
        put(v, 54 + i * 4, bits == 1 ? (i ? 0x00FF0000u : 0u) : (i * 0x010101u), 4);
    // Top row on screen: pixel (0, 0) red-ish marker; everything else stays index/colour 0.
    const size_t topRow = topDown ? 0 : static_cast<size_t>(h - 1);
    unsigned char* row = &v[offset + topRow * stride];
    switch (bits) {
    case 32: row[0] = 0x30; row[1] = 0x20; row[2] = 0xF0; break;  // B, G, R
    case 24: row[0] = 0x30; row[1] = 0x20; row[2] = 0xF0; break;
    case 8: row[0] = 0x80; break;
    case 1: row[0] = 0x80; break;
    default: break;
    }
    return v;
}

std::string writeTemp(const std::vector<unsigned char>& bytes)
{
    char name[] = "/tmp/qm_gdi_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return "";
    if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        ADD_FAILURE() << "short write";
    close(fd);
    return name;
}

HBITMAP load(const std::string& path)
{
    std::wstring wide(path.begin(), path.end());
    return static_cast<HBITMAP>(LoadImageW(nullptr, wide.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
}

TEST(PlatformPictures, ValidBitmapsLoadAtTheirSizeAndColours)
{
    struct Case {
        int bits;
        bool topDown;
        COLORREF marker;
    } cases[] = {{32, false, RGB(0xF0, 0x20, 0x30)}, {24, false, RGB(0xF0, 0x20, 0x30)},
                 {24, true, RGB(0xF0, 0x20, 0x30)},  {8, false, RGB(0x80, 0x80, 0x80)},
                 {1, false, RGB(0xFF, 0, 0)}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.bits << " bits" << (k.topDown ? ", top-down" : ""));
        const std::string path = writeTemp(makeBmp(13, 7, k.bits, k.topDown));
        HBITMAP bm = load(path);
        std::remove(path.c_str());
        ASSERT_NE(bm, nullptr);
        BITMAP info = {};
        ASSERT_EQ(GetObjectW(bm, sizeof(BITMAP), &info), static_cast<int>(sizeof(BITMAP)));
        EXPECT_EQ(info.bmWidth, 13);
        EXPECT_EQ(info.bmHeight, 7);
        HDC dc = CreateCompatibleDC(nullptr);
        HGDIOBJ old = SelectObject(dc, bm);
        EXPECT_EQ(GetPixel(dc, 0, 0), k.marker);
        EXPECT_EQ(GetPixel(dc, 1, 0), kBlack);
        EXPECT_EQ(GetPixel(dc, 0, 6), kBlack);
        SelectObject(dc, old);
        DeleteDC(dc);
        EXPECT_TRUE(DeleteObject(bm));
    }
}

TEST(PlatformPictures, BadFilesGiveNullAndNoCrash)
{
    EXPECT_EQ(load("/tmp/qm_no_such_file.bmp"), nullptr);
    EXPECT_EQ(load("/tmp"), nullptr);  // a folder

    std::vector<std::pair<const char*, std::vector<unsigned char>>> bad;
    bad.push_back({"empty", {}});
    bad.push_back({"garbage", std::vector<unsigned char>(4096, 0xA5)});
    std::vector<unsigned char> good = makeBmp(64, 64, 24);
    bad.push_back({"header only", std::vector<unsigned char>(good.begin(), good.begin() + 54)});
    bad.push_back({"half the pixels", std::vector<unsigned char>(good.begin(), good.begin() + good.size() / 2)});
    bad.push_back({"cut in the header", std::vector<unsigned char>(good.begin(), good.begin() + 20)});
    std::vector<unsigned char> huge = makeBmp(4, 4, 24);
    huge[18] = 0xA0; huge[19] = 0x86; huge[20] = 0x01; huge[21] = 0x00;  // 100000 wide
    huge[22] = 0xA0; huge[23] = 0x86; huge[24] = 0x01; huge[25] = 0x00;  // 100000 high
    bad.push_back({"claims 100000 x 100000", huge});
    std::vector<unsigned char> negativeWidth = makeBmp(4, 4, 24);
    negativeWidth[21] = 0xFF;
    bad.push_back({"negative width", negativeWidth});
    std::vector<unsigned char> oddDepth = makeBmp(4, 4, 8);
    oddDepth[28] = 7;
    bad.push_back({"7 bits per pixel", oddDepth});

    const DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    for (auto& [what, bytes] : bad) {
        const std::string path = writeTemp(bytes);
        EXPECT_EQ(load(path), nullptr) << what;
        std::remove(path.c_str());
    }
    EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), before);

    // Not a file request, or not a bitmap: refused.
    EXPECT_EQ(LoadImageW(nullptr, L"x.bmp", IMAGE_BITMAP, 0, 0, 0), nullptr);
    EXPECT_NE(LoadImageW(nullptr, IDI_APPLICATION, IMAGE_ICON, 0, 0, LR_SHARED | LR_DEFAULTSIZE), nullptr);
    EXPECT_NE(LoadImageW(nullptr, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE), nullptr);
}

TEST(PlatformPictures, TheDeclaredSizeMustFitInTheFile)
{
    // Headers that pass every limit on their own, in files far too small to hold them.
    auto claim = [](int w, int h, int bits, uint32_t compression, size_t dataBytes) {
        std::vector<unsigned char> v = makeBmp(1, 1, 24);
        v.resize(54 + dataBytes, 0);
        auto put = [&](size_t at, uint32_t value, int bytes) {
            for (int i = 0; i < bytes; ++i)
                v[at + i] = static_cast<unsigned char>(value >> (8 * i));
        };
        put(2, static_cast<uint32_t>(v.size()), 4);
        put(10, 54, 4);
        put(18, static_cast<uint32_t>(w), 4);
        put(22, static_cast<uint32_t>(h), 4);
        put(28, static_cast<uint32_t>(bits), 2);
        put(30, compression, 4);
        put(46, 0, 4);
        return v;
    };
    const std::pair<const char*, std::vector<unsigned char>> bad[] = {
        {"16384 x 4096 at 32 bits in 64 bytes", claim(16384, 4096, 32, 0, 10)},
        {"8192 x 8192 at 1 bit in 64 bytes", claim(8192, 8192, 1, 0, 10)},
        {"16384 x 4096 bit fields, 16 bits", claim(16384, 4096, 16, 3, 12)},
        {"16384 x 4096 RLE8 ending at once", claim(16384, 4096, 8, 1, 2)},
        {"4000 x 4000 RLE4", claim(4000, 4000, 4, 2, 64)},
    };
    for (const auto& [what, bytes] : bad) {
        const std::string path = writeTemp(bytes);
        EXPECT_EQ(load(path), nullptr) << what;
        std::remove(path.c_str());
    }

    // Exactly the pixels a header asks for load; one byte fewer does not.
    std::vector<unsigned char> exact = makeBmp(13, 7, 24);
    const std::string whole = writeTemp(exact);
    exact.pop_back();
    const std::string short1 = writeTemp(exact);
    HBITMAP ok = load(whole);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(load(short1), nullptr);
    DeleteObject(ok);
    std::remove(whole.c_str());
    std::remove(short1.c_str());

    // A small RLE8 picture (runs of grey levels, each row ended, then the end) loads.
    std::vector<unsigned char> rle = makeBmp(16, 2, 8);
    const unsigned char runs[] = {16, 0x40, 0, 0, 10, 0x80, 6, 0x01, 0, 0, 0, 1};
    rle.resize(54 + 256 * 4);
    rle.insert(rle.end(), std::begin(runs), std::end(runs));
    rle[30] = 1;  // BI_RLE8
    rle[2] = static_cast<unsigned char>(rle.size()), rle[3] = static_cast<unsigned char>(rle.size() >> 8);
    const std::string rlePath = writeTemp(rle);
    HBITMAP picture = load(rlePath);
    std::remove(rlePath.c_str());
    ASSERT_NE(picture, nullptr);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, picture);
    EXPECT_EQ(GetPixel(dc, 0, 1), RGB(0x40, 0x40, 0x40));   // bottom-up: the first row is the lowest
    EXPECT_EQ(GetPixel(dc, 9, 0), RGB(0x80, 0x80, 0x80));
    EXPECT_EQ(GetPixel(dc, 15, 0), RGB(0x01, 0x01, 0x01));
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(picture);
}

LRESULT CALLBACK plainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Repeated whole copies skip the pixels that already hold what they bring; whatever is
// drawn between them (into the picture, the back buffer, the window, or a bitmap reusing
// freed pixels) must still show. Checked against plain arrays after every step.
TEST(PlatformDrawing, RepeatedCopiesMatchAPlainReferenceWhateverIsDrawnBetween)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = plainProc;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"history_class";
    RegisterClassExW(&wc);
    static constexpr int kW = 48, kH = 36;
    HWND top = CreateWindowExW(0, wc.lpszClassName, L"", WS_VISIBLE, 0, 0, kW + 16, kH + 12, nullptr, nullptr,
                               nullptr, nullptr);
    HWND pad = CreateWindowExW(0, wc.lpszClassName, L"", WS_CHILD | WS_VISIBLE, 8, 6, kW, kH, top, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(pad, nullptr);
    using Picture = std::vector<COLORREF>;
    auto fill = [](Picture& p, int x, int y, int w, int h, COLORREF c) {
        for (int j = std::max(y, 0); j < std::min(y + h, kH); ++j)
            for (int i = std::max(x, 0); i < std::min(x + w, kW); ++i)
                p[static_cast<size_t>(j * kW + i)] = c;
    };
    unsigned seed = 7;
    auto next = [&](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 8) % n);
    };
    auto picture = std::make_unique<Canvas>(kW, kH);
    fillPattern(*picture, 3);
    Picture refPicture = snapshot(picture->dc, kW, kH);
    Picture refPad(static_cast<size_t>(kW * kH), kWhite);
    HDC padDC = GetDC(pad);
    SelectObject(padDC, GetStockObject(DC_BRUSH));
    for (int step = 0; step < 240; ++step) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        const int op = next(20);
        if (op < 13) {
            // A paint as the canvas does it: back buffer, the picture (now and then moved),
            // a few marks, the copy to the window.
            HDC back = CreateCompatibleDC(padDC);
            HBITMAP bitmap = CreateCompatibleBitmap(padDC, kW, kH);
            HGDIOBJ previous = SelectObject(back, bitmap);
            SelectObject(back, GetStockObject(DC_BRUSH));
            PatBlt(back, 0, 0, kW, kH, WHITENESS);
            Picture refBack(static_cast<size_t>(kW * kH), kWhite);
            const int dx = op == 12 ? next(9) - 4 : 0, dy = op == 12 ? next(7) - 3 : 0;
            BitBlt(back, dx, dy, kW, kH, picture->dc, 0, 0, SRCCOPY);
            for (int y = 0; y < kH; ++y)
                for (int x = 0; x < kW; ++x)
                    if (x - dx >= 0 && x - dx < kW && y - dy >= 0 && y - dy < kH)
                        refBack[static_cast<size_t>(y * kW + x)] = refPicture[static_cast<size_t>((y - dy) * kW + x - dx)];
            for (int marks = next(4); marks-- > 0;) {
                const int x = next(kW + 8) - 4, y = next(kH + 8) - 4, w = 1 + next(kW), h = 1 + next(3);
                const COLORREF c = RGB(next(256), next(256), next(256));
                SetDCBrushColor(back, c);
                PatBlt(back, x, y, marks % 2 ? h : w, marks % 2 ? w : h, PATCOPY);
                fill(refBack, x, y, marks % 2 ? h : w, marks % 2 ? w : h, c);
            }
            BitBlt(padDC, 0, 0, kW, kH, back, 0, 0, SRCCOPY);
            refPad = refBack;
            SelectObject(back, previous);
            DeleteObject(bitmap);
            DeleteDC(back);
        } else if (op < 15) {
            // The picture itself changes.
            const int x = next(kW), y = next(kH);
            const COLORREF c = RGB(next(256), next(256), next(256));
            SetPixel(picture->dc, x, y, c);
            fill(refPicture, x, y, 1, 1, c);
        } else if (op < 17) {
            // Something draws on the window directly.
            const int x = next(kW), y = next(kH), w = 1 + next(12), h = 1 + next(12);
            const COLORREF c = RGB(next(256), next(256), next(256));
            SetDCBrushColor(padDC, c);
            PatBlt(padDC, x, y, w, h, PATCOPY);
            fill(refPad, x, y, w, h, c);
        } else if (op < 18) {
            // The window's picture becomes the picture.
            BitBlt(picture->dc, 0, 0, kW, kH, padDC, 0, 0, SRCCOPY);
            refPicture = refPad;
        } else if (op < 19) {
            // A part of the picture is copied over the window.
            const int x = next(kW), y = next(kH), w = 1 + next(20), h = 1 + next(20);
            BitBlt(padDC, x, y, w, h, picture->dc, x, y, SRCCOPY);
            for (int j = y; j < std::min(y + h, kH); ++j)
                for (int i = x; i < std::min(x + w, kW); ++i)
                    refPad[static_cast<size_t>(j * kW + i)] = refPicture[static_cast<size_t>(j * kW + i)];
        } else {
            // A new picture, in pixels a freed bitmap may have held.
            picture.reset();
            picture = std::make_unique<Canvas>(kW, kH);
            fillPattern(*picture, static_cast<unsigned>(step));
            refPicture = snapshot(picture->dc, kW, kH);
        }
        ASSERT_EQ(snapshot(padDC, kW, kH), refPad);
        ASSERT_EQ(snapshot(picture->dc, kW, kH), refPicture);
    }
    ReleaseDC(pad, padDC);
    DestroyWindow(top);
}

TEST(PlatformDrawing, WindowDCsAreOffsetClippedAndShownAtOnce)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = plainProc;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"gdi_window_class";
    RegisterClassExW(&wc);
    HWND top = CreateWindowExW(0, wc.lpszClassName, L"", WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 100, 80, nullptr,
                               nullptr, nullptr, nullptr);
    HWND kid = CreateWindowExW(0, wc.lpszClassName, L"", WS_CHILD | WS_VISIBLE, 20, 10, 30, 40, top, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(kid, nullptr);
    HDC topDC = GetDC(top);
    HDC kidDC = GetDC(kid);
    // The class background was painted at creation.
    EXPECT_EQ(GetPixel(topDC, 99, 79), kWhite);
    // A child's DC covers only the child, at its offset.
    ASSERT_TRUE(PatBlt(kidDC, -100, -100, 1000, 1000, BLACKNESS));
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 100; ++x) {
            const bool inKid = x >= 20 && x < 50 && y >= 10 && y < 50;
            ASSERT_EQ(GetPixel(topDC, x, y), inKid ? kBlack : kWhite) << x << "," << y;
        }
    EXPECT_EQ(GetPixel(kidDC, 0, 0), kBlack);
    EXPECT_EQ(GetPixel(kidDC, 30, 0), CLR_INVALID);
    // The parent, clipping its children, paints around the child.
    PatBlt(topDC, 0, 0, 100, 80, BLACKNESS);
    PatBlt(topDC, 0, 0, 100, 80, WHITENESS);
    EXPECT_EQ(GetPixel(topDC, 25, 15), kBlack);
    EXPECT_EQ(GetPixel(topDC, 5, 5), kWhite);
    // So does a copy into it, row by row around the child, and only one screen update
    // (sent at once: the last one is older than the interval between updates).
    Canvas pattern(100, 80);
    fillPattern(pattern, 4);
    std::this_thread::sleep_for(std::chrono::microseconds(qmTestScreenUpdateIntervalUs() + 1000));
    const uint64_t updates = qmTestScreenUpdates();
    ASSERT_TRUE(BitBlt(topDC, 0, 0, 100, 80, pattern.dc, 0, 0, SRCCOPY));
    EXPECT_EQ(qmTestScreenUpdates() - updates, 1u);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 100; ++x) {
            const bool inKid = x >= 20 && x < 50 && y >= 10 && y < 50;
            ASSERT_EQ(GetPixel(topDC, x, y), inKid ? kBlack : GetPixel(pattern.dc, x, y)) << x << "," << y;
        }
    // Copies within the window, across its children, read everything before writing
    // (a thin second child splits the rows into three parts).
    HWND thin = CreateWindowExW(0, wc.lpszClassName, L"", WS_CHILD | WS_VISIBLE, 70, 10, 5, 40, top, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(thin, nullptr);
    const std::pair<int, int> shifts[] = {{7, 0}, {-7, 0}, {0, 5}, {0, -5}, {6, 4}};
    for (auto [dx, dy] : shifts) {
        SCOPED_TRACE(testing::Message() << "moved by " << dx << "," << dy);
        BitBlt(topDC, 0, 0, 100, 80, pattern.dc, 0, 0, SRCCOPY);
        const std::vector<COLORREF> before = snapshot(topDC, 100, 80);
        ASSERT_TRUE(BitBlt(topDC, dx, dy, 100, 80, topDC, 0, 0, SRCCOPY));
        for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 100; ++x) {
                const bool inKid = (x >= 20 && x < 50 && y >= 10 && y < 50) || (x >= 70 && x < 75 && y >= 10 && y < 50);
                const int sx = x - dx, sy = y - dy;
                const bool fromInside = sx >= 0 && sx < 100 && sy >= 0 && sy < 80;
                const COLORREF expected = inKid || !fromInside ? before[static_cast<size_t>(y * 100 + x)]
                                                               : before[static_cast<size_t>(sy * 100 + sx)];
                ASSERT_EQ(GetPixel(topDC, x, y), expected) << x << "," << y;
            }
    }
    ReleaseDC(kid, kidDC);
    ReleaseDC(top, topDC);
    DestroyWindow(top);
}

// Pixels of a top-level window's screen that differ from its surface.
int screenLag(HWND top, HDC topDC, int w, int h)
{
    int differ = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            differ += qmTestScreenPixel(top, x, y) != GetPixel(topDC, x, y);
    return differ;
}

// Runs GetMessageW, with no input coming, until a helper thread has seen the screen
// updated once more (or has given up after seconds); true if it saw the update.
bool loopUntilScreenUpdated(HWND top)
{
    const uint64_t before = qmTestScreenUpdates();
    std::atomic<bool> seen{false};
    std::thread watcher([&] {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (qmTestScreenUpdates() == before && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seen = qmTestScreenUpdates() != before;
        PostMessageW(top, WM_APP, 0, 0);
    });
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0 && m.message != WM_APP)
        DispatchMessageW(&m);
    watcher.join();
    return seen;
}

TEST(PlatformPresentation, PaintsShareScreenUpdatesYetTheScreenEndsOnTheLastPicture)
{
    qmTestCopyScreens();
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = plainProc;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = L"present_class";
    RegisterClassExW(&wc);
    constexpr int kW = 120, kH = 90;
    HWND top = CreateWindowExW(0, wc.lpszClassName, L"", WS_VISIBLE, 0, 0, kW, kH, nullptr, nullptr, nullptr,
                               nullptr);
    HWND kid = CreateWindowExW(0, wc.lpszClassName, L"", WS_CHILD | WS_VISIBLE, 30, 20, 40, 30, top, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(kid, nullptr);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&m);
    HDC topDC = GetDC(top);
    HDC kidDC = GetDC(kid);
    const auto interval = std::chrono::microseconds(qmTestScreenUpdateIntervalUs());

    // After a pause, a paint reaches the screen at once, without the loop running.
    std::this_thread::sleep_for(interval + std::chrono::milliseconds(1));
    uint64_t updates = qmTestScreenUpdates();
    ASSERT_TRUE(PatBlt(kidDC, 0, 0, 40, 30, BLACKNESS));
    EXPECT_EQ(qmTestScreenUpdates() - updates, 1u);
    EXPECT_EQ(qmTestScreenPixel(top, 35, 25), kBlack);
    EXPECT_EQ(screenLag(top, topDC, kW, kH), 0);

    // A flood of small paints all over the window, through both DCs: the screen is
    // updated at most once per interval, and once the loop has run it shows every one.
    SelectObject(topDC, GetStockObject(DC_BRUSH));
    SelectObject(kidDC, GetStockObject(DC_BRUSH));
    updates = qmTestScreenUpdates();
    const auto started = std::chrono::steady_clock::now();
    constexpr int kPaints = 400;
    for (int i = 0; i < kPaints; ++i) {
        HDC dc = i % 3 == 0 ? kidDC : topDC;
        SetDCBrushColor(dc, RGB(i % 256, (i * 7) % 256, (i * 13) % 256));
        ASSERT_TRUE(PatBlt(dc, (i * 37) % (kW - 6), (i * 53) % (kH - 6), 6, 6, PATCOPY));
    }
    const auto tookUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_LE(qmTestScreenUpdates() - updates, static_cast<uint64_t>(tookUs.count() / interval.count()) + 1);
    const bool lagged = screenLag(top, topDC, kW, kH) > 0;
    // What is left over is sent by the waiting loop itself: no input wakes it.
    if (lagged) {
        EXPECT_TRUE(loopUntilScreenUpdated(top));
    }
    EXPECT_EQ(screenLag(top, topDC, kW, kH), 0);

    // A window's last picture is sent before the window goes.
    std::this_thread::sleep_for(interval + std::chrono::milliseconds(1));
    PatBlt(topDC, 0, 0, kW, kH, WHITENESS);
    PatBlt(topDC, 100, 70, 10, 10, BLACKNESS);
    ReleaseDC(kid, kidDC);
    ReleaseDC(top, topDC);
    DestroyWindow(top);
    EXPECT_EQ(qmTestScreenPixel(top, 105, 75), kBlack);
    EXPECT_EQ(qmTestScreenPixel(top, 5, 5), kWhite);
}

}  // namespace
