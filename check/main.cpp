// ambrise-check: reports what in a sequence file would play otherwise than
// it reads, in the FILE:LINE:COL form editors understand.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checker.h"
#include "sequence.h"

namespace {

constexpr std::size_t max_shown = 100;   // per file; a binary file makes thousands

void usage(std::FILE* out, const char* name) {
    std::fprintf(out, "usage: %s [--timeline] [--plot OUT.svg] FILE...\n", name);
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
        } else if (a == "--plot" && i + 1 < argc) {
            plot = argv[++i];
        } else if (a == "--help" || a == "-h") {
            usage(stdout, argv[0]);
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
        usage(stderr, argv[0]);
        return 2;
    }

    int status = 0;
    for (const char* path : files) {
        std::FILE* in = std::fopen(path, "r");
        if (!in) {
            std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
            status = 2;
            continue;
        }
        check::Report r = check::check_sequence(in);
        bool read_error = std::ferror(in);
        std::fclose(in);
        if (read_error) {
            std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(EIO));
            status = 2;
            continue;
        }
        std::size_t shown = 0;
        for (const auto& d : r.diagnostics) {
            if (shown++ == max_shown) {
                std::printf("%s: %zu more warnings not shown\n", path, r.diagnostics.size() - max_shown);
                break;
            }
            std::printf("%s:%ld:%ld: warning: %s\n", path, d.line, d.column, d.message.c_str());
        }
        if (!r.diagnostics.empty() && status == 0) status = 1;
        if (timeline)
            for (const auto& s : r.steps)
                std::printf("%s  %-16s beat %6.2f  base %6.1f  volume %5.1f\n", seq::clock_text(s.start).c_str(),
                            s.command.c_str(), s.beat_from, s.base, s.volume_from);
        std::printf("%s: renderer %s, player about %s, beat %g to %g Hz\n", path,
                    seq::clock_text(r.renderer_seconds).c_str(), seq::clock_text(r.player_seconds).c_str(),
                    r.beat_min, r.beat_max);
        if (plot) {
            std::FILE* out = std::fopen(plot, "w");
            std::string svg = check::plot_svg(r, path);
            if (!out || std::fwrite(svg.data(), 1, svg.size(), out) != svg.size() || std::fclose(out) != 0) {
                std::fprintf(stderr, "%s: cannot write\n", plot);
                status = 2;
            }
            plot = nullptr;   // one picture, of the first file
        }
    }
    return status;
}
