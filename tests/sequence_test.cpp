#include <climits>
#include <clocale>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sequence.h"

using namespace seq;

namespace {

std::FILE* memory_file(const std::string& text) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

std::vector<std::string> pieces(const std::string& text) {
    std::FILE* f = memory_file(text);
    std::vector<std::string> out;
    LineBuffer line;
    while (read_line(f, line)) out.emplace_back(line.text, line.length);
    std::fclose(f);
    return out;
}

// The tokens point into the buffer, so each parsed line keeps its own.
Line parse(const std::string& text) {
    static LineBuffer buffers[64];
    static int next = 0;
    LineBuffer& b = buffers[next++ % 64];
    std::snprintf(b.text, sizeof b.text, "%s", text.c_str());
    b.length = text.size();
    return parse_line(b);
}

}  // namespace

TEST(LineReader, SplitsAtNewlinesAndEvery1023Characters) {
    EXPECT_EQ(pieces("SET 4\nHOLD 3"), (std::vector<std::string>{"SET 4\n", "HOLD 3"}));
    EXPECT_TRUE(pieces("").empty());
    EXPECT_EQ(pieces("\n\n"), (std::vector<std::string>{"\n", "\n"}));

    std::string longline = std::string(1022, ' ') + "HOLD 5\n";
    auto p = pieces(longline);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].size(), 1023u);
    EXPECT_EQ(p[1], "OLD 5\n");   // the rest of the line is a line of its own

    // Exactly 1023 characters and the newline: the newline comes alone.
    p = pieces(std::string(1023, 'x') + "\nEND\n");
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[1], "\n");
    EXPECT_EQ(p[2], "END\n");
}

TEST(Tokenizer, SeparatorsAreSpaceCommaAndNewlineOnly) {
    Line l = parse(" ,, SLIDE,,20 ,5\n");
    EXPECT_EQ(l.command, Command::Slide);
    EXPECT_EQ(l.number(0), 20.0);
    EXPECT_EQ(l.count(1), 5);
    EXPECT_EQ(l.tokens.column[0], 4u);

    EXPECT_EQ(parse("SLIDE 20,5").count(1), 5);
    EXPECT_EQ(parse("SET\t4").command, Command::None);    // a tab joins word and argument
    EXPECT_EQ(parse("END\r\n").command, Command::None);    // CR stays on the token
    EXPECT_EQ(parse("SET 4\r\n").number(0), 4.0);          // but numbers still read
    EXPECT_EQ(parse("hold 5").command, Command::None);     // case matters
    EXPECT_EQ(parse("HOLD 7 9").count(0), 7);              // extra tokens ignored
    EXPECT_EQ(parse("").tokens.count, 0);
    EXPECT_EQ(parse(" , \n").tokens.count, 0);
    EXPECT_EQ(parse("HOLD").count(0), 0);                   // a missing argument is 0
    EXPECT_EQ(parse("SET word").number(0), 0.0);

    // A NUL ends the text like the end of a C string.
    LineBuffer b;
    std::memcpy(b.text, "END\0 HOLD 5\n", 12);
    b.length = 12;
    Tokens t = tokenize(b);
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.word(), "END");
}

TEST(Tokenizer, CommandWords) {
    const char* names[] = {"SET", "VOLUME", "FADE", "BASE", "HARMONICS", "SLIDE", "HOLD", "PAUSE", "EXIT", "END"};
    for (const char* n : names) {
        Command c = command_for(n);
        EXPECT_NE(c, Command::None) << n;
        EXPECT_STREQ(command_name(c), n);
    }
    EXPECT_EQ(command_for("ENDS"), Command::None);
    EXPECT_EQ(command_for("EN"), Command::None);
    EXPECT_EQ(command_for(""), Command::None);
}

TEST(NumberReading, AtofAndAtoiSemanticsInAnyLocale) {
    // The player runs under the user's locale; a decimal comma there must
    // not change how "12.5" reads.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous ? previous : "C";
    bool german = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    EXPECT_EQ(read_number("12.5"), 12.5);
    std::setlocale(LC_ALL, saved.c_str());
    if (!german) GTEST_LOG_(INFO) << "no de_DE locale here; checked in C only";

    std::size_t used = 0;
    EXPECT_EQ(read_number("\t-3.25e1xyz", &used), -32.5);
    EXPECT_EQ(used, 8u);
    EXPECT_EQ(read_number("60abc"), 60.0);
    EXPECT_EQ(read_number("abc", &used), 0.0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(read_number("1e1"), 10.0);
    EXPECT_EQ(read_number(".5"), 0.5);
    EXPECT_EQ(read_number("+7"), 7.0);
    EXPECT_TRUE(std::isnan(read_number("nan")));
    EXPECT_TRUE(std::isinf(read_number("inf")));

    EXPECT_EQ(read_count("2.9"), 2);
    EXPECT_EQ(read_count("1e1"), 1);
    EXPECT_EQ(read_count("-4"), -4);
    EXPECT_EQ(read_count("\t+12x"), 12);
    EXPECT_EQ(read_count("x12"), 0);
    EXPECT_EQ(read_count("-"), 0);
    EXPECT_EQ(read_count("99999999999999999999"), INT_MAX);
    EXPECT_EQ(read_count("-99999999999999999999"), INT_MIN);

    EXPECT_EQ(truncate_length(10.9), 10);
    EXPECT_EQ(truncate_length(-2.5), -2);
    EXPECT_EQ(truncate_length(1e30), INT_MAX);
    EXPECT_EQ(truncate_length(std::nan("")), 0);
}
