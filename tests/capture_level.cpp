// Levels of a capture of the player's high-quality stream (signed 16-bit
// little-endian stereo), in dBFS of the louder ear; -200 for digital
// silence.
//   capture_level tail CAPTURE FRAMES      the peak of the last FRAMES frames
//   capture_level windows CAPTURE FRAMES   each window's start frame and peak
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double dbfs(int peak) { return peak == 0 ? -200.0 : 20.0 * std::log10(peak / 32768.0); }

int peak_of(const std::vector<short>& s, std::size_t from, std::size_t to) {
    int peak = 0;
    for (std::size_t i = 2 * from; i < 2 * to; ++i) peak = std::max(peak, std::abs(static_cast<int>(s[i])));
    return peak;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: capture_level tail|windows CAPTURE FRAMES\n", stderr);
        return 2;
    }
    std::FILE* f = std::fopen(argv[2], "rb");
    if (!f) {
        std::perror(argv[2]);
        return 2;
    }
    std::size_t frames_wanted = static_cast<std::size_t>(std::max(1L, std::atol(argv[3])));
    std::vector<short> s;
    if (std::strcmp(argv[1], "tail") == 0) {
        // Only the tail of a capture that may be long and still growing.
        std::fseek(f, 0, SEEK_END);
        long size = std::ftell(f) / 4 * 4;
        long from = std::max(0L, size - static_cast<long>(frames_wanted * 4));
        std::fseek(f, from, SEEK_SET);
        s.resize(static_cast<std::size_t>(size - from) / 2);
        s.resize(std::fread(s.data(), 2, s.size(), f) / 2 * 2);
        std::fclose(f);
        std::printf("%.2f\n", s.empty() ? -200.0 : dbfs(peak_of(s, 0, s.size() / 2)));
        return 0;
    }
    short buffer[8192];
    std::size_t n;
    while ((n = std::fread(buffer, 2, 8192, f)) > 0) s.insert(s.end(), buffer, buffer + n);
    std::fclose(f);
    std::size_t frames = s.size() / 2;
    for (std::size_t w = 0; w + frames_wanted <= frames; w += frames_wanted)
        std::printf("%zu %.2f\n", w, dbfs(peak_of(s, w, w + frames_wanted)));
    return 0;
}
