// Reads SECONDS of a background file at RATE through the source, as a
// program would, to OUT (raw interleaved float) or nowhere: the benchmark's
// side of its comparison with sox.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "background.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: background_pull FILE RATE SECONDS [OUT]\n");
        return 2;
    }
    const int rate = std::atoi(argv[2]);
    std::string message;
    auto source = sound::BackgroundSource::open_file(argv[1], rate, message);
    if (!source) {
        std::fprintf(stderr, "background_pull: %s\n", message.c_str());
        return 1;
    }
    std::FILE* out = argc > 4 ? std::fopen(argv[4], "wb") : nullptr;
    long long left = static_cast<long long>(std::atof(argv[3]) * rate);
    std::vector<float> block(2 * 4096);
    while (left > 0) {
        const std::size_t n = left < 4096 ? static_cast<std::size_t>(left) : 4096;
        source->read(block.data(), n);
        if (out) std::fwrite(block.data(), sizeof(float), 2 * n, out);
        left -= static_cast<long long>(n);
    }
    if (out) std::fclose(out);
    return 0;
}
