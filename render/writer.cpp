#include "writer.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "prefault.h"

namespace render {

namespace {
constexpr std::size_t capacity = 1 << 19;
}  // namespace

Writer::Writer(int fd) : fd_(fd), capacity_(capacity), storage_(new unsigned char[capacity]), cur_(storage_.get()) {
    prefault(storage_.get(), capacity);
}

Writer::~Writer() { flush(); }

void Writer::write(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        if (used_ == capacity_) hand_off();
        std::size_t take = capacity_ - used_ < n ? capacity_ - used_ : n;
        std::memcpy(cur_ + used_, p, take);
        used_ += take;
        p += take;
        n -= take;
    }
}

void Writer::write_out(const unsigned char* p, std::size_t n) {
    std::size_t done = 0;
    while (done < n && !failed_) {
        ssize_t r = ::write(fd_, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            error_ = r < 0 ? errno : ENOSPC;
            failed_ = true;
            break;
        }
        done += static_cast<std::size_t>(r);
        written_ += static_cast<std::uint64_t>(r);
    }
    // After a failure the rest is dropped, as a full disk would drop it.
}

void Writer::hand_off() {
    write_out(cur_, used_);
    used_ = 0;
}

void Writer::flush() {
    if (used_ > 0) hand_off();
}

}  // namespace render
