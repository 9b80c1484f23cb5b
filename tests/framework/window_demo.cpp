// A small window built from the framework classes, for the end-to-end check under Xvfb:
// a 400 x 400 canvas with a grey crosshair that follows left-button drags. Prints
// "drag X Y" for each reported position and "close" when asked to close.
#include <cstdio>

#include "framework/SCanvas.h"
#include "framework/SWindow.h"
#include "framework/WindowClass.h"

namespace {

constexpr int kSize = 400;
constexpr COLORREF kGrey = RGB(100, 100, 100);

class DemoCanvas final : public SCanvas {
public:
    explicit DemoCanvas(SWidget* parent) : SCanvas(parent)
    {
        onMouseDrag = boost::bind(&DemoCanvas::dragged, this, boost::placeholders::_1);
    }
    void draw() override
    {
        SetDCPenColor(backDC, kGrey);
        MoveToEx(backDC, 0, y, nullptr);
        LineTo(backDC, width, y);
        MoveToEx(backDC, x, 0, nullptr);
        LineTo(backDC, x, height);
        Arc(backDC, x - 50, y - 50, x + 50, y + 50, x, y, x, y);
    }
    void dragged(SPOS& p)
    {
        std::printf("drag %d %d\n", p.x, p.y);
        std::fflush(stdout);
        x = p.x;
        y = p.y;
        paint();
    }
    int x = kSize / 2;
    int y = kSize / 2;
};

class DemoWindow final : public SWindow {
public:
    DemoWindow()
    {
        canvas = new DemoCanvas(this);
        setChild(canvas);
        onClose = boost::bind(&DemoWindow::closing, this);
        SRECT r = {0, 0, kSize, kSize};
        setGeometry(r);
    }
    void closing()
    {
        std::printf("close\n");
        std::fflush(stdout);
        PostQuitMessage(0);
    }
    DemoCanvas* canvas;
};

}  // namespace

int main()
{
    registerWindowClass();
    DemoWindow window;
    if (!window.hwnd)
        return 1;  // the platform said why
    const int code = runMessageLoop();
    delete window.canvas;
    return code;
}
