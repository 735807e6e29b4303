#include "loudness.h"

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstring>
#include <ebur128.h>
#include <unordered_set>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace sound {

namespace {

int meter_mode(unsigned measures, bool bounded) {
    int mode = 0;
    if (measures & measure_integrated) mode |= EBUR128_MODE_I;
    if (measures & measure_range) mode |= EBUR128_MODE_LRA;
    // With the true peak, its own states see every sample value.
    if ((measures & measure_sample_peak) && !(measures & measure_true_peak)) mode |= EBUR128_MODE_SAMPLE_PEAK;
    if (bounded) mode |= EBUR128_MODE_HISTOGRAM;
    return mode;
}

// Samples before a piece that decide its true peak: more than the
// interpolation filter holds (13 at 4x).
constexpr std::size_t history = 32;

struct Key {
    std::uint64_t a, b;
    bool operator==(const Key& o) const { return a == o.a && b == o.b; }
};
struct KeyHash {
    std::size_t operator()(const Key& k) const { return static_cast<std::size_t>(k.a); }
};

// Two independent 64-bit hashes of the samples: a false match is as likely
// as a 128-bit collision.
Key key_of(const std::int16_t* s, std::size_t n) {
    std::uint64_t a = 0x9E3779B97F4A7C15ull ^ n, b = 0xD1B54A32D192ED03ull ^ n;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        std::uint64_t w;
        std::memcpy(&w, s + i, sizeof w);
        a = (a ^ w) * 0x100000001B3ull;
        a ^= a >> 29;
        b = (b + w) * 0xC2B2AE3D27D4EB4Full;
        b ^= b >> 31;
    }
    for (; i < n; ++i) {
        a = (a ^ static_cast<std::uint16_t>(s[i])) * 0x100000001B3ull;
        b = (b + static_cast<std::uint16_t>(s[i])) * 0xC2B2AE3D27D4EB4Full;
    }
    return {a, b};
}

// The filters' states decay towards values too small for a double's normal
// range after a jump, and arithmetic on those is a hundred times slower:
// measured, a checker's sampled render took twenty times as long. Flushed
// to zero, the levels differ by less than 1e-300.
class DenormalsOff {
public:
#if defined(__SSE__)
    DenormalsOff() : csr_(_mm_getcsr()) { _mm_setcsr(csr_ | 0x8040); }   // flush to zero, denormals are zero
    ~DenormalsOff() { _mm_setcsr(csr_); }

private:
    unsigned csr_;
#endif
};

}  // namespace

struct LoudnessMeter::State {
    ebur128_state* st;
};

// One channel's true peak, fed only with pieces not seen before.
struct LoudnessMeter::Peak {
    ebur128_state* st = nullptr;
    std::int16_t samples[history + max_piece] = {};   // the history, then the piece
    std::size_t held = 0;        // history samples in front
    bool fed_last = false;       // the meter's filter holds the history
    double peak = 0.0;
    std::unordered_set<Key, KeyHash> seen;
    static constexpr std::size_t max_seen = 1 << 16;

    void add(std::size_t n) {
        std::int16_t* piece = samples + history;
        Key key = key_of(samples + history - held, held + n);
        if (seen.find(key) == seen.end()) {
            // After a piece passed over, the filter is filled again from
            // its end; the peak of that call is not this piece's.
            if (!fed_last && held > 0) ebur128_add_frames_short(st, samples + history - held, held);
            ebur128_add_frames_short(st, piece, n);
            double v = 0.0;
            if (ebur128_prev_true_peak(st, 0, &v) == EBUR128_SUCCESS && v > peak) peak = v;
            if (seen.size() < max_seen) seen.insert(key);
            fed_last = true;
        } else {
            fed_last = false;
        }
        // The end of this piece, after what came before it, is the next
        // one's history.
        std::size_t keep = held + n < history ? held + n : history;
        std::memmove(samples + history - keep, piece + n - keep, keep * sizeof *samples);
        held = keep;
    }
};

// The meter's work on threads of its own, beside the caller's render: the
// loudness on one, the true peaks on another. Pieces are copied once into a
// ring of slots that both read; the caller waits only when the slower one
// is a whole ring behind. Each side wakes the other only when it sleeps, and
// then for a batch of pieces or half the ring: waking costs more than a piece.
struct LoudnessMeter::Worker {
    static constexpr int slots = 64;
    static constexpr long batch = 8;
    std::int16_t frames[slots][2 * max_piece];
    std::size_t count[slots] = {};
    long head = 0;              // pieces handed over
    long tail[jobs] = {};       // and taken by each job's thread
    bool running[jobs] = {};
    int sleepers = 0;           // threads waiting for a piece
    bool full = false;          // the caller waiting for a slot
    bool closing = false;
    std::mutex lock;
    std::condition_variable more, room;
    std::thread thread[jobs];

    long slowest() const {
        long t = head;
        for (int j = 0; j < jobs; ++j)
            if (running[j] && tail[j] < t) t = tail[j];
        return t;
    }
    void run(LoudnessMeter& meter, int job) {
        DenormalsOff quick;
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            if (tail[job] == head && !closing) {
                ++sleepers;
                more.wait(hold, [&] { return head - tail[job] >= batch || closing; });
                --sleepers;
            }
            if (tail[job] == head) return;
            int slot = static_cast<int>(tail[job] % slots);
            std::size_t n = count[slot];
            hold.unlock();
            meter.take(job, frames[slot], n);
            hold.lock();
            ++tail[job];
            if (full && head - slowest() <= slots / 2) room.notify_one();
        }
    }
    void put(const std::int16_t* f, std::size_t n) {
        std::unique_lock<std::mutex> hold(lock);
        if (head - slowest() >= slots) {
            full = true;
            room.wait(hold, [&] { return head - slowest() <= slots / 2; });
            full = false;
        }
        int slot = static_cast<int>(head % slots);
        hold.unlock();
        std::memcpy(frames[slot], f, 2 * n * sizeof *f);
        count[slot] = n;
        hold.lock();
        ++head;
        if (sleepers > 0 && head % batch == 0) more.notify_all();
    }
    void finish() {
        {
            std::lock_guard<std::mutex> hold(lock);
            closing = true;
        }
        more.notify_all();
        for (std::thread& t : thread)
            if (t.joinable()) t.join();
    }
};

LoudnessMeter::LoudnessMeter(unsigned measures, bool bounded) : measures_(measures) {
    // No stereo state when the peak states measure all that is asked.
    if (int mode = meter_mode(measures, bounded)) {
        stereo_ = true;
        if (ebur128_state* st = ebur128_init(2, 44100, mode)) state_ = new State{st};
    }
    if (measures & measure_true_peak) {
        for (Peak*& p : peak_) {
            p = new Peak;
            p->st = ebur128_init(1, 44100, EBUR128_MODE_TRUE_PEAK);
            // Only the peaks: no loudness filter on this state's samples.
            if (p->st) ebur128_set_channel(p->st, 0, EBUR128_UNUSED);
        }
    }
    if (!ok()) return;
    worker_ = new Worker;
    for (int job = 0; job < jobs; ++job) {
        if (!has_job(job)) continue;
        worker_->running[job] = true;   // before the thread, which may read it
        try {
            worker_->thread[job] = std::thread([this, job] { worker_->run(*this, job); });
        } catch (const std::system_error&) {
            worker_->running[job] = false;   // measured on the caller's thread then
        }
    }
}

LoudnessMeter::~LoudnessMeter() {
    if (worker_) worker_->finish();
    delete worker_;
    if (state_) ebur128_destroy(&state_->st);
    delete state_;
    for (Peak* p : peak_) {
        if (p && p->st) ebur128_destroy(&p->st);
        delete p;
    }
}

bool LoudnessMeter::ok() const {
    if (stereo_ != (state_ != nullptr)) return false;
    for (Peak* p : peak_)
        if (p && !p->st) return false;
    return true;
}

bool LoudnessMeter::has_job(int job) const { return job == job_loudness ? state_ != nullptr : peak_[0] != nullptr; }

void LoudnessMeter::take(int job, const std::int16_t* frames, std::size_t n) {
    if (job == job_loudness) {
        ebur128_add_frames_short(state_->st, frames, n);
        return;
    }
    for (int c = 0; c < 2; ++c) {
        std::int16_t* piece = peak_[c]->samples + history;
        for (std::size_t i = 0; i < n; ++i) piece[i] = frames[2 * i + c];
        peak_[c]->add(n);
    }
}

void LoudnessMeter::add(const std::int16_t* frames, std::size_t count) {
    if (!ok()) return;
    DenormalsOff quick;
    bool handed = false;
    for (int job = 0; job < jobs; ++job) handed = handed || worker_->running[job];
    while (count > 0) {
        std::size_t n = count < max_piece ? count : max_piece;
        if (handed) worker_->put(frames, n);
        for (int job = 0; job < jobs; ++job)
            if (!worker_->running[job] && has_job(job)) take(job, frames, n);
        frames += 2 * n;
        count -= n;
    }
}

Loudness LoudnessMeter::result() {
    Loudness r;
    if (!ok()) return r;
    worker_->finish();   // every piece measured
    for (bool& on : worker_->running) on = false;
    ebur128_state* st = state_ ? state_->st : nullptr;
    if (measures_ & measure_integrated) {
        double v;
        if (ebur128_loudness_global(st, &v) == EBUR128_SUCCESS) r.integrated = v;
    }
    if (measures_ & measure_range) {
        double v;
        if (ebur128_loudness_range(st, &v) == EBUR128_SUCCESS) r.range = v;
    }
    for (unsigned c = 0; c < 2; ++c) {
        double v = 0.0;
        // The peak states saw every distinct piece, so every sample's value.
        ebur128_state* samples = peak_[c] ? peak_[c]->st : st;
        if ((measures_ & (measure_sample_peak | measure_true_peak)) &&
            ebur128_sample_peak(samples, peak_[c] ? 0 : c, &v) == EBUR128_SUCCESS && v > r.sample_peak)
            r.sample_peak = v;
        if (peak_[c] && peak_[c]->peak > r.true_peak) r.true_peak = peak_[c]->peak;
    }
    // The oversampled peak is never below the samples'.
    if (peak_[0] && r.sample_peak > r.true_peak) r.true_peak = r.sample_peak;
    return r;
}

double to_db(double linear) { return linear > 0.0 ? 20.0 * std::log10(linear) : -HUGE_VAL; }

LoudnessGain loudness_gain(const Loudness& measured, double target) {
    LoudnessGain g;
    if (!std::isfinite(measured.integrated) || !(measured.true_peak > 0.0)) {
        g.silent = true;
        g.reached = measured.integrated;
        return g;
    }
    double wanted = target - measured.integrated;
    // The true peak scales with the gain: a constant factor on every sample.
    double room = true_peak_limit_db - to_db(measured.true_peak);
    g.limited = wanted > room;
    double db = g.limited ? room : wanted;
    g.gain = std::pow(10.0, db / 20.0);
    g.reached = measured.integrated + db;
    return g;
}

std::string level_text(double value, int decimals) {
    if (std::isinf(value)) return value < 0 ? "\u2212inf" : "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string s = text;
    // A minus only where a digit is not 0: no "−0.0".
    if (s[0] == '-' && s.find_first_not_of("-0.") != std::string::npos) s.replace(0, 1, "\u2212");
    else if (s[0] == '-') s.erase(0, 1);
    return s;
}

}  // namespace sound
