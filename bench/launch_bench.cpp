// Launch to window shown: starts a program, and waits on the X server for its top-level window
// (found by title) to be mapped and drawn: its middle pixel is no longer black. Then asks it
// to close, as the close box does, and waits for it to exit. Prints one line per launch and a
// summary. Usage: launch_bench RUNS TITLE PROGRAM [ARGS...]
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool titled(Display* display, Window window, const char* title) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) == 0 || name == nullptr) {
        return false;
    }
    const bool match = std::strstr(name, title) != nullptr;
    XFree(name);
    return match;
}

// The colour at the middle of the window, or 0 (black, what the display shows under a window
// that has not been drawn yet; run the display with a black root, Xvfb -br).
unsigned long middlePixel(Display* display, Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    XImage* image = XGetImage(display, window, attributes.width / 2, attributes.height / 2, 1, 1,
                              AllPlanes, ZPixmap);
    if (image == nullptr) {
        return 0;
    }
    const unsigned long pixel = XGetPixel(image, 0, 0) & 0xFFFFFFUL;
    XDestroyImage(image);
    return pixel;
}

// Waits for a window with the title to be mapped and then drawn. Returns the window.
Window waitShown(Display* display, const char* title, Clock::time_point deadline) {
    Window mapped = 0;
    while (Clock::now() < deadline) {
        while (mapped == 0 && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && titled(display, event.xmap.window, title)) {
                mapped = event.xmap.window;
            }
        }
        if (mapped != 0 && middlePixel(display, mapped) != 0) {
            return mapped;
        }
        usleep(200);
    }
    return 0;
}

void askToClose(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: launch_bench RUNS TITLE PROGRAM [ARGS...]\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    if (runs < 1) {
        std::fprintf(stderr, "launch_bench: RUNS must be a whole number of at least 1\n");
        return 2;
    }
    const char* title = argv[2];
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "launch_bench: no X display\n");
        return 1;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const Clock::time_point start = Clock::now();
        const pid_t child = fork();
        if (child == 0) {
            execvp(argv[3], argv + 3);
            _exit(127);
        }
        if (child < 0) {
            std::perror("launch_bench: fork");
            return 1;
        }
        const Window window = waitShown(display, title, start + std::chrono::seconds(20));
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (window == 0) {
            std::fprintf(stderr, "launch_bench: %s never showed its window\n", argv[3]);
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            return 1;
        }
        times.push_back(ms);
        usleep(300000);
        askToClose(display, window);
        int status = 0;
        waitpid(child, &status, 0);
        XSync(display, True);
    }
    std::sort(times.begin(), times.end());
    std::printf("%s: launch to window shown, %d runs: median %.1f ms, min %.1f ms, max %.1f ms\n",
                argv[3], runs, times[times.size() / 2], times.front(), times.back());
    XCloseDisplay(display);
    return 0;
}
