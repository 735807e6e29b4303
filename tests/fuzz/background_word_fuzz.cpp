// Fuzz target for BACKGROUND lines: any bytes read as lines must give a
// level within 0..100 and a path without its line's end, or a message.
#include <cstdint>
#include <cstdio>

#include "background_word.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (!in) return 0;
    seq::LineBuffer raw;
    while (seq::read_line(in, raw)) {
        // Every line, whatever its word: the reader relies on nothing else.
        seq::Line line = seq::parse_line(raw);
        for (const char* base : {"/seqs", ""}) {
            seq::BackgroundWord word;
            std::string message;
            if (!seq::read_background(raw, line, base, "/home/ann", word, message)) {
                if (message.empty()) __builtin_trap();
                continue;
            }
            if (!(word.level >= 0.0 && word.level <= 100.0)) __builtin_trap();
            if (word.off) continue;
            if (word.path.empty() || word.path.size() > seq::line_capacity + 16) __builtin_trap();
            char last = word.path.back();
            if (last == ' ' || last == '\n' || last == '\t' || last == '\r') __builtin_trap();
            if (word.path.find('\0') != std::string::npos) __builtin_trap();
        }
    }
    std::fclose(in);
    return 0;
}
