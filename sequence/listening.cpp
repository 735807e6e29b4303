#include "listening.h"

namespace seq {

namespace {

struct ColourName {
    const char* text;
    NoiseColour colour;
};
constexpr ColourName colour_names[] = {
    {"OFF", NoiseColour::Off}, {"WHITE", NoiseColour::White}, {"PINK", NoiseColour::Pink}, {"BROWN", NoiseColour::Brown}};

struct ModeName {
    const char* text;
    ListenMode mode;
};
constexpr ModeName mode_names[] = {
    {"BINAURAL", ListenMode::Binaural}, {"MONAURAL", ListenMode::Monaural}, {"ISOCHRONIC", ListenMode::Isochronic}};

}  // namespace

bool noise_colour_for(std::string_view word, NoiseColour& colour) {
    for (const ColourName& c : colour_names)
        if (word == c.text) {
            colour = c.colour;
            return true;
        }
    return false;
}

bool listen_mode_for(std::string_view word, ListenMode& mode) {
    for (const ModeName& m : mode_names)
        if (word == m.text) {
            mode = m.mode;
            return true;
        }
    return false;
}

const char* noise_colour_name(NoiseColour colour) {
    for (const ColourName& c : colour_names)
        if (c.colour == colour) return c.text;
    return "";
}

const char* listen_mode_name(ListenMode mode) {
    for (const ModeName& m : mode_names)
        if (m.mode == mode) return m.text;
    return "";
}

bool read_noise(const Line& line, NoiseColour& colour, double& level) {
    NoiseColour c;
    if (!noise_colour_for(line.tokens.arg(0), c)) return false;
    colour = c;
    level = c == NoiseColour::Off ? 0.0 : noise_level(line.number(1));
    return true;
}

bool read_mode(const Line& line, ListenMode& mode) { return listen_mode_for(line.tokens.arg(0), mode); }

double noise_level(double percent) {
    if (!(percent > 0.0)) return 0.0;
    return percent > 100.0 ? 100.0 : percent;
}

}  // namespace seq
