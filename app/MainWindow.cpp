#include "app/MainWindow.h"

#include <algorithm>

// SAudioIO keeps its own rate, the one it opens the devices at: it must be the voice changer's.
static_assert(SAudioIO::kSampleRate == kSampleRate, "the stream must run at the voice changer's rate");

MainWindow::MainWindow() : canvas(nullptr), audio(nullptr)
{
    canvas = new MyCanvas(this);
    setChild(canvas);

    // The slots share their names with the handlers, which hide them here.
    SWindow::onClose = boost::bind(&MainWindow::onClose, this);
    SWindow::onDropFile = boost::bind(&MainWindow::onDropFile, this, boost::placeholders::_1);

    // Sizes the client area and places the pad before any paint or drag reaches it.
    SRECT rect = {0, 0, kPadSize, kPadSize};
    setGeometry(rect);

    audio = new SAudioIO();
    audio->onData = boost::bind(&MainWindow::onAudio, this, boost::placeholders::_1);
    audio->open(kBlockSize);
    audio->start();
}

void MainWindow::onClose()
{
    audio->close();
    PostQuitMessage(0);
}

void MainWindow::onDropFile(std::wstring&)
{
}

void MainWindow::onAudio(SDATA<short>& block)
{
    // The stream always hands over kBlockSize samples; anything shorter is padded with
    // silence rather than read or written past its end.
    const short* in = block.data.get();
    const int n = in ? std::min<int>(block.count, kBlockSize) : 0;
    double* input = changer.inputPtr;
    for (int i = 0; i < n; ++i)
        input[i] = in[i];
    std::fill(input + n, input + kBlockSize, 0.0);

    const double x = canvas->xRatio.load(std::memory_order_relaxed);
    const double y = canvas->yRatio.load(std::memory_order_relaxed);
    changer.process(y * 4.0 - 2.0, x * 2.0, kOutputGain);

    short* out = block.data.get();
    const double* output = changer.outputPtr;
    for (int i = 0; i < n; ++i)
        out[i] = toSample(output[i]);
}
