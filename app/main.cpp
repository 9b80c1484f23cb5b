// Entry point: register the window class, build the main window, run the loop.

#include "app/MainWindow.h"
#include "framework/WindowClass.h"

namespace {

int runProgram()
{
    registerWindowClass();
    // On the heap: if a block handler never returns, the window and the voice changer it
    // runs in must outlive it, to the end of the process.
    MainWindow* window = new MainWindow();
    int result = 1;
    if (!window->hwnd) {
        // No display: the platform layer has said why on stderr.
        window->audio->close();
    } else {
        result = runMessageLoop();
        // The loop also ends on a message error; never let the stream outlive the
        // voice changer it feeds (a second close does nothing; running may be false
        // for a moment while the stream opens lost devices again).
        window->audio->close();
    }
    if (window->audio->idle())
        delete window;
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
