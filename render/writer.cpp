#include "writer.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace render {

void Writer::write(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        if (used_ == capacity) flush();
        std::size_t take = capacity - used_ < n ? capacity - used_ : n;
        std::memcpy(buf_ + used_, p, take);
        used_ += take;
        p += take;
        n -= take;
    }
}

void Writer::flush() {
    std::size_t done = 0;
    while (done < used_ && !failed_) {
        ssize_t r = ::write(fd_, buf_ + done, used_ - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            failed_ = true;
            error_ = r < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(r);
        written_ += static_cast<std::uint64_t>(r);
    }
    // After a failure the rest is dropped, as a full disk would drop it.
    used_ = 0;
}

}  // namespace render
