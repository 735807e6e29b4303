#include "device.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <unistd.h>

#include <alsa/asoundlib.h>

namespace {

// The OSS device node, or a failed descriptor whose calls all fail.
class OssDevice : public SoundDevice {
public:
    explicit OssDevice(int fd) : fd_(fd) {}
    int set_fragment(int* v) override { return ioctl(fd_, SNDCTL_DSP_SETFRAGMENT, v); }
    int set_format(int* v) override { return ioctl(fd_, SNDCTL_DSP_SETFMT, v); }
    int set_stereo(int* v) override { return ioctl(fd_, SNDCTL_DSP_STEREO, v); }
    int set_speed(int* v) override { return ioctl(fd_, SNDCTL_DSP_SPEED, v); }
    long write(const void* data, std::size_t size) override {
        long n = ::write(fd_, data, size);
        failing_ = n < 0;
        return n;
    }
    void drain() override {
        if (fd_ >= 0) ioctl(fd_, SNDCTL_DSP_SYNC, 0);
    }
    // The node's writes block at the device's clock, unless they fail.
    bool may_run_ahead() const override { return fd_ < 0 || failing_; }
    bool present() const override { return fd_ >= 0; }

private:
    int fd_;
    bool failing_ = false;
};

// An OSS device emulated over an ALSA PCM: unsigned 8-bit or signed 16-bit
// stereo at the granted rate. Small writes gather in a chunk of 11.6 ms
// (at 11025 or 44100 Hz) that goes to ALSA whole; the ALSA queue is kept at
// about the OSS fragment request.
//
// Whether the PCM keeps real time by itself is learnt from the PCM: a sink
// with a clock (a card, a sound server) holds what it was given and plays
// it out over time, so once it runs its queue holds more than the chunk
// just written; ALSA's null and file sinks take everything at once and hold
// nothing while they run. What the queue holds is a fact about the sink, not
// about timing, so neither a loaded machine nor a sink whose clock runs a
// little fast or slow can mislead it.
class AlsaDevice : public SoundDevice {
public:
    explicit AlsaDevice(snd_pcm_t* pcm) : pcm_(pcm) {}
    ~AlsaDevice() override { snd_pcm_close(pcm_); }

    int set_fragment(int* v) override {
        unsigned count = static_cast<unsigned>(*v) >> 16, shift = static_cast<unsigned>(*v) & 0xffff;
        if (count > 0 && shift > 0 && shift < 20) queue_ = static_cast<std::size_t>(count) << shift;
        return 0;
    }
    int set_format(int* v) override {
        if (*v == AFMT_S16_LE) {
            format_ = SND_PCM_FORMAT_S16_LE;
            sample_bytes_ = 2;
        } else if (*v == AFMT_U8) {
            format_ = SND_PCM_FORMAT_U8;
            sample_bytes_ = 1;
        }
        *v = sample_bytes_ == 2 ? AFMT_S16_LE : AFMT_U8;   // as OSS: the format in force
        chunk_ = sample_bytes_ == 2 ? sizeof buffer_ : sizeof buffer_ / 8;   // 11.6 ms of stereo either way
        return 0;
    }
    int set_stereo(int* v) override {
        channels_ = *v ? 2 : 1;
        *v = *v ? 1 : 0;
        return configure();
    }
    int set_speed(int* v) override {
        if (*v <= 0) {
            errno = EINVAL;
            return -1;
        }
        rate_ = static_cast<unsigned>(*v);
        if (configure() != 0) return -1;
        *v = static_cast<int>(rate_);
        return 0;
    }
    long write(const void* data, std::size_t size) override {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            buffer_[used_++] = p[i];
            if (used_ == chunk_) flush();
        }
        return static_cast<long>(size);
    }
    // What is gathered goes out first; a sink that fails is not waited for.
    void drain() override {
        if (used_ >= channels_ * sample_bytes_) flush();
        if (!failing_) snd_pcm_drain(pcm_);
    }
    std::size_t queue_bytes() const override { return queue_; }
    // A sink that fails its writes is held to the wall clock as well.
    bool may_run_ahead() const override { return !blocks_ || failing_; }

private:
    int configure() {
        unsigned latency_us = static_cast<unsigned>(queue_ * 1000000 / (rate_ * channels_ * sample_bytes_));
        int r = snd_pcm_set_params(pcm_, format_, SND_PCM_ACCESS_RW_INTERLEAVED, channels_, rate_, 1,
                                   latency_us);
        if (r < 0) {
            errno = -r;
            return -1;
        }
        snd_pcm_uframes_t period = 0;
        if (snd_pcm_get_params(pcm_, &buffer_frames_, &period) < 0) buffer_frames_ = 0;
        return 0;
    }
    void flush() {
        const std::size_t frame_bytes = channels_ * sample_bytes_;
        snd_pcm_uframes_t frames = used_ / frame_bytes;
        const unsigned char* p = buffer_;
        if (!blocks_ && snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING) {
            snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
            if (avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) + frames < buffer_frames_) blocks_ = true;
        }
        while (frames > 0) {
            snd_pcm_sframes_t n = snd_pcm_writei(pcm_, p, frames);
            if (n < 0) {
                failing_ = snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0;
                if (failing_) break;
                continue;
            }
            failing_ = false;
            frames -= static_cast<snd_pcm_uframes_t>(n);
            p += static_cast<std::size_t>(n) * frame_bytes;
        }
        used_ = 0;
    }

    snd_pcm_t* pcm_;
    snd_pcm_format_t format_ = SND_PCM_FORMAT_U8;
    unsigned sample_bytes_ = 1;
    unsigned channels_ = 2;
    unsigned rate_ = 11025;
    std::size_t queue_ = 2048;
    std::size_t used_ = 0;
    std::size_t chunk_ = 256;
    bool blocks_ = false;
    bool failing_ = false;
    snd_pcm_uframes_t buffer_frames_ = 0;   // the PCM's queue
    unsigned char buffer_[2048];
};

// ALSA's own complaints (no card, no configuration) would stand beside the
// player's messages; the player says what matters itself.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

std::unique_ptr<SoundDevice> open_sound_device() {
    int fd = open("/dev/dsp", O_WRONLY);
    if (fd >= 0) return std::make_unique<OssDevice>(fd);
    snd_lib_error_set_handler(quiet_alsa);
    snd_pcm_t* pcm = nullptr;
    int r = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (r == 0) return std::make_unique<AlsaDevice>(pcm);
    std::fputs("Failed to open the sound card.\n", stderr);
    // Said once, in words a listener can act on; the window works meanwhile.
    std::fprintf(stderr,
                 "No sound output: ALSA's default device (a card, PulseAudio or PipeWire) did not open (%s), nor did "
                 "the OSS node /dev/dsp.\n"
                 "To hear it, start PipeWire or PulseAudio (packages pipewire-alsa, or pulseaudio and "
                 "libasound2-plugins), or load the snd-pcm-oss module.\n",
                 snd_strerror(r));
    errno = EBADF;
    return std::make_unique<OssDevice>(-1);
}

std::unique_ptr<SoundDevice> (*sound_device_factory)() = open_sound_device;
