// The renderer's block caches: the sample of every sum at one volume, and a
// channel's last blocks, repeated when its phases come back to where they
// were. Both give what the tone rules give; they only skip the work.
#pragma once

#include <cstring>

#include "tone.h"

namespace render {

// The sample for every sum a block can reach, for one mode, volume and
// partial count. A hold renders thousands of blocks at one volume, and a
// lookup is far cheaper than the division; a fade changes the volume every
// block, so the table is filled only once a volume has been seen twice in a
// row.
template <class Mode>
class LevelCache {
public:
    // The table for this volume and count, or null when not worth it yet.
    const std::uint16_t* lookup(double volume, int n) {
        bool same = std::memcmp(&volume, &last_volume_, sizeof volume) == 0 && n == last_n_;
        last_volume_ = volume;
        last_n_ = n;
        if (!same) {
            valid_ = false;
            return nullptr;
        }
        if (!valid_) {
            bound_ = bound_for(n);
            // For a fixed volume the sample is monotonic in the sum, so the
            // sums whose sample fits the word form one interval.
            unwrapped_low_ = bound_ + 1;
            unwrapped_high_ = -bound_ - 1;
            for (std::int32_t sum = -bound_; sum <= bound_; ++sum) {
                std::int32_t v = sample<Mode>(half_of(sum), volume);
                levels_[sum + bound_] = static_cast<std::uint16_t>(v);
                if (!outside_word(v)) {
                    if (sum < unwrapped_low_) unwrapped_low_ = sum;
                    unwrapped_high_ = sum;
                }
            }
            if (unwrapped_high_ < unwrapped_low_) unwrapped_low_ = unwrapped_high_ = bound_ + 1;   // all wrap
            valid_ = true;
        }
        return levels_ + bound_;
    }

    // 1 when this sum's sample (from the current table) wrapped.
    std::int64_t wrapped(std::int32_t sum) const {
        return static_cast<std::uint32_t>(sum - unwrapped_low_) >
               static_cast<std::uint32_t>(unwrapped_high_ - unwrapped_low_);
    }

private:
    static constexpr std::int32_t max_bound = bound_for(max_partials);
    // Left as it is on allocation: only the filled part is read.
    std::uint16_t levels_[2 * max_bound + 1];   // only the low 16 bits are written
    std::int32_t bound_ = 0;
    std::int32_t unwrapped_low_ = 0, unwrapped_high_ = 0;
    // No lookup has a count of 0: the first one never matches.
    double last_volume_ = 0.0;
    int last_n_ = 0;
    bool valid_ = false;
};

// What a channel's block depends on besides its phases: equal keys and
// equal phases give the same samples, wraps and following phases.
struct ChannelKey {
    int n = 0;   // none: every block has a partial or more
    bool clean = false;
    double volume = 0, base = 0, offset = 0;
    bool operator==(const ChannelKey& o) const {
        return n == o.n && clean == o.clean && std::memcmp(&volume, &o.volume, sizeof volume) == 0 &&
               std::memcmp(&base, &o.base, sizeof base) == 0 && std::memcmp(&offset, &o.offset, sizeof offset) == 0;
    }
};

inline bool same_phases(const double* a, const double* b, int n) {
    return std::memcmp(a, b, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

// The last blocks of one channel, kept so that a channel whose phases come
// back bit for bit to where they were some blocks earlier repeats those
// blocks instead of computing them again. Whole-hertz steps bring every
// phase back within a second; a phase that comes back is the proof, so
// nothing is assumed about the steps.
class ChannelCycle {
public:
    static constexpr int max_blocks = blocks_per_second;

    // The recorded block that this state starts, or -1: then the caller
    // renders into buffer() and hands the result to recorded().
    int slot(const double* phase, const ChannelKey& key) {
        int n = key.n;
        if (!(key == key_)) {
            key_ = key;
            reset();
        }
        if (period_ > 0) {
            if (same_phases(phase, pos_ == 0 ? start_ : after_[pos_ - 1], n)) return pos_;
            reset();
        }
        if (recorded_ > 0 && !same_phases(phase, after_[recorded_ - 1], n)) reset();
        if (recorded_ > 0 && same_phases(phase, start_, n)) {
            period_ = recorded_;
            pos_ = 0;
            return 0;
        }
        if (recorded_ == max_blocks) reset();
        if (recorded_ == 0) std::memcpy(start_, phase, sizeof(double) * static_cast<std::size_t>(n));
        return -1;
    }
    std::uint16_t* buffer() { return samples_[recorded_]; }
    void recorded(const double* phase, std::int64_t wraps) {
        std::memcpy(after_[recorded_], phase, sizeof(double) * static_cast<std::size_t>(key_.n));
        wraps_[recorded_] = wraps;
        ++recorded_;
    }
    // Repeats recorded block i: its samples, wraps and following phases.
    const std::uint16_t* repeat(int i, double* phase, std::int64_t& wraps) {
        std::memcpy(phase, after_[i], sizeof(double) * static_cast<std::size_t>(key_.n));
        wraps = wraps_[i];
        pos_ = i + 1 == period_ ? 0 : i + 1;
        return samples_[i];
    }

private:
    void reset() { recorded_ = period_ = pos_ = 0; }

    ChannelKey key_;
    int recorded_ = 0, period_ = 0, pos_ = 0;
    double start_[max_partials] = {};
    // Left as they are on allocation: only recorded blocks are read.
    double after_[max_blocks][max_partials];
    std::int64_t wraps_[max_blocks];
    std::uint16_t samples_[max_blocks][frames_per_block];
};

// A render state's caches: one of each per channel, and one for the
// channel the second thread computes, so that no two threads share one;
// and the samples of the channels whose upper partials came from there.
struct BlockCaches {
    LevelCache<Exact> exact_levels[3];
    LevelCache<Clean> clean_levels[3];
    ChannelCycle cycles[3];
    std::uint16_t split[2][frames_per_block];

    template <class Mode>
    LevelCache<Mode>& levels(int c) {
        if constexpr (Mode::wraps)
            return exact_levels[c];
        else
            return clean_levels[c];
    }
};

}  // namespace render
