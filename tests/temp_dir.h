// A directory of the test's own under /tmp, removed with everything in it
// however the test ends, a failed assertion included.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const char* prefix = "ambrise-test") {
        std::string name = std::string("/tmp/") + prefix + ".XXXXXX";
        if (mkdtemp(name.data())) path = name;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string operator/(const char* file) const { return (path / file).string(); }
};
