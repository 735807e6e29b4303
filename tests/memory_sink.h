// Rendered frames kept in memory, for the synthesis tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "interpreter.h"
#include "synth.h"
#include "writer.h"

struct MemorySink : render::FrameSink {
    std::vector<unsigned char> bytes;
    std::size_t used = 0;
    unsigned char* room(std::size_t n) override {
        bytes.resize(used + n);
        return bytes.data() + used;
    }
    void commit(std::size_t n) override { used += n; }
    bool failed() const override { return false; }
    std::size_t frames() const { return used / 4; }
    // The 16-bit word of a channel (0 left, 1 right) in a frame.
    std::int16_t word(std::size_t frame, int channel) const {
        std::size_t i = frame * 4 + static_cast<std::size_t>(channel) * 2;
        return static_cast<std::int16_t>(bytes[i] | bytes[i + 1] << 8);
    }
};

// Renders the blocks the interpreter hands it into memory.
struct MemoryBlocks : render::BlockSink {
    MemorySink out;
    void blocks(render::RenderState& s, std::int64_t count, double base, double beat) override {
        render::render_blocks(s, count, out, base, beat);
    }
};

// Runs a sequence's text in the given mode and returns its frames.
inline MemorySink render_text(const std::string& text, render::SampleMode mode = render::SampleMode::clean) {
    render::build_sine_table();
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    render::RenderState s;
    s.mode = mode;
    MemoryBlocks sink;
    render::run_sequence(f, s, sink);
    std::fclose(f);
    return sink.out;
}
