// libsndfile, loaded the first time a compressed format is asked for. A WAV
// render never needs it, and loading it with its codec libraries at every
// start took longer than the rest of the renderer's setting up.
#pragma once

#include <sndfile.h>
#include <string>

namespace render {

struct SndfileLibrary {
    decltype(&sf_open_fd) open_fd;
    decltype(&sf_close) close;
    decltype(&sf_writef_short) writef_short;
    decltype(&sf_writef_float) writef_float;
    decltype(&sf_strerror) strerror;
    decltype(&sf_command) command;
    decltype(&sf_format_check) format_check;
    decltype(&sf_error) error;
};

// The library's functions, or null with the reason in message.
const SndfileLibrary* sndfile_library(std::string& message);

}  // namespace render
