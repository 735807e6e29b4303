// Reads a capture of the player's output and checks or measures it. The
// default stream is unsigned 8-bit stereo at 11025 frames per second; the
// high-quality one (-hq) signed 16-bit little-endian stereo at RATE.
//   stream_check match CAPTURE VOLUME HARMONICS BASE BEAT
//       the first frame from which the stream is exactly the bank's frames
//       at that volume (frame k after k + 1 advances), and how many follow
//   stream_check peaks CAPTURE [WINDOW]
//       per window of WINDOW frames (default 11025, one second): its start
//       in seconds, the strongest frequency of each channel (1 Hz steps,
//       20..1500 Hz) and the mean level
//   stream_check listen CAPTURE RATE
//       the high-quality stream's listening state, in runs of tenths of a
//       second: "binaural", "monaural" (both ears the same) or "noise"
//       (the ears differ from frame to frame), each with its start and
//       length in seconds
//   stream_check steps CAPTURE RATE SECONDS
//       over the high-quality stream's first SECONDS: the largest step
//       from one frame to the next in either ear and its frame, and the
//       lowest level of a quarter second against the loudest quarter
//       before it (1 when the level never fell) with that quarter's start
//   stream_check tail CAPTURE BITS MS
//       the level of the last MS milliseconds (8-bit at 11025 frames per
//       second, or 16-bit at 44100) in dBFS: the largest distance of a
//       sample from that stretch's own mean, so that the default stream's
//       rest level counts as the silence it is; -inf when it is constant
//   stream_check tones CAPTURE BITS RATE FROM SECONDS HZ...
//       the left ear's level at each HZ in dBFS (a sine's amplitude, from
//       the power around it), over SECONDS from FROM seconds in (FROM
//       below 0: that far before the end); -200 for nothing at all
//   stream_check phase CAPTURE HZ
//       over the last second, how far the right channel's tone at HZ runs
//       ahead of the left one's, in cycles from 0 to below 1
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "oscillator.h"
#include "spectrum.h"

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

// Prints where the tail of frames that all match begins and how long it
// is; same(k) computes frame k (in order) and says whether it matched.
template <class Same>
int print_matching_tail(std::size_t frames, Same same) {
    std::size_t first = frames;
    for (std::size_t k = 0; k < frames; ++k) {
        if (!same(k))
            first = frames;
        else if (first == frames)
            first = k;
    }
    std::printf("%zu %zu\n", first, frames - first);
    return 0;
}

int match(const std::vector<unsigned char>& s, double volume, int harmonics, double base, double beat) {
    auto table = make_sine_table(11025);
    Oscillator bank({false, 11025}, table.data(), nullptr);
    Settings settings;
    settings.volume = volume;
    settings.harmonics = harmonics;
    settings.base = base;
    settings.beat = beat;
    bank.load(settings);
    return print_matching_tail(s.size() / 2, [&](std::size_t k) {
        std::int32_t l, r;
        bank.frame(l, r);
        return l == s[2 * k] && r == s[2 * k + 1];
    });
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

// The expected high-quality frames, frame k after k + 1 advances, at a
// given volume (no ramp: the volume in force from the first frame).
struct HqExpect {
    std::vector<std::int16_t> table;
    Oscillator frame;
    HqExpect(int harmonics, double base, double beat, unsigned rate)
        : table(make_hq_table(rate)), frame({true, rate}, nullptr, table.data()) {
        Settings settings;
        settings.harmonics = harmonics;
        settings.base = base;
        settings.beat = beat;
        frame.load(settings);
    }
    // The signed sums of the next frame.
    void next(std::int32_t& left, std::int32_t& right) { frame.sums(left, right); }
};

std::vector<std::int16_t> samples16(const std::vector<unsigned char>& s) {
    std::vector<std::int16_t> v(s.size() / 2);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(s[2 * i] | (s[2 * i + 1] << 8)));
    return v;
}

int hqmatch(const std::vector<unsigned char>& bytes, double volume, int harmonics, double base, double beat,
            unsigned rate) {
    auto s = samples16(bytes);
    HqExpect e(harmonics, base, beat, rate);
    return print_matching_tail(s.size() / 2, [&](std::size_t k) {
        std::int32_t l, r;
        e.next(l, r);
        return hq_sample(l, volume) == s[2 * k] && hq_sample(r, volume) == s[2 * k + 1];
    });
}

// Frequency from the zero crossings of one channel, interpolated between
// the samples on either side, and the mean.
int hqstats(const std::vector<unsigned char>& bytes, unsigned rate, std::size_t from, std::size_t count) {
    auto s = samples16(bytes);
    if ((from + count) * 2 > s.size()) {
        std::fprintf(stderr, "the capture holds %zu frames\n", s.size() / 2);
        return 1;
    }
    for (int c = 0; c < 2; ++c) {
        double sum = 0, first = -1, last = -1;
        long rising = 0;
        for (std::size_t i = from; i < from + count; ++i) {
            double x = s[2 * i + c];
            sum += x;
            if (i > from) {
                double p = s[2 * (i - 1) + c];
                if (p < 0 && x >= 0) {   // a rising crossing between i - 1 and i
                    double t = static_cast<double>(i - 1) + (-p) / (x - p);
                    if (first < 0) first = t;
                    last = t;
                    ++rising;
                }
            }
        }
        double hz = rising > 1 ? static_cast<double>(rising - 1) * rate / (last - first) : 0;
        std::printf("%s mean %.3f frequency %.3f\n", c ? "right" : "left", sum / static_cast<double>(count), hz);
    }
    return 0;
}

int hqfade(const std::vector<unsigned char>& bytes, int harmonics, double base, double beat, unsigned rate) {
    auto s = samples16(bytes);
    HqExpect e(harmonics, base, beat, rate);
    std::size_t frames = s.size() / 2;
    int largest_step = 0;
    double largest_jump = 0;
    std::size_t jump_at = 0;
    // The volumes each sample allows: floor(half v / 100) = s gives
    // v in [100 s / half, 100 (s + 1) / half) for half > 0, mirrored below.
    double lo[2] = {0, 0}, hi[2] = {0, 0};
    bool known[2] = {false, false};
    for (std::size_t k = 0; k < frames; ++k) {
        std::int32_t sums[2];
        e.next(sums[0], sums[1]);
        for (int c = 0; c < 2; ++c) {
            int x = s[2 * k + c];
            if (k > 0) largest_step = std::max(largest_step, std::abs(x - s[2 * (k - 1) + c]));
            double half = sums[c] / 2;
            if (std::fabs(half) < 8192) {
                known[c] = false;
                continue;
            }
            double a = 100.0 * x / half, b = 100.0 * (x + 1) / half;
            double l = std::min(a, b), h = std::max(a, b);
            if (known[c] && std::max(l - hi[c], lo[c] - h) > largest_jump) {
                largest_jump = std::max(l - hi[c], lo[c] - h);
                jump_at = k;
            }
            lo[c] = l;
            hi[c] = h;
            known[c] = true;
        }
    }
    std::printf("%d %.6f %zu\n", largest_step, largest_jump, jump_at);
    return 0;
}

int compare(const std::vector<unsigned char>& produced, const std::vector<unsigned char>& monitor, std::size_t fb,
            long limit, long from) {
    // Find a stretch of the produced stream from its middle in the monitor.
    std::size_t pf = produced.size() / fb, mf = monitor.size() / fb, probe = 4096;
    if (pf < 2 * probe || mf < probe) {
        std::printf("too short\n");
        return 1;
    }
    std::size_t at = pf / 2;
    long offset = 0;   // monitor frame = produced frame + offset
    bool found = false;
    for (std::size_t m = 0; m + probe <= mf && !found; ++m)
        if (std::memcmp(&monitor[m * fb], &produced[at * fb], probe * fb) == 0) {
            offset = static_cast<long>(m) - static_cast<long>(at);
            found = true;
        }
    if (!found) {
        std::printf("not found\n");
        return 1;
    }
    long begin = std::max(0L, -offset), end = std::min(static_cast<long>(pf), static_cast<long>(mf) - offset);
    if (limit > 0) end = std::min(end, limit);
    begin = std::max(begin, from);
    long differ = 0, run = 0, longest = 0, first_differ = -1;
    for (long p = begin; p < end; ++p) {
        bool same = std::memcmp(&produced[static_cast<std::size_t>(p) * fb],
                                &monitor[static_cast<std::size_t>(p + offset) * fb], fb) == 0;
        run = same ? 0 : run + 1;
        differ += !same;
        longest = std::max(longest, run);
        if (!same && first_differ < 0) first_differ = p;
    }
    std::printf("offset %ld first %ld frames %ld differ %ld longest %ld at %ld\n", offset, begin, end - begin, differ,
                longest, first_differ);
    return 0;
}

// Silence inside a recording: the longest run of all-zero frames between
// its first and its last sounding frame.
int gaps(const std::vector<unsigned char>& rec, std::size_t fb) {
    std::size_t frames = rec.size() / fb;
    auto silent = [&](std::size_t k) {
        for (std::size_t i = 0; i < fb; ++i)
            if (rec[k * fb + i]) return false;
        return true;
    };
    std::size_t first = 0, last = frames;
    while (first < frames && silent(first)) ++first;
    while (last > first && silent(last - 1)) --last;
    std::size_t run = 0, longest = 0;
    for (std::size_t k = first; k < last; ++k) {
        run = silent(k) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    std::printf("%zu %zu %zu\n", first, last - first, longest);
    return 0;
}

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double wall() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Follows a growing capture of a steady level until a frame differs. Prints the
// frames present when it started, the first sounding frame and the wall
// time (seconds since the epoch) at which that frame was there.
int wait_sound(const char* path, std::size_t fb) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return 2;
    double start = now();
    std::fseek(f, 0, SEEK_END);
    long present = std::ftell(f) / static_cast<long>(fb);
    std::vector<unsigned char> frame(fb), silence(fb, 0);
    // The steady level is the last frame there, or else silence.
    if (present > 0) {
        std::fseek(f, (present - 1) * static_cast<long>(fb), SEEK_SET);
        if (std::fread(silence.data(), 1, fb, f) != fb) return 2;
    }
    std::fseek(f, present * static_cast<long>(fb), SEEK_SET);
    long index = present;
    while (now() - start < 20) {
        if (std::fread(frame.data(), 1, fb, f) == fb) {
            if (frame != silence) {
                std::printf("%ld %ld %.6f\n", present, index, wall());
                return 0;
            }
            ++index;
        } else {
            std::clearerr(f);
            usleep(200);
        }
    }
    std::printf("silent\n");
    return 1;
}

// Each tenth of a second is classed by the difference of the two ears: zero
// throughout is monaural; a smooth difference is the binaural pair's;
// a difference that jumps from frame to frame is independent noise.
int listen(const std::vector<unsigned char>& bytes, unsigned rate) {
    auto s = samples16(bytes);
    std::size_t window = rate / 10, frames = s.size() / 2;
    std::string current;
    std::size_t start = 0;
    auto report = [&](std::size_t end) {
        if (!current.empty())
            std::printf("%s %.1f %.1f\n", current.c_str(), static_cast<double>(start) / rate,
                        static_cast<double>(end - start) / rate);
    };
    for (std::size_t w = 0; w + window <= frames; w += window) {
        std::size_t same = 0;
        double rough = 0;
        for (std::size_t i = w; i < w + window; ++i) {
            same += s[2 * i] == s[2 * i + 1];
            if (i >= w + 2) {
                double d0 = s[2 * i] - s[2 * i + 1], d1 = s[2 * i - 2] - s[2 * i - 1], d2 = s[2 * i - 4] - s[2 * i - 3];
                rough += std::fabs(d0 - 2 * d1 + d2);
            }
        }
        rough /= static_cast<double>(window - 2);
        std::string state = same == window ? "monaural" : rough > 2000 ? "noise" : "binaural";
        if (state != current) {
            report(w);
            current = state;
            start = w;
        }
    }
    report(frames - frames % window);
    return 0;
}

// A click is a step no glide explains; a cut is a quarter second far
// quieter than one before it. Quarters count once the sound has reached
// 1 % of full scale, so a fade's first steps out of silence are no fall.
int steps(const std::vector<unsigned char>& bytes, unsigned rate, double seconds) {
    auto s = samples16(bytes);
    std::size_t frames = std::min(s.size() / 2, static_cast<std::size_t>(seconds * rate));
    int largest = 0;
    std::size_t largest_at = 0;
    for (std::size_t k = 1; k < frames; ++k)
        for (int c = 0; c < 2; ++c) {
            int step = std::abs(s[2 * k + c] - s[2 * (k - 1) + c]);
            if (step > largest) {
                largest = step;
                largest_at = k;
            }
        }
    std::size_t quarter = rate / 4;
    double loudest = 0, lowest = 1, lowest_at = 0;
    for (std::size_t w = 0; w + quarter <= frames; w += quarter) {
        double sum = 0;
        for (std::size_t i = 2 * w; i < 2 * (w + quarter); ++i) sum += static_cast<double>(s[i]) * s[i];
        double rms = std::sqrt(sum / static_cast<double>(2 * quarter));
        if (loudest >= 0.01 * 32767 && rms / loudest < lowest) {
            lowest = rms / loudest;
            lowest_at = static_cast<double>(w) / rate;
        }
        loudest = std::max(loudest, rms);
    }
    std::printf("%d %zu %.3f %.2f\n", largest, largest_at, lowest, lowest_at);
    return 0;
}

int tail(const std::vector<unsigned char>& bytes, int bits, double ms) {
    std::vector<double> v;
    if (bits == 16) {
        for (std::int16_t x : samples16(bytes)) v.push_back(x / 32768.0);
    } else {
        for (unsigned char x : bytes) v.push_back((x - 128) / 128.0);
    }
    auto n = static_cast<std::size_t>(ms / 1000 * (bits == 16 ? 44100 : 11025)) * 2;
    if (v.size() < n) {
        std::fprintf(stderr, "the capture holds less than that\n");
        return 1;
    }
    double mean = 0, peak = 0;
    for (std::size_t i = v.size() - n; i < v.size(); ++i) mean += v[i];
    mean /= static_cast<double>(n);
    for (std::size_t i = v.size() - n; i < v.size(); ++i) peak = std::max(peak, std::fabs(v[i] - mean));
    std::printf("%.1f\n", peak > 0 ? 20 * std::log10(peak) : -INFINITY);
    return 0;
}

// The left ear as signed samples, 8-bit centred on its midpoint.
int tones(const std::vector<unsigned char>& s, int bits, double rate, double from, double seconds,
          const std::vector<double>& hz) {
    const std::size_t bytes = bits == 16 ? 4 : 2;
    const auto frames = static_cast<long>(s.size() / bytes);
    long first = static_cast<long>(from * rate);
    if (first < 0) first += frames;
    const long count = static_cast<long>(seconds * rate);
    if (first < 0 || count < 8192 || first + count > frames) {
        std::fputs("stream_check tones: the capture is too short\n", stderr);
        return 1;
    }
    std::vector<double> x(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        const unsigned char* f = s.data() + static_cast<std::size_t>(first + i) * bytes;
        x[static_cast<std::size_t>(i)] = bits == 16 ? static_cast<double>(static_cast<std::int16_t>(f[0] | f[1] << 8))
                                                    : static_cast<double>(f[0]) - 128.0;
    }
    const std::size_t n = 8192;
    const std::vector<double> power = test_spectrum::power_spectrum(x, n);
    const double full = bits == 16 ? 32768.0 : 128.0, bin = rate / static_cast<double>(n);
    for (double f : hz) {
        const auto centre = static_cast<long>(std::lround(f / bin));
        double sum = 0;
        for (long k = std::max(1L, centre - 3); k <= centre + 3 && k < static_cast<long>(power.size()); ++k)
            sum += power[static_cast<std::size_t>(k)];
        // A Hann-windowed sine of amplitude A puts 3 (A n)^2 / 32 on its side.
        const double amplitude = std::sqrt(sum * 32.0 / 3.0) / static_cast<double>(n);
        std::printf("%s%.1f", &f == &hz.front() ? "" : " ", amplitude > 0 ? 20 * std::log10(amplitude / full) : -200.0);
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 8 && std::strcmp(argv[1], "tones") == 0) {
        std::vector<double> hz;
        for (int i = 7; i < argc; ++i) hz.push_back(std::atof(argv[i]));
        return tones(read_file(argv[2]), std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]),
                     std::atof(argv[6]), hz);
    }
    if (argc == 8 && std::strcmp(argv[1], "hqmatch") == 0)
        return hqmatch(read_file(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), std::atof(argv[5]),
                       std::atof(argv[6]), static_cast<unsigned>(std::atoi(argv[7])));
    if (argc == 6 && std::strcmp(argv[1], "hqstats") == 0)
        return hqstats(read_file(argv[2]), static_cast<unsigned>(std::atoi(argv[3])),
                       static_cast<std::size_t>(std::atol(argv[4])), static_cast<std::size_t>(std::atol(argv[5])));
    if (argc == 7 && std::strcmp(argv[1], "hqfade") == 0)
        return hqfade(read_file(argv[2]), std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]),
                      static_cast<unsigned>(std::atoi(argv[6])));
    if (argc >= 5 && argc <= 7 && std::strcmp(argv[1], "compare") == 0)
        return compare(read_file(argv[2]), read_file(argv[3]), static_cast<std::size_t>(std::atoi(argv[4])),
                       argc >= 6 ? std::atol(argv[5]) : 0, argc == 7 ? std::atol(argv[6]) : 0);
    if (argc == 4 && std::strcmp(argv[1], "gaps") == 0)
        return gaps(read_file(argv[2]), static_cast<std::size_t>(std::atoi(argv[3])));
    if (argc == 4 && std::strcmp(argv[1], "wait-sound") == 0)
        return wait_sound(argv[2], static_cast<std::size_t>(std::atoi(argv[3])));
    if (argc == 7 && std::strcmp(argv[1], "match") == 0)
        return match(read_file(argv[2]), std::atof(argv[3]), std::atoi(argv[4]), std::atof(argv[5]),
                     std::atof(argv[6]));
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "peaks") == 0) {
        long window = argc == 4 ? std::atol(argv[3]) : 11025;
        if (window < 100) window = 100;
        return peaks(read_file(argv[2]), static_cast<std::size_t>(window));
    }
    if (argc == 5 && std::strcmp(argv[1], "tail") == 0)
        return tail(read_file(argv[2]), std::atoi(argv[3]), std::atof(argv[4]));
    if (argc == 4 && std::strcmp(argv[1], "phase") == 0) return phase(read_file(argv[2]), std::atof(argv[3]));
    if (argc == 5 && std::strcmp(argv[1], "steps") == 0)
        return steps(read_file(argv[2]), static_cast<unsigned>(std::atoi(argv[3])), std::atof(argv[4]));
    if (argc == 4 && std::strcmp(argv[1], "listen") == 0)
        return listen(read_file(argv[2]), static_cast<unsigned>(std::atoi(argv[3])));
    std::fprintf(stderr,
                 "usage: stream_check match CAPTURE VOLUME HARMONICS BASE BEAT | peaks CAPTURE [WINDOW] | phase CAPTURE HZ\n");
    std::fprintf(stderr, "usage: stream_check match|peaks|hqmatch|hqstats|hqfade|compare|wait-sound ...\n");
    return 2;
}
