#include "output.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "sndfile_library.h"
#include "synth.h"
#include "wav.h"

namespace render {

namespace {

constexpr std::size_t block_bytes = frames_per_block * bytes_per_frame;

struct FormatInfo {
    Format format;
    const char* name;
    int sndfile_format;
};

constexpr FormatInfo formats[] = {
    {Format::wav, "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
    {Format::flac, "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    {Format::ogg, "ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
    {Format::opus, "opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
    {Format::mp3, "mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
};

const FormatInfo& info_of(Format f) {
    for (const FormatInfo& i : formats)
        if (i.format == f) return i;
    return formats[0];
}

// Opus encodes at 48 kHz only.
int rate_of(Format f) { return f == Format::opus ? 48000 : table_size; }

class WavOutput : public Output {
public:
    WavOutput(int fd, std::uint64_t total_frames) : writer_(fd), fd_(fd) {
        constexpr std::uint64_t limit = (UINT64_MAX - rf64_header_size) / bytes_per_frame;
        std::uint64_t data = total_frames > limit ? limit * bytes_per_frame : total_frames * bytes_per_frame;
        long_ = total_frames > limit || needs_rf64(wav_header_size + data);
        // The header goes where the render begins: for a file opened for
        // appending, at its end. A stream cannot be patched.
        flags_ = fcntl(fd, F_GETFL);
        start_ = flags_ < 0 ? -1 : lseek(fd, 0, flags_ & O_APPEND ? SEEK_END : SEEK_CUR);
        // Until it is patched the header gives the planned length, as a
        // stream's must: a stream is complete as written.
        auto header = header_bytes(long_, (long_ ? rf64_header_size : wav_header_size) + data);
        writer_.write(header.data(), header.size());
    }
    unsigned char* room(std::size_t n) override { return writer_.room(n); }
    void commit(std::size_t n) override { writer_.commit(n); }
    bool failed() const override { return writer_.failed(); }
    int error() const override { return writer_.failed() ? writer_.error() : patch_error_; }

    bool finish() override {
        writer_.flush();
        if (writer_.failed()) return false;
        if (start_ < 0) return true;
        auto header = header_bytes(long_, writer_.written());
        // Appending would put the patch at the end (pwrite on Linux).
        bool append = (flags_ & O_APPEND) != 0;
        if (append && fcntl(fd_, F_SETFL, flags_ & ~O_APPEND) != 0) return fail(errno);
        ssize_t r = pwrite(fd_, header.data(), header.size(), start_);
        int e = errno;
        if (append) fcntl(fd_, F_SETFL, flags_);
        return r == static_cast<ssize_t>(header.size()) || fail(r < 0 ? e : EIO);
    }

private:
    bool fail(int e) {
        patch_error_ = e;
        return false;
    }

    Writer writer_;
    int fd_;
    bool long_;
    int flags_;
    off_t start_;
    int patch_error_ = 0;
};

// 44100 to 48000 frames a second, stereo: a windowed-sinc interpolator
// with 160 phases (48000 / 44100 = 160 / 147).
class Resampler {
public:
    static constexpr int up = 160, down = 147, half_taps = 16, taps = 2 * half_taps;

    Resampler() : coefficients_(static_cast<std::size_t>(up) * taps), input_(2 * (half_taps - 1), 0.0f) {
        // Cut off a little below the input's Nyquist frequency.
        const double cutoff = 0.45;   // cycles per input sample
        for (int p = 0; p < up; ++p) {
            double sum = 0;
            float* c = &coefficients_[static_cast<std::size_t>(p) * taps];
            for (int m = 0; m < taps; ++m) {
                double d = (m - half_taps + 1) - static_cast<double>(p) / up;   // input minus output time
                double x = 2 * cutoff * d;
                double sinc = d == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
                double w = 0.42 + 0.5 * std::cos(M_PI * d / half_taps) + 0.08 * std::cos(2 * M_PI * d / half_taps);
                c[m] = static_cast<float>(sinc * w);
                sum += c[m];
            }
            for (int m = 0; m < taps; ++m) c[m] = static_cast<float>(c[m] / sum);
        }
    }

    void push(const std::int16_t* frames, std::size_t count, std::vector<std::int16_t>& out) {
        for (std::size_t i = 0; i < 2 * count; ++i) input_.push_back(frames[i]);
        received_ += static_cast<std::int64_t>(count);
        produce(out, -1);
    }

    // The tail: every output frame up to the input's end.
    void finish(std::vector<std::int16_t>& out) {
        input_.insert(input_.end(), 2 * half_taps, 0.0f);
        produce(out, (received_ * up + down - 1) / down);
    }

private:
    // Output frames while their taps are all in the buffer (and below limit
    // when one is given).
    void produce(std::vector<std::int16_t>& out, std::int64_t limit) {
        auto frames = static_cast<std::int64_t>(input_.size() / 2);
        for (;; ++next_) {
            if (limit >= 0 && next_ >= limit) break;
            std::int64_t centre = next_ * down / up;
            auto phase = static_cast<int>(next_ * down - centre * up);
            std::int64_t first = centre - half_taps + 1 - first_;   // buffer index of the first tap
            if (first + taps > frames) break;
            const float* c = &coefficients_[static_cast<std::size_t>(phase) * taps];
            const float* x = &input_[static_cast<std::size_t>(2 * first)];
            double l = 0, r = 0;
            for (int m = 0; m < taps; ++m) {
                l += c[m] * x[2 * m];
                r += c[m] * x[2 * m + 1];
            }
            out.push_back(to_word(l));
            out.push_back(to_word(r));
        }
        // Drop what no later frame reads.
        std::int64_t keep_from = next_ * down / up - half_taps + 1 - first_;
        if (keep_from > 0) {
            input_.erase(input_.begin(), input_.begin() + 2 * keep_from);
            first_ += keep_from;
        }
    }

    static std::int16_t to_word(double v) {
        v = std::floor(v + 0.5);
        return static_cast<std::int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
    }

    std::vector<float> coefficients_;
    std::vector<float> input_;               // interleaved frames from input index first_
    std::int64_t first_ = -(half_taps - 1);  // silence before the start
    std::int64_t next_ = 0;                  // the next output frame
    std::int64_t received_ = 0;
};

class SndfileOutput : public Output {
public:
    SndfileOutput(const SndfileLibrary& sf, SNDFILE* file, bool resample, bool lossy)
        : sf_(sf), file_(file), lossy_(lossy) {
        if (resample) resampler_ = std::make_unique<Resampler>();
    }
    ~SndfileOutput() override {
        if (file_) sf_.close(file_);
    }

    unsigned char* room(std::size_t n) override {
        if (bytes_.size() < n) bytes_.resize(n);
        return bytes_.data();
    }
    void commit(std::size_t n) override {
        std::size_t count = n / bytes_per_frame;
        words_.resize(2 * count);
        for (std::size_t i = 0; i < 2 * count; ++i)
            words_[i] = static_cast<std::int16_t>(bytes_[2 * i] | bytes_[2 * i + 1] << 8);
        if (!resampler_) {
            write(words_.data(), count);
            return;
        }
        resampled_.clear();
        resampler_->push(words_.data(), count, resampled_);
        write(resampled_.data(), resampled_.size() / 2);
    }
    bool failed() const override { return failed_; }
    int error() const override { return error_; }

    bool finish() override {
        if (resampler_ && !failed_) {
            resampled_.clear();
            resampler_->finish(resampled_);
            write(resampled_.data(), resampled_.size() / 2);
        }
        if (!failed_) check(sf_.error(file_) == 0);
        // The encoders' last pages are written inside the close, which
        // reports only the descriptor's close: a write that failed there
        // leaves its errno.
        errno = 0;
        int r = sf_.close(file_);
        file_ = nullptr;
        check(r == 0 && !write_failure(errno));
        return !failed_;
    }

private:
    void write(const std::int16_t* words, std::size_t count) {
        if (failed_ || count == 0) return;
        errno = 0;
        sf_count_t written;
        if (lossy_) {
            // The lossy encoders work on floats; this library's MP3 encoder
            // garbles 16-bit input.
            floats_.resize(2 * count);
            for (std::size_t i = 0; i < 2 * count; ++i) floats_[i] = static_cast<float>(words[i]) / 32768.0f;
            written = sf_.writef_float(file_, floats_.data(), static_cast<sf_count_t>(count));
        } else {
            written = sf_.writef_short(file_, words, static_cast<sf_count_t>(count));
        }
        // The MP3 encoder counts frames it could not write as written: the
        // library's error state tells.
        check(written == static_cast<sf_count_t>(count) && sf_.error(file_) == 0);
    }

    void check(bool ok) {
        if (ok || failed_) return;
        failed_ = true;
        error_ = errno ? errno : EIO;
    }
    static bool write_failure(int e) {
        return e == ENOSPC || e == EPIPE || e == EIO || e == EDQUOT || e == EFBIG;
    }

    const SndfileLibrary& sf_;
    SNDFILE* file_;
    bool lossy_;
    std::unique_ptr<Resampler> resampler_;
    std::vector<float> floats_;
    std::vector<unsigned char> bytes_ = std::vector<unsigned char>(block_bytes);
    std::vector<std::int16_t> words_, resampled_;
    bool failed_ = false;
    int error_ = 0;
};

SF_INFO sndfile_info(Format f) {
    SF_INFO info{};
    info.samplerate = rate_of(f);
    info.channels = 2;
    info.format = info_of(f).sndfile_format;
    return info;
}

}  // namespace

bool format_for_name(std::string_view name, Format& format) {
    std::string lower;
    for (char c : name) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const FormatInfo& i : formats)
        if (lower == i.name) {
            format = i.format;
            return true;
        }
    return false;
}

Format format_for_path(std::string_view path) {
    std::size_t dot = path.rfind('.');
    std::size_t slash = path.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return Format::wav;
    Format f = Format::wav;
    format_for_name(path.substr(dot + 1), f);
    return f;
}

const char* format_name(Format format) { return info_of(format).name; }

std::uint64_t frames_of_blocks(std::int64_t blocks) {
    auto b = static_cast<std::uint64_t>(blocks < 0 ? 0 : blocks);
    return b > UINT64_MAX / frames_per_block ? UINT64_MAX : b * frames_per_block;
}

std::unique_ptr<Output> wav_output(int fd, std::uint64_t total_frames) {
    return std::make_unique<WavOutput>(fd, total_frames);
}

bool format_supported(Format format, std::string& message) {
    if (format == Format::wav) return true;
    const SndfileLibrary* sf = sndfile_library(message);
    if (!sf) return false;
    SF_INFO info = sndfile_info(format);
    if (sf->format_check(&info)) return true;
    char version[64] = "libsndfile";
    sf->command(nullptr, SFC_GET_LIB_VERSION, version, sizeof version);
    message = std::string(version) + " cannot write " + format_name(format);
    return false;
}

std::unique_ptr<Output> sndfile_output(int fd, Format format, std::string& message) {
    if (!format_supported(format, message)) return nullptr;
    const SndfileLibrary& sf = *sndfile_library(message);
    SF_INFO info = sndfile_info(format);
    SNDFILE* file = sf.open_fd(fd, SFM_WRITE, &info, 0);
    if (!file) {
        message = sf.strerror(nullptr);
        return nullptr;
    }
    // A variable-rate MP3 stream cannot get the header that tells its
    // length, and decoders then guess the length from its first frame: a
    // stream is written at a constant rate instead.
    if (format == Format::mp3 && lseek(fd, 0, SEEK_CUR) < 0) {
        int mode = SF_BITRATE_MODE_CONSTANT;
        sf.command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    }
    return std::make_unique<SndfileOutput>(sf, file, info.samplerate != table_size, format != Format::flac);
}

}  // namespace render
