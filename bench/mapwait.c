/* bench-mapwait: launches a program and measures the time until its top-level window with
 * the given title is mapped on the X server, then closes it as a window manager would
 * (WM_DELETE_WINDOW) and waits for it to end.
 * Usage: bench-mapwait TITLE PROGRAM [ARGS...]   Prints "mapped_ms=X". */
#define _DEFAULT_SOURCE /* POSIX and BSD calls under a strict C standard too */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* _NET_WM_NAME (UTF-8) first, then WM_NAME. */
static int has_title(Display* d, Window w, const char* title) {
    Atom net_name = XInternAtom(d, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long items, rest;
    unsigned char* data = NULL;
    int match = 0;
    if (XGetWindowProperty(d, w, net_name, 0, 1024, False, utf8, &type, &format, &items, &rest,
                           &data) == Success &&
        data != NULL) {
        match = type == utf8 && strlen(title) == items && memcmp(data, title, items) == 0;
        XFree(data);
        if (match) return 1;
    }
    char* name = NULL;
    if (XFetchName(d, w, &name) && name != NULL) {
        match = strcmp(name, title) == 0;
        XFree(name);
    }
    return match;
}

static int ignore_errors(Display* d, XErrorEvent* e) {
    (void)d;
    (void)e; /* a window that went away between the event and the query */
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s TITLE PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    const char* title = argv[1];
    Display* d = XOpenDisplay(NULL);
    if (d == NULL) {
        fprintf(stderr, "cannot open display\n");
        return 1;
    }
    XSetErrorHandler(ignore_errors);
    Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);

    const double start = now_ms();
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror("execvp");
        _exit(127);
    }
    Window found = 0;
    double mapped = -1;
    const double deadline = start + 20000;
    while (found == 0 && now_ms() < deadline) {
        if (XPending(d) == 0) {
            struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
            poll(&p, 1, 100);
            int status;
            if (waitpid(child, &status, WNOHANG) == child) {
                fprintf(stderr, "program ended before mapping its window\n");
                return 1;
            }
            continue;
        }
        XEvent e;
        XNextEvent(d, &e);
        if (e.type == MapNotify && has_title(d, e.xmap.window, title)) {
            mapped = now_ms() - start;
            found = e.xmap.window;
        }
    }
    if (found == 0) {
        fprintf(stderr, "no window \"%s\" within 20 s\n", title);
        kill(child, SIGKILL);
        waitpid(child, NULL, 0);
        return 1;
    }
    printf("mapped_ms=%.2f\n", mapped);
    fflush(stdout);

    /* A moment for the start-up to finish, then a normal close. */
    usleep(200 * 1000);
    XEvent close;
    memset(&close, 0, sizeof close);
    close.xclient.type = ClientMessage;
    close.xclient.window = found;
    close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
    close.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, found, False, NoEventMask, &close);
    XFlush(d);
    for (int i = 0; i < 100; ++i) {
        int status;
        if (waitpid(child, &status, WNOHANG) == child) {
            XCloseDisplay(d);
            return 0;
        }
        usleep(50 * 1000);
    }
    fprintf(stderr, "program did not close; killing it\n");
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
    XCloseDisplay(d);
    return 1;
}
