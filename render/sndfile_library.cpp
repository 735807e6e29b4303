#include "sndfile_library.h"

#include <dlfcn.h>

namespace render {

namespace {

template <class F>
bool find(void* handle, const char* name, F& f) {
    f = reinterpret_cast<F>(dlsym(handle, name));
    return f != nullptr;
}

}  // namespace

const SndfileLibrary* sndfile_library(std::string& message) {
    static SndfileLibrary library;
    static bool loaded = false;
    static std::string failure;
    if (!loaded && failure.empty()) {
        void* handle = dlopen(AMBRISE_SNDFILE_SONAME, RTLD_NOW | RTLD_LOCAL);
        SndfileLibrary l{};
        if (handle && find(handle, "sf_open_fd", l.open_fd) && find(handle, "sf_close", l.close) &&
            find(handle, "sf_writef_short", l.writef_short) && find(handle, "sf_writef_float", l.writef_float) &&
            find(handle, "sf_strerror", l.strerror) && find(handle, "sf_command", l.command) &&
            find(handle, "sf_format_check", l.format_check) && find(handle, "sf_error", l.error)) {
            library = l;
            loaded = true;
        } else {
            const char* why = dlerror();
            failure = why ? why : "cannot load " AMBRISE_SNDFILE_SONAME;
        }
    }
    if (!loaded) {
        message = failure;
        return nullptr;
    }
    return &library;
}

}  // namespace render
