#include "metro/core/SpscQueue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

using metro::core::SpscQueue;

TEST(SpscQueue, FullEmptyAndWrapAround) {
    SpscQueue<int, 4> queue; // holds 3
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
    SpscQueue<std::uint64_t, 64> queue;
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
