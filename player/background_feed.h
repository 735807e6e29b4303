// The background's decoder thread: it owns the sound file (opening,
// decoding, resampling) and keeps the ring the audio thread reads about
// half a second ahead. A change of file is crossfaded into the frames over
// 50 ms, and so is the end of one: after that the ring carries silence.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "background_mix.h"

class BackgroundFeed {
public:
    // The process's one feed. Never destroyed: the audio and decoder threads
    // may still use it while the process exits.
    static BackgroundFeed& instance();

    BackgroundLink& link() { return link_; }

    // Main thread: the file to play ("" for none). Only the decoder thread
    // waits on what this takes; the first call starts that thread.
    void play(const std::string& path);
    // Main thread: the level, in percent of the file's own level.
    void set_level(double percent);
    // Reads of the audio thread that found the ring dry (one per period).
    std::uint64_t underruns() const { return link_.ring.underruns(); }

    BackgroundFeed() = default;
    BackgroundFeed(const BackgroundFeed&) = delete;
    BackgroundFeed& operator=(const BackgroundFeed&) = delete;
    // Tests' own feeds end their thread; the process's is never destroyed.
    ~BackgroundFeed();

private:
    void run();

    BackgroundLink link_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::string wanted_;
    std::uint64_t generation_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// The line printed at exit when the background ran dry, or "" when it never did.
std::string underrun_report(std::uint64_t underruns);
