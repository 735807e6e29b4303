#include "memory.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace desk {

namespace {

constexpr std::size_t longest_path = 4096;

// mkdir -p of the directory part of `file`, mode 0700 for what is new.
bool make_parents(const std::string& file) {
    for (std::size_t at = file.find('/', 1); at != std::string::npos; at = file.find('/', at + 1)) {
        std::string dir = file.substr(0, at);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

std::string memory_file(const char* xdg_config_home, const char* home) {
    // The base directory specification: a relative value is to be ignored.
    if (xdg_config_home && xdg_config_home[0] == '/') return std::string(xdg_config_home) + "/ambrise/last-played";
    if (home && home[0] == '/') return std::string(home) + "/.config/ambrise/last-played";
    return {};
}

std::string memory_file() { return memory_file(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")); }

bool remember_sequence(const std::string& file, const std::string& sequence) {
    if (file.empty() || sequence.empty() || sequence.size() > longest_path ||
        sequence.find('\n') != std::string::npos)
        return false;
    char* absolute = realpath(sequence.c_str(), nullptr);
    if (!absolute) return false;
    std::string path = absolute;
    std::free(absolute);
    if (!make_parents(file)) return false;
    std::string temporary = file + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    path += '\n';
    bool ok = write(fd, path.data(), path.size()) == static_cast<ssize_t>(path.size());
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), file.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string recall_sequence(const std::string& file) {
    if (file.empty()) return {};
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st;
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[longest_path + 2];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    std::size_t end = text.find('\n');
    // A name without its newline was cut short or is not ours.
    if (end == std::string::npos || end == 0 || text[0] != '/') return {};
    return text.substr(0, end);
}

}  // namespace desk
