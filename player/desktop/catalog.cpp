#include "catalog.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "sequence.h"

namespace desk {

namespace {

// A note is found near the top or not at all: a huge file is not read.
constexpr int title_lines = 200;
constexpr std::size_t title_length = 120;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_marker(char c) { return c == '#' || c == ';' || c == '/' || c == '%' || c == '*' || c == '-'; }

std::string trimmed(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (is_space(s[b]) || is_marker(s[b]))) ++b;
    while (e > b && (is_space(s[e - 1]) || is_marker(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

bool ends_with_seq(const char* name) {
    std::size_t n = std::char_traits<char>::length(name);
    return n > 4 && std::char_traits<char>::compare(name + n - 4, ".seq", 4) == 0;
}

}  // namespace

std::FILE* open_regular(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "r");
    if (!f) close(fd);
    return f;
}

std::string sequence_title(std::FILE* in) {
    seq::LineBuffer line;
    bool line_start = true;
    for (int n = 0; n < title_lines && seq::read_line(in, line); ++n) {
        // Only the first piece of a long line can be a command or a note.
        bool first_piece = line_start;
        line_start = line.newline;
        if (!first_piece || seq::parse_line(line).command != seq::Command::None) continue;
        std::string_view text(line.text, std::char_traits<char>::length(line.text));
        std::string t = trimmed(text);
        if (t.empty()) continue;
        if (t.size() > title_length) t = t.substr(0, title_length) + "…";
        return t;
    }
    return {};
}

std::string title_of(const std::string& path) {
    std::string title;
    if (std::FILE* f = open_regular(path.c_str())) {
        title = sequence_title(f);
        std::fclose(f);
    }
    if (!title.empty()) return title;
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".seq") == 0) name.resize(name.size() - 4);
    return name;
}

std::vector<Entry> list_collection(const std::vector<std::string>& dirs, std::size_t limit) {
    std::vector<Entry> entries;
    std::set<std::string> seen;
    for (const std::string& dir : dirs) {
        DIR* d = opendir(dir.c_str());
        if (!d) continue;
        while (dirent* e = readdir(d)) {
            if (entries.size() >= limit) break;
            if (!ends_with_seq(e->d_name)) continue;
            std::string path = dir + "/" + e->d_name;
            struct stat st;
            if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            char* real = realpath(path.c_str(), nullptr);
            bool fresh = real && seen.insert(real).second;
            std::free(real);
            if (!fresh) continue;
            entries.push_back({path, title_of(path), sequence_player_seconds(path.c_str())});
        }
        closedir(d);
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.title != b.title ? a.title < b.title : a.path < b.path; });
    return entries;
}

std::string entry_label(const Entry& e) {
    if (e.seconds < 0) return e.title;
    return e.title + " (" + seq::clock_text(e.seconds) + ")";
}

}  // namespace desk
