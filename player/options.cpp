#include "options.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gain.h"

#ifndef AMBRISE_SHARED_DIR
#define AMBRISE_SHARED_DIR "/usr/local/share/ambrise"
#endif
const char* const shared_sequence_dir = AMBRISE_SHARED_DIR;

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

void make_user_dir() {
    const char* home = std::getenv("HOME");
    char path[512];
    // The home path, "/.ambrise", "/public.seq" and the NUL must all fit.
    // An empty HOME is no home: the directory would land at the root.
    if (!home || !*home || std::strlen(home) > sizeof path - 21) return;
    std::snprintf(path, sizeof path, "%s/.ambrise", home);
    struct stat st;
    if (lstat(path, &st) == 0) return;   // anything at all, even a dangling link
    mkdir(path, 0700);
    std::strcat(path, "/public.seq");
    if (symlink(shared_sequence_dir, path) != 0) return;
}
