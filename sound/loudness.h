// Loudness as a listener's player measures it (ITU-R BS.1770, EBU R128),
// through libebur128: integrated loudness (gated), loudness range, true
// peak (4x oversampled) and sample peak of 16-bit stereo at 44100 Hz, and
// the one constant gain that brings a render to a target loudness without
// taking its true peak past the limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sound {

// The targets --loudness accepts, and the true peak no gain may pass.
constexpr double loudness_lowest = -40.0;
constexpr double loudness_highest = -5.0;
constexpr double true_peak_limit_db = -1.0;

// What a meter measures; the fewer, the faster (the true peak is the dear one).
enum Measures : unsigned {
    measure_integrated = 1,
    measure_range = 2,
    measure_true_peak = 4,
    measure_sample_peak = 8,
    measure_all = 15,
};

struct Loudness {
    double integrated = -1.0 / 0.0;   // LUFS; minus infinity for silence
    double range = 0.0;               // LU
    double true_peak = 0.0;           // linear, 1 is full scale; the louder channel
    double sample_peak = 0.0;         // linear
};

// Feeds on interleaved left/right 16-bit frames. Bounded keeps a histogram
// of the blocks instead of each block's value: constant memory for any
// length, the level in steps of 0.1 dB.
//
// The true peak, 4x oversampled, costs four times the rest together; a
// render repeats itself, so each channel's peak is measured on its own, and
// a piece that repeats one seen before with the same samples before it
// (which fill the interpolation filter) is not measured again: it has the
// same peak. The result is the same as measuring everything. The loudness
// and the peaks are measured on two threads of the meter's own.
class LoudnessMeter {
public:
    explicit LoudnessMeter(unsigned measures, bool bounded = false);
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;
    ~LoudnessMeter();

    // False when libebur128 could not make its states (no memory).
    bool ok() const;
    // One piece: up to a tenth of a second, as the renderer's blocks are.
    void add(const std::int16_t* frames, std::size_t count);
    // The measures of everything added; no more may be added after.
    Loudness result();

    static constexpr std::size_t max_piece = 4410;

private:
    struct State;   // libebur128's, whose type has no name to declare
    struct Peak;
    struct Worker;
    enum Job { job_loudness, job_peaks, jobs };
    void take(int job, const std::int16_t* frames, std::size_t count);
    // Whether this meter has the job's states (the loudness, the true peaks).
    bool has_job(int job) const;
    State* state_ = nullptr;
    Peak* peak_[2] = {};
    Worker* worker_ = nullptr;
    unsigned measures_;
    bool stereo_ = false;   // a stereo state is needed
};

// Decibels of a linear level (minus infinity for 0).
double to_db(double linear);

// The gain for a target loudness: the gain the target asks for, or less
// when that would take the true peak past the limit.
struct LoudnessGain {
    double gain = 1.0;        // linear
    double reached = 0.0;     // LUFS the render reaches with it
    bool limited = false;     // by the true peak
    bool silent = false;      // nothing to measure: no gain makes it louder
};
LoudnessGain loudness_gain(const Loudness& measured, double target);

// A level as people read it, one decimal (or as many as asked) and a true
// minus sign: "−16.0".
std::string level_text(double value, int decimals = 1);

}  // namespace sound
