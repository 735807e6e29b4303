// A lock-free ring of stereo float frames from one producer thread (the
// player's background decoder) to one consumer (the audio thread). The
// consumer's side never allocates, locks, waits or calls a library: when
// the ring is dry it gets silence for the missing frames and counts an
// underrun, and the tone it is mixed under goes on.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace sound {

class FrameRing {
public:
    static_assert(std::atomic<std::size_t>::is_always_lock_free);
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

    // Room for at least `frames` frames (rounded up to a power of two).
    explicit FrameRing(std::size_t frames) : mask_(round_up(frames) - 1), data_(new float[2 * (mask_ + 1)]()) {}

    std::size_t capacity() const { return mask_ + 1; }

    // Producer: frames it can write now.
    std::size_t space() const {
        return capacity() - (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
    }

    // Producer: copies up to `frames` interleaved frames in; returns how many fit.
    std::size_t write(const float* frames, std::size_t count) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        count = std::min(count, space());
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = 2 * ((head + i) & mask_);
            data_[at] = frames[2 * i];
            data_[at + 1] = frames[2 * i + 1];
        }
        head_.store(head + count, std::memory_order_release);
        return count;
    }

    // Producer: no more frames will come (the background was turned off).
    // A dry ring after this is the end, not an underrun.
    void finish() { finished_.store(true, std::memory_order_release); }

    // Consumer: frames waiting.
    std::size_t available() const {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
    }

    // Consumer: fills `count` interleaved frames, silence for those the
    // producer has not delivered yet; returns the frames that came from it.
    std::size_t read(float* out, std::size_t count) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t got = std::min(count, available());
        for (std::size_t i = 0; i < got; ++i) {
            const std::size_t at = 2 * ((tail + i) & mask_);
            out[2 * i] = data_[at];
            out[2 * i + 1] = data_[at + 1];
        }
        tail_.store(tail + got, std::memory_order_release);
        std::fill(out + 2 * got, out + 2 * count, 0.0f);
        if (got < count && !finished_.load(std::memory_order_acquire))
            underruns_.fetch_add(1, std::memory_order_relaxed);
        return got;
    }

    // Reads that found the ring dry before the producer finished.
    std::uint64_t underruns() const { return underruns_.load(std::memory_order_relaxed); }

private:
    static std::size_t round_up(std::size_t n) {
        std::size_t c = 2;
        while (c < n) c <<= 1;
        return c;
    }

    const std::size_t mask_;
    std::unique_ptr<float[]> data_;
    // Each index written by one side only, on lines of their own.
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::atomic<std::uint64_t> underruns_{0};
    std::atomic<bool> finished_{false};
};

}  // namespace sound
