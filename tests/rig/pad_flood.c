/* Floods a window with pointer moves and measures how soon the pad's crosshair
 * shows the last one, optionally closing the window right after the flood.
 *   cc -O2 -o pad_flood pad_flood.c -lX11
 *   pad_flood WINDOW_ID MOVES PERIOD_US [nowait]
 * The left button must already be held over the window (xdotool mousedown 1): the
 * moves are pointer warps, which X delivers as motion like a real mouse's. They zigzag
 * over the pad and end at (386, 158). PERIOD_US 0 sends them as fast as X takes them.
 * Prints one line of key=value figures:
 *   sent_ms     how long sending the moves took
 *   settle_ms   from the last move until the crosshair stood on it (-1: not within 5 s);
 *               with "nowait" it returns as soon as X has taken the moves
 * Exit code 0 when the crosshair arrived. */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define PAD 400
#define LAST_X 386
#define LAST_Y 158
#define GREY 0x646464UL
#define WAIT_NS 5000000000LL

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void sleep_until(long long ns)
{
    struct timespec t = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL);
}

static int on_error(Display* d, XErrorEvent* e)
{
    (void)d;
    (void)e;
    return 0;  /* the window may go while it is read */
}

/* The crosshair stands on (x, y) when both of its lines run through it: grey on the
 * column x and the row y at points well away from the circle round it. */
static int crosshair_at(Display* dpy, Window win, int x, int y)
{
    XImage* img = XGetImage(dpy, win, 0, 0, PAD, PAD, AllPlanes, ZPixmap);
    if (!img)
        return 0;
    static const int far[] = {5, 60, 320, 395};
    int hits = 0, tried = 0;
    for (size_t i = 0; i < sizeof far / sizeof far[0]; ++i) {
        if (abs(far[i] - y) > 60) {
            ++tried;
            hits += (XGetPixel(img, x, far[i]) & 0xFFFFFF) == GREY;
        }
        if (abs(far[i] - x) > 60) {
            ++tried;
            hits += (XGetPixel(img, far[i], y) & 0xFFFFFF) == GREY;
        }
    }
    XDestroyImage(img);
    return tried > 0 && hits == tried;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s WINDOW_ID MOVES PERIOD_US [nowait]\n", argv[0]);
        return 2;
    }
    Display* dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "pad_flood: cannot open display\n");
        return 1;
    }
    XSetErrorHandler(on_error);
    const Window win = (Window)strtoul(argv[1], NULL, 0);
    const int moves = atoi(argv[2]);
    const long long period = atoll(argv[3]) * 1000LL;
    const int no_wait = argc > 4 && strcmp(argv[4], "nowait") == 0;

    const long long start = now_ns();
    for (int i = 0; i < moves; ++i) {
        int x = 20 + (i * 7) % 360, y = 20 + (i * 13) % 360;
        if (i == moves - 1) {
            x = LAST_X;
            y = LAST_Y;
        }
        XWarpPointer(dpy, None, win, 0, 0, 0, 0, x, y);
        if (period > 0) {
            XFlush(dpy);
            sleep_until(start + (long long)(i + 1) * period);
        }
    }
    XSync(dpy, False);
    const long long last = now_ns();
    printf("moves=%d sent_ms=%.1f", moves, (last - start) / 1e6);

    if (no_wait) {
        printf("\n");
        XCloseDisplay(dpy);
        return 0;
    }

    long long settled = -1;
    while (now_ns() - last < WAIT_NS) {
        if (crosshair_at(dpy, win, LAST_X, LAST_Y)) {
            settled = now_ns();
            break;
        }
    }
    printf(" settle_ms=%.1f\n", settled >= 0 ? (settled - last) / 1e6 : -1.0);
    XCloseDisplay(dpy);
    return settled >= 0 ? 0 : 1;
}
