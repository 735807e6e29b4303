// The sound device as the audio thread sees it: an OSS-style device with
// its requests and writes. Backends: the OSS node /dev/dsp, an emulation
// over ALSA's default PCM, and a test double.
#pragma once

#include <cstddef>
#include <memory>

class SoundDevice {
public:
    virtual ~SoundDevice() = default;
    // Each request works like its ioctl: 0 on success, -1 with errno set on
    // failure; the device may overwrite the value.
    virtual int set_fragment(int* value) = 0;
    virtual int set_format(int* value) = 0;   // AFMT_U8 or AFMT_S16_LE
    virtual int set_stereo(int* value) = 0;
    virtual int set_speed(int* value) = 0;
    // Blocks as the device does; returns the bytes taken or -1.
    virtual long write(const void* data, std::size_t size) = 0;
    // Plays out what was written and waits until it has been heard.
    virtual void drain() {}
    // Bytes the device queues before a write blocks.
    virtual std::size_t queue_bytes() const { return 2048; }
    // True while nothing shows that the device's writes keep real time:
    // no device at all, or a sink that takes everything at once. A device
    // whose writes block paces the stream by itself, at its own clock.
    virtual bool may_run_ahead() const { return true; }
    // False when no device could be opened at all.
    virtual bool present() const { return true; }
};

// Opens the device: the OSS node when it opens, else the ALSA emulation;
// when neither opens, prints the failure and returns a device whose every
// call fails. Never null.
std::unique_ptr<SoundDevice> open_sound_device();

// The device factory the audio thread uses; tests put the double here.
extern std::unique_ptr<SoundDevice> (*sound_device_factory)();
