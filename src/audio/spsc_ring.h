#pragma once
// A bounded single-producer/single-consumer queue of trivially copyable values. One thread may
// push, one other thread may pop; neither ever waits, locks or allocates. The threads may change
// over time as long as a hand-over happens-before the next use (a stopped audio stream, say).

#include <array>
#include <atomic>
#include <cstddef>
#include <type_traits>

namespace loudara {

template <typename T, std::size_t Capacity>
class SpscRing {
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // Producer side. False when full.
    bool push(const T& value) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == Capacity) return false;
        slots_[tail & (Capacity - 1)] = value;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: the oldest value without removing it. False when empty.
    bool peek(T& value) const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        value = slots_[head & (Capacity - 1)];
        return true;
    }

    // Consumer side. False when empty.
    bool pop(T& value) noexcept {
        if (!peek(value)) return false;
        head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: forgets everything pushed so far.
    void clear() noexcept { head_.store(tail_.load(std::memory_order_acquire), std::memory_order_release); }

    // Either side; exact only when the other side is idle.
    std::size_t size() const noexcept {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }
    bool empty() const noexcept { return size() == 0; }

private:
    // Head and tail on their own cache lines, so the two threads do not fight over one line.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::array<T, Capacity> slots_{};
};

}  // namespace loudara
