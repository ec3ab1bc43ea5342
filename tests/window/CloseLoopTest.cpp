// The window closed while the beat runs, many times over, on the real program.
#include "ProgramSession.h"

#include <future>
#include <random>
#include <thread>

using namespace metro::testsupport;

namespace {

// Starts the program `runs` times: sets 400 BPM, starts the beat, asks the window to close a
// random 0-300 ms later (any point of the 150 ms tick) and waits for the exit. Keys go to the
// program's own window, so lanes on one display do not type into each other's windows. Gives
// the first failure, or "".
std::string runLane(const Scratch& scratch, int lane, int runs) {
    const std::string name = "lane" + std::to_string(lane);
    std::mt19937 random(static_cast<unsigned>(lane + 1));
    std::uniform_int_distribution<int> delayMs(0, 300);
    for (int run = 0; run < runs; ++run) {
        const std::string at = name + " run " + std::to_string(run) + ": ";
        ChildProcess program = scratch.launch({}, name);
        // A missing window fails the test where it is looked for; the beat then never starts.
        const std::string window = scratch.window("--pid", std::to_string(program.pid()), name);
        // Tab, Tab: from the first option to the tempo box. Then the space bar until the beat
        // runs: Start is ignored until the voices have loaded, shortly after the window shows.
        scratch.x({"xdotool", "key", "--window", window, "Tab", "Tab", "ctrl+a", "4", "0", "0"},
                  name);
        bool started = false;
        for (int attempt = 0; attempt < 20 && !started; ++attempt) {
            scratch.x({"xdotool", "key", "--window", window, "space"}, name);
            started = beatTimerRuns(program.pid(), true, 100ms);
        }
        if (!started) {
            return at + "the beat never started";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
        askToClose(window);
        const int status = program.waitFor(10s);
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            return at + "wait status " + std::to_string(status) + " after the close";
        }
    }
    return "";
}

} // namespace

// The window closed while the beat runs, METRONOME_CLOSE_RUNS times (1000 unless set), in three
// lanes side by side: the program takes about a second to close (the sound device's shut-down),
// time the lanes overlap. Every run must exit with status 0 within 10 s.
TEST(CloseLoop, ClosingTheWindowWhileTheBeatRunsAlwaysEndsCleanly) {
    const char* runsText = std::getenv("METRONOME_CLOSE_RUNS");
    const int runs = runsText != nullptr ? std::atoi(runsText) : 1000;
    constexpr int kLanes = 3;
    const Scratch scratch("close");
    XInitThreads();
    std::vector<std::future<std::string>> lanes;
    for (int lane = 0; lane < kLanes; ++lane) {
        const int share = runs / kLanes + (lane < runs % kLanes ? 1 : 0);
        lanes.push_back(std::async(std::launch::async, runLane, std::cref(scratch), lane, share));
    }
    for (auto& lane : lanes) {
        EXPECT_EQ(lane.get(), "");
    }
}
