// Where rendered frames go, and the buffered output file that writes raw
// bytes in large pieces and remembers whether any write failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace render {

// Receives frames as 16-bit little-endian words, left then right: the
// synthesis fills room() and hands it back with commit().
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Room for n more bytes (at most one block), filled and then committed.
    virtual unsigned char* room(std::size_t n) = 0;
    virtual void commit(std::size_t n) = 0;
    virtual bool failed() const = 0;
};

// Frames are written in the caller's own thread, in half-megabyte pieces:
// measured, a second thread writing one buffer while the caller fills the
// next was slower, since the synthesis already keeps both cores busy and
// copying a buffer another core has just filled costs more than copying
// one still in this core's cache.
class Writer : public FrameSink {
public:
    explicit Writer(int fd);
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() override;

    void put16(std::uint16_t v) {
        if (used_ + 2 > capacity_) hand_off();
        cur_[used_++] = static_cast<unsigned char>(v & 0xff);
        cur_[used_++] = static_cast<unsigned char>(v >> 8);
    }
    // Room for n more bytes (n at most the buffer's capacity), to be filled
    // and then handed back with commit.
    unsigned char* room(std::size_t n) override {
        if (used_ + n > capacity_) hand_off();
        return cur_ + used_;
    }
    void commit(std::size_t n) override { used_ += n; }
    void write(const void* data, std::size_t n);
    // Returns once everything given so far is written (or failed).
    void flush();

    bool failed() const override { return failed_; }
    // errno of the failed write, and the bytes written: exact after flush().
    int error() const { return error_; }
    std::uint64_t written() const { return written_; }

private:
    void hand_off();
    void write_out(const unsigned char* p, std::size_t n);

    int fd_;
    std::size_t capacity_;
    std::unique_ptr<unsigned char[]> storage_;
    unsigned char* cur_;
    std::size_t used_ = 0;
    bool failed_ = false;
    int error_ = 0;
    std::uint64_t written_ = 0;
};

}  // namespace render
