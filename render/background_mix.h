// The background sound under the rendered tone: a frame sink in front of
// another that adds the sequence's background file to each block's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "background.h"
#include "synth.h"
#include "writer.h"

namespace render {

// The renderer's output rate, which background files are resampled to.
constexpr int background_rate = table_size;
// The background file names a check of a sequence remembers as opened
// (the dry pass, the checker): past them, a file is opened again each time.
constexpr std::size_t background_names_kept = 256;

// Whether each background file a sequence names plays, found by opening it
// once (its head and loop are decoded): what the dry pass and the checker
// tell before anything is rendered.
class BackgroundProbe {
public:
    struct Result {
        bool ok = false;
        std::string text;   // the file described, or why it cannot play
    };
    const Result& probe(const std::string& path);

private:
    std::map<std::string, Result> opened_;
    Result last_;   // a result not kept, past background_names_kept
};

// The message for a background file that cannot play.
std::string cannot_play_background(const std::string& why);

// Adds, frame by frame, the file times its 50 ms glide, its level and the
// block's volume (gliding from the block before's, so that a fade does not
// step) to the 16-bit words, saturating them. Until a sequence first sets a
// background, a sink writes into `out` directly (active() is false): a
// render without one is untouched, at no cost.
class BackgroundMix : public FrameSink {
public:
    explicit BackgroundMix(FrameSink& out) : out_(out) {}
    BackgroundMix(const BackgroundMix&) = delete;
    BackgroundMix& operator=(const BackgroundMix&) = delete;
    ~BackgroundMix() override;

    // Before each call of render_blocks: takes up a change of the state's
    // background and the volume (the loudness gain folded in) its blocks are
    // rendered with. False once a file could not be opened (message()).
    bool prepare(const RenderState& state);
    bool active() const { return active_; }
    // The sink to render into: this one, or `out` while there is nothing to add.
    FrameSink& sink() { return active_ ? static_cast<FrameSink&>(*this) : out_; }
    const std::string& message() const { return message_; }

    unsigned char* room(std::size_t n) override { return room_ = out_.room(n); }
    void commit(std::size_t n) override;
    bool failed() const override { return out_.failed(); }

private:
    struct Playing {
        std::unique_ptr<sound::BackgroundSource> source;
        std::string path;
        sound::GainGlide glide{background_rate};
    };
    void change(const BackgroundSetting& setting);

    FrameSink& out_;
    unsigned char* room_ = nullptr;
    bool active_ = false;
    std::uint64_t changes_ = 0;
    // The file playing, and the one gliding out after a change of file.
    Playing now_, old_;
    double volume_ = 0.0, last_volume_ = 0.0;
    bool mixed_ = false;   // a block went through: last_volume_ is its volume
    std::string message_;
    std::vector<float> frames_, old_frames_;
};

}  // namespace render
