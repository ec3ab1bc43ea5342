// The beat thread's timer (its punctuality, its stall skip and its kills) and the queue that
// carries beats from it to the audio thread.
#include "metro/core/PeriodicTimer.h"
#include "metro/core/SpscQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace metro::core;
using namespace std::chrono_literals;

namespace {
// Runs an event until it has made `count` calls (at most 10 s), then kills it; returns each
// call with the time its procedure ran. Every call must be due on the grid of the first, and
// none may run more than `ahead` before it is due.
std::vector<std::pair<TimerCall, TimePoint>> callsOf(PeriodicTimer& timer, std::int32_t periodMs,
                                                     std::size_t count,
                                                     Clock::duration stallInFirstCall = {},
                                                     Clock::duration ahead = {}) {
    std::mutex mutex;
    std::vector<std::pair<TimerCall, TimePoint>> calls;
    const auto id = timer.setEvent(
        periodMs,
        [&](const TimerCall& call) {
            const std::lock_guard lock(mutex);
            calls.emplace_back(call, Clock::now());
            if (calls.size() == 1) {
                std::this_thread::sleep_for(stallInFirstCall);
            }
        },
        ahead);
    const auto made = [&] {
        const std::lock_guard lock(mutex);
        return calls.size();
    };
    for (const auto giveUp = Clock::now() + 10s; made() < count && Clock::now() < giveUp;) {
        std::this_thread::sleep_for(1ms);
    }
    timer.killEvent(id);
    for (const auto& [call, ran] : calls) {
        EXPECT_EQ(call.scheduled - calls[0].first.scheduled,
                  (call.index - calls[0].first.index) * std::chrono::milliseconds(periodMs));
        EXPECT_GE(ran, call.scheduled - ahead) << "never early";
    }
    return calls;
}
} // namespace

// The first call comes one period after arming. Calls follow one another on the grid (none
// dropped: the period is longer than a wake-up here is ever late), and the last of 100 is as
// late as one wake-up, not the sum of 100.
TEST(PeriodicTimerTiming, FirstCallOnePeriodAfterArmingAndNoDrift) {
    PeriodicTimer timer;
    const auto armed = Clock::now();
    const auto once = callsOf(timer, 100, 1);
    ASSERT_GE(once.size(), 1U);
    EXPECT_EQ(once[0].first.index, 1);
    EXPECT_NEAR(std::chrono::duration<double>(once[0].first.scheduled - armed).count(), 0.1, 0.005);
    EXPECT_LT(once[0].second - once[0].first.scheduled, 50ms) << "bound for a loaded machine";

    const auto calls = callsOf(timer, 20, 100);
    ASSERT_GE(calls.size(), 100U);
    EXPECT_EQ(calls.back().first.index - calls[0].first.index,
              static_cast<std::int64_t>(calls.size()) - 1);
    EXPECT_LT(calls[99].second - calls[99].first.scheduled, 30ms);

    // Calls asked for ahead come that much before the time they carry, also more than a
    // period ahead, and none is dropped for it.
    const auto early = callsOf(timer, 50, 5, {}, 80ms);
    ASSERT_GE(early.size(), 5U);
    EXPECT_EQ(early[0].first.index, 1);
    for (std::size_t i = 1; i < early.size(); ++i) { // the first comes at arming
        EXPECT_LT(early[i].second, early[i].first.scheduled - 60ms);
    }
}

// A call that overruns by several periods (as after a suspend) is followed by the latest due
// call, not by a burst of the missed ones, and the grid is kept. (On a loaded machine the first
// call may itself come a period late, and so not be call 1.)
TEST(PeriodicTimer, StallDropsMissedCallsAndKeepsTheGrid) {
    PeriodicTimer timer;
    const auto calls = callsOf(timer, 20, 4, 95ms, 5ms);
    ASSERT_GE(calls.size(), 3U);
    EXPECT_GE(calls[1].first.index, calls[0].first.index + 4) << "the missed calls dropped";
    EXPECT_GT(timer.droppedCalls(), 0);
}

// A kill returns only after the call it lands in has returned, and no call starts after it:
// each call reads, as it ends, whether a kill has returned.
TEST(PeriodicTimer, KillWaitsForTheRunningCallAndNoneStartsAfterIt) {
    PeriodicTimer timer;
    std::atomic<bool> running{false};
    std::atomic<bool> killReturned{false};
    std::atomic<int> callsAfterKill{0};
    for (int cycle = 0; cycle < 100; ++cycle) {
        const auto id = timer.setEvent(1, [&](const TimerCall&) {
            running = true;
            std::this_thread::sleep_for(2ms);
            callsAfterKill += killReturned.load() ? 1 : 0;
        });
        ASSERT_NE(id, 0);
        while (!running.load()) {
            std::this_thread::yield();
        }
        timer.killEvent(id);
        killReturned = true;
        std::this_thread::sleep_for(3ms);
        killReturned = false;
        running = false;
    }
    EXPECT_EQ(callsAfterKill.load(), 0);
}

// A call may kill its own event without waiting for itself; a kill of an unknown or killed id
// does nothing, and ids are never reused, so a stale kill cannot hit a new event.
TEST(PeriodicTimer, KillFromItsOwnCallOrTwiceIsHarmlessAndIdsAreNeverReused) {
    PeriodicTimer timer;
    std::atomic<int> calls{0};
    std::atomic<bool> armed{false};
    const auto own = timer.setEvent(2, [&](const TimerCall& call) {
        while (!armed.load()) {
            std::this_thread::yield();
        }
        ++calls;
        timer.killEvent(call.id);
    });
    armed = true;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 1);
    timer.killEvent(own);
    timer.killEvent(0);
    timer.killEvent(12345);
    std::set<std::int32_t> ids{own};
    for (int i = 0; i < 100; ++i) {
        const auto id = timer.setEvent(1000, [](const TimerCall&) {});
        EXPECT_TRUE(id != 0 && ids.insert(id).second) << "id " << id;
        timer.killEvent(id);
        timer.killEvent(id);
    }
    EXPECT_EQ(timer.setEvent(0, [](const TimerCall&) {}), 0);
    EXPECT_EQ(timer.setEvent(-500, [](const TimerCall&) {}), 0);
}

TEST(SpscQueue, FullEmptyAndWrapAround) {
    metro::core::SpscQueue<int, 4> queue; // holds 3
    EXPECT_FALSE(queue.try_pop().has_value());
    for (int round = 0; round < 5; ++round) {
        for (int i = 1; i <= 3; ++i) {
            EXPECT_TRUE(queue.try_push(round * 10 + i));
        }
        EXPECT_FALSE(queue.try_push(99)) << "full";
        ASSERT_NE(queue.front(), nullptr);
        EXPECT_EQ(*queue.front(), round * 10 + 1);
        for (int i = 1; i <= 3; ++i) {
            EXPECT_EQ(queue.try_pop(), round * 10 + i);
        }
        EXPECT_FALSE(queue.try_pop().has_value()) << "empty";
    }
}

TEST(SpscQueue, TwoThreadsSeeEveryItemInOrder) {
    metro::core::SpscQueue<std::uint64_t, 64> queue;
    constexpr std::uint64_t kCount = 200000;
    std::thread producer([&] {
        for (std::uint64_t i = 1; i <= kCount;) {
            i += queue.try_push(i) ? 1U : 0U;
        }
    });
    for (std::uint64_t expected = 1; expected <= kCount;) {
        if (auto item = queue.try_pop()) {
            ASSERT_EQ(*item, expected++);
        }
    }
    producer.join();
}
