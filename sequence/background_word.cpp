#include "background_word.h"

#include "listening.h"

namespace seq {

namespace {

bool is_trailing_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool read_background(const LineBuffer& raw, const Line& line, std::string_view base_dir, std::string_view home,
                     BackgroundWord& word, std::string& message) {
    const std::string_view level = line.tokens.arg(0);
    if (level.empty()) {
        message = "BACKGROUND needs a level and a file, or OFF";
        return false;
    }
    if (level == "OFF") {
        word = BackgroundWord{true, 0.0, {}};
        return true;
    }
    if (!raw.newline && raw.length >= line_capacity - 1) {
        message = "BACKGROUND line is longer than 1023 characters: its file name would be cut";
        return false;
    }
    // The text as the tokenizer saw it: up to the first NUL.
    std::size_t end = 0;
    while (end < raw.length && raw.text[end] != '\0') ++end;
    std::size_t start = line.tokens.column[1] + level.size();
    while (start < end && is_separator(raw.text[start])) ++start;
    while (end > start && is_trailing_space(raw.text[end - 1])) --end;
    std::string_view path(raw.text + start, end - start);
    if (path.empty()) {
        message = "BACKGROUND needs a file after its level";
        return false;
    }

    std::string resolved;
    if (path.substr(0, 2) == "~/") {
        if (home.empty()) {
            message = "BACKGROUND file starts with ~/ but there is no home directory";
            return false;
        }
        resolved.assign(home);
        if (resolved.back() == '/') resolved.pop_back();
        resolved.append(path.substr(1));
    } else if (path.front() != '/' && !base_dir.empty()) {
        resolved.assign(base_dir);
        if (resolved.back() != '/') resolved.push_back('/');
        resolved.append(path);
    } else {
        resolved.assign(path);
    }
    word = BackgroundWord{false, noise_level(line.number(0)), std::move(resolved)};
    return true;
}

std::string sequence_directory(std::string_view sequence_path) {
    if (sequence_path.empty() || sequence_path == "-") return "";
    std::size_t slash = sequence_path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(sequence_path.substr(0, slash));
}

}  // namespace seq
