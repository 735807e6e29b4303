// Fuzz target for background files: any bytes either fail to open with a
// message or play, looped and resampled, as finite samples within full scale.
#include <cmath>
#include <cstdint>
#include <vector>

#include "background.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string message;
    auto reader = sound::open_audio_memory(data, size, "fuzz", message);
    if (!reader) {
        if (message.empty()) __builtin_trap();
        return 0;
    }
    // Both of the player's rates; a few reads that cross a loop point of a short file.
    for (int rate : {44100, 11025}) {
        if (rate == 11025) {
            reader = sound::open_audio_memory(data, size, "fuzz", message);
            if (!reader) __builtin_trap();   // it opened a moment ago
        }
        auto source = sound::BackgroundSource::open(std::move(reader), rate, message);
        if (!source) {
            if (message.empty()) __builtin_trap();
            return 0;
        }
        std::vector<float> out(2 * 4096);
        for (int i = 0; i < 4; ++i) {
            source->read(out.data(), 4096);
            for (float x : out)
                if (!std::isfinite(x) || std::abs(x) > 1.0f) __builtin_trap();
        }
    }
    return 0;
}
