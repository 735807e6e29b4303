// Rendered frames kept in memory, for the synthesis tests.
#pragma once

#include <cstdint>
#include <vector>

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
