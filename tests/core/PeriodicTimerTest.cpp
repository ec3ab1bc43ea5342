#include "metro/core/PeriodicTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace metro::core;
using namespace std::chrono_literals;

namespace {
struct CallLog {
    void add(const TimerCall& call) {
        const std::lock_guard lock(mutex);
        calls.push_back(call);
        woke.push_back(Clock::now());
    }
    std::size_t size() {
        const std::lock_guard lock(mutex);
        return calls.size();
    }
    std::mutex mutex;
    std::vector<TimerCall> calls;
    std::vector<TimePoint> woke;
};

void waitFor(CallLog& log, std::size_t count, Clock::duration limit = 10s) {
    const auto giveUp = Clock::now() + limit;
    while (log.size() < count && Clock::now() < giveUp) {
        std::this_thread::sleep_for(1ms);
    }
}
} // namespace

TEST(PeriodicTimer, FirstCallComesOnePeriodAfterArming) {
    PeriodicTimer timer;
    CallLog log;
    const auto armed = Clock::now();
    const auto id = timer.setEvent(100, [&](const TimerCall& c) { log.add(c); });
    ASSERT_NE(id, 0);
    waitFor(log, 1);
    timer.killEvent(id);
    ASSERT_GE(log.calls.size(), 1U);
    EXPECT_EQ(log.calls[0].index, 1);
    EXPECT_EQ(log.calls[0].id, id);
    EXPECT_GE(log.woke[0] - armed, 100ms);
    EXPECT_LT(log.woke[0] - armed, 100ms + 50ms) << "generous bound for a loaded machine";
    EXPECT_NEAR(std::chrono::duration<double>(log.calls[0].scheduled - armed).count(), 0.1, 0.005);
}

TEST(PeriodicTimer, StaysOnItsGridWithoutDrift) {
    PeriodicTimer timer;
    CallLog log;
    const auto id = timer.setEvent(5, [&](const TimerCall& c) { log.add(c); });
    waitFor(log, 300);
    timer.killEvent(id);
    ASSERT_GE(log.calls.size(), 300U);
    const auto first = log.calls.front();
    for (std::size_t i = 0; i < log.calls.size(); ++i) {
        const auto& call = log.calls[i];
        EXPECT_EQ(call.scheduled - first.scheduled, (call.index - first.index) * 5ms);
        EXPECT_GE(log.woke[i], call.scheduled) << "never early";
    }
    // Lateness of the last call is that of one wake-up, not the sum of 300.
    EXPECT_LT(log.woke[299] - log.calls[299].scheduled, 30ms);
}

TEST(PeriodicTimer, KillIsIdempotentAndIdsAreNeverReused) {
    PeriodicTimer timer;
    timer.killEvent(0);
    timer.killEvent(12345);
    std::set<std::int32_t> ids;
    for (int i = 0; i < 100; ++i) {
        const auto id = timer.setEvent(1000, [](const TimerCall&) {});
        ASSERT_NE(id, 0);
        EXPECT_TRUE(ids.insert(id).second) << "id " << id << " reused";
        timer.killEvent(id);
        timer.killEvent(id);
    }
    EXPECT_EQ(timer.setEvent(0, [](const TimerCall&) {}), 0);
    EXPECT_EQ(timer.setEvent(-500, [](const TimerCall&) {}), 0);
}

TEST(PeriodicTimer, NoCallStartsAfterKillReturns) {
    PeriodicTimer timer;
    std::atomic<bool> killed{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> calls{0};
    for (int cycle = 0; cycle < 2000; ++cycle) {
        const auto id = timer.setEvent(1, [&](const TimerCall&) {
            if (killed.load()) {
                ++lateCalls;
            }
            ++calls;
        });
        ASSERT_NE(id, 0);
        if (cycle % 4 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(1500));
        }
        timer.killEvent(id);
        killed = true;
        std::this_thread::sleep_for(std::chrono::microseconds(cycle % 7 == 0 ? 2000 : 0));
        killed = false;
    }
    EXPECT_EQ(lateCalls.load(), 0);
    EXPECT_GT(calls.load(), 0);
}

TEST(PeriodicTimer, KillFromItsOwnCallDoesNotHang) {
    PeriodicTimer timer;
    std::atomic<std::int32_t> id{0};
    std::atomic<int> calls{0};
    std::atomic<bool> armed{false};
    id = timer.setEvent(2, [&](const TimerCall& call) {
        while (!armed.load()) {
            std::this_thread::yield();
        }
        ++calls;
        timer.killEvent(call.id);
    });
    armed = true;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 1);
    timer.killEvent(id);
}

TEST(PeriodicTimer, StallDropsMissedCallsAndKeepsTheGrid) {
    PeriodicTimer timer;
    CallLog log;
    const auto id = timer.setEvent(20, [&](const TimerCall& c) {
        log.add(c);
        if (c.index == 1) {
            std::this_thread::sleep_for(95ms); // as if the machine had been suspended
        }
    });
    waitFor(log, 4);
    timer.killEvent(id);
    ASSERT_GE(log.calls.size(), 3U);
    EXPECT_EQ(log.calls[0].index, 1);
    EXPECT_GE(log.calls[1].index, 5) << "calls 2..4 dropped, not fired in a burst";
    EXPECT_GT(timer.droppedCalls(), 0);
    for (const auto& call : log.calls) {
        EXPECT_EQ(call.scheduled - log.calls[0].scheduled, (call.index - 1) * 20ms);
    }
}
