// The output file's writer: everything given arrives in order, and a
// failed write is reported with its errno once the writer is flushed; the
// header forms and the length the WAV writer declares.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "prefault.h"
#include "output.h"
#include "wav.h"
#include "writer.h"

using render::Writer;

namespace {

// Gives the writer bytes through all three of its doors, in pieces of
// every size; returns the bytes given.
std::vector<unsigned char> feed(Writer& w, std::size_t total) {
    std::vector<unsigned char> given;
    unsigned value = 1;
    std::size_t piece = 1;
    while (given.size() < total) {
        unsigned char bytes[20000];
        std::size_t n = piece % 17640 + 1;
        for (std::size_t k = 0; k < n; ++k) {
            value = value * 1103515245u + 12345u;
            bytes[k] = static_cast<unsigned char>(value >> 16);
        }
        switch (piece % 3) {
            case 0: {
                unsigned char* p = w.room(n);
                for (std::size_t k = 0; k < n; ++k) p[k] = bytes[k];
                w.commit(n);
                break;
            }
            case 1: w.write(bytes, n); break;
            default:
                n &= ~std::size_t{1};
                for (std::size_t k = 0; k < n; k += 2) w.put16(static_cast<std::uint16_t>(bytes[k] | bytes[k + 1] << 8));
                break;
        }
        given.insert(given.end(), bytes, bytes + n);
        piece = piece * 7 + 3;
    }
    return given;
}

}  // namespace

TEST(Writer, WritesEverythingInOrder) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::vector<unsigned char> given;
    {
        Writer w(fileno(file));
        given = feed(w, 5u << 20);
        w.flush();
        EXPECT_FALSE(w.failed());
        EXPECT_EQ(w.written(), given.size());
        // More after a flush, then the destructor's flush.
        std::vector<unsigned char> more = feed(w, 3000);
        given.insert(given.end(), more.begin(), more.end());
    }
    std::vector<unsigned char> got(given.size() + 1);
    std::rewind(file);
    EXPECT_EQ(std::fread(got.data(), 1, got.size(), file), given.size());
    got.resize(given.size());
    EXPECT_TRUE(got == given);
    std::fclose(file);
}

TEST(Writer, FailedWritesAreReportedAndTheRestDropped) {
    // A full device, and a pipe whose reader is gone.
    int full = open("/dev/full", O_WRONLY);
    if (full >= 0) {
        Writer w(full);
        feed(w, 4u << 20);
        w.flush();
        EXPECT_TRUE(w.failed());
        EXPECT_EQ(w.error(), ENOSPC);
        EXPECT_EQ(w.written(), 0u);
        close(full);
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    auto old = std::signal(SIGPIPE, SIG_IGN);
    {
        Writer w(ends[1]);
        feed(w, 3u << 20);
        w.flush();
        EXPECT_TRUE(w.failed());
        EXPECT_EQ(w.error(), EPIPE);
    }
    std::signal(SIGPIPE, old);
    close(ends[1]);
}

TEST(Prefault, KeepsWhatTheMemoryHolds) {
    // Mapping pages ahead must not change them: the tables are filled
    // before or after, and a buffer may already hold frames. Ranges that
    // start and end inside pages, and one smaller than a page.
    std::vector<unsigned char> memory(5 * 4096 + 123);
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<unsigned char>(i * 7 + 3);
    render::prefault(memory.data() + 17, memory.size() - 40);
    render::prefault(memory.data() + 5, 100);
    render::prefault(memory.data(), 0);
    for (std::size_t i = 0; i < memory.size(); ++i)
        ASSERT_EQ(memory[i], static_cast<unsigned char>(i * 7 + 3)) << "byte " << i;
}

// A WAV planned past the 32-bit sizes keeps 80 bytes of header: RIFF with a
// JUNK chunk while what was written fits them, RF64 once it does not.
TEST(WavHeader, LongFormIsRiffWithJunkUntilItPassesTheLimit) {
    using namespace render;
    auto u32 = [](const std::vector<unsigned char>& h, int o) {
        return h[o] | h[o + 1] << 8 | h[o + 2] << 16 | static_cast<std::uint32_t>(h[o + 3]) << 24;
    };
    std::uint64_t size = 80 + 176400ull * 10;
    auto h = header_bytes(true, size);
    ASSERT_EQ(h.size(), rf64_header_size);
    EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "RIFF");
    EXPECT_EQ(u32(h, 4), size - 8);
    EXPECT_EQ(std::string(h.begin() + 12, h.begin() + 16), "JUNK");
    EXPECT_EQ(u32(h, 16), 28u);
    for (int i = 20; i < 48; ++i) EXPECT_EQ(h[i], 0) << i;
    auto rf64 = rf64_header(size);
    EXPECT_TRUE(std::equal(h.begin() + 48, h.begin() + 76, rf64.begin() + 48));   // fmt and "data"
    EXPECT_EQ(u32(h, 76), 176400u * 10);
    auto last = header_bytes(true, riff_size_limit);
    EXPECT_EQ(u32(last, 4), 0xFFFFFFFFu);
    auto over = header_bytes(true, riff_size_limit + 1);
    EXPECT_EQ(std::string(over.begin(), over.begin() + 4), "RF64");
    EXPECT_EQ(std::string(over.begin() + 12, over.begin() + 16), "ds64");
    // Short renders keep their 44 bytes.
    auto short_form = header_bytes(false, 176444);
    auto canonical = wav_header(176444);
    EXPECT_TRUE(std::equal(short_form.begin(), short_form.end(), canonical.bytes.begin()));
}

TEST(OutputLength, FramesSaturateInsteadOfWrapping) {
    using namespace render;
    EXPECT_EQ(frames_of_blocks(10), 44100u);
    EXPECT_EQ(frames_of_blocks(-1), 0u);
    EXPECT_EQ(frames_of_blocks(INT64_MAX), UINT64_MAX);
    EXPECT_EQ(frames_of_blocks(static_cast<std::int64_t>(UINT64_MAX / 4410 + 1)), UINT64_MAX);
}

TEST(OutputFormat, NamesInAnyCase) {
    using namespace render;
    Format f = Format::wav;
    EXPECT_TRUE(format_for_name("MP3", f));
    EXPECT_EQ(f, Format::mp3);
    EXPECT_TRUE(format_for_name("Flac", f));
    EXPECT_EQ(f, Format::flac);
    EXPECT_FALSE(format_for_name("aiff", f));
    EXPECT_EQ(format_for_path("x.OPUS"), Format::opus);
}
