// The window closed while the metronome runs, many times over: the real program on one Xvfb
// display and one private PulseAudio server, started at 400 BPM, then closed the way a window
// manager closes it (a WM_DELETE_WINDOW message) a random 0-300 ms later, so the close lands at
// every point of the 150 ms tick. Each run must exit with status 0 within 10 s.
// METRONOME_CLOSE_RUNS sets the number of runs (default 1000).
#include "ChildProcess.h"
#include "PulseServer.h"
#include "XvfbDisplay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <X11/Xlib.h> // last: its macros (None, Bool, Status) must not reach other headers

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using metro::testsupport::ChildProcess;
using metro::testsupport::XvfbDisplay;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kProgram = std::getenv("METRONOME_PROGRAM"); // the binary under test

// True once the program runs a beat timer: its thread is named metro-beat.
bool beatTimerRuns(pid_t pid) {
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task", error)) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name == "metro-beat") {
            return true;
        }
    }
    return false;
}

// The program's main window, once it is mapped: a child of the root (no window manager here).
Window findWindow(::Display* x, pid_t pid) {
    const Atom pidAtom = XInternAtom(x, "_NET_WM_PID", False);
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = 0;
    XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count && found == 0; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        XWindowAttributes attributes{};
        if (XGetWindowProperty(x, children[i], pidAtom, 0, 1, False, AnyPropertyType, &type,
                               &format, &items, &after, &data) == Success &&
            data != nullptr && items == 1 && *reinterpret_cast<long*>(data) == pid &&
            XGetWindowAttributes(x, children[i], &attributes) != 0 &&
            attributes.map_state == IsViewable) {
            found = children[i];
        }
        XFree(data);
    }
    XFree(children);
    return found;
}

// Asks the window to close, as a window manager does when the user clicks its close button.
void sendDeleteWindow(::Display* x, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x, window, False, NoEventMask, &event);
    XFlush(x);
}

struct LaneResult {
    int runs = 0;
    int closedRunning = 0;
    std::string failure; // empty while every run ended cleanly
};

// Starts the program, sets 400 BPM and starts the beat, closes the window a random 0-300 ms
// later and waits for the exit, `runs` times. Keys go to the program's window itself, so lanes
// on one display do not type into each other's windows.
LaneResult runLane(int lane, int runs, const std::string& displayName,
                   const std::vector<std::string>& env, const fs::path& dir) {
    LaneResult result;
    ::Display* x = XOpenDisplay(displayName.c_str());
    if (x == nullptr) {
        result.failure = "cannot open " + displayName;
        return result;
    }
    const fs::path xdotoolOut = dir / ("xdotool" + std::to_string(lane) + ".out");
    const auto keys = [&](Window window, const std::vector<std::string>& names) {
        std::vector<std::string> argv{"xdotool", "key", "--window", std::to_string(window)};
        argv.insert(argv.end(), names.begin(), names.end());
        metro::testsupport::RunProgram(argv, env, xdotoolOut, 20s);
    };
    std::mt19937 random(static_cast<unsigned>(lane + 1));
    std::uniform_int_distribution<int> delayMs(0, 300);
    for (; result.runs < runs && result.failure.empty(); ++result.runs) {
        const std::string run =
            "lane " + std::to_string(lane) + " run " + std::to_string(result.runs) + ": ";
        ChildProcess program({kProgram != nullptr ? kProgram : "metronome"}, env,
                             dir / ("metronome" + std::to_string(lane) + ".log"));
        Window window = 0;
        for (int poll = 0; poll < 1000 && window == 0; ++poll) {
            std::this_thread::sleep_for(10ms);
            window = findWindow(x, program.pid());
        }
        if (window == 0) {
            result.failure = run + "no window within 10 s";
            break;
        }
        // Tab, Tab: from the first option to the tempo box. Then the space bar until the beat
        // runs: Start is ignored until the voices have loaded, shortly after the window shows.
        keys(window, {"Tab", "Tab", "ctrl+a", "4", "0", "0"});
        for (int attempt = 0; attempt < 20 && !beatTimerRuns(program.pid()); ++attempt) {
            keys(window, {"space"});
            for (int poll = 0; poll < 50 && !beatTimerRuns(program.pid()); ++poll) {
                std::this_thread::sleep_for(2ms);
            }
        }
        result.closedRunning += beatTimerRuns(program.pid()) ? 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        sendDeleteWindow(x, window);
        const int status = program.waitFor(10s);
        if (status == -1) {
            result.failure = run + "the program hangs after the close";
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            result.failure = run + "wait status " + std::to_string(status);
        }
    }
    XCloseDisplay(x);
    return result;
}

} // namespace

// Three lanes run side by side: the program takes about a second to close (the sound device's
// shut-down), time the lanes overlap.
TEST(CloseLoop, ClosingTheWindowWhileTheBeatRunsAlwaysEndsCleanly) {
    const char* runsText = std::getenv("METRONOME_CLOSE_RUNS");
    const int runs = runsText != nullptr ? std::atoi(runsText) : 1000;
    constexpr int kLanes = 3;
    std::unique_ptr<metro::testsupport::PulseServer> pulse;
    try {
        pulse = std::make_unique<metro::testsupport::PulseServer>(48000);
    } catch (const metro::testsupport::PulseUnavailable& error) {
        GTEST_SKIP() << error.what();
    }
    const fs::path dir = pulse->runtimeDir() / "close-loop";
    fs::create_directories(dir);
    XvfbDisplay display(dir);
    ASSERT_FALSE(display.name().empty())
        << "Xvfb did not start: " << std::ifstream(dir / "xvfb.out").rdbuf();
    std::vector<std::string> env = pulse->clientEnvironment();
    env.insert(env.end(),
               {"DISPLAY=" + display.name(), "SDL_AUDIODRIVER=pulseaudio", "WAYLAND_DISPLAY="});

    XInitThreads(); // one connection per lane, but Xlib keeps some state of its own
    // A window of another lane may vanish between listing and reading it: not an error here.
    XSetErrorHandler([](::Display*, XErrorEvent*) { return 0; });
    const auto begin = Clock::now();
    std::vector<std::future<LaneResult>> lanes;
    for (int lane = 0; lane < kLanes; ++lane) {
        const int share = runs / kLanes + (lane < runs % kLanes ? 1 : 0);
        lanes.push_back(
            std::async(std::launch::async, runLane, lane, share, display.name(), env, dir));
    }
    int done = 0;
    int closedRunning = 0;
    for (auto& lane : lanes) {
        const LaneResult result = lane.get();
        EXPECT_EQ(result.failure, "");
        done += result.runs;
        closedRunning += result.closedRunning;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::cout << done << " runs in " << seconds << " s, " << closedRunning
              << " closed while the beat ran\n";
    EXPECT_EQ(done, runs);
    EXPECT_EQ(closedRunning, done) << "some runs never started their beat";
}
