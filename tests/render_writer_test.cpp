// The output file's writer: everything given arrives in order, and a
// failed write is reported with its errno once the writer is flushed.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "prefault.h"
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
