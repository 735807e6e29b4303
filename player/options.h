// The player's command line and its per-user sequence directory.
#pragma once

#include <cstdio>
#include <string>

struct Options {
    enum Result { Run, Help, LongHelp, Version, Unknown, BadTimer, NoBackground };
    Result result = Run;
    int colorbox_width = 0;
    int colorbox_height = 0;
    int harmonics = 3;
    bool hq = false;                  // -hq: the high-quality stream
    double timer_minutes = 0.0;       // -timer: the sleep timer, 0 for none
    bool inhibit = true;              // -noinhibit clears it
    const char* background = nullptr; // -background: a sound file under the tone
    const char* sequence = nullptr;   // the sequence path, if one was named
    const char* unknown = nullptr;    // the word that is no option (or no length)
};

// The option loop over the arguments that the toolkit left. `harmonics`
// starts from the given value and keeps it unless -harmonics sets it.
Options parse_options(int argc, char** argv, int harmonics);

// The usage line of -help; --help leads with the listening stream.
void print_usage(std::FILE* out, const char* program);
void print_help(std::FILE* out, const char* program);

extern const char* const shared_sequence_dir;

// Creates HOME/.ambrise (mode 0700) unless something stands there, and
// keeps its link public.seq to the shared collection `shared`: made only
// where the collection exists, and made again when it dangles. A file of
// the user's by that name is left alone. Silent.
void make_user_dir(const char* shared = shared_sequence_dir);

// What the file dialog opens on: the per-user directory, whose link shows
// the shared collection; without an installed collection, a player run
// from its build tree (exe_dir is build_dir) opens on the tree's examples.
std::string dialog_pattern(const char* shared, const char* exe_dir, const char* build_dir,
                           const char* examples);
// The same for this program, from where it runs.
std::string dialog_pattern();
