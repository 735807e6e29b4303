// The WAV container: the canonical 44-byte RIFF/WAVE header, and the RF64
// form for outputs too long for its 32-bit sizes. A file planned that long
// keeps room for the ds64 chunk as a JUNK chunk, and is RF64 only when it
// really passed the 32-bit sizes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace render {

constexpr std::size_t wav_header_size = 44;
constexpr std::size_t rf64_header_size = 80;

// The largest file whose size fields fit 32 bits: riff_size = size - 8.
constexpr std::uint64_t riff_size_limit = 0xFFFFFFFFull + 8;

// True when a file of this many bytes (the 44-byte form's size) needs RF64.
bool needs_rf64(std::uint64_t file_size_44);

struct WavHeader {
    std::array<unsigned char, wav_header_size> bytes;
};

// The 44-byte header for a file of the given size, taken in its low 32 bits;
// a size of 0 gives the provisional header with both size fields 0.
WavHeader wav_header(std::uint64_t file_size);

// The 80-byte RF64 header (RIFF with a ds64 chunk) for a file of the given
// size; a size of 0 gives the provisional header.
std::array<unsigned char, rf64_header_size> rf64_header(std::uint64_t file_size);

// The 80-byte RIFF header with a JUNK chunk where RF64 has its ds64, for a
// file of the given size, at most riff_size_limit.
std::array<unsigned char, rf64_header_size> junk_header(std::uint64_t file_size);

// The header as a byte vector: the 44-byte form, or with the 80-byte room
// (long) the RF64 form for a file past the 32-bit sizes and the JUNK form
// for one within them.
std::vector<unsigned char> header_bytes(bool long_form, std::uint64_t file_size);

}  // namespace render
