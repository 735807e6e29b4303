// Fuzz target for the sequence reader, the renderer's interpreter and the
// checker: any bytes must read, parse, render and check without a fault,
// and the checker must find the renderer's exact length.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "checker.h"
#include "interpreter.h"
#include "sequence.h"
#include "synth.h"
#include "wav.h"
#include "writer.h"

namespace {

// Renders a few blocks of each input, with every parameter it reaches.
struct ShortSink : render::BlockSink {
    render::Writer& out;
    int budget = 40;
    explicit ShortSink(render::Writer& w) : out(w) {}
    void blocks(render::RenderState& s, std::int64_t count, double base, double beat) override {
        if (budget <= 0) return;
        --budget;
        render::render_blocks(s, count < 1 ? count : 1, out, base, beat);
        for (int k = 0; k < render::max_partials; ++k)
            if (!(s.left_phase[k] >= 0 && s.left_phase[k] < 44100 && s.right_phase[k] >= 0 &&
                  s.right_phase[k] < 44100))
                __builtin_trap();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int null_fd = open("/dev/null", O_WRONLY);
    render::build_sine_table();
    if (size == 0) return 0;

    std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (!in) return 0;
    seq::LineBuffer line;
    // Lengths of years are valid sequences but take years to run: the
    // interpreters see only inputs of sane lengths.
    bool sane = true;
    while (seq::read_line(in, line)) {
        if (line.length >= seq::line_capacity) __builtin_trap();
        seq::Line l = seq::parse_line(line);
        for (int i = 0; i < 3; ++i) {
            (void)l.number(i);
            if (l.count(i) > 10000) sane = false;
            (void)seq::truncate_length(l.number(i));
        }
    }
    std::rewind(in);
    check::Report report = check::check_sequence(in);
    (void)check::plot_svg(report, "fuzz");
    if (!sane) {
        std::fclose(in);
        return 0;
    }
    std::rewind(in);
    render::RenderState state;
    render::BlockCounter counter;
    render::run_sequence(in, state, counter);

    std::rewind(in);
    render::RenderState played;
    render::Writer out(null_fd);
    ShortSink sink(out);
    render::run_sequence(in, played, sink);

    // Both agree on the length, unless the checker gave up a binary file.
    if (report.complete() && report.renderer_seconds * 10 != counter.total) __builtin_trap();

    // The header the renderer writes for that length: 0.1 s is 4410 frames of 4 bytes.
    auto blocks = static_cast<std::uint64_t>(counter.total);
    std::uint64_t bytes = blocks < UINT64_MAX / 17640 - 1 ? 44 + blocks * 17640 : UINT64_MAX;
    bool rf64 = render::needs_rf64(bytes);
    if (render::header_bytes(rf64, bytes).size() != (rf64 ? render::rf64_header_size : render::wav_header_size))
        __builtin_trap();
    std::fclose(in);
    return 0;
}
