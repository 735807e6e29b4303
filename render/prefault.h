// Memory the renderer is about to fill, mapped in one call rather than a
// page fault at a time: on a virtual machine a fault can cost ten
// microseconds, and the output buffers and tables are megabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace render {

inline void prefault(void* start, std::size_t bytes) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    // Whole pages inside the range only; a kernel without the advice
    // (before Linux 5.14) refuses it, and the pages fault in as before.
    constexpr std::uintptr_t page = 4096;
    auto begin = (reinterpret_cast<std::uintptr_t>(start) + page - 1) & ~(page - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)bytes;
#endif
}

}  // namespace render
