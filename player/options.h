// The player's command line and its per-user sequence directory.
#pragma once

#include <cstdio>

struct Options {
    enum Result { Run, Help, LongHelp, Version, Unknown, BadTimer };
    Result result = Run;
    int colorbox_width = 0;
    int colorbox_height = 0;
    int harmonics = 3;
    bool hq = false;                  // -hq: the high-quality stream
    double timer_minutes = 0.0;       // -timer: the sleep timer, 0 for none
    bool inhibit = true;              // -noinhibit clears it
    const char* sequence = nullptr;   // the sequence path, if one was named
    const char* unknown = nullptr;    // the word that is no option (or no length)
};

// The option loop over the arguments that the toolkit left. `harmonics`
// starts from the given value and keeps it unless -harmonics sets it.
Options parse_options(int argc, char** argv, int harmonics);

void print_usage(std::FILE* out, const char* program);

// Creates HOME/.ambrise (mode 0700) with a link public.seq to the shared
// sequences, unless something already stands at that path. Silent.
void make_user_dir();

extern const char* const shared_sequence_dir;
