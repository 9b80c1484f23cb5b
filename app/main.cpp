// Entry point: register the window class, build the main window, run the loop.

#include "app/MainWindow.h"
#include "framework/WindowClass.h"

namespace {

int runProgram()
{
    registerWindowClass();
    MainWindow window;
    if (!window.hwnd) {
        // No display: the platform layer has said why on stderr.
        window.audio->close();
        return 1;
    }
    int result = runMessageLoop();
    // The loop also ends on a message error; never let the stream outlive the
    // voice changer it feeds.
    if (window.audio->running)
        window.audio->close();
    return result;
}

}  // namespace

#ifdef _WIN32
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return runProgram();
}
#else
int main()
{
    return runProgram();
}
#endif
