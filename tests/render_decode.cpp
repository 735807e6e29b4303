// Decodes a rendered file with libsndfile for the renderer's tests.
//   render_decode FILE         frames, rate and channels
//   render_decode FILE raw     the samples as 16-bit little-endian words on standard output
//   render_decode FILE stats   per channel: mean, smallest and largest sample, largest step
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sndfile.h>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    SF_INFO info{};
    SNDFILE* f = sf_open(argv[1], SFM_READ, &info);
    if (!f) {
        std::fprintf(stderr, "%s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    const char* what = argc > 2 ? argv[2] : "";
    if (!*what) {
        std::printf("%lld %d %d\n", static_cast<long long>(info.frames), info.samplerate, info.channels);
        sf_close(f);
        return 0;
    }
    int ch = info.channels;
    std::vector<short> buf(static_cast<std::size_t>(4096 * ch));
    std::vector<double> sum(ch, 0);
    std::vector<int> low(ch, 32767), high(ch, -32768), step(ch, 0), last(ch, 0);
    long long frames = 0;
    sf_count_t n;
    while ((n = sf_readf_short(f, buf.data(), 4096)) > 0) {
        if (std::strcmp(what, "raw") == 0) {
            for (sf_count_t i = 0; i < n * ch; ++i) {
                auto w = static_cast<std::uint16_t>(buf[static_cast<std::size_t>(i)]);
                std::putchar(w & 0xff);
                std::putchar(w >> 8);
            }
            continue;
        }
        for (sf_count_t i = 0; i < n; ++i, ++frames)
            for (int c = 0; c < ch; ++c) {
                int v = buf[static_cast<std::size_t>(i * ch + c)];
                sum[c] += v;
                if (v < low[c]) low[c] = v;
                if (v > high[c]) high[c] = v;
                int d = v > last[c] ? v - last[c] : last[c] - v;
                if (frames > 0 && d > step[c]) step[c] = d;
                last[c] = v;
            }
    }
    if (std::strcmp(what, "stats") == 0)
        for (int c = 0; c < ch; ++c)
            std::printf("%.1f %d %d %d\n", frames ? sum[c] / static_cast<double>(frames) : 0.0, low[c], high[c], step[c]);
    sf_close(f);
    return 0;
}
