// The clean mode's glides and crossfades, measured on rendered frames at a
// base and beat whose phases do not come back to zero at whole seconds: no
// step or kink at a VOLUME, HARMONICS, MODE or NOISE line or along a FADE
// stands out from the steady sound's, and the exact mode keeps its
// historic jump.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interpreter.h"
#include "memory_sink.h"
#include "synth.h"

using namespace render;

namespace {

// The largest first (order 1) or second (order 2) difference of both
// channels over frames [from, to).
int largest(const MemorySink& m, std::size_t from, std::size_t to, int order) {
    int most = 0;
    for (std::size_t f = from < 2 ? 2 : from; f < to && f < m.frames(); ++f)
        for (int c = 0; c < 2; ++c) {
            int d = order == 1 ? m.word(f, c) - m.word(f - 1, c)
                               : m.word(f, c) - 2 * m.word(f - 1, c) + m.word(f - 2, c);
            most = std::max(most, std::abs(d));
        }
    return most;
}

// The change at 2 s, lasting seconds: its largest difference over the
// steady sound's on either side.
double change_over_steady(const MemorySink& m, double seconds, int order) {
    const std::size_t at = 2 * 44100, end = at + static_cast<std::size_t>((seconds + 0.3) * 44100);
    int steady = std::max(largest(m, 0, at - 10, order), largest(m, end, end + 66150, order));
    return static_cast<double>(largest(m, at - 10, end, order)) / steady;
}

const char* const start = "BASE 201.37\nSET 7.83\nVOLUME 50\nHOLD 2\n";

}  // namespace

TEST(RenderGlide, VolumeAndHarmonicsGlideInTheCleanMode) {
    struct Case {
        const char* change;
        double seconds;
    };
    for (const Case& c : {Case{"VOLUME 80\n", 0}, Case{"VOLUME 20\n", 0}, Case{"VOLUME 0\n", 0},
                          Case{"FADE 90 2\n", 2}, Case{"FADE 0 3\n", 3}, Case{"FADE 30 1\nFADE 70 1\n", 2},
                          Case{"HARMONICS 5\n", 0}, Case{"HARMONICS 1\n", 0}, Case{"HARMONICS 9\n", 0},
                          Case{"HARMONICS 1\nVOLUME 90\n", 0}}) {
        MemorySink m = render_text(std::string(start) + c.change + "HOLD 2\n", SampleMode::clean);
        if (std::string(c.change) == "VOLUME 0\n") {
            // Silence after: only the steady sound before counts.
            EXPECT_LE(largest(m, 88190, 88200 + 4410, 1), largest(m, 0, 88190, 1)) << c.change;
            continue;
        }
        EXPECT_LE(change_over_steady(m, c.seconds, 1), 1.5) << c.change;
        EXPECT_LE(change_over_steady(m, c.seconds, 2), 1.5) << c.change;
    }
}

TEST(RenderGlide, ModesAndNoiseCrossfadeInTheCleanMode) {
    // Every pair of modes, noise on, off, to another level and colour,
    // and a change of everything at once.
    struct Case {
        const char* before;
        const char* change;
    };
    const char* modes[] = {"BINAURAL", "MONAURAL", "ISOCHRONIC"};
    std::vector<Case> cases;
    std::vector<std::string> texts;
    for (const char* a : modes)
        for (const char* b : modes)
            if (a != b) texts.push_back(std::string("MODE ") + a + "\n"), texts.push_back(std::string("MODE ") + b + "\n");
    for (std::size_t i = 0; i < texts.size(); i += 2) cases.push_back({texts[i].c_str(), texts[i + 1].c_str()});
    cases.push_back({"", "NOISE PINK 20\n"});
    cases.push_back({"NOISE BROWN 20\n", "NOISE OFF\n"});
    cases.push_back({"NOISE BROWN 20\n", "NOISE BROWN 5\n"});
    cases.push_back({"NOISE BROWN 20\n", "NOISE WHITE 20\n"});
    cases.push_back({"MODE ISOCHRONIC\nNOISE PINK 10\n", "MODE MONAURAL\nNOISE OFF\nHARMONICS 5\nVOLUME 60\n"});
    for (const Case& c : cases) {
        std::string text = std::string("BASE 201.37\nSET 7.83\nVOLUME 50\n") + c.before + "HOLD 2\n" + c.change + "HOLD 2\n";
        MemorySink m = render_text(text, SampleMode::clean);
        EXPECT_LE(change_over_steady(m, 0, 1), 1.5) << c.before << c.change;
        EXPECT_LE(change_over_steady(m, 0, 2), 1.5) << c.before << c.change;
    }
}

TEST(RenderGlide, FirstBlockAtItsOwnVolumeAndTheExactModeUnchanged) {
    // The glide of a VOLUME line ends on its volume at the block's last
    // frame; a render's first block has none to glide from.
    MemorySink a = render_text("BASE 201.37\nSET 7.83\nVOLUME 80\nHOLD 1\n", SampleMode::clean);
    MemorySink b = render_text("BASE 201.37\nSET 7.83\nVOLUME 10\nVOLUME 80\nHOLD 1\n", SampleMode::clean);
    ASSERT_EQ(a.bytes, b.bytes);
    // The exact mode jumps as it always did.
    MemorySink e = render_text(std::string(start) + "VOLUME 20\nHOLD 2\n", SampleMode::exact);
    EXPECT_GT(change_over_steady(e, 0, 1), 3.0);
}
