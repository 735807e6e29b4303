#include "background_mix.h"

#include <cmath>

#include "tone.h"

namespace render {

std::string cannot_play_background(const std::string& why) { return "cannot play background " + why; }

const BackgroundProbe::Result& BackgroundProbe::probe(const std::string& path) {
    if (auto found = opened_.find(path); found != opened_.end()) return found->second;
    std::string message;
    auto source = sound::BackgroundSource::open_file(path, background_rate, message);
    Result result = source ? Result{true, sound::describe(source->info())} : Result{false, message};
    if (opened_.size() >= background_names_kept) return last_ = std::move(result);
    return opened_.emplace(path, std::move(result)).first->second;
}

BackgroundMix::~BackgroundMix() = default;

bool BackgroundMix::prepare(const RenderState& state) {
    if (state.background.changes != changes_) {
        changes_ = state.background.changes;
        change(state.background);
    }
    volume_ = state.volume;
    return message_.empty();
}

void BackgroundMix::change(const BackgroundSetting& b) {
    const double gain = b.on ? sound::background_gain(b.level) : 0.0;
    if (!b.on || (now_.source && now_.path == b.path)) {
        // A new level, or OFF: the same file glides there.
        if (now_.source) now_.glide.glide_to(gain);
        return;
    }
    std::string message;
    auto source = sound::BackgroundSource::open_file(b.path, background_rate, message);
    if (!source) {
        message_ = message;
        if (now_.source) now_.glide.glide_to(0.0);
        return;
    }
    // A file still gliding out from an earlier change is let go: two
    // changes within one block have only the last one heard.
    if (now_.source) {
        old_ = std::move(now_);
        old_.glide.glide_to(0.0);
    }
    now_.source = std::move(source);
    now_.path = b.path;
    now_.glide = sound::GainGlide(background_rate);
    now_.glide.glide_to(gain);
    if (!active_) {
        active_ = true;
        frames_.resize(2 * frames_per_block);
        old_frames_.resize(2 * frames_per_block);
    }
}

namespace {

// A word of the block, read as signed.
inline std::int32_t word_at(const unsigned char* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
}

inline void put_word(unsigned char* p, double v) {
    const double r = std::nearbyint(v);
    const auto w = static_cast<std::int32_t>(r > 32767.0 ? 32767.0 : r < -32768.0 ? -32768.0 : r);
    const auto u = static_cast<std::uint16_t>(w);
    p[0] = static_cast<unsigned char>(u & 0xff);
    p[1] = static_cast<unsigned char>(u >> 8);
}

}  // namespace

void BackgroundMix::commit(std::size_t n) {
    const std::size_t frames = n / bytes_per_frame;
    const bool two = old_.source != nullptr;
    if (now_.source && frames == frames_per_block) {
        now_.source->read(frames_.data(), frames);
        if (two) old_.source->read(old_frames_.data(), frames);
        const double from = mixed_ ? last_volume_ : volume_, to = volume_;
        unsigned char* p = room_;
        for (std::size_t f = 0; f < frames; ++f, p += bytes_per_frame) {
            const double volume = from != to ? glide_gain(from, to, static_cast<int>(f)) : to;
            // Full scale of the file is full scale of the words at volume 100.
            const double scale = volume / 100.0 * 32767.0;
            double g = now_.glide.next(), left = frames_[2 * f] * g, right = frames_[2 * f + 1] * g;
            if (two) {
                const double h = old_.glide.next();
                left += old_frames_[2 * f] * h;
                right += old_frames_[2 * f + 1] * h;
            }
            put_word(p, word_at(p) + left * scale);
            put_word(p + 2, word_at(p + 2) + right * scale);
        }
        // What has glided out to silence is closed.
        if (two && old_.glide.settled()) old_ = Playing{};
        if (now_.glide.settled() && now_.glide.gain() == 0.0) now_ = Playing{};
    }
    last_volume_ = volume_;
    mixed_ = true;
    out_.commit(n);
}

}  // namespace render
