// The renderer's outputs behind one interface: its own WAV/RF64 writer and
// the compressed formats through libsndfile. A file and standard output are
// the same to both: a descriptor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "writer.h"

namespace render {

enum class Format { wav, flac, ogg, opus, mp3 };

// The format of a name as --format takes it (wav, flac, ogg, opus, mp3),
// in any letter case.
bool format_for_name(std::string_view name, Format& format);
// The format of an output path by its extension, any letter case; WAV for
// any other extension.
Format format_for_path(std::string_view path);
const char* format_name(Format format);

class Output : public FrameSink {
public:
    // Completes the output after what was committed: the header for what
    // was written, the encoder's last pages. False when a write failed.
    virtual bool finish() = 0;
    // errno of the first failed write, or 0.
    virtual int error() const = 0;
};

// The frames of that many blocks, or the largest count when they overflow:
// a length too long to state is declared the longest.
std::uint64_t frames_of_blocks(std::int64_t blocks);

// The WAV file, with room for RF64 when total_frames (the length the dry pass found) is
// past the 32-bit sizes. The header carries the final sizes from the start,
// so a stream is complete as written; an output that can seek (appended to
// or not) is patched at the end to what was actually written, in the RIFF
// form when that fits the 32-bit sizes.
std::unique_ptr<Output> wav_output(int fd, std::uint64_t total_frames);

// A compressed format through libsndfile, or null with a message when it
// cannot be written.
std::unique_ptr<Output> sndfile_output(int fd, Format format, std::string& message);

// Whether libsndfile here can write the format; a message when it cannot.
bool format_supported(Format format, std::string& message);

}  // namespace render
