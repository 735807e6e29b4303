#include "writer.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "prefault.h"
#include "quiet_thread.h"

namespace render {

namespace {
constexpr std::size_t plain_capacity = 1 << 18;
constexpr std::size_t background_capacity = 1 << 20;
}  // namespace

Writer::Writer(int fd, bool background)
    : fd_(fd), capacity_(background ? background_capacity : plain_capacity),
      storage_(new unsigned char[background ? 2 * background_capacity : plain_capacity]), cur_(storage_.get()) {
    prefault(storage_.get(), background ? 2 * background_capacity : plain_capacity);
    // Without a thread the same bytes are written in turn.
    if (background) background_ = start_quiet_thread(thread_, [this] { run(); });
}

Writer::~Writer() {
    flush();
    if (background_) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            quit_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
}

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
    while (done < n && !failed()) {
        ssize_t r = ::write(fd_, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            error_ = r < 0 ? errno : ENOSPC;
            failed_.store(true, std::memory_order_relaxed);
            break;
        }
        done += static_cast<std::size_t>(r);
        written_ += static_cast<std::uint64_t>(r);
    }
    // After a failure the rest is dropped, as a full disk would drop it.
}

void Writer::hand_off() {
    if (!background_) {
        write_out(cur_, used_);
        used_ = 0;
        return;
    }
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return pending_ == nullptr; });
        pending_ = cur_;
        pending_size_ = used_;
    }
    changed_.notify_all();
    cur_ = cur_ == storage_.get() ? storage_.get() + capacity_ : storage_.get();
    used_ = 0;
}

void Writer::flush() {
    if (used_ > 0) hand_off();
    if (!background_) return;
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return pending_ == nullptr; });
}

void Writer::run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return pending_ != nullptr || quit_; });
        if (pending_ == nullptr) return;
        const unsigned char* p = pending_;
        std::size_t n = pending_size_;
        hold.unlock();
        write_out(p, n);
        hold.lock();
        pending_ = nullptr;
        changed_.notify_all();
    }
}

}  // namespace render
