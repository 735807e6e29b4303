// ambrise-render: runs a sequence file offline into a 44.1 kHz 16-bit
// stereo WAV file, or a compressed format.
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "background_mix.h"
#include "background_word.h"
#include "interpreter.h"
#include "kernels/kernel.h"
#include "loudness_run.h"
#include "output.h"
#include "output_file.h"
#include "sequence.h"
#include "synth.h"

using namespace render;

namespace {

RenderState render_state;

constexpr int status_usage = 255;
constexpr int status_read = 254;
constexpr int status_write_open = 253;
constexpr int status_write_error = 252;
constexpr int status_background = 251;

// A sequence that cannot be read twice (a pipe, a device) is kept in memory
// for the second pass: this much of it is read at most, and this much of
// its command lines kept, which bounds the memory a render takes.
constexpr std::uint64_t stream_limit = 64ull << 20;
constexpr std::size_t kept_limit = 32u << 20;

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_stop_signal(int signal) { stop_signal = signal; }

void usage(const char* name) {
    std::printf("Create a .wav file ready to burn to CD from an Ambrise sequence file:\n");
    std::printf("%s <sequence> <output>\n", name);
    std::printf("\t<sequence> = sequence file to read\n");
    std::printf("\t<output> the .wav file to create\n");
}

void help(const char* name) {
    std::printf("%s [--clean] [--loudness=LUFS] [--format=NAME] [--] <sequence> <output>\n"
                "%s --measure <sequence>\n"
                "Renders an Ambrise sequence file into a 44.1 kHz 16-bit stereo sound file.\n"
                "For listening, render with --clean, into FLAC to keep it small and exact:\n"
                "  %s --clean relaxation.seq relaxation.flac\n"
                "Options, before the paths:\n"
                "  --clean          samples without the midpoint, saturated instead of wrapped:\n"
                "                   no DC offset and no crackle at any volume (without it, the\n"
                "                   historic arithmetic, byte for byte)\n"
                "  --loudness=LUFS  scale the clean render by one gain to that integrated\n"
                "                   loudness (-40 to -5), the true peak kept at -1 dBTP at most\n"
                "  --measure        print the clean render's loudness, range and peaks only\n"
                "  --format=NAME    wav, flac, ogg, opus or mp3; otherwise by the output's\n"
                "                   extension, wav for any other\n"
                "  --help           this text\n"
                "  --version        the program's version\n"
                "  --               the end of the options\n"
                "A path - is standard input (sequence) or standard output (output).\n",
                name, name, name);
}

// The sequence, readable twice: a regular file is rewound, anything else
// is read once and its command lines kept in memory.
class SequenceInput {
public:
    ~SequenceInput() {
        if (memory_) std::fclose(memory_);
        if (file_ && file_ != stdin) std::fclose(file_);
    }

    enum Result { ok, cannot_read, too_long, too_many_commands };

    Result open(const char* path) {
        file_ = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "r");
        if (!file_ || fstat(fileno(file_), &stat_) != 0 || S_ISDIR(stat_.st_mode)) return cannot_read;
        if (S_ISREG(stat_.st_mode)) {
            start_ = ftello(file_);
            if (start_ >= 0) return ok;
        }
        return keep_stream();
    }

    // The stream for a pass from the start; null when it cannot be rewound.
    std::FILE* pass() {
        if (memory_) {
            std::rewind(memory_);
            return memory_;
        }
        if (kept_.empty() && start_ < 0) return nullptr;   // a stream without any command
        if (start_ < 0) {
            memory_ = fmemopen(kept_.data(), kept_.size(), "r");
            return memory_;
        }
        return fseeko(file_, start_, SEEK_SET) == 0 ? file_ : nullptr;
    }

    bool read_error() const { return file_ && std::ferror(file_); }
    const struct stat& status() const { return stat_; }

private:
    // Keeps only the pieces that carry a command, up to END or EXIT: the
    // rest changes nothing.
    Result keep_stream() {
        seq::LineBuffer line;
        std::uint64_t read = 0;
        while (seq::read_line(file_, line)) {
            read += line.length;
            if (read > stream_limit) return too_long;
            seq::Line l = seq::parse_line(line);
            if (l.command == seq::Command::None || l.command == seq::Command::Pause) continue;
            if (kept_.size() + line.length + 1 > kept_limit) return too_many_commands;
            // Reserved once: pages are taken only as they fill, and the
            // text is never copied to grow.
            if (kept_.empty()) kept_.reserve(kept_limit);
            kept_.append(line.text, strnlen(line.text, line.length));
            if (kept_.back() != '\n') kept_ += '\n';
            if (l.command == seq::Command::End || l.command == seq::Command::Exit) break;
        }
        return std::ferror(file_) ? cannot_read : ok;
    }

    std::FILE* file_ = nullptr;
    std::FILE* memory_ = nullptr;
    struct stat stat_ = {};
    off_t start_ = -1;
    std::string kept_;
};

// Renders into the output block by block, stops at a failed write or a
// stop signal, never goes past the length the header was given, and shows
// progress on a terminal.
class RenderSink : public BlockSink {
public:
    RenderSink(Output& out, std::int64_t total_blocks, bool progress)
        : out_(out), mix_(out), total_(total_blocks), progress_(progress),
          started_(std::chrono::steady_clock::now()) {}

    // A slide's work ahead is planned from its description: its seconds,
    // as far as the length the header was given. A run of blocks plans
    // its own as it comes.
    bool segment(RenderState& state, const Segment& s) override {
        if (s.command != seq::Command::Slide || stopped()) return true;
        std::int64_t left = (total_ - done_ + blocks_per_second - 1) / blocks_per_second;
        std::int64_t seconds = std::min(s.seconds(), left);
        if (seconds > 1) {
            ScaledVolume scaled(state, gain_);
            expect_slide(state, seconds, s.base, s.beat, s.beat_step);
        }
        return true;
    }
    void blocks(RenderState& state, std::int64_t count, double base, double beat) override {
        ScaledVolume scaled(state, gain_);
        if (count > total_ - done_) count = total_ - done_;
        if (count > 1 && !stopped()) expect_blocks(state, count, base, beat);
        if (!mix_.prepare(state)) return;
        while (count > 0 && !stopped()) {
            render_blocks(state, 1, mix_.sink(), base, beat);
            if (out_.failed()) break;
            ++done_;
            --count;
            if (progress_) show();
        }
    }
    bool stopped() const override {
        return stop_signal != 0 || out_.failed() || done_ >= total_ || !mix_.message().empty();
    }

    void finish() {
        if (progress_ && shown_) std::fputs("\r\033[K", stderr);
    }
    std::int64_t done() const { return done_; }
    // Why a background file could not be played after all ("" if it could).
    const std::string& background_failure() const { return mix_.message(); }
    // The --loudness gain, on the volume of every block.
    void set_gain(double gain) { gain_ = gain; }

private:
    void show() {
        auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        int percent = total_ > 0 ? static_cast<int>(static_cast<double>(done_) * 100.0 / static_cast<double>(total_)) : 100;
        double elapsed = std::chrono::duration<double>(now - started_).count();
        double sound = static_cast<double>(done_) / blocks_per_second;
        std::fprintf(stderr, "\rrendering  %s / %s  %d%%", seq::clock_text(done_ / blocks_per_second).c_str(),
                     seq::clock_text(total_ / blocks_per_second).c_str(), percent);
        if (elapsed > 0.2 && sound > 0) {
            double speed = sound / elapsed;
            auto left = static_cast<std::int64_t>(static_cast<double>(total_ - done_) / blocks_per_second / speed);
            std::fprintf(stderr, "  %.1fx real time  %s left", speed, seq::clock_text(left).c_str());
        }
        std::fputs("\033[K", stderr);
        std::fflush(stderr);
    }

    Output& out_;
    BackgroundMix mix_;
    std::int64_t total_;
    std::int64_t done_ = 0;
    bool progress_;
    double gain_ = 1.0;
    bool shown_ = false;
    std::chrono::steady_clock::time_point started_, last_;
};

// The dry pass, which also opens every background file the sequence names
// once, so that a missing or undecodable one is told before anything is
// written. The first failure is kept.
class DryPass : public BlockCounter {
public:
    void background(RenderState& state, const std::string& fault, long line, long) override {
        if (!failure.empty()) return;
        if (!fault.empty()) {
            failure = "line " + std::to_string(line) + ": " + fault;
            return;
        }
        if (!state.background.on) return;
        if (const auto& probed = probe_.probe(state.background.path); !probed.ok)
            failure = "line " + std::to_string(line) + ": " + cannot_play_background(probed.text);
    }
    bool stopped() const override { return !failure.empty(); }
    std::string failure;

private:
    BackgroundProbe probe_;
};

// A signal ignored at start (nohup, a background job of a script) stays
// ignored: the render was started not to be stopped by it.
void catch_stop_signals() {
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM}) {
        struct sigaction old = {};
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

// Which of standard input and output were open at start (bits 0 and 1);
// the standard descriptors that were not are taken by /dev/null, so that no
// file opened later takes their place (the sequence read as if it were the
// output).
int open_standard_streams() {
    int open_at_start = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            open_at_start |= 1 << fd;
            continue;
        }
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) close(null);
    }
    return open_at_start;
}

// One line when the exact mode wrapped: how often, and from what volume on
// the partial count that wrapped most would not have.
void warn_wraps(const WrapCount& wraps) {
    if (wraps.total == 0) return;
    int n = 0;
    for (int k = 1; k <= max_partials; ++k)
        if (wraps.by_partials[k] > wraps.by_partials[n]) n = k;
    std::fprintf(stderr,
                 "warning: %lld samples wrapped past the 16-bit range (volume above %d with %d partial%s%s); "
                 "render with --clean for clean audio\n",
                 static_cast<long long>(wraps.total), highest_unwrapped_volume(n), n, n == 1 ? "" : "s",
                 wraps.with_noise ? ", less with noise" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = argv[0] ? argv[0] : "ambrise-render";
    // A diagnostic choice of the synthesis kernel: one the processor lacks
    // is refused rather than replaced.
    if (std::string message; !choose_kernel(std::getenv("AMBRISE_KERNEL"), message)) {
        std::fprintf(stderr, "ERROR: %s\n", message.c_str());
        return 1;
    }
    bool clean = false;
    bool measure = false;
    double loudness = 0.0;
    bool loudness_given = false;
    bool format_given = false;
    Format format = Format::wav;
    int arg = 1;
    for (; arg < argc; ++arg) {
        std::string_view a = argv[arg];
        if (a.substr(0, 2) != "--") break;
        if (a == "--") {
            ++arg;
            break;
        }
        if (a == "--help") {
            help(name);
            return 0;
        }
        if (a == "--version") {
            std::printf("ambrise-render 2.1\n");
            return 0;
        }
        if (a == "--clean") {
            clean = true;
        } else if (a == "--measure") {
            measure = true;
        } else if (a == "--loudness" || a.substr(0, 11) == "--loudness=") {
            const char* value = a.size() > 10 ? argv[arg] + 11 : arg + 1 < argc ? argv[++arg] : "";
            if (!read_loudness_target(value, loudness)) {
                std::fprintf(stderr, "ERROR: --loudness takes a target from -40 to -5 LUFS, not '%s'\n", value);
                return status_usage;
            }
            loudness_given = clean = true;   // the default rule's bytes are fixed
        } else if (a.substr(0, 9) == "--format=") {
            if (!format_for_name(a.substr(9), format)) {
                std::fprintf(stderr, "ERROR: unknown format %s (wav, flac, ogg, opus, mp3)\n", argv[arg] + 9);
                return status_usage;
            }
            format_given = true;
        } else {
            std::fprintf(stderr, "ERROR: unknown option %s (see --help)\n", argv[arg]);
            return status_usage;
        }
    }
    if (argc - arg < (measure ? 1 : 2)) {
        usage(name);
        return status_usage;
    }
    const char* sequence_path = argv[arg];
    const char* output_path = measure ? "-" : argv[arg + 1];
    bool to_stdout = std::strcmp(output_path, "-") == 0;
    if (!format_given && !to_stdout) format = format_for_path(output_path);
    int streams = open_standard_streams();
    if (to_stdout && !(streams & 2)) {
        std::fprintf(stderr, "ERROR: cannot open - for writing (standard output is closed)\n");
        return status_write_open;
    }
    if (std::strcmp(sequence_path, "-") == 0 && !(streams & 1)) {
        std::fprintf(stderr, "ERROR: cannot open - for reading\n");
        return status_read;
    }

    // A write to a closed pipe is an error to report, not a reason to die.
    std::signal(SIGPIPE, SIG_IGN);

    SequenceInput input;
    switch (input.open(sequence_path)) {
        case SequenceInput::ok: break;
        case SequenceInput::cannot_read:
            std::fprintf(stderr, "ERROR: cannot open %s for reading\n", sequence_path);
            return status_read;
        case SequenceInput::too_long:
            std::fprintf(stderr, "ERROR: %s is longer than %llu MiB; only a regular file may be longer\n",
                         sequence_path, static_cast<unsigned long long>(stream_limit >> 20));
            return status_read;
        case SequenceInput::too_many_commands:
            std::fprintf(stderr, "ERROR: %s holds more than %zu MiB of commands; only a regular file may hold more\n",
                         sequence_path, kept_limit >> 20);
            return status_read;
    }

    build_sine_table();

    // A dry pass gives the exact length, which the header needs first.
    render_state.directory = seq::sequence_directory(sequence_path);
    if (const char* home = std::getenv("HOME")) render_state.home = home;
    DryPass counter;
    RenderState dry = render_state;
    if (std::FILE* in = input.pass()) run_sequence(in, dry, counter);
    if (input.read_error()) {
        std::fprintf(stderr, "ERROR: cannot open %s for reading\n", sequence_path);
        return status_read;
    }
    if (!counter.failure.empty()) {
        std::fprintf(stderr, "ERROR: %s: %s\n", sequence_path, counter.failure.c_str());
        return status_background;
    }
    if (measure) {
        print_measurement(input.pass(), render_state, counter.total);
        return input.read_error() ? status_read : 0;
    }

    std::string message;
    if (!format_supported(format, message)) {
        std::fprintf(stderr, "ERROR: cannot write %s: %s\n", output_path, message.c_str());
        return status_write_open;
    }

    // Measured before the output is touched: nothing is written until the
    // gain is known, and an interruption leaves an old file as it was.
    double gain = loudness_given ? loudness_pass(input.pass(), render_state, loudness, counter.total) : 1.0;

    // A file is written anew beside the target and renamed over it at the
    // end, so that a failed render leaves what was there; standard output
    // is written as it is. Neither may be the sequence, under any name.
    catch_stop_signals();
    outfile::OutputFile file;
    std::vector<struct stat> inputs{input.status()};
    auto status = !to_stdout                                     ? file.open(output_path, inputs)
                  : outfile::is_one_of(STDOUT_FILENO, inputs) ? outfile::OutputFile::is_input
                                                              : outfile::OutputFile::ok;
    if (status == outfile::OutputFile::is_input) {
        std::fprintf(stderr, "ERROR: %s is the sequence file\n", output_path);
        return status_write_open;
    }
    if (status != outfile::OutputFile::ok) {
        std::fprintf(stderr, "ERROR: cannot open %s for writing\n", output_path);
        return status_write_open;
    }
    int fd = to_stdout ? STDOUT_FILENO : file.fd();

    std::unique_ptr<Output> out;
    if (format == Format::wav) {
        out = wav_output(fd, frames_of_blocks(counter.total));
    } else {
        out = sndfile_output(fd, format, message);
        if (!out) {
            std::fprintf(stderr, "ERROR: cannot open %s for writing (%s)\n", output_path, message.c_str());
            return status_write_open;
        }
    }

    render_state.mode = clean ? SampleMode::clean : SampleMode::exact;
    RenderSink sink(*out, counter.total, isatty(STDERR_FILENO) == 1);
    sink.set_gain(gain);
    if (std::FILE* in = input.pass()) run_sequence(in, render_state, sink);
    sink.finish();
    if (!sink.background_failure().empty()) {
        // Gone or changed since the dry pass: what was there stays.
        out.reset();
        if (!to_stdout) file.abandon();
        std::fprintf(stderr, "ERROR: %s: line %ld: %s\n", sequence_path, render_state.background.line,
                     cannot_play_background(sink.background_failure()).c_str());
        return status_background;
    }
    bool ok = out->finish();
    int error = out->error();
    out.reset();
    if (!to_stdout) {
        if (ok && !file.commit()) {
            ok = false;
            error = errno;
        }
        file.abandon();
    }

    if (!ok) {
        if (error == EPIPE)
            std::fprintf(stderr, "ERROR: cannot write %s: %s\n", output_path, std::strerror(error));
        else
            std::fprintf(stderr, "ERROR: cannot write %s\n", output_path);
        return status_write_error;
    }
    if (!clean) warn_wraps(render_state.wraps);
    if (stop_signal != 0) {
        std::fprintf(stderr, "interrupted after %s of %s\n", seq::clock_text(sink.done() / blocks_per_second).c_str(),
                     seq::clock_text(counter.total / blocks_per_second).c_str());
        return 128 + stop_signal;
    }
    return 0;
}
