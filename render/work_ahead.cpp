#include "work_ahead.h"

#include <chrono>
#include <cstring>

#include "prefault.h"
#include "quiet_thread.h"

namespace render {

namespace {

// Waits until ready() holds, watching one atomic that changes whenever it
// may have come to hold: first a short spin, since the other thread is
// usually a few microseconds away and waking a sleeping thread takes far
// longer, then asleep.
template <class Ready>
bool wait_for_briefly(Ready ready) {
    for (int i = 0; i < 2000; ++i) {
        if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

template <class Ready>
void wait_for(const std::atomic<std::int64_t>& watched, Ready ready) {
    if (wait_for_briefly(ready)) return;
    for (;;) {
        std::int64_t seen = watched.load(std::memory_order_acquire);
        if (ready()) return;
        watched.wait(seen, std::memory_order_acquire);
    }
}

}  // namespace

WorkAhead::~WorkAhead() {
    if (!started_) return;
    stop();
    {
        std::lock_guard<std::mutex> hold(lock_);
        quit_ = true;
    }
    job_ready_.notify_all();
    thread_.join();
}

void WorkAhead::start(int c, int first, ChannelFunction fn, SumFunction sum_fn, const ChannelKey& key,
                      const double* phase, std::int64_t count, std::int64_t per, double step) {
    if (active_ && c == channel_ && first == first_ && fn == fn_ && sum_fn == sum_fn_ && key == next_key_ &&
        same_phases(phase + first, next_phase_ + first, key.n - first) &&
        count_ - consumed_.load(std::memory_order_relaxed) >= count)
        return;
    stop();
    if (!started_ && !start_thread()) return;
    {
        std::lock_guard<std::mutex> hold(lock_);
        channel_ = c;
        first_ = first;
        fn_ = fn;
        sum_fn_ = sum_fn;
        key_ = key;
        per_ = per;
        step_ = step;
        std::memcpy(work_phase_, phase, sizeof work_phase_);
        count_ = count;
        produced_.store(0, std::memory_order_relaxed);
        consumed_.store(0, std::memory_order_relaxed);
        working_.store(-1, std::memory_order_relaxed);
        cancel_.store(false, std::memory_order_relaxed);
        busy_.store(1, std::memory_order_relaxed);
        jobs_.fetch_add(1, std::memory_order_release);
    }
    next_key_ = key;
    std::memcpy(next_phase_, phase, sizeof next_phase_);
    active_ = true;
    job_ready_.notify_all();
}

const WorkAhead::Slot* WorkAhead::next(int c, const ChannelKey& key, const double* phase, bool& ours) {
    ours = false;
    if (!active_ || c != channel_) return nullptr;
    std::int64_t i = consumed_.load(std::memory_order_relaxed);
    if (i >= count_ || !(key == next_key_) || !same_phases(phase + first_, next_phase_ + first_, key.n - first_))
        return nullptr;
    ours = true;
    if (produced_.load(std::memory_order_acquire) <= i && !finishing(i)) return nullptr;
    // The block's own record decides: the thread moves the beat by its
    // own additions and may have started again from the caller's phases.
    const Slot& slot = ring_[i % slots];
    if (!(slot.key == key) || !same_phases(slot.before + first_, phase + first_, key.n - first_)) return nullptr;
    return &slot;
}
void WorkAhead::release() {
    std::int64_t i = consumed_.load(std::memory_order_relaxed);
    std::memcpy(next_phase_, ring_[i % slots].after, sizeof next_phase_);
    next_key_ = moved(next_key_, i + 1);
    consumed_.store(i + 1, std::memory_order_release);
    consumed_.notify_one();
}

void WorkAhead::skipped(const double* phase) {
    std::int64_t i = consumed_.load(std::memory_order_relaxed);
    std::memcpy(next_phase_, phase, sizeof next_phase_);
    next_key_ = moved(next_key_, i + 1);
    std::uint64_t seq = published_.load(std::memory_order_relaxed);
    published_.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    published_index_.store(i + 1, std::memory_order_relaxed);
    published_offset_.store(next_key_.offset, std::memory_order_relaxed);
    for (int k = 0; k < max_partials; ++k) published_phase_[k].store(phase[k], std::memory_order_relaxed);
    published_.store(seq + 2, std::memory_order_release);
    consumed_.store(i + 1, std::memory_order_release);
    consumed_.notify_one();
}

void WorkAhead::stop() {
    if (!active_) return;
    cancel_.store(true, std::memory_order_release);
    consumed_.fetch_add(std::int64_t{1} << 40, std::memory_order_release);   // wakes a thread waiting for room
    consumed_.notify_one();
    wait_for(busy_, [this] { return busy_.load(std::memory_order_acquire) == 0; });
    active_ = false;
}

ChannelKey WorkAhead::moved(ChannelKey key, std::int64_t done) const {
    if (per_ > 0 && done % per_ == 0 && channel_ == 1) key.offset += step_;
    return key;
}

bool WorkAhead::finishing(std::int64_t i) {
    if (working_.load(std::memory_order_acquire) != i) return false;
    auto give_up = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
    for (int spins = 1;; ++spins) {
        if (produced_.load(std::memory_order_acquire) > i) return true;
        if (working_.load(std::memory_order_acquire) != i) return produced_.load(std::memory_order_acquire) > i;
        if (spins % 64 == 0 && std::chrono::steady_clock::now() > give_up) return false;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

bool WorkAhead::read_published(std::int64_t& index, double& offset, double* phase) const {
    std::uint64_t seq = published_.load(std::memory_order_acquire);
    if (seq & 1) return false;
    index = published_index_.load(std::memory_order_relaxed);
    offset = published_offset_.load(std::memory_order_relaxed);
    for (int k = 0; k < max_partials; ++k) phase[k] = published_phase_[k].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    return published_.load(std::memory_order_relaxed) == seq;
}

bool WorkAhead::start_thread() {
    prefault(ring_, sizeof ring_);
    prefault(caches_.cycles, sizeof caches_.cycles);
    started_ = start_quiet_thread(thread_, [this] { run(); });
    return started_;
}

void WorkAhead::run() {
    std::int64_t taken = 0;
    for (;;) {
        // A sequence's next command usually follows within microseconds.
        wait_for_briefly([&] { return jobs_.load(std::memory_order_acquire) != taken; });
        {
            std::unique_lock<std::mutex> hold(lock_);
            job_ready_.wait(hold, [&] { return jobs_.load(std::memory_order_relaxed) != taken || quit_; });
            if (quit_) return;
            taken = jobs_.load(std::memory_order_relaxed);
        }
        work();
        working_.store(-1, std::memory_order_relaxed);
        busy_.store(0, std::memory_order_release);
        busy_.notify_one();
    }
}

void WorkAhead::work() {
    ChannelKey key = key_;
    auto set_steps = [&] {
        for (int k = 0; k < max_partials; ++k) work_step_[k] = partial_step(k, key.base, key.offset);
    };
    set_steps();
    for (std::int64_t i = 0; i < count_;) {
        wait_for(consumed_, [&] {
            return cancel_.load(std::memory_order_acquire) ||
                   i - consumed_.load(std::memory_order_acquire) < slots;
        });
        if (cancel_.load(std::memory_order_acquire)) return;
        if (consumed_.load(std::memory_order_acquire) > i) {
            // Behind the caller: on from where it is.
            std::int64_t index;
            double offset, phase[max_partials];
            if (!read_published(index, offset, phase) || index <= i) continue;
            i = index;
            if (i >= count_) return;
            std::memcpy(work_phase_, phase, sizeof work_phase_);
            key.offset = offset;
            set_steps();
        }
        working_.store(i, std::memory_order_release);
        if (auto delay = delay_.load(std::memory_order_relaxed); delay > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
        Slot& slot = ring_[i % slots];
        std::memcpy(slot.before, work_phase_, sizeof slot.before);
        if (fn_) {
            std::int64_t wraps = 0;
            // The thread's own level cache and cycle, apart from the caller's.
            const std::uint16_t* samples = fn_(caches_, 2, work_phase_, key.base, key.offset, key.volume, wraps);
            std::memcpy(slot.samples, samples, sizeof slot.samples);
            slot.wraps = wraps;
        } else {
            sum_fn_(work_phase_ + first_, work_step_ + first_, first_, slot.sums);
            slot.wraps = 0;
        }
        std::memcpy(slot.after, work_phase_, sizeof slot.after);
        slot.key = key;
        produced_.store(i + 1, std::memory_order_release);
        ++i;
        ChannelKey after = moved(key, i);
        if (!(after == key)) {
            key = after;
            set_steps();
        }
    }
}

}  // namespace render
