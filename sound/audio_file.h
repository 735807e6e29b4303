// Sound files read with libsndfile (whatever it reads: WAV, FLAC, Ogg
// Vorbis, Opus, MP3), as interleaved floats in their own channels and rate.
// Everything about a file that could stop it playing is found at open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sound {

struct AudioInfo {
    std::string format;   // libsndfile's name of the container, "FLAC", "WAV", ...
    int rate = 0;
    int channels = 0;
    std::int64_t frames = 0;
    double seconds() const { return rate > 0 ? static_cast<double>(frames) / rate : 0.0; }
};

// The rates and channel counts a background may have; anything outside
// is a damaged header rather than a sound.
constexpr int min_file_rate = 1000;
constexpr int max_file_rate = 768000;
constexpr int max_file_channels = 256;

class FrameReader {
public:
    virtual ~FrameReader() = default;
    virtual const AudioInfo& info() const = 0;
    // Up to `count` frames of info().channels floats; fewer at the end or on a fault.
    virtual std::int64_t read(float* frames, std::int64_t count) = 0;
    virtual bool seek(std::int64_t frame) = 0;
};

// A file on disk, or null with "PATH: reason" in message.
std::unique_ptr<FrameReader> open_audio_file(const std::string& path, std::string& message);

// The same from bytes in memory (kept alive by the caller), named `name` in messages.
std::unique_ptr<FrameReader> open_audio_memory(const void* data, std::size_t size, const std::string& name,
                                               std::string& message);

}  // namespace sound
