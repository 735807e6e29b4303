#include "audio_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sound {

namespace {

std::string format_name(int format) {
    SF_FORMAT_INFO f{};
    f.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &f, sizeof f) == 0 && f.name) {
        // "FLAC (Free Lossless Audio Codec)": the short name before the bracket.
        std::string name(f.name);
        std::size_t cut = name.find(" (");
        return cut == std::string::npos ? name : name.substr(0, cut);
    }
    return "unknown";
}

class SndfileReader : public FrameReader {
public:
    SndfileReader(SNDFILE* file, const SF_INFO& sf, int fd) : file_(file), fd_(fd) {
        info_.format = format_name(sf.format);
        info_.rate = sf.samplerate;
        info_.channels = sf.channels;
        info_.frames = sf.frames;
    }
    ~SndfileReader() override {
        sf_close(file_);
        if (fd_ >= 0) ::close(fd_);
    }
    SndfileReader(const SndfileReader&) = delete;
    SndfileReader& operator=(const SndfileReader&) = delete;

    const AudioInfo& info() const override { return info_; }
    std::int64_t read(float* frames, std::int64_t count) override {
        sf_count_t got = sf_readf_float(file_, frames, count);
        return got > 0 ? got : 0;
    }
    bool seek(std::int64_t frame) override { return sf_seek(file_, frame, SEEK_SET) == frame; }

private:
    SNDFILE* file_;
    int fd_;   // ours to close, or -1
    AudioInfo info_;
};

// The checks of a file libsndfile opened, on the header it read.
std::unique_ptr<FrameReader> checked(SNDFILE* file, const SF_INFO& sf, int fd, const std::string& name,
                                     std::string& message) {
    if (!file) {
        if (fd >= 0) ::close(fd);
        message = name + ": not a sound file this program can read (" + sf_strerror(nullptr) + ")";
        return nullptr;
    }
    auto reader = std::make_unique<SndfileReader>(file, sf, fd);
    const char* fault = nullptr;
    if (sf.channels < 1 || sf.channels > max_file_channels)
        fault = "an impossible number of channels (damaged header)";
    else if (sf.samplerate < min_file_rate || sf.samplerate > max_file_rate)
        fault = "an impossible sample rate (damaged header)";
    else if (sf.frames <= 0)
        fault = "no sound in it (zero frames)";
    else if (sf.frames == SF_COUNT_MAX || !sf.seekable)
        fault = "a length that cannot be known, so it cannot loop";
    if (fault) {
        message = name + ": " + fault;
        return nullptr;
    }
    // Integer files come in at [-1, 1); float ones as they are.
    sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    return reader;
}

struct Memory {
    const unsigned char* data;
    sf_count_t size;
    sf_count_t at;
};

sf_count_t mem_length(void* m) { return static_cast<Memory*>(m)->size; }
sf_count_t mem_seek(sf_count_t offset, int whence, void* m) {
    Memory& mem = *static_cast<Memory*>(m);
    sf_count_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? mem.at + offset : mem.size + offset;
    if (to < 0 || to > mem.size) return -1;
    return mem.at = to;
}
sf_count_t mem_read(void* out, sf_count_t count, void* m) {
    Memory& mem = *static_cast<Memory*>(m);
    sf_count_t n = count < mem.size - mem.at ? count : mem.size - mem.at;
    if (n > 0) std::memcpy(out, mem.data + mem.at, static_cast<std::size_t>(n));
    mem.at += n;
    return n;
}
sf_count_t mem_write(const void*, sf_count_t, void*) { return 0; }
sf_count_t mem_tell(void* m) { return static_cast<Memory*>(m)->at; }

class MemoryReader : public FrameReader {
public:
    explicit MemoryReader(std::unique_ptr<Memory> mem) : mem_(std::move(mem)) {}
    void adopt(std::unique_ptr<FrameReader> inner) { inner_ = std::move(inner); }
    const AudioInfo& info() const override { return inner_->info(); }
    std::int64_t read(float* frames, std::int64_t count) override { return inner_->read(frames, count); }
    bool seek(std::int64_t frame) override { return inner_->seek(frame); }
    ~MemoryReader() override { inner_.reset(); }   // closes the file before its bytes go

private:
    std::unique_ptr<Memory> mem_;
    std::unique_ptr<FrameReader> inner_;
};

}  // namespace

std::unique_ptr<FrameReader> open_audio_file(const std::string& path, std::string& message) {
    // Not blocking while opening: a FIFO would wait for a writer forever.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        message = path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        message = path + ": not a regular file";
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    SF_INFO sf{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &sf, SF_FALSE);
    return checked(file, sf, fd, path, message);
}

std::unique_ptr<FrameReader> open_audio_memory(const void* data, std::size_t size, const std::string& name,
                                               std::string& message) {
    auto mem = std::make_unique<Memory>(
        Memory{static_cast<const unsigned char*>(data), static_cast<sf_count_t>(size), 0});
    static SF_VIRTUAL_IO io{mem_length, mem_seek, mem_read, mem_write, mem_tell};
    SF_INFO sf{};
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &sf, mem.get());
    auto owner = std::make_unique<MemoryReader>(std::move(mem));
    auto inner = checked(file, sf, -1, name, message);
    if (!inner) return nullptr;
    owner->adopt(std::move(inner));
    return owner;
}

}  // namespace sound
