#include "wav.h"

#include <cstring>

namespace render {

namespace {

void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// "fmt " chunk: PCM, 2 channels, 44100 Hz, 176400 bytes/s, align 4, 16 bits.
void put_format(unsigned char* p) {
    static const unsigned char fmt[24] = {'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
                                          0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0, 4, 0, 16, 0};
    std::memcpy(p, fmt, sizeof fmt);
}

}  // namespace

bool needs_rf64(std::uint64_t file_size_44) { return file_size_44 > riff_size_limit; }

WavHeader wav_header(std::uint64_t file_size) {
    WavHeader h{};
    unsigned char* p = h.bytes.data();
    auto low = static_cast<std::uint32_t>(file_size);
    std::memcpy(p, "RIFF", 4);
    put32(p + 4, file_size ? low - 8 : 0);
    std::memcpy(p + 8, "WAVE", 4);
    put_format(p + 12);
    std::memcpy(p + 36, "data", 4);
    put32(p + 40, file_size ? low - 44 : 0);
    return h;
}

std::array<unsigned char, rf64_header_size> rf64_header(std::uint64_t file_size) {
    std::array<unsigned char, rf64_header_size> h{};
    unsigned char* p = h.data();
    std::uint64_t riff = file_size ? file_size - 8 : 0;
    std::uint64_t data = file_size > rf64_header_size ? file_size - rf64_header_size : 0;
    std::memcpy(p, "RF64", 4);
    put32(p + 4, 0xFFFFFFFFu);
    std::memcpy(p + 8, "WAVE", 4);
    std::memcpy(p + 12, "ds64", 4);
    put32(p + 16, 28);
    put64(p + 20, riff);
    put64(p + 28, data);
    put64(p + 36, data / 4);   // sample frames
    put32(p + 44, 0);          // no table entries
    put_format(p + 48);
    std::memcpy(p + 72, "data", 4);
    put32(p + 76, 0xFFFFFFFFu);
    return h;
}

std::array<unsigned char, rf64_header_size> junk_header(std::uint64_t file_size) {
    auto h = rf64_header(file_size);
    unsigned char* p = h.data();
    auto low = static_cast<std::uint32_t>(file_size);
    std::memcpy(p, "RIFF", 4);
    put32(p + 4, file_size ? low - 8 : 0);
    std::memcpy(p + 12, "JUNK", 4);
    std::memset(p + 20, 0, 28);
    put32(p + 76, file_size > rf64_header_size ? low - static_cast<std::uint32_t>(rf64_header_size) : 0);
    return h;
}

std::vector<unsigned char> header_bytes(bool long_form, std::uint64_t file_size) {
    if (long_form) {
        auto h = needs_rf64(file_size) ? rf64_header(file_size) : junk_header(file_size);
        return {h.begin(), h.end()};
    }
    auto h = wav_header(file_size);
    return {h.bytes.begin(), h.bytes.end()};
}

}  // namespace render
