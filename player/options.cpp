#include "options.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "background_mix.h"
#include "gain.h"

#ifndef AMBRISE_SHARED_DIR
#define AMBRISE_SHARED_DIR "/usr/local/share/ambrise"
#endif
const char* const shared_sequence_dir = AMBRISE_SHARED_DIR;
#ifndef AMBRISE_BUILD_DIR
#define AMBRISE_BUILD_DIR ""
#define AMBRISE_SOURCE_EXAMPLES ""
#endif

namespace {

bool is_dir(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Both paths name the same existing directory.
bool same_dir(const char* a, const char* b) {
    struct stat sa, sb;
    return *a && *b && stat(a, &sa) == 0 && stat(b, &sb) == 0 && S_ISDIR(sa.st_mode) &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

Options parse_options(int argc, char** argv, int harmonics) {
    Options o;
    o.harmonics = harmonics;
    int pos = 1;
    while (pos < argc && argv[pos][0] == '-') {
        const char* word = argv[pos];
        if (strcasecmp(word, "-colorbox") == 0) {
            if (pos + 1 < argc && std::atoi(argv[pos + 1]) != 0) {
                o.colorbox_width = std::atoi(argv[pos + 1]);
                // Without a height word the box keeps the usual height.
                o.colorbox_height = pos + 2 < argc ? std::atoi(argv[pos + 2]) : 480;
                pos += 3;
            } else {
                o.colorbox_width = 640;
                o.colorbox_height = 480;
                pos += 1;
            }
        } else if (strcasecmp(word, "-harmonics") == 0) {
            if (pos + 1 < argc && std::atoi(argv[pos + 1]) != 0) {
                o.harmonics = std::atoi(argv[pos + 1]);
                pos += 2;
            } else {
                pos += 1;
            }
            if (o.harmonics >= 11) o.harmonics = 10;
        } else if (std::strcmp(word, "--help") == 0) {
            o.result = Options::LongHelp;
            return o;
        } else if (std::strcmp(word, "--version") == 0) {
            o.result = Options::Version;
            return o;
        } else if (strcasecmp(word, "-help") == 0 || strcasecmp(word, "-h") == 0) {
            o.result = Options::Help;
            return o;
        } else if (strcasecmp(word, "-timer") == 0) {
            if (pos + 1 >= argc || !desk::parse_timer_minutes(argv[pos + 1], o.timer_minutes)) {
                o.result = Options::BadTimer;
                o.unknown = pos + 1 < argc ? argv[pos + 1] : "";
                return o;
            }
            pos += 2;
        } else if (strcasecmp(word, "-noinhibit") == 0) {
            o.inhibit = false;
            pos += 1;
        } else if (strcasecmp(word, "-background") == 0) {
            if (pos + 1 >= argc || !*argv[pos + 1]) {
                o.result = Options::NoBackground;
                return o;
            }
            o.background = argv[pos + 1];
            pos += 2;
        } else if (strcasecmp(word, "-hq") == 0) {
            o.hq = true;
            pos += 1;
        } else {
            o.result = Options::Unknown;
            o.unknown = word;
            return o;
        }
    }
    if (pos < argc) o.sequence = argv[pos];
    return o;
}

void print_usage(std::FILE* out, const char* program) {
    std::fprintf(out, "%s [-colorbox [<x> <y>]] [-harmonics <n>] [<sequence>]\n", program);
}

void print_help(std::FILE* out, const char* program) {
    std::fprintf(out,
                 "%s [-hq] [-colorbox [<x> <y>]] [-harmonics <n>] [-timer <minutes>] [-noinhibit] [-background <file>] [<sequence>]\n"
                 "Plays binaural beats: set them with the sliders, or play a sequence file.\n"
                 "For listening, play the high-quality stream:\n"
                 "  %s -hq %s/relaxation.seq\n"
                 "  -hq                  16-bit sound at 44.1 kHz, centred, with gliding volume:\n"
                 "                       no thump at start and Quit, no click at a volume step\n"
                 "                       (without it, the historic 8-bit stream at 11025 Hz)\n"
                 "  -colorbox [<x> <y>]  a window whose colour follows the beat (640 x 480)\n"
                 "  -harmonics <n>       partials per ear, at most 10 (default 3)\n"
                 "  -timer <minutes>     fade out and quit after that long (a sleep timer)\n"
                 "  -background <file>   a sound file looped under the tone, at %g%% of its level\n"
                 "                       (a sequence's BACKGROUND lines take over while it plays)\n"
                 "  -noinhibit           let the machine suspend while sound plays\n"
                 "  -help, -h            the usage line only\n"
                 "  --help               this text\n"
                 "  --version            the program's version\n",
                 program, program, shared_sequence_dir, default_background_level);
}

void make_user_dir(const char* shared) {
    const char* home = std::getenv("HOME");
    char path[512];
    // The home path, "/.ambrise", "/public.seq" and the NUL must all fit.
    // An empty HOME is no home: the directory would land at the root.
    if (!home || !*home || std::strlen(home) > sizeof path - 21) return;
    std::snprintf(path, sizeof path, "%s/.ambrise", home);
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (mkdir(path, 0700) != 0) return;
    } else if (!is_dir(path)) {
        return;   // a file, or a dangling link: not ours to replace
    }
    std::strcat(path, "/public.seq");
    if (lstat(path, &st) == 0) {
        // A link that reaches something, or anything that is no link, stays.
        if (!S_ISLNK(st.st_mode) || stat(path, &st) == 0) return;
        unlink(path);
    }
    // Without an installed collection a link would only dangle; a failure
    // (a home that is not writable) is as silent as the rest.
    if (!is_dir(shared)) return;
    if (symlink(shared, path) != 0) return;
}

std::string dialog_pattern(const char* shared, const char* exe_dir, const char* build_dir,
                           const char* examples) {
    if (!is_dir(shared) && same_dir(exe_dir, build_dir) && is_dir(examples))
        return std::string(examples) + "/*.seq";
    return "~/.ambrise/*.seq";
}

std::string dialog_pattern() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return dialog_pattern(shared_sequence_dir, "", "", "");
    exe[n] = 0;
    if (char* slash = std::strrchr(exe, '/')) *slash = 0;
    return dialog_pattern(shared_sequence_dir, exe, AMBRISE_BUILD_DIR, AMBRISE_SOURCE_EXAMPLES);
}
