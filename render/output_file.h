// An output file of the programs, written so that no failure loses what the
// path held: a new file beside the target, renamed over it only once it is
// complete. A device, a pipe or a link to one is written in place, and so is
// a writable file in a directory that takes no new one. Symbolic links are
// followed to the file they name and stay links.
#pragma once

#include <string>
#include <sys/stat.h>
#include <vector>

namespace outfile {

// Whether path (links followed) is one of the files given: the programs
// never write over their own input, under any name and of any kind.
bool is_one_of(const char* path, const std::vector<struct stat>& files);
bool is_one_of(int fd, const std::vector<struct stat>& files);

class OutputFile {
public:
    enum Status { ok, cannot_open, is_input };

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() { abandon(); }

    // Opens for writing what path names; inputs are refused (is_input).
    Status open(const char* path, const std::vector<struct stat>& inputs);
    int fd() const { return fd_; }

    // Closes and, for a new file, renames it over the target. False with
    // errno when either fails; the target is then as it was.
    bool commit();
    // Closes and removes the new file: the target is as it was.
    void abandon();

private:
    Status open_in_place(const std::string& path, const std::vector<struct stat>& inputs);

    int fd_ = -1;
    std::string target_, temp_;
};

}  // namespace outfile
