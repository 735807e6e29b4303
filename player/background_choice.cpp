#include "background_choice.h"

#include <cstdlib>

#include "background_feed.h"

namespace {

BackgroundChoice user;
BackgroundChoice from_sequence;
bool sequence_speaks = false;   // a BACKGROUND line came since the last user choice
std::string sequence_dir;
BackgroundChoice playing;
bool started = false;

// Hands what should play to the feed, only what changed.
void apply() {
    const BackgroundChoice& wanted = sequence_speaks ? from_sequence : user;
    BackgroundFeed& feed = BackgroundFeed::instance();
    if (!started || !(wanted.level == playing.level)) feed.set_level(wanted.level);
    if (!started || wanted.path != playing.path) feed.play(wanted.path);
    playing = wanted;
    started = true;
}

}  // namespace

void choose_background_file(const std::string& path) {
    user.path = path;
    sequence_speaks = false;
    apply();
}

void choose_background_level(double level) {
    user.level = level;
    sequence_speaks = false;
    apply();
}

void clear_background() {
    user.path.clear();
    sequence_speaks = false;
    apply();
}

void background_sequence_started(const char* sequence_path) {
    sequence_dir = seq::sequence_directory(sequence_path ? sequence_path : "");
    sequence_speaks = false;
}

bool background_line(const seq::LineBuffer& raw, const seq::Line& line) {
    seq::BackgroundWord word;
    std::string message;
    const char* home = std::getenv("HOME");
    if (!seq::read_background(raw, line, sequence_dir, home ? home : "", word, message)) return false;
    from_sequence.path = word.off ? std::string() : word.path;
    from_sequence.level = word.off ? playing.level : word.level;
    sequence_speaks = true;
    apply();
    return true;
}

void background_sequence_ended() {
    if (!sequence_speaks) return;
    sequence_speaks = false;
    apply();
}

const BackgroundChoice& user_background() { return user; }
const BackgroundChoice& playing_background() { return playing; }
