// Test helper for a real X server without a window manager:
//   xwin wait <title> <ms>   prints the id of the viewable window with that title
//   xwin close <id>          asks the window to close, as a close box does (WM_DELETE_WINDOW)
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

std::string NetWmName(Display* d, Window w) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    const Atom name = XInternAtom(d, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    std::string title;
    if (XGetWindowProperty(d, w, name, 0, 1024, False, utf8, &type, &format, &count, &after,
                           &data) == Success &&
        data) {
        title.assign(reinterpret_cast<char*>(data), count);
    }
    if (data) XFree(data);
    return title;
}

Window Find(Display* d, Window w, const std::string& title) {
    XWindowAttributes attributes;
    if (NetWmName(d, w) == title && XGetWindowAttributes(d, w, &attributes) &&
        attributes.map_state == IsViewable) {
        return w;
    }
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(d, w, &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count && !found; ++i) found = Find(d, children[i], title);
    }
    if (children) XFree(children);
    return found;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
    Display* d = display.get();
    if (!d) {
        std::fprintf(stderr, "xwin: no X display\n");
        return 2;
    }
    // A window may go while the tree is walked (a main window closing as its box opens): the
    // default handler would end this program on that error; the walk passes over it instead.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    if (argc == 4 && std::strcmp(argv[1], "wait") == 0) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(argv[3]));
        while (std::chrono::steady_clock::now() < deadline) {
            if (const Window w = Find(d, DefaultRootWindow(d), argv[2])) {
                std::printf("%lu\n", w);
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::fprintf(stderr, "xwin: no window titled %s\n", argv[2]);
        return 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "close") == 0) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = std::strtoul(argv[2], nullptr, 10);
        e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(d, e.xclient.window, False, NoEventMask, &e);
        XSync(d, False);
        return 0;
    }
    std::fprintf(stderr, "usage: xwin wait <title> <ms> | xwin close <id>\n");
    return 2;
}
