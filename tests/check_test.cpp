#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "checker.h"

namespace {

check::Report check_text(const std::string& text) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    check::Report r = check::check_sequence(f);
    std::fclose(f);
    return r;
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
        {"HOLD\n", 1, 6, "missing length"},
        {"FADE 50\n", 1, 9, "missing length"},
        {"HOLD 10 20\n", 1, 9, "more than HOLD takes"},
        {"HOLD -3\n", 1, 6, "negative length"},
        {"SET nan\n", 1, 5, "not a finite number"},
        {"HARMONICS x\n", 1, 11, "not a whole number"},
        {too_long.c_str(), 1, 1, "longer than 1023"},
    };
    for (const Case& c : cases) {
        check::Report r = check_text(c.text);
        ASSERT_FALSE(r.diagnostics.empty()) << c.text;
        bool found = false;
        for (const auto& d : r.diagnostics)
            if (d.line == c.line && d.column == c.column && d.message.find(c.message_part) != std::string::npos)
                found = true;
        EXPECT_TRUE(found) << c.text << " -> " << r.diagnostics[0].line << ":" << r.diagnostics[0].column << ": "
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
