// The work ahead: a second thread that computes the coming blocks while the
// caller renders, owned by one render state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "block_cache.h"

namespace render {

// A channel's samples from its caches: c picks the cycle and level cache
// (0 and 1 are the caller's channels, 2 the second thread's).
using ChannelFunction = const std::uint16_t* (*)(BlockCaches&, int c, double* phase, double base, double offset,
                                                 double volume, std::int64_t& wraps);
// The sums of partials from first on (phase and step start there).
using SumFunction = void (*)(double* phase, const double* step, int first, std::int32_t* sums);

// Work on the coming blocks on a second thread while the caller renders:
// either one whole channel's samples (when both channels have to be
// computed), or the sums of one channel's upper partials (when only that
// channel has to be). A block is taken only when it was computed for the
// same key from the same phases as the caller's, so it is exactly what the
// caller would compute; anything else ends the work ahead, and the caller
// computes the channel itself.
//
// The caller never sleeps on the thread. A block that is not ready when the
// caller reaches it is computed by the caller, unless the thread is at that
// very block and about to hand it over; the thread, finding itself behind,
// starts again where the caller is. So a thread that a busy machine takes
// off its core costs the caller nothing but the block in hand.
class WorkAhead {
public:
    struct Slot {
        std::uint16_t samples[frames_per_block];
        std::int32_t sums[frames_per_block];
        double before[max_partials];   // the phases it started from
        double after[max_partials];
        std::int64_t wraps;
        ChannelKey key;   // what it was computed for
    };

    explicit WorkAhead(BlockCaches& caches) : caches_(caches) {}
    WorkAhead(const WorkAhead&) = delete;
    WorkAhead& operator=(const WorkAhead&) = delete;
    ~WorkAhead();

    // Computes channel c of count blocks from these phases: the whole
    // channel with fn, or else the sums of the partials from first on with
    // sum_fn. With per above 0 the beat (the right channel's offset) moves
    // by step after every per blocks, as a slide moves it. Work already
    // planned that goes on with this key from these phases is kept.
    void start(int c, int first, ChannelFunction fn, SumFunction sum_fn, const ChannelKey& key, const double* phase,
               std::int64_t count, std::int64_t per, double step);

    // The next block of channel c, when it is this key's from these phases
    // and the thread has it (or is about to); null otherwise. ours says
    // whether the block belongs to the work ahead: the caller then computes
    // it and hands its phases over with skipped(). A slot is handed back
    // with release().
    const Slot* next(int c, const ChannelKey& key, const double* phase, bool& ours);
    void release();
    // The caller computed the next block itself; phase is where the block
    // after it starts. The thread starts again from there.
    void skipped(const double* phase);
    // Whether the work is whole channels' samples; else sums from first() on.
    bool whole() const { return fn_ != nullptr; }
    int first() const { return first_; }
    bool working_on(int c) const { return active_ && c == channel_; }

    // Ends the work ahead and waits until the thread has let go of the job.
    void stop();

    // For tests: the thread sleeps this long before each block it computes.
    void delay(int microseconds) { delay_.store(microseconds, std::memory_order_relaxed); }

private:
    static constexpr int slots = 16;

    ChannelKey moved(ChannelKey key, std::int64_t done) const;
    bool finishing(std::int64_t i);
    bool read_published(std::int64_t& index, double& offset, double* phase) const;
    bool start_thread();
    void run();
    void work();

    BlockCaches& caches_;
    Slot ring_[slots];
    std::thread thread_;
    bool started_ = false;
    bool active_ = false;   // a job was started and not stopped (the caller's)
    double next_phase_[max_partials] = {};   // the caller's: where the next block starts
    ChannelKey next_key_;                    // and what it is computed for
    // The job: set under the lock before the thread takes it, then only read.
    std::mutex lock_;
    std::condition_variable job_ready_;
    bool quit_ = false;
    int channel_ = 0, first_ = 0;
    ChannelFunction fn_ = nullptr;
    SumFunction sum_fn_ = nullptr;
    ChannelKey key_;   // of the first block
    std::int64_t per_ = 0;
    double step_ = 0;
    std::int64_t count_ = 0;
    double work_step_[max_partials] = {};    // the thread's alone while busy
    double work_phase_[max_partials] = {};
    std::atomic<std::int64_t> produced_{0}, consumed_{0}, busy_{0}, jobs_{0};
    std::atomic<std::int64_t> working_{-1};   // the block the thread is computing
    std::atomic<bool> cancel_{false};
    // Where the caller last went on by itself, under a sequence count.
    std::atomic<std::uint64_t> published_{0};
    std::atomic<std::int64_t> published_index_{0};
    std::atomic<double> published_offset_{0.0};
    std::atomic<double> published_phase_[max_partials] = {};
    std::atomic<int> delay_{0};   // microseconds, for tests
};

}  // namespace render
