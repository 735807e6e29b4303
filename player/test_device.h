// A sound device for tests: answers each request as configured, records the
// requests and the bytes, and can ask the audio thread to stop.
#pragma once

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "device.h"
#include "state.h"

struct Answer {
    int result = 0;        // 0 or -1
    int error = 0;         // errno on failure
    int value = -1;        // value handed back; -1 leaves the request's own
};

class TestDevice : public SoundDevice {
public:
    struct Config {
        Answer fragment, format, stereo, speed;
        std::size_t quit_after_bytes = 0;   // sets quit_audio once reached
        bool present = true;                // false: no device was opened
    };
    struct Record {
        std::vector<std::pair<std::string, int>> requests;
        std::vector<unsigned char> bytes;
        std::vector<std::size_t> write_sizes;
        bool drained = false;
    };

    TestDevice(Config c, Record& r) : config_(c), record_(r) {}

    int set_fragment(int* v) override { return answer("SNDCTL_DSP_SETFRAGMENT", config_.fragment, v); }
    int set_format(int* v) override { return answer("SNDCTL_DSP_SETFMT", config_.format, v); }
    int set_stereo(int* v) override { return answer("SNDCTL_DSP_STEREO", config_.stereo, v); }
    int set_speed(int* v) override { return answer("SNDCTL_DSP_SPEED", config_.speed, v); }
    long write(const void* data, std::size_t size) override {
        const auto* p = static_cast<const unsigned char*>(data);
        record_.bytes.insert(record_.bytes.end(), p, p + size);
        record_.write_sizes.push_back(size);
        if (config_.quit_after_bytes && record_.bytes.size() >= config_.quit_after_bytes)
            player.quit_audio.store(true, relaxed);
        return static_cast<long>(size);
    }
    void drain() override { record_.drained = true; }
    bool may_run_ahead() const override { return false; }
    bool present() const override { return config_.present; }

private:
    int answer(const char* name, const Answer& a, int* v) {
        record_.requests.emplace_back(name, *v);
        if (a.result != 0) {
            errno = a.error;
            return -1;
        }
        if (a.value != -1) *v = a.value;
        return 0;
    }
    Config config_;
    Record& record_;
};
