// Reads a capture of the player's output (unsigned 8-bit stereo at 11025
// frames per second) and checks or measures it.
//   stream_check match CAPTURE VOLUME HARMONICS BASE BEAT
//       the first frame from which the stream is exactly the bank's frames
//       at that volume (frame k after k + 1 advances), and how many follow
//   stream_check peaks CAPTURE [WINDOW]
//       per window of WINDOW frames (default 11025, one second): its start
//       in seconds, the strongest frequency of each channel (1 Hz steps,
//       20..1500 Hz) and the mean level
//   stream_check phase CAPTURE HZ
//       over the last second, how far the right channel's tone at HZ runs
//       ahead of the left one's, in cycles from 0 to below 1
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "oscillator.h"
#include "state.h"

namespace {

std::vector<unsigned char> read_file(const char* path) {
    std::vector<unsigned char> v;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::perror(path);
        std::exit(2);
    }
    unsigned char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
    std::fclose(f);
    return v;
}

int match(const std::vector<unsigned char>& s, double volume, int harmonics, double base, double beat) {
    auto table = make_sine_table(11025);
    player.volume.store(volume);
    player.harmonics.store(harmonics);
    player.base_hz.store(base);
    player.beat_hz.store(beat);
    std::size_t frames = s.size() / 2;
    std::size_t first = frames;   // first frame of the matching tail
    for (std::size_t k = 0; k < frames; ++k) {
        unsigned char l, r;
        compute_frame(table.data(), l, r);
        bool same = l == s[2 * k] && r == s[2 * k + 1];
        if (!same)
            first = frames;
        else if (first == frames)
            first = k;
    }
    std::printf("%zu %zu\n", first, frames - first);
    return 0;
}

double power(const unsigned char* s, std::size_t n, int channel, double hz, double mean) {
    double w = 2 * M_PI * hz / 11025.0, c = 0, d = 0;
    for (std::size_t i = 0; i < n; ++i) {
        double x = s[2 * i + channel] - mean;
        c += x * std::cos(w * static_cast<double>(i));
        d += x * std::sin(w * static_cast<double>(i));
    }
    return c * c + d * d;
}

int peaks(const std::vector<unsigned char>& s, std::size_t second) {
    for (std::size_t start = 0; (start + second) * 2 <= s.size(); start += second) {
        const unsigned char* p = s.data() + 2 * start;
        double mean[2] = {0, 0};
        for (std::size_t i = 0; i < second; ++i)
            for (int c = 0; c < 2; ++c) mean[c] += p[2 * i + c];
        for (double& m : mean) m /= static_cast<double>(second);
        int best[2] = {0, 0};
        for (int c = 0; c < 2; ++c) {
            double top = 0;
            for (int hz = 20; hz <= 1500; ++hz) {
                double pw = power(p, second, c, hz, mean[c]);
                if (pw > top) {
                    top = pw;
                    best[c] = hz;
                }
            }
        }
        std::printf("%.2f %d %d %.2f\n", static_cast<double>(start) / 11025, best[0], best[1], (mean[0] + mean[1]) / 2);
    }
    return 0;
}

// The fundamentals' phases, as the color box sees them, from the sound.
int phase(const std::vector<unsigned char>& s, double hz) {
    std::size_t n = 11025;
    if (s.size() < 2 * n) {
        std::fprintf(stderr, "less than a second of sound\n");
        return 2;
    }
    const unsigned char* p = s.data() + (s.size() / 2 - n) * 2;
    double w = 2 * M_PI * hz / 11025.0, angle[2];
    for (int c = 0; c < 2; ++c) {
        double cs = 0, sn = 0;
        for (std::size_t i = 0; i < n; ++i) {
            double x = p[2 * i + c];
            cs += x * std::cos(w * static_cast<double>(i));
            sn += x * std::sin(w * static_cast<double>(i));
        }
        angle[c] = std::atan2(cs, sn);   // x = sin(w i + angle)
    }
    double ahead = (angle[1] - angle[0]) / (2 * M_PI);
    std::printf("%.4f\n", ahead - std::floor(ahead));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 7 && std::strcmp(argv[1], "match") == 0)
        return match(read_file(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), std::atof(argv[5]),
                     std::atof(argv[6]));
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "peaks") == 0) {
        long window = argc == 4 ? std::atol(argv[3]) : 11025;
        if (window < 100) window = 100;
        return peaks(read_file(argv[2]), static_cast<std::size_t>(window));
    }
    if (argc == 4 && std::strcmp(argv[1], "phase") == 0) return phase(read_file(argv[2]), std::atof(argv[3]));
    std::fprintf(stderr,
                 "usage: stream_check match CAPTURE VOLUME HARMONICS BASE BEAT | peaks CAPTURE [WINDOW] | phase CAPTURE HZ\n");
    return 2;
}
