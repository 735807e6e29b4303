#include "output_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace outfile {

namespace {

bool same(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool among(const struct stat& st, const std::vector<struct stat>& files) {
    for (const struct stat& f : files)
        if (same(st, f)) return true;
    return false;
}

// The path a name leads to, its symbolic links followed. The links under
// /proc (/dev/stdout leads there) name a descriptor, not a file a new one
// could replace: at one of them it stops, and the output is written there.
std::string resolve(const char* path, bool& in_place) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        if (p.rfind("/proc/", 0) == 0) {
            in_place = true;
            break;
        }
        struct stat l;
        char to[PATH_MAX];
        if (lstat(p.c_str(), &l) != 0 || !S_ISLNK(l.st_mode)) break;
        ssize_t n = readlink(p.c_str(), to, sizeof to);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof to) break;
        std::string next(to, static_cast<std::size_t>(n));
        std::size_t slash = p.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = p.substr(0, slash + 1) + next;
        p = next;
    }
    return p;
}

}  // namespace

bool is_one_of(const char* path, const std::vector<struct stat>& files) {
    struct stat st;
    return stat(path, &st) == 0 && among(st, files);
}

bool is_one_of(int fd, const std::vector<struct stat>& files) {
    struct stat st;
    return fstat(fd, &st) == 0 && among(st, files);
}

OutputFile::Status OutputFile::open(const char* path, const std::vector<struct stat>& inputs) {
    bool in_place = false;
    std::string target = resolve(path, in_place);
    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;
    if (exists && among(st, inputs)) return is_input;
    if (in_place || (exists && !S_ISREG(st.st_mode))) return open_in_place(target, inputs);
    // Replacing a file is writing it: one this user may not write stays.
    if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return cannot_open;
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string temp = dir + "." + target.substr(dir.size()) + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return exists ? open_in_place(target, inputs) : cannot_open;
    mode_t mask = umask(0);
    umask(mask);
    // The replaced file's owner (where this user may give it) and mode.
    if (exists && fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Then the new file is this user's, as a file written anew is.
    }
    if (fchmod(fd, exists ? st.st_mode & 07777 : 0666 & ~mask) != 0) {
        close(fd);
        unlink(temp.c_str());
        return cannot_open;
    }
    fd_ = fd;
    target_ = target;
    temp_ = temp;
    return ok;
}

// Opened without truncation and truncated only once it is known not to be
// an input: a path swapped in between cannot make it destroy one.
OutputFile::Status OutputFile::open_in_place(const std::string& path, const std::vector<struct stat>& inputs) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return cannot_open;
    struct stat st;
    Status status = fstat(fd, &st) != 0 ? cannot_open : among(st, inputs) ? is_input : ok;
    // An empty file is left as it is: on ext4, truncating a file to nothing
    // makes its close wait for the whole output to be allocated and queued
    // for the disk.
    if (status == ok && S_ISREG(st.st_mode) && st.st_size > 0 && ftruncate(fd, 0) != 0) status = cannot_open;
    if (status != ok) {
        close(fd);
        return status;
    }
    fd_ = fd;
    target_ = path;
    return ok;
}

bool OutputFile::commit() {
    if (fd_ < 0) return false;
    bool closed = close(fd_) == 0;
    fd_ = -1;
    if (temp_.empty()) return closed;
    if (closed && std::rename(temp_.c_str(), target_.c_str()) == 0) {
        temp_.clear();
        return true;
    }
    int e = errno;
    abandon();
    errno = e;
    return false;
}

void OutputFile::abandon() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
}

}  // namespace outfile
