#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "checker.h"
#include "shaping.h"
#include "synth.h"
#include "interpreter.h"

namespace {

check::Report check_text(const std::string& text, const check::Options& options = {}) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    check::Report r = check::check_sequence(f, options);
    std::fclose(f);
    return r;
}

bool has(const check::Report& r, long line, long column, const std::string& part) {
    for (const auto& d : r.diagnostics)
        if (d.line == line && d.column == column && d.message.find(part) != std::string::npos) return true;
    return false;
}

struct Case {
    const char* text;
    long line, column;
    const char* message_part;
};

}  // namespace

TEST(Checker, EachWarningWithItsPlace) {
    const std::string too_long = std::string(1030, 'x') + "\n";
    const Case cases[] = {
        {"hold 5\n", 1, 1, "upper case (HOLD)"},
        {"HOLD 1\nSLDIE 8 60\n", 2, 1, "did you mean SLIDE?"},
        {"SET\t4\n", 1, 4, "a tab joins SET"},
        {"HOLD 1\r\nEND\r\n", 2, 4, "carriage return"},
        {"\n", 1, 1, "empty line"},
        {"banana\n", 1, 1, "no command word"},
        {"SET word\n", 1, 5, "'word' is not a number"},
        {"HOLD 60abc\n", 1, 6, "reads as 60"},
        {"HOLD 2.9\n", 1, 6, "cut to 2 s"},
        {"  SLIDE 5 1e1\n", 1, 11, "10 s in the player and 1 s in the renderer"},
        {"SET 41\n", 1, 5, "outside the player's slider (0 to 40 Hz)"},
        {"SLIDE -2 10\n", 1, 7, "plays 0 Hz there"},
        {"BASE 951\n", 1, 6, "0 to 950 Hz"},
        {"HARMONICS 10\n", 1, 11, "ignored by both programs"},
        {"FADE 101 3\n", 1, 6, "fade target 101"},
        {"VOLUME -1\n", 1, 8, "limited to 0 to 100"},
        {"PAUSE\n", 1, 1, "ignored by the renderer"},
        {"END\nHOLD 5\n", 2, 1, "never read"},
        {"EXIT\n\nHOLD 5\n", 3, 1, "never read"},
        {"END\n# notes stand here at no cost\nHOLD 5\n", 3, 1, "never read"},
        {"HOLD\n", 1, 5, "missing length"},
        {"FADE 50\n", 1, 8, "missing length"},
        {"SET\r\n", 1, 4, "carriage return"},
        {"\xEF\xBB\xBF" "BASE 200\n", 1, 1, "byte-order mark (BOM) before BASE"},
        {"SET\xC2\xA0" "10\n", 1, 4, "a non-breaking space joins SET"},
        {"HOLD 10\xC2\xA0\n", 1, 6, "'10<non-breaking space>' reads as 10"},
        {"\tHOLD 5\n", 1, 1, "an invisible tab before HOLD"},
        {"BAS\x01" "E 1\n", 1, 1, "'BAS<0x01>E'"},
        {"\xFF\xFEH\xC3\xA9 1\n", 1, 1, "'<0xFF><0xFE>H\xC3\xA9'"},
        {"HOLD 1,5\n", 1, 6, "write 1.5 for a decimal"},
        {"SET 7,83\n", 1, 5, "write 7.83 for a decimal"},
        {"SLIDE 7,5 60\n", 1, 7, "write 7.5 for a decimal"},
        {"FADE 0 200\n", 1, 8, "read as -56 by the player"},
        {"HOLD 10 20\n", 1, 9, "more than HOLD takes"},
        {"HOLD -3\n", 1, 6, "negative length"},
        {"SET nan\n", 1, 5, "not a finite number"},
        {"HARMONICS x\n", 1, 11, "not a whole number"},
        {too_long.c_str(), 1, 1, "longer than 1023"},
    };
    for (const Case& c : cases) {
        check::Report r = check_text(c.text);
        ASSERT_FALSE(r.diagnostics.empty()) << c.text;
        EXPECT_TRUE(has(r, c.line, c.column, c.message_part)) << c.text << " -> " << r.diagnostics[0].line << ":" << r.diagnostics[0].column << ": "
                           << r.diagnostics[0].message;
    }
}

TEST(Checker, CleanFilesAndDurations) {
    check::Report r = check_text("# a note\nBASE 200\nSET 12,\nHOLD 300\nSLIDE 8 600\nFADE 0 20\nHOLD 30\nEND\n");
    EXPECT_TRUE(r.diagnostics.empty());
    EXPECT_EQ(r.renderer_seconds, 950);
    EXPECT_EQ(r.player_seconds, 4 + 300 + 600 + 30);
    EXPECT_EQ(r.beat_min, 8);
    EXPECT_EQ(r.beat_max, 12);
    ASSERT_EQ(r.steps.size(), 4u);
    EXPECT_EQ(r.steps[1].start, 300);
    EXPECT_EQ(r.steps[1].command, "SLIDE 8 600");
    // Notes after the end are where they cost the player nothing.
    r = check_text("BASE 200\nHOLD 3\nEND\n# a note\n# another\n");
    EXPECT_TRUE(r.diagnostics.empty());
    EXPECT_EQ(r.player_seconds, 1 + 3);

    // A CRLF file reads its numbers; only the words without arguments break.
    r = check_text("SET 4\r\nHOLD 10\r\n");
    EXPECT_TRUE(r.diagnostics.empty());
    EXPECT_EQ(r.renderer_seconds, 10);

    // A long line continues on the same physical line number.
    std::string longline = "HOLD 1" + std::string(1017, ' ') + "hold 2\nbad\n";
    r = check_text(longline);
    ASSERT_GE(r.diagnostics.size(), 3u);
    EXPECT_EQ(r.diagnostics[1].line, 1);
    EXPECT_EQ(r.diagnostics[1].column, 1024);
    EXPECT_EQ(r.diagnostics[2].line, 2);

    // Binary bytes: warnings, no fault.
    std::string binary;
    for (int i = 0; i < 5000; ++i) binary += static_cast<char>((i * 7919) % 256);
    r = check_text(binary);
    EXPECT_FALSE(r.diagnostics.empty());

    std::string svg = check::plot_svg(check_text("SLIDE 20 60\nFADE 0 30\n"), "a <title> & more");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    EXPECT_NE(svg.find("a &lt;title&gt; &amp; more"), std::string::npos);
    EXPECT_NE(svg.find("<polyline"), std::string::npos);
}

TEST(Checker, WrapInTheRenderersExactMode) {
    // The largest volume without a wrap, per partial count.
    const int limits[] = {99, 66, 57, 52, 48, 46, 44, 43, 42, 41};
    for (int n = 0; n <= 9; ++n) {
        EXPECT_EQ(check::wrap_free_volume(n), limits[n]) << n;
        EXPECT_FALSE(check::exact_mode_wraps(n, limits[n]));
        EXPECT_TRUE(check::exact_mode_wraps(n, limits[n] + 1));
    }
    EXPECT_TRUE(check::exact_mode_wraps(3, -100));   // a fade below 0 wraps at the bottom

    // Blamed on the line that set the volume or the partial count last, once.
    check::Report r = check_text("VOLUME 60\nHOLD 10\nHOLD 5\n");
    ASSERT_EQ(r.warnings, 1u);
    EXPECT_TRUE(has(r, 1, 1, "volume 60 with 3 partials wraps past the 16-bit range"));
    EXPECT_NE(r.diagnostics[0].message.find("(at most 52 with 3 partials): ambrise-render --clean"),
              std::string::npos);
    r = check_text("SET 4\n  HARMONICS 5\nHOLD 10\n");
    EXPECT_TRUE(has(r, 2, 3, "volume 50 with 5 partials wraps"));
    EXPECT_TRUE(has(r, 2, 3, "at most 46"));
    r = check_text("HOLD 1\nFADE 70 10\nFADE 0 10\n");
    EXPECT_TRUE(has(r, 2, 1, "the fade reaches volume 69.8, where 3 partials wrap"));
    EXPECT_EQ(r.warnings, 1u);
    // A fade that starts too loud and goes further is a cause of its own.
    r = check_text("VOLUME 60\nFADE 80 10\nHOLD 5\nFADE 55 10\n");
    EXPECT_TRUE(has(r, 1, 1, "volume 60 with 3 partials"));
    EXPECT_TRUE(has(r, 2, 1, "the fade reaches volume 79.8"));
    EXPECT_EQ(r.warnings, 2u);
    // The last block of FADE 52.2 1 plays at 51.98, which is clean; the
    // hold after it plays at 52.2.
    EXPECT_EQ(check_text("FADE 52.2 1\n").warnings, 0u);
    EXPECT_TRUE(has(check_text("FADE 52.2 1\nHOLD 1\n"), 1, 1, "volume 52.2 with 3 partials wraps"));
    // Nothing wraps when nothing plays at that volume.
    EXPECT_EQ(check_text("VOLUME 90\nHARMONICS 7\nVOLUME 43\nHOLD 5\nVOLUME 100\nEND\n").warnings, 0u);
    EXPECT_EQ(check_text("HARMONICS 1\nVOLUME 66\nHOLD 5\nHARMONICS 9\nVOLUME 41\nSLIDE 4 5\n").warnings, 0u);
}

TEST(Checker, BoundedOnAnyInput) {
    check::Options small;
    small.max_lines = 1000;
    small.max_bytes = 20000;
    small.max_steps = 64;
    std::string holds;
    for (int i = 0; i < 900; ++i) holds += i % 2 ? "HOLD 1\n" : "hold 1\n";
    check::Report r = check_text(holds, small);
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(r.warnings, 450u);                  // counted
    EXPECT_EQ(r.diagnostics.size(), 100u);        // kept
    EXPECT_LE(r.steps.size(), 64u);               // merged for the plot
    EXPECT_EQ(r.renderer_seconds, 450);
    EXPECT_EQ(r.steps.back().start + r.steps.back().length, 450);

    r = check_text(std::string(1100, '\n'), small);
    EXPECT_TRUE(r.too_large && r.too_many_lines);
    r = check_text(std::string(30000, 'x'), small);
    EXPECT_TRUE(r.too_large && !r.too_many_lines);

    // Every step reaches the timeline, merged or not.
    int seen = 0;
    small.on_step = [&](const check::Step&) { ++seen; };
    check_text(holds, small);
    EXPECT_EQ(seen, 450);

    // A file that is not text is given up after 20 warnings.
    std::string binary = "RIFF\x24\x00\x00\x00WAVEfmt ";
    for (int i = 0; i < 5000; ++i) binary += static_cast<char>((i * 7919) % 256);
    r = check_text(binary);
    EXPECT_TRUE(r.not_text);
    EXPECT_GE(r.warnings, 20u);
    EXPECT_LT(r.warnings, 30u);
    // A few stray control bytes in a text file are no reason.
    r = check_text("HOLD 1\x01\nSET 4\x02\n" + holds);
    EXPECT_FALSE(r.not_text);

    // A read error keeps the system's reason.
    std::FILE* dir = std::fopen("/", "r");
    ASSERT_NE(dir, nullptr);
    r = check::check_sequence(dir);
    std::fclose(dir);
    EXPECT_EQ(r.read_error, EISDIR);
}

TEST(Checker, PlotScalesAndTicks) {
    // Beats of +-1e308 make a range that does not fit a double.
    std::string svg = check::plot_svg(check_text("SET 1e308\nHOLD 5\nSET -1e308\nSLIDE 1e308 5\n"), "huge");
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);

    // Time ticks fall on round clock times, value ticks on round numbers.
    svg = check::plot_svg(check_text("HOLD 37\nSLIDE 12.5 150\nHOLD 40\n"), "t");
    EXPECT_NE(svg.find(">00:01:00<"), std::string::npos);
    EXPECT_NE(svg.find(">00:03:00<"), std::string::npos);
    EXPECT_EQ(svg.find(">00:00:37<"), std::string::npos);
    EXPECT_NE(svg.find(">10<"), std::string::npos);

    // A fade past 100: drawn as the renderer plays it, the player's limit marked.
    check::Report r = check_text("FADE 150 10\nHOLD 5\n");
    EXPECT_EQ(r.volume_max, 150);
    svg = check::plot_svg(r, "loud");
    EXPECT_NE(svg.find(">150<"), std::string::npos);
    EXPECT_NE(svg.find("player stops at 100; renderer plays 150"), std::string::npos);
}

TEST(Checker, NoiseAndModeLines) {
    const Case cases[] = {
        {"NOISE pink 20\n", 1, 7, "noise colours are upper case (PINK); the noise stays as it was"},
        {"NOISE BROWNN 20\n", 1, 7, "did you mean BROWN? The noise stays as it was"},
        {"NOISE RAIN 20\n", 1, 7, "is no noise colour (WHITE, PINK, BROWN or OFF): the noise stays as it was"},
        {"MODE ISOCRONIC\n", 1, 6, "did you mean ISOCHRONIC? The mode stays as it was"},
        {"MODE monaural\n", 1, 6, "listening modes are upper case (MONAURAL); the mode stays as it was"},
        {"MODE ISOCHRONIC\r\n", 1, 16, "a carriage return (DOS line end) after ISOCHRONIC: not recognised, the mode"},
        {"NOISE PINK\t20\n", 1, 11, "a tab joins PINK to what follows: not recognised (use a space)"},
        {"NOISE WHITE 150\n", 1, 13, "noise level 150 is limited to 0 to 100"},
        {"NOISE WHITE -5\n", 1, 13, "noise level -5 is limited to 0 to 100"},
        {"NOISE WHITE nan\n", 1, 13, "noise level 'nan' reads as 0"},
        {"NOISE PINK 20%\n", 1, 12, "'20%' reads as 20"},
        {"NOISE PINK 12,5\n", 1, 12, "write 12.5 for a decimal"},
        {"NOISE\n", 1, 6, "missing noise colour: the noise stays as it was"},
        {"NOISE BROWN\n", 1, 12, "missing noise level: read as 0"},
        {"MODE\n", 1, 5, "missing listening mode: the mode stays as it was"},
        {"MODE BINAURAL 2\n", 1, 15, "more than MODE takes"},
        {"noise PINK 20\n", 1, 1, "upper case (NOISE)"},
        {"MOED ISOCHRONIC\n", 1, 1, "did you mean MODE?"},
        {"NOISE 20 pink\n", 1, 7, "the colour comes first: NOISE PINK 20; the noise stays as it was"},
        {"MODE ISOCHRONIC\nSET 0\nHOLD 5\n", 3, 1, "beat 0 Hz in ISOCHRONIC mode: the pulses stand still"},
        {"MODE ISOCHRONIC\nSET -1\nFADE 0 5\n", 3, 1, "beat -1 Hz in ISOCHRONIC mode"},
    };
    for (const Case& c : cases) {
        check::Report r = check_text(c.text);
        ASSERT_FALSE(r.diagnostics.empty()) << c.text;
        EXPECT_TRUE(has(r, c.line, c.column, c.message_part))
            << c.text << " -> " << r.diagnostics[0].line << ":" << r.diagnostics[0].column << ": "
            << r.diagnostics[0].message;
    }
    // OFF needs no level, and all of these are clean: a slide down to 0
    // pulses until it lands, and a beat of 0 stands still only in pulses.
    EXPECT_EQ(check_text("NOISE OFF\nNOISE PINK 0\nNOISE BROWN 7.5\nMODE MONAURAL\nSET 0\nHOLD 1\nMODE BINAURAL\n"
                         "HOLD 1\nMODE ISOCHRONIC\nSET 4\nSLIDE 0 5\n")
                  .warnings,
              0u);

    // No time in the renderer, a tick each in the player; settings carry
    // over, and an unknown name keeps the one before.
    check::Report r = check_text("NOISE BROWN 20\nMODE ISOCHRONIC\nHOLD 10\nNOISE pink 40\nMODE Binaural\nHOLD 5\n"
                                 "NOISE OFF\nHOLD 5\nNOISE WHITE 120\nHOLD 5\n");
    EXPECT_EQ(r.renderer_seconds, 25);
    EXPECT_EQ(r.player_seconds, 25 + 6);
    ASSERT_EQ(r.steps.size(), 4u);
    EXPECT_EQ(r.steps[0].noise, seq::NoiseColour::Brown);
    EXPECT_EQ(r.steps[0].noise_level, 20);
    EXPECT_EQ(r.steps[0].mode, seq::ListenMode::Isochronic);
    EXPECT_EQ(r.steps[1].noise, seq::NoiseColour::Brown);
    EXPECT_EQ(r.steps[1].noise_level, 20);
    EXPECT_EQ(r.steps[1].mode, seq::ListenMode::Isochronic);
    EXPECT_EQ(r.steps[2].noise_heard(), 0);
    EXPECT_EQ(r.steps[3].noise_level, 100);   // limited
    EXPECT_EQ(r.noise_max, 100);

    // The plot draws the noise level only for a sequence that has noise.
    std::string svg = check::plot_svg(r, "noise");
    EXPECT_NE(svg.find("noise (%)"), std::string::npos);
    EXPECT_EQ(check::plot_svg(check_text("HOLD 5\n"), "plain").find("noise"), std::string::npos);
}

TEST(Checker, NoiseInTheExactModesWrap) {
    // The noise's peak (level / 100 * 32767) adds to the tone's S_n/2.
    EXPECT_EQ(check::wrap_free_volume(3, 30), 45);
    EXPECT_EQ(check::wrap_free_volume(0, 100), 50);
    EXPECT_EQ(check::wrap_free_volume(3, 0), 52);
    EXPECT_EQ(check::wrap_free_noise(3, 50), 8);
    EXPECT_EQ(check::wrap_free_noise(3, 60), -1);   // the tone alone wraps
    EXPECT_TRUE(check::exact_mode_wraps(0, -60, 100));

    // The same arithmetic as the tone generators: the tone at its crest
    // (+-S_n/2), the shared noise added to it, then the exact mode's sample.
    // At the limit nothing wraps; one volume more, some samples do.
    const long crest[] = {0, 16384, 30037, 47443};   // S_n/2 for 0, 1, 3 and 9 partials
    const int partials[] = {0, 1, 3, 9};
    for (int i = 0; i < 4; ++i) {
        for (double level : {5.0, 30.0, 100.0}) {
            int limit = check::wrap_free_volume(partials[i], level);
            for (int v : {limit, limit + 1}) {
                sound::Listening listening;
                listening.colour = seq::NoiseColour::White;
                listening.level = level;
                bool wrapped = false;
                for (int frame = 0; frame < 200000 && !wrapped; ++frame) {
                    std::int32_t up = static_cast<std::int32_t>(crest[i]), down = -up;
                    listening.shape(up, down, 0.0, 44100.0, 32767);
                    double high = std::floor((32768.0 + up) * v / 100.0);
                    double low = std::floor((32768.0 + down) * v / 100.0);
                    wrapped = high > 32767.0 || low < -32768.0;
                }
                EXPECT_EQ(wrapped, v > limit) << partials[i] << " partials, noise " << level << ", volume " << v;
                EXPECT_EQ(check::exact_mode_wraps(partials[i], v, level), v > limit);
            }
        }
    }

    // Blamed on the line that made it wrap, NOISE included, once.
    check::Report r = check_text("NOISE WHITE 30\nHOLD 5\nHOLD 5\n");
    ASSERT_EQ(r.warnings, 1u);
    EXPECT_TRUE(has(r, 1, 1, "noise at 30 with 3 partials at volume 50 wraps past the 16-bit range"));
    EXPECT_TRUE(has(r, 1, 1, "(at most noise 8 at volume 50): ambrise-render --clean"));
    r = check_text("NOISE PINK 30\nVOLUME 46\nMODE MONAURAL\nHOLD 5\n");
    ASSERT_EQ(r.warnings, 1u);
    EXPECT_TRUE(has(r, 2, 1, "volume 46 with 3 partials and noise at 30 wraps"));
    EXPECT_TRUE(has(r, 2, 1, "(at most 45 with 3 partials and noise at 30)"));
    r = check_text("VOLUME 45\nNOISE BROWN 30\nHOLD 1\nFADE 60 10\n");
    ASSERT_EQ(r.warnings, 1u);
    EXPECT_TRUE(has(r, 4, 1, "the fade reaches volume 59.85, where 3 partials and noise at 30 wrap"));
    // Noise on a tone that wraps anyway is no new cause.
    EXPECT_EQ(check_text("VOLUME 60\nHOLD 1\nNOISE WHITE 10\nHOLD 1\n").warnings, 1u);
    // Noise switched off is no cause at all.
    r = check_text("VOLUME 60\nNOISE WHITE 10\nNOISE OFF\nHOLD 1\n");
    ASSERT_EQ(r.warnings, 1u);
    EXPECT_TRUE(has(r, 1, 1, "volume 60 with 3 partials wraps"));
    EXPECT_EQ(check_text("NOISE WHITE 30\nNOISE OFF\nHOLD 5\nVOLUME 45\nNOISE BROWN 30\nHOLD 5\n").warnings, 0u);
    // An unknown colour leaves the noise as it was: off, so no wrap.
    EXPECT_EQ(check_text("NOISE WHTE 30\nHOLD 5\n").warnings, 1u);
}

TEST(Checker, SharesTheRenderersRules) {
    // The crest the checker bounds the tone by is the renderer's.
    for (int n = 0; n <= render::max_harmonics; ++n)
        EXPECT_EQ(check::wrap_free_volume(n), render::highest_unwrapped_volume(n)) << n << " partials";

    // The player's length, from the same reading: PAUSE and the empty line
    // a tick each, SLIDE and HOLD by their truncated lengths, nothing after END.
    std::FILE* f = std::tmpfile();
    std::fputs("HOLD 2.5\nPAUSE\n\nSLIDE 8 10\nFADE 0 5\nEND\nHOLD 100\n", f);
    std::rewind(f);
    EXPECT_EQ(check::player_seconds(f), 2 + 1 + 1 + 10 + 1);
    std::fclose(f);
    std::FILE* dir = std::fopen("/", "r");
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(check::player_seconds(dir), -1);
    std::fclose(dir);
}
