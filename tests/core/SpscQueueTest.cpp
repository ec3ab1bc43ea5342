#include "metro/core/SpscQueue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

using metro::core::SpscQueue;

TEST(SpscQueue, FullEmptyAndWrapAround) {
    SpscQueue<int, 4> queue; // holds 3
    EXPECT_FALSE(queue.try_pop().has_value());
    for (int round = 0; round < 5; ++round) {
        EXPECT_TRUE(queue.try_push(round * 10 + 1));
        EXPECT_TRUE(queue.try_push(round * 10 + 2));
        EXPECT_TRUE(queue.try_push(round * 10 + 3));
        EXPECT_FALSE(queue.try_push(99)) << "full";
        ASSERT_NE(queue.front(), nullptr);
        EXPECT_EQ(*queue.front(), round * 10 + 1);
        EXPECT_EQ(queue.try_pop(), round * 10 + 1);
        EXPECT_EQ(queue.try_pop(), round * 10 + 2);
        EXPECT_EQ(queue.try_pop(), round * 10 + 3);
        EXPECT_FALSE(queue.try_pop().has_value()) << "empty";
    }
}

TEST(SpscQueue, TwoThreadsSeeEveryItemInOrder) {
    SpscQueue<std::uint64_t, 64> queue;
    constexpr std::uint64_t kCount = 200000;
    std::thread producer([&] {
        for (std::uint64_t i = 1; i <= kCount;) {
            if (queue.try_push(i)) {
                ++i;
            }
        }
    });
    std::uint64_t expected = 1;
    while (expected <= kCount) {
        if (auto item = queue.try_pop()) {
            ASSERT_EQ(*item, expected);
            ++expected;
        }
    }
    producer.join();
}
