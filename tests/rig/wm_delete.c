/* Asks an X window to close the way a window manager's close button does: a
 * WM_PROTOCOLS / WM_DELETE_WINDOW client message (xdotool windowclose would
 * destroy the window under the program instead).
 *   cc -o wm_delete wm_delete.c -lX11
 *   wm_delete WINDOW_ID          (decimal or 0x hex, as xdotool prints it)
 * Exit code 0 when the message was sent. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s WINDOW_ID\n", argv[0]);
        return 2;
    }
    Display* dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "wm_delete: cannot open display\n");
        return 1;
    }
    Window win = (Window)strtoul(argv[1], NULL, 0);
    XEvent ev = {0};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = win;
    ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    Status ok = XSendEvent(dpy, win, False, NoEventMask, &ev);
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return ok ? 0 : 1;
}
