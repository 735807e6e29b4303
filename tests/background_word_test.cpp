// The BACKGROUND line: level, path from the raw text, OFF and the faults.
#include <gtest/gtest.h>

#include <cstring>

#include "background_word.h"

namespace {

struct Read {
    bool ok;
    seq::BackgroundWord word;
    std::string message;
};

Read read(const std::string& text, std::string_view base = "/seqs", std::string_view home = "/home/ann") {
    seq::LineBuffer raw;
    std::memcpy(raw.text, text.data(), text.size());
    raw.length = text.size();
    raw.newline = !text.empty() && text.back() == '\n';
    Read r{};
    r.ok = seq::read_background(raw, seq::parse_line(raw), base, home, r.word, r.message);
    return r;
}

TEST(BackgroundWord, IsACommandWord) {
    EXPECT_EQ(seq::command_for("BACKGROUND"), seq::Command::Background);
    EXPECT_STREQ(seq::command_name(seq::Command::Background), "BACKGROUND");
    EXPECT_EQ(seq::command_for("background"), seq::Command::None);
}

TEST(BackgroundWord, PathIsTheRestOfTheLine) {
    Read r = read("BACKGROUND 30 rain, at night  on the roof.flac  \t\r\n");
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_FALSE(r.word.off);
    EXPECT_DOUBLE_EQ(r.word.level, 30.0);
    EXPECT_EQ(r.word.path, "/seqs/rain, at night  on the roof.flac");

    // Odd separators between the word, the level and the path, as the tokenizer takes them.
    r = read("BACKGROUND,,  12.5 ,, ,sea.ogg");
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_DOUBLE_EQ(r.word.level, 12.5);
    EXPECT_EQ(r.word.path, "/seqs/sea.ogg");
}

TEST(BackgroundWord, PathsResolve) {
    EXPECT_EQ(read("BACKGROUND 30 /abs/a b.wav").word.path, "/abs/a b.wav");
    EXPECT_EQ(read("BACKGROUND 30 ~/beds/surf.flac").word.path, "/home/ann/beds/surf.flac");
    EXPECT_EQ(read("BACKGROUND 30 ~/x.wav", "/seqs", "/home/ann/").word.path, "/home/ann/x.wav");
    EXPECT_EQ(read("BACKGROUND 30 ../beds/x.wav", "/seqs/").word.path, "/seqs/../beds/x.wav");
    // A sequence on standard input: relative to the working directory.
    EXPECT_EQ(read("BACKGROUND 30 beds/x.wav", "").word.path, "beds/x.wav");
    // Only "~/" is the home directory.
    EXPECT_EQ(read("BACKGROUND 30 ~ann/x.wav").word.path, "/seqs/~ann/x.wav");

    Read r = read("BACKGROUND 30 ~/x.wav", "/seqs", "");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("home"), std::string::npos);

    EXPECT_EQ(seq::sequence_directory("/a/b/c.seq"), "/a/b");
    EXPECT_EQ(seq::sequence_directory("c.seq"), ".");
    EXPECT_EQ(seq::sequence_directory("/c.seq"), "/");
    EXPECT_EQ(seq::sequence_directory("-"), "");
    EXPECT_EQ(seq::sequence_directory(""), "");
}

TEST(BackgroundWord, LevelIsReadAsNoisesLevel) {
    EXPECT_DOUBLE_EQ(read("BACKGROUND 250 a.wav").word.level, 100.0);
    EXPECT_DOUBLE_EQ(read("BACKGROUND -4 a.wav").word.level, 0.0);
    EXPECT_DOUBLE_EQ(read("BACKGROUND nan a.wav").word.level, 0.0);
    Read r = read("BACKGROUND loud a.wav");
    ASSERT_TRUE(r.ok);
    EXPECT_DOUBLE_EQ(r.word.level, 0.0);
    EXPECT_EQ(r.word.path, "/seqs/a.wav");
}

TEST(BackgroundWord, OffAndFaults) {
    Read r = read("BACKGROUND OFF\n");
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.word.off);
    EXPECT_TRUE(r.word.path.empty());
    EXPECT_TRUE(read("BACKGROUND,OFF, whatever").word.off);

    for (const char* bad : {"BACKGROUND", "BACKGROUND   \n", "BACKGROUND 30", "BACKGROUND 30 ,, \t \n"}) {
        r = read(bad);
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_FALSE(r.message.empty()) << bad;
    }
    // The text ends at a NUL, as the tokenizer reads it.
    r = read(std::string("BACKGROUND 30 a.wav\0b.wav", 25));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.word.path, "/seqs/a.wav");
}

TEST(BackgroundWord, ALineLongerThanOnePieceIsRefused) {
    std::string name(1023 - 14, 'x');
    Read r = read("BACKGROUND 30 " + name);   // fills the piece, no newline: cut
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.message.find("1023"), std::string::npos);
    r = read("BACKGROUND 30 " + name.substr(1) + "\n");   // exactly fits with its newline
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.word.path.size(), std::string("/seqs/").size() + name.size() - 1);
}

}  // namespace
