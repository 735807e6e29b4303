// Measures the background in renders, for the renderer's background tests.
//   background_probe diff WITH.wav WITHOUT.wav   the difference, sample by sample:
//       peak_hz, share (of its power within 20 Hz of the peak), rms_dbfs,
//       largest_step, sides_differ, silent_tail_frames (zero frames at the end)
//   background_probe peak FILE FROM TO            the largest |sample| in frames [FROM, TO)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sndfile.h>
#include <vector>

#include "spectrum.h"

namespace {

bool load(const char* path, std::vector<short>& samples) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path, SFM_READ, &info);
    if (!f || info.channels != 2) {
        std::fprintf(stderr, "%s: %s\n", path, f ? "not stereo" : sf_strerror(nullptr));
        if (f) sf_close(f);
        return false;
    }
    samples.resize(static_cast<std::size_t>(info.frames) * 2);
    sf_count_t got = sf_readf_short(f, samples.data(), info.frames);
    sf_close(f);
    samples.resize(static_cast<std::size_t>(got) * 2);
    return true;
}

int diff(const char* with_path, const char* without_path) {
    std::vector<short> a, b;
    if (!load(with_path, a) || !load(without_path, b) || a.size() != b.size()) return 1;
    const std::size_t frames = a.size() / 2;
    std::vector<double> left(frames);
    double power = 0;
    int step = 0;
    long sides = 0, tail = 0;
    int last[2] = {0, 0};
    for (std::size_t f = 0; f < frames; ++f) {
        int d[2];
        for (int c = 0; c < 2; ++c) {
            d[c] = a[2 * f + c] - b[2 * f + c];
            power += static_cast<double>(d[c]) * d[c];
            if (f > 0) step = std::max(step, std::abs(d[c] - last[c]));
            last[c] = d[c];
        }
        sides += d[0] != d[1];
        tail = d[0] == 0 && d[1] == 0 ? tail + 1 : 0;
        left[f] = d[0];
    }
    std::vector<double> spectrum = test_spectrum::power_spectrum(left);
    const double bin = 44100.0 / 8192.0;
    std::size_t peak = 1;
    double total = 0;
    for (std::size_t k = 1; k < spectrum.size(); ++k) {
        total += spectrum[k];
        if (spectrum[k] > spectrum[peak]) peak = k;
    }
    double near = 0;
    for (std::size_t k = 1; k < spectrum.size(); ++k)
        if (std::fabs(static_cast<double>(k) - static_cast<double>(peak)) * bin <= 20.0) near += spectrum[k];
    const double rms = std::sqrt(power / static_cast<double>(2 * frames));
    std::printf("peak_hz %.1f\nshare %.4f\nrms_dbfs %.3f\nlargest_step %d\nsides_differ %ld\nsilent_tail_frames %ld\n",
                static_cast<double>(peak) * bin, total > 0 ? near / total : 0.0,
                rms > 0 ? 20 * std::log10(rms / 32767.0) : -200.0, step, sides, tail);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "diff") == 0) return diff(argv[2], argv[3]);
    if (argc == 5 && std::strcmp(argv[1], "peak") == 0) {
        std::vector<short> s;
        if (!load(argv[2], s)) return 1;
        const std::size_t from = std::strtoul(argv[3], nullptr, 10), to = std::strtoul(argv[4], nullptr, 10);
        int peak = 0;
        for (std::size_t i = 2 * from; i < 2 * to && i < s.size(); ++i) peak = std::max(peak, std::abs(int{s[i]}));
        std::printf("%d\n", peak);
        return 0;
    }
    std::fputs("usage: background_probe diff WITH.wav WITHOUT.wav | peak FILE FROM TO\n", stderr);
    return 2;
}
