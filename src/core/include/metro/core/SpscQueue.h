#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <new>
#include <optional>
#include <type_traits>

namespace metro::core {

/// Fixed-capacity single-producer single-consumer queue of small trivially copyable items.
/// try_push from the one producer thread, try_pop from the one consumer thread; neither
/// allocates, locks or waits, so either side may be a real-time thread.
template <typename T, std::size_t Capacity> class SpscQueue {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(Capacity >= 2);

public:
    /// Producer only. Returns false when the queue is full; the item is not stored.
    // NOLINTNEXTLINE(readability-identifier-naming): the usual name of this queue operation
    bool try_push(const T& item) noexcept {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        const std::size_t next = increment(head);
        if (next == m_tail.load(std::memory_order_acquire)) {
            return false;
        }
        m_slots[head] = item;
        m_head.store(next, std::memory_order_release);
        return true;
    }

    /// Consumer only. Returns the oldest item, or nothing when empty.
    // NOLINTNEXTLINE(readability-identifier-naming): the usual name of this queue operation
    std::optional<T> try_pop() noexcept {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        T item = m_slots[tail];
        m_tail.store(increment(tail), std::memory_order_release);
        return item;
    }

    /// Consumer only: the oldest item without removing it.
    const T* front() const noexcept {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &m_slots[tail];
    }

    static constexpr std::size_t capacity() noexcept { return Capacity - 1; }

private:
    static constexpr std::size_t increment(std::size_t i) noexcept {
        return i + 1 == Capacity ? 0 : i + 1;
    }

    static constexpr std::size_t kLine = 64;
    alignas(kLine) std::atomic<std::size_t> m_head{0};
    alignas(kLine) std::atomic<std::size_t> m_tail{0};
    alignas(kLine) std::array<T, Capacity> m_slots{};
};

} // namespace metro::core
