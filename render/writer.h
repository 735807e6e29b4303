// Where rendered frames go, and the buffered output file that writes raw
// bytes in large pieces and remembers whether any write failed.
#pragma once

#include <cstddef>
#include <cstdint>

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

class Writer : public FrameSink {
public:
    explicit Writer(int fd) : fd_(fd) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() override { flush(); }

    void put16(std::uint16_t v) {
        if (used_ + 2 > capacity) flush();
        buf_[used_++] = static_cast<unsigned char>(v & 0xff);
        buf_[used_++] = static_cast<unsigned char>(v >> 8);
    }
    // Room for n more bytes (n at most the buffer's capacity), to be filled
    // and then handed back with commit.
    unsigned char* room(std::size_t n) override {
        if (used_ + n > capacity) flush();
        return buf_ + used_;
    }
    void commit(std::size_t n) override { used_ += n; }
    void write(const void* data, std::size_t n);
    void flush();

    bool failed() const override { return failed_; }
    int error() const { return error_; }   // errno of the failed write
    std::uint64_t written() const { return written_; }

private:
    static constexpr std::size_t capacity = 1 << 18;
    int fd_;
    bool failed_ = false;
    int error_ = 0;
    std::uint64_t written_ = 0;
    std::size_t used_ = 0;
    unsigned char buf_[capacity];
};

}  // namespace render
