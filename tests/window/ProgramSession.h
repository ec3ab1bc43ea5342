#pragma once

// The real program on the private desktop tools/headless.sh gives a test (DISPLAY, and a
// PulseAudio server of its own), driven by xdotool and Xlib.

#include "ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <X11/Xlib.h> // last: its macros (None, Bool, Status) must not reach other headers

namespace metro::testsupport {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline const char* const kProgram = std::getenv("METRONOME_PROGRAM"); // the binary under test

// A scratch folder for one test's logs and screenshots, removed at the end.
struct Scratch {
    explicit Scratch(const std::string& name)
        : dir(fs::temp_directory_path() / ("metronome-" + name + std::to_string(getpid()))) {
        fs::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    /// Starts the program with `env` added, its output in `log`.
    ChildProcess launch(std::vector<std::string> env, const std::string& log = "program") const {
        env.insert(env.end(), {"SDL_AUDIODRIVER=pulseaudio", "WAYLAND_DISPLAY="});
        return ChildProcess({kProgram != nullptr ? kProgram : "metronome"}, env,
                            dir / (log + ".log"));
    }
    /// Runs a tool on the desktop (xdotool, import, weston-debug) to its end, behind the program
    /// under test (nice), and returns what it printed; with `mustWork`, a failure status fails
    /// the test.
    std::string x(std::vector<std::string> argv, const std::string& out = "x",
                  bool mustWork = true) const {
        argv.insert(argv.begin(), "nice");
        const int status = RunProgram(argv, {}, dir / (out + ".out"), 20s);
        std::stringstream text;
        text << std::ifstream(dir / (out + ".out")).rdbuf();
        EXPECT_TRUE(status == 0 || !mustWork)
            << argv.at(1) << " " << argv.at(2) << ": " << text.str();
        return status == 0 ? text.str() : "";
    }
    /// The first visible window that xdotool finds by `how` ("--name", "--pid") and `what`.
    /// A window of another program that vanishes while xdotool looks trips it: it looks again.
    std::string window(const std::string& how, const std::string& what,
                       const std::string& out = "x") const {
        std::string ids;
        for (int attempt = 0; attempt < 20 && ids.empty(); ++attempt) {
            ids = x({"xdotool", "search", "--sync", "--onlyvisible", how, what}, out, false);
        }
        EXPECT_FALSE(ids.empty()) << "no window " << how << " " << what;
        return ids.substr(0, ids.find('\n'));
    }
    fs::path dir;
};

// Whether the program's beat timer runs (or, with `running` false, has stopped) within
// `timeout`: the timer's thread, named metro-beat, lives while the beat runs.
inline bool beatTimerRuns(pid_t pid, bool running = true, std::chrono::milliseconds timeout = 5s) {
    for (const auto giveUp = std::chrono::steady_clock::now() + timeout;;) {
        bool found = false;
        std::error_code error;
        for (const auto& task :
             fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", error)) {
            std::string name;
            std::getline(std::ifstream(task.path() / "comm"), name);
            found = found || name == "metro-beat";
        }
        if (found == running || std::chrono::steady_clock::now() > giveUp) {
            return found == running;
        }
        std::this_thread::sleep_for(2ms);
    }
}

// Asks the window to close, as a window manager's close button would (WM_DELETE_WINDOW).
inline void askToClose(const std::string& window) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(window);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XCloseDisplay(display);
}

} // namespace metro::testsupport
