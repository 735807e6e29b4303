// A background sound file under the tone: decoded in chunks, looped without
// a seam, resampled to the output rate and glided in and out. The renderer
// reads it directly; the player's decoder thread reads it into a FrameRing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio_file.h"

struct soxr;

namespace sound {

// The file at its own rate as two channels, looping forever. A file longer
// than four of them is crossfaded into its start over one second, a shorter
// one over a quarter of its length, with equal-power curves, so the loop
// plays [0, L - C) and then, again and again, the crossfade of the last C
// frames into the first C followed by [C, L - C). The C-frame head and the
// crossfade are held in memory; everything between is read from the file.
class LoopedFile {
public:
    static std::unique_ptr<LoopedFile> open(std::unique_ptr<FrameReader> reader, std::string& message);

    const AudioInfo& info() const { return reader_->info(); }
    std::int64_t crossfade_frames() const { return fade_; }
    // True once the file failed to read where it had sound: the loop then
    // skips to its crossfade, and falls silent if nothing reads at all.
    bool damaged() const { return damaged_; }

    // The next `count` frames, interleaved left and right.
    void read(float* out, std::size_t count);

private:
    enum class Part { Head, Body, Crossfade, Silent };
    explicit LoopedFile(std::unique_ptr<FrameReader> reader) : reader_(std::move(reader)) {}
    std::int64_t read_stereo(float* out, std::int64_t count);   // from the file, two channels
    bool start_body();

    std::unique_ptr<FrameReader> reader_;
    std::int64_t fade_ = 0;           // C
    std::vector<float> head_;          // the first C frames
    std::vector<float> crossfade_;     // the last C frames faded into the first C
    std::vector<float> raw_;           // one chunk in the file's channels
    Part part_ = Part::Head;
    std::int64_t at_ = 0;              // position in the current part
    std::int64_t body_read_ = 0;       // body frames this time round
    bool damaged_ = false;
};

// A looped file at the output rate: libsoxr's high quality, or the frames
// as they are when the rates agree. The same file gives the same samples.
class BackgroundSource {
public:
    // Frames the source works in; a read of any length is fine.
    static constexpr std::size_t chunk_frames = 2048;

    static std::unique_ptr<BackgroundSource> open(std::unique_ptr<FrameReader> reader, int output_rate,
                                                  std::string& message);
    static std::unique_ptr<BackgroundSource> open_file(const std::string& path, int output_rate,
                                                       std::string& message);
    ~BackgroundSource();
    BackgroundSource(const BackgroundSource&) = delete;
    BackgroundSource& operator=(const BackgroundSource&) = delete;

    const AudioInfo& info() const { return file_->info(); }
    bool damaged() const { return file_->damaged(); }
    const LoopedFile& file() const { return *file_; }

    // The next `count` frames at the output rate, interleaved left and right,
    // at the file's own level and within full scale (-1 to 1).
    void read(float* out, std::size_t count);

private:
    BackgroundSource() = default;
    std::unique_ptr<LoopedFile> file_;
    soxr* resampler_ = nullptr;   // null when the rates agree
    std::vector<float> in_;
    std::size_t in_used_ = 0, in_length_ = 0;
};

// The background's gain: every change (a level, a new file, OFF, the start)
// glides in a straight line over 50 ms, so none of them clicks.
class GainGlide {
public:
    static constexpr double glide_seconds = 0.05;

    explicit GainGlide(double rate, double gain = 0.0);
    void glide_to(double target);
    double next();   // the gain for the next frame
    double gain() const { return gain_; }
    double target() const { return target_; }
    bool settled() const { return left_ == 0; }

private:
    std::int64_t frames_;
    double gain_, target_, step_ = 0.0;
    std::int64_t left_ = 0;
};

// A background level as the mixer applies it: percent of the file's own
// level (100 is the file as it is, at volume 100).
inline double background_gain(double level_percent) { return level_percent / 100.0; }

// The text the checker's timeline shows for an opened file.
std::string describe(const AudioInfo& info);

}  // namespace sound
