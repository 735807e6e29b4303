// ambrise-render: runs a sequence file offline into a 44.1 kHz 16-bit
// stereo WAV file.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "interpreter.h"
#include "sequence.h"
#include "synth.h"
#include "wav.h"
#include "writer.h"

using namespace render;

namespace {

RenderState render_state;

constexpr int status_usage = 255;
constexpr int status_read = 254;
constexpr int status_write_open = 253;
constexpr int status_write_error = 252;

void usage(const char* name) {
    std::printf("Create a .wav file ready to burn to CD from an Ambrise sequence file:\n");
    std::printf("%s <sequence> <output>\n", name);
    std::printf("\t<sequence> = sequence file to read\n");
    std::printf("\t<output> the .wav file to create\n");
}

bool slurp(std::FILE* in, std::string& text) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
    return !std::ferror(in);
}

// Runs the sequence held in memory through a sink.
void run_text(const std::string& text, RenderState& state, BlockSink& sink) {
    if (text.empty()) return;
    std::FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (!in) return;
    run_sequence(in, state, sink);
    std::fclose(in);
}


// Renders into the output, showing progress on a terminal.
class RenderSink : public BlockSink {
public:
    RenderSink(Writer& out, std::int64_t total_blocks, bool progress)
        : out_(out), total_(total_blocks), progress_(progress) {}

    void blocks(RenderState& state, std::int64_t count, double base, double beat) override {
        if (!progress_) {
            render_blocks(state, count, out_, base, beat);
            return;
        }
        // Splitting a call into pieces gives the same frames.
        while (count > 0 && !out_.failed()) {
            std::int64_t piece = count < blocks_per_second ? count : blocks_per_second;
            render_blocks(state, piece, out_, base, beat);
            done_ += piece;
            count -= piece;
            show();
        }
    }

    void finish() {
        if (progress_ && shown_) std::fputs("\r\033[K", stderr);
    }

private:
    void show() {
        auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        int percent = total_ > 0 ? static_cast<int>(done_ * 100 / total_) : 100;
        std::fprintf(stderr, "\rrendering  %s / %s  %d%%", seq::clock_text(done_ / blocks_per_second).c_str(),
                     seq::clock_text(total_ / blocks_per_second).c_str(), percent);
        std::fflush(stderr);
    }

    Writer& out_;
    std::int64_t total_;
    std::int64_t done_ = 0;
    bool progress_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

bool patch_header(const char* path, bool rf64) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    std::FILE* f = std::fopen(path, "r+");
    if (!f) return false;
    auto header = header_bytes(rf64, static_cast<std::uint64_t>(st.st_size));
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        usage(argv[0] ? argv[0] : "ambrise-render");
        return status_usage;
    }
    const char* sequence_path = argv[1];
    const char* output_path = argv[2];

    std::FILE* sequence_file = std::fopen(sequence_path, "r");
    if (!sequence_file) {
        std::fprintf(stderr, "ERROR: cannot open %s for reading\n", sequence_path);
        return status_read;
    }
    // Opening the output truncates it: never do that to the sequence itself.
    struct stat in_st, out_st;
    if (fstat(fileno(sequence_file), &in_st) == 0 && stat(output_path, &out_st) == 0 &&
        in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
        std::fprintf(stderr, "ERROR: %s is the sequence file\n", output_path);
        return status_write_open;
    }
    std::string text;
    slurp(sequence_file, text);
    std::fclose(sequence_file);

    int fd = open(output_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        std::fprintf(stderr, "ERROR: cannot open %s for writing\n", output_path);
        return status_write_open;
    }

    build_sine_table();

    // A dry pass gives the exact length, which decides the header's form.
    BlockCounter counter;
    RenderState dry = render_state;
    run_text(text, dry, counter);
    constexpr std::uint64_t block_bytes = frames_per_block * bytes_per_frame;
    auto blocks = static_cast<std::uint64_t>(counter.total);
    bool rf64 = blocks > (UINT64_MAX - wav_header_size) / block_bytes ||
                needs_rf64(wav_header_size + blocks * block_bytes);

    auto out = std::make_unique<Writer>(fd);
    auto header = header_bytes(rf64, 0);
    out->write(header.data(), header.size());
    RenderSink sink(*out, counter.total, isatty(STDERR_FILENO) == 1);
    run_text(text, render_state, sink);
    out->flush();
    sink.finish();
    bool ok = !out->failed();
    if (close(fd) != 0) ok = false;

    if (!patch_header(output_path, rf64)) ok = false;
    if (!ok) {
        std::fprintf(stderr, "ERROR: cannot write %s\n", output_path);
        return status_write_error;
    }
    return 0;
}
