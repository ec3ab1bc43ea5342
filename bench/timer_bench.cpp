// Beat timer benchmark: lateness of each call against its ideal time, and the drift of the last
// call, for the periodic timer and, in the same run, a naive loop of relative sleeps.
// Usage: timer_bench [seconds=60] [periodMs=150] [results file]
#include "metro/core/PeriodicTimer.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace metro::core;
using Micros = std::chrono::duration<double, std::micro>;

namespace {

struct Figures {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double finalDriftUs = 0;
    std::size_t calls = 0;
};

Figures summarise(std::vector<double> lateness) {
    Figures f;
    f.calls = lateness.size();
    if (lateness.empty()) {
        return f;
    }
    f.finalDriftUs = lateness.back();
    std::sort(lateness.begin(), lateness.end());
    const auto at = [&](double q) {
        return lateness[static_cast<std::size_t>(q * static_cast<double>(lateness.size() - 1))];
    };
    f.p50 = at(0.50);
    f.p99 = at(0.99);
    f.max = lateness.back();
    return f;
}

std::vector<double> runTimer(std::chrono::milliseconds period, int calls) {
    PeriodicTimer timer;
    std::vector<double> lateness;
    lateness.reserve(static_cast<std::size_t>(calls));
    std::mutex mutex;
    const TimePoint armed = Clock::now();
    const auto id =
        timer.setEvent(static_cast<std::int32_t>(period.count()), [&](const TimerCall& call) {
            const auto woke = Clock::now();
            const std::lock_guard lock(mutex);
            // Against the grid from arming, so drift would show.
            lateness.push_back(Micros(woke - (armed + call.index * period)).count());
        });
    std::this_thread::sleep_for(period * calls + period / 2);
    timer.killEvent(id);
    return lateness;
}

std::vector<double> runNaive(std::chrono::milliseconds period, int calls) {
    std::vector<double> lateness;
    const TimePoint start = Clock::now();
    for (int n = 1; n <= calls; ++n) {
        std::this_thread::sleep_for(period);
        lateness.push_back(Micros(Clock::now() - (start + n * period)).count());
    }
    return lateness;
}

std::string row(const char* name, const Figures& f) {
    char line[256];
    std::snprintf(line, sizeof line, "| %s | %zu | %.0f | %.0f | %.0f | %.3f |\n", name, f.calls,
                  f.p50, f.p99, f.max, f.finalDriftUs / 1000.0);
    return line;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::stoi(argv[1]) : 60;
    const std::chrono::milliseconds period(argc > 2 ? std::stoi(argv[2]) : 150);
    const std::string out = argc > 3 ? argv[3] : "";
    const int calls = static_cast<int>(std::chrono::seconds(seconds) / period);

    // Both run at once, so they see the same machine.
    std::vector<double> naive;
    std::thread naiveThread([&] { naive = runNaive(period, calls); });
    const Figures timer = summarise(runTimer(period, calls));
    naiveThread.join();
    const Figures baseline = summarise(naive);

    std::ostringstream report;
    report << "Period " << period.count() << " ms, " << seconds << " s, " << calls
           << " calls each; lateness against start + n x period, in microseconds.\n\n"
           << "| loop | calls | p50 µs | p99 µs | max µs | drift of last call ms |\n"
           << "|---|---|---|---|---|---|\n"
           << row("periodic timer (absolute deadlines)", timer)
           << row("naive sleep_for(period) (baseline)", baseline);
    std::fputs(report.str().c_str(), stdout);
    if (!out.empty()) {
        std::ofstream(out) << report.str();
    }
    const bool met = timer.p50 <= 100 && timer.p99 <= 500 && timer.finalDriftUs <= 1000;
    std::printf("\ntargets (p50 <= 100 us, p99 <= 500 us, drift <= 1 ms): %s\n",
                met ? "met" : "NOT met");
    return 0;
}
