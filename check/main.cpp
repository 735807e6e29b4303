// ambrise-check: reports what in a sequence file would play otherwise than
// it reads, in the FILE:LINE:COL form editors understand.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "background_word.h"
#include "checker.h"
#include "output_file.h"
#include "loudness_estimate.h"
#include "sequence.h"

#ifndef AMBRISE_VERSION
#define AMBRISE_VERSION "2.1"
#endif

namespace {

constexpr std::size_t max_shown = 100;   // per file

void usage(std::FILE* out, const char* name) {
    std::fprintf(out, "usage: %s [--timeline] [--plot OUT.svg] FILE...\n", name);
}

void help(const char* name) {
    usage(stdout, name);
    std::fputs("Reads Ambrise sequence files as the player and the renderer do and reports\n"
               "what would play otherwise than it reads, as FILE:LINE:COL: warning: ...\n"
               "Then, per file, the length of the render, the player's length and the beat range.\n"
               "A clean file is best heard with ambrise -hq FILE, or rendered with\n"
               "ambrise-render --clean FILE OUT.flac: the default streams keep the historic sound.\n"
               "\n"
               "  --timeline      list every timed step: start, command, beat, base, volume,\n"
               "                  noise and listening mode\n"
               "  --plot OUT.svg  draw beat, volume and noise level against time, for the\n"
               "                  first FILE\n"
               "  --help          show this help and exit\n"
               "  --version       show the version and exit\n"
               "\n"
               "Exit status: 0 nothing to report, 1 warnings, 2 a file could not be read or was\n"
               "refused, a background sound file cannot be played, the plot could not be\n"
               "written, or the command line is wrong.\n",
               stdout);
}

// The picture, through a new file beside it renamed into place (so no
// reader ever sees half a picture and a failure leaves the old file whole),
// or in place for a device, a pipe or a link to one.
bool write_plot(const char* path, const std::string& text, const std::vector<struct stat>& inputs) {
    outfile::OutputFile file;
    if (file.open(path, inputs) != outfile::OutputFile::ok) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(file.fd(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    int e = errno;
    if (ok) return file.commit();
    file.abandon();
    errno = e;
    return false;
}

// Standard output written to its end, or a message and false: a closed pipe
// is a write error, as a full disk is.
bool stdout_written(const char* name) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    int e = errno ? errno : EIO;
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", name, std::strerror(e));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    bool timeline = false;
    const char* plot = nullptr;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--timeline") {
            timeline = true;
        } else if (a == "--plot") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: --plot needs the name of the picture to write: --plot OUT.svg FILE...\n",
                             argv[0]);
                return 2;
            }
            plot = argv[++i];
        } else if (a == "--help" || a == "-h") {
            help(argv[0]);
            return 0;
        } else if (a == "--version") {
            std::printf("ambrise-check %s\n", AMBRISE_VERSION);
            return 0;
        } else if (a == "--") {
            for (++i; i < argc; ++i) files.push_back(argv[i]);
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]);
            usage(stderr, argv[0]);
            return 2;
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty()) {
        if (plot) std::fprintf(stderr, "%s: --plot %s: no sequence file to plot\n", argv[0], plot);
        usage(stderr, argv[0]);
        return 2;
    }
    // A write to a closed pipe is an error to report, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);
    // The picture must not replace one of the sequences, under any name and
    // of any kind: a FIFO given twice would wait for itself forever.
    std::vector<struct stat> inputs;
    for (const char* path : files) {
        struct stat st;
        bool is_stdin = std::strcmp(path, "-") == 0;
        if ((is_stdin ? fstat(STDIN_FILENO, &st) : stat(path, &st)) != 0) continue;
        if (plot && outfile::is_one_of(plot, {st})) {
            std::fprintf(stderr, "%s: --plot %s is the sequence %s: not overwritten\n", argv[0], plot, path);
            return 2;
        }
        inputs.push_back(st);
    }

    int status = 0;
    for (const char* path : files) {
        bool is_stdin = std::strcmp(path, "-") == 0;
        std::FILE* in = is_stdin ? stdin : std::fopen(path, "r");
        if (!in) {
            std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
            status = 2;
            continue;
        }
        check::Options options;
        options.max_diagnostics = max_shown;
        options.open_background_files = true;
        options.directory = seq::sequence_directory(is_stdin ? "" : path);
        if (const char* home = std::getenv("HOME")) options.home = home;
        if (timeline)
            options.on_step = [](const check::Step& s) {
                char noise[48];
                if (s.noise == seq::NoiseColour::Off)
                    std::snprintf(noise, sizeof noise, "OFF");
                else
                    std::snprintf(noise, sizeof noise, "%s %g", seq::noise_colour_name(s.noise), s.noise_level);
                std::printf("%s  %-16s beat %6.2f  base %6.1f  volume %5.1f  noise %-9s  mode %s\n",
                            seq::clock_text(s.start).c_str(), s.command.c_str(), s.beat_from, s.base, s.volume_from,
                            noise, seq::listen_mode_name(s.mode));
            };
        if (timeline)
            options.on_background = [](std::int64_t start, const std::string& text) {
                std::printf("%s  %s\n", seq::clock_text(start).c_str(), text.c_str());
            };
        check::Report r = check::check_sequence(in, options);
        check::LoudnessEstimate loudness;
        if (r.complete()) loudness = check::estimate_loudness(in, r.renderer_seconds, max_shown, &options);
        if (!is_stdin) std::fclose(in);
        if (r.read_error) {
            std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(r.read_error));
            status = 2;
            continue;
        }
        if (r.too_large) {
            if (r.too_many_lines)
                std::fprintf(stderr, "%s: refused: more than %lld lines, far more than a sequence\n", path,
                             static_cast<long long>(options.max_lines));
            else
                std::fprintf(stderr, "%s: refused: more than %lld MiB, far more than a sequence\n", path,
                             static_cast<long long>(options.max_bytes >> 20));
            status = 2;
            continue;
        }
        std::size_t limit = r.not_text ? options.binary_warnings : max_shown;
        std::size_t shown = 0;
        for (const auto& d : r.diagnostics) {
            if (shown++ == limit) break;
            std::printf("%s:%ld:%ld: %s: %s\n", path, d.line, d.column, d.error ? "error" : "warning",
                        d.message.c_str());
        }
        if (r.errors > 0) status = 2;
        if (r.not_text) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: not a sequence file? stopped after %zu warnings\n", path,
                         options.binary_warnings);
            status = 2;
            continue;
        }
        for (const auto& d : loudness.diagnostics)
            std::printf("%s:%ld:%ld: warning: %s\n", path, d.line, d.column, d.message.c_str());
        if (loudness.warnings > loudness.diagnostics.size())
            std::printf("%s: %zu more saturating lines not shown\n", path,
                        loudness.warnings - loudness.diagnostics.size());
        if ((r.warnings > 0 || loudness.warnings > 0) && status == 0) status = 1;
        if (r.warnings > limit) std::printf("%s: %zu more warnings not shown\n", path, r.warnings - limit);
        std::printf("%s: renderer %s, player about %s, beat %g to %g Hz%s\n", path,
                    seq::clock_text(r.renderer_seconds).c_str(), seq::clock_text(r.player_seconds).c_str(),
                    r.beat_min, r.beat_max, check::loudness_summary(loudness).c_str());
        if (plot) {
            std::fflush(stdout);
            if (!write_plot(plot, check::plot_svg(r, path), inputs)) {
                std::fprintf(stderr, "%s: cannot write: %s\n", plot, std::strerror(errno));
                status = 2;
            }
            plot = nullptr;   // one picture, of the first file
        }
    }
    if (plot) {
        std::fprintf(stderr, "%s: not written: no sequence was checked to its end\n", plot);
        status = 2;
    }
    if (!stdout_written(argv[0])) status = 2;
    return status;
}
