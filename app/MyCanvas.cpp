#include "app/MyCanvas.h"

namespace {

HBITMAP loadPicture()
{
    return static_cast<HBITMAP>(LoadImageW(nullptr, L"back.bmp", IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
}

double clampUnit(double v)
{
    if (v > 1.0)
        return 1.0;
    if (v < 0.0)
        return 0.0;
    return v;
}

}  // namespace

MyCanvas::MyCanvas(SWidget* parent)
    : SCanvas(parent), picture(loadPicture()), pictureWidth(0), pictureHeight(0), xRatio(0.5), yRatio(0.5)
{
    // The slot shares its name with the handler, which hides it here.
    SCanvas::onMouseDrag = boost::bind(&MyCanvas::onMouseDrag, this, boost::placeholders::_1);
    if (picture) {
        BITMAP bm = {};
        if (GetObjectW(picture.get(), sizeof(bm), &bm)) {
            pictureWidth = bm.bmWidth;
            pictureHeight = bm.bmHeight;
        }
    }
}

void MyCanvas::draw()
{
    if (picture) {
        HDC pictureDC = CreateCompatibleDC(backDC);
        HGDIOBJ previous = SelectObject(pictureDC, picture.get());
        BitBlt(backDC, 0, 0, pictureWidth, pictureHeight, pictureDC, 0, 0, SRCCOPY);
        SelectObject(pictureDC, previous);
        DeleteDC(pictureDC);
    }

    // Truncation toward zero, as every pixel position here: at x = 29 on a
    // 400-pixel pad the line lands on 28.
    const int px = static_cast<int>(width * xRatio.load(std::memory_order_relaxed));
    const int py = static_cast<int>(height * yRatio.load(std::memory_order_relaxed));

    SetDCPenColor(backDC, kCrosshairColour);
    MoveToEx(backDC, 0, py, nullptr);
    LineTo(backDC, width, py);
    MoveToEx(backDC, px, 0, nullptr);
    LineTo(backDC, px, height);
    const int r = kCircleRadius;
    Arc(backDC, px - r, py - r, px + r, py + r, px, py, px, py);
}

void MyCanvas::onMouseDrag(SPOS& pos)
{
    // A pad without an area has no meaningful position: keep the ratios.
    if (width > 0)
        xRatio.store(clampUnit(static_cast<double>(pos.x) / width), std::memory_order_relaxed);
    if (height > 0)
        yRatio.store(clampUnit(static_cast<double>(pos.y) / height), std::memory_order_relaxed);
    paint();
}
