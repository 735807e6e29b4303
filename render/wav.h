// The WAV container: the canonical 44-byte RIFF/WAVE header, and the RF64
// form for outputs too long for its 32-bit sizes.
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

// The header of either form as a byte vector.
std::vector<unsigned char> header_bytes(bool rf64, std::uint64_t file_size);

}  // namespace render
