#include "background.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <soxr.h>

namespace sound {

namespace {

constexpr double pi = 3.14159265358979323846;

float clean(float v) {
    if (std::isnan(v)) return 0.0f;
    return std::clamp(v, -1.0f, 1.0f);
}

// Full-scale sound can pass full scale on its way: in the crossfade (two
// sides at 0.71 each) and between samples in the resampler (the fuzzer
// found 1.6 from random bytes). What leaves the source stays within it.
void clamp_full_scale(float* frames, std::size_t count) {
    for (std::size_t i = 0; i < 2 * count; ++i) frames[i] = std::clamp(frames[i], -1.0f, 1.0f);
}

}  // namespace

std::unique_ptr<LoopedFile> LoopedFile::open(std::unique_ptr<FrameReader> reader, std::string& message) {
    std::unique_ptr<LoopedFile> f(new LoopedFile(std::move(reader)));
    const AudioInfo& info = f->info();
    const std::int64_t length = info.frames;
    f->fade_ = std::min<std::int64_t>(info.rate, length / 4);
    const std::int64_t fade = f->fade_;
    f->raw_.resize(BackgroundSource::chunk_frames * static_cast<std::size_t>(info.channels));

    // The head (or, for a file of a few frames, its first frames) proves
    // that the sound decodes; the tail that its stated length is there.
    const std::int64_t probe = fade > 0 ? fade : length;
    f->head_.resize(2 * static_cast<std::size_t>(probe));
    if (f->read_stereo(f->head_.data(), probe) < probe) {
        message = "the sound in it cannot be decoded (damaged file)";
        return nullptr;
    }
    if (fade > 0) {
        f->crossfade_.resize(2 * static_cast<std::size_t>(fade));
        if (!f->reader_->seek(length - fade) || f->read_stereo(f->crossfade_.data(), fade) < fade) {
            message = "it ends before the length its header gives (damaged or cut short)";
            return nullptr;
        }
        for (std::int64_t i = 0; i < fade; ++i) {
            const double t = (static_cast<double>(i) + 0.5) / static_cast<double>(fade) * (pi / 2);
            const double out = std::cos(t), in = std::sin(t);
            for (std::size_t c = 0; c < 2; ++c) {
                float& x = f->crossfade_[2 * static_cast<std::size_t>(i) + c];
                x = static_cast<float>(x * out + f->head_[2 * static_cast<std::size_t>(i) + c] * in);
            }
        }
        f->part_ = Part::Head;
    } else {
        f->head_.clear();
        if (!f->start_body()) {
            message = "it cannot be read again from its start (damaged file)";
            return nullptr;
        }
    }
    return f;
}

std::int64_t LoopedFile::read_stereo(float* out, std::int64_t count) {
    const int channels = info().channels;
    const std::int64_t chunk = static_cast<std::int64_t>(BackgroundSource::chunk_frames);
    // Beyond two channels: the first two are left and right, each further
    // one goes to both at -3 dB, and the sum is scaled so it cannot clip.
    const float share = static_cast<float>(std::sqrt(0.5));
    const float scale = channels > 2 ? 1.0f / (1.0f + static_cast<float>(channels - 2) * share) : 1.0f;
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t want = std::min(chunk, count - done);
        const std::int64_t got = reader_->read(raw_.data(), want);
        for (std::int64_t i = 0; i < got; ++i) {
            const float* in = raw_.data() + i * channels;
            float* o = out + 2 * (done + i);
            if (channels == 1) {
                o[0] = o[1] = clean(in[0]);
            } else if (channels == 2) {
                o[0] = clean(in[0]);
                o[1] = clean(in[1]);
            } else {
                float rest = 0.0f;
                for (int c = 2; c < channels; ++c) rest += clean(in[c]);
                o[0] = (clean(in[0]) + share * rest) * scale;
                o[1] = (clean(in[1]) + share * rest) * scale;
            }
        }
        done += got;
        if (got < want) break;
    }
    return done;
}

bool LoopedFile::start_body() {
    at_ = 0;
    body_read_ = 0;
    if (!reader_->seek(fade_)) {
        damaged_ = true;
        part_ = Part::Silent;
        return false;
    }
    part_ = Part::Body;
    return true;
}

void LoopedFile::read(float* out, std::size_t count) {
    const std::int64_t body = info().frames - 2 * fade_;
    std::int64_t left = static_cast<std::int64_t>(count);
    while (left > 0) {
        std::int64_t n = 0;
        switch (part_) {
            case Part::Head:
            case Part::Crossfade: {
                const std::vector<float>& from = part_ == Part::Head ? head_ : crossfade_;
                n = std::min(left, fade_ - at_);
                std::copy_n(from.data() + 2 * at_, 2 * n, out);
                at_ += n;
                if (at_ == fade_) start_body();
                break;
            }
            case Part::Body: {
                const std::int64_t want = std::min(left, body - at_);
                n = read_stereo(out, want);
                at_ += n;
                body_read_ += n;
                if (n < want) damaged_ = true;
                if (n < want || at_ == body) {
                    // A pass that read nothing would loop the crossfade alone.
                    part_ = body_read_ == 0 ? Part::Silent : fade_ > 0 ? Part::Crossfade : Part::Body;
                    at_ = 0;
                    if (part_ == Part::Body) start_body();
                }
                break;
            }
            case Part::Silent:
                n = left;
                std::fill_n(out, 2 * n, 0.0f);
                break;
        }
        out += 2 * n;
        left -= n;
    }
}

std::unique_ptr<BackgroundSource> BackgroundSource::open(std::unique_ptr<FrameReader> reader, int output_rate,
                                                         std::string& message) {
    std::unique_ptr<BackgroundSource> s(new BackgroundSource());
    s->file_ = LoopedFile::open(std::move(reader), message);
    if (!s->file_) return nullptr;
    if (output_rate < 1) {
        message = "no output rate";
        return nullptr;
    }
    if (s->info().rate != output_rate) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        // One thread: the same samples every time, and no threads of its own.
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        s->resampler_ = soxr_create(s->info().rate, output_rate, 2, &error, &io, &quality, &runtime);
        if (!s->resampler_ || error) {
            message = std::string("cannot convert its sample rate (") + (error ? error : "libsoxr") + ")";
            return nullptr;
        }
        s->in_.resize(2 * chunk_frames);
    }
    return s;
}

std::unique_ptr<BackgroundSource> BackgroundSource::open_file(const std::string& path, int output_rate,
                                                              std::string& message) {
    auto reader = open_audio_file(path, message);
    if (!reader) return nullptr;
    auto source = open(std::move(reader), output_rate, message);
    if (!source) message = path + ": " + message;
    return source;
}

BackgroundSource::~BackgroundSource() {
    if (resampler_) soxr_delete(resampler_);
}

void BackgroundSource::read(float* out, std::size_t count) {
    if (!resampler_) {
        file_->read(out, count);
        clamp_full_scale(out, count);
        return;
    }
    std::size_t done = 0;
    while (done < count) {
        if (in_used_ == in_length_) {
            file_->read(in_.data(), chunk_frames);
            in_used_ = 0;
            in_length_ = chunk_frames;
        }
        std::size_t used = 0, made = 0;
        soxr_error_t error = soxr_process(resampler_, in_.data() + 2 * in_used_, in_length_ - in_used_, &used,
                                          out + 2 * done, count - done, &made);
        if (error) {
            std::fill(out + 2 * done, out + 2 * count, 0.0f);
            return;
        }
        clamp_full_scale(out + 2 * done, made);
        in_used_ += used;
        done += made;
    }
}

GainGlide::GainGlide(double rate, double gain)
    : frames_(std::max<std::int64_t>(1, std::llround(rate * glide_seconds))), gain_(gain), target_(gain) {}

void GainGlide::glide_to(double target) {
    target_ = target;
    left_ = frames_;
    step_ = (target_ - gain_) / static_cast<double>(frames_);
}

double GainGlide::next() {
    if (left_ > 0) {
        gain_ = --left_ == 0 ? target_ : gain_ + step_;
    }
    return gain_;
}

std::string describe(const AudioInfo& info) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s, %d Hz, %d channel%s, %.2f s", info.format.c_str(), info.rate, info.channels,
                  info.channels == 1 ? "" : "s", info.seconds());
    return buf;
}

}  // namespace sound
