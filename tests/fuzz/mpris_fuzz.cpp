// Fuzz target for the remote-control handlers, called as the bus calls
// them: any method or property name on either interface, with arguments of
// any type and any value (NaN or huge volumes, wrong types, odd strings),
// between steps of the gain stages. The volume and the gain must stay in
// range, the status must be one of the three, and nothing may fault.
// An input is a run of records: op, interface, name, type, length, bytes.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <glib.h>
#include <string>

#include "desktop_reset.h"
#include "mpris.h"

namespace {

const char* const interfaces[] = {mpris_root_interface, mpris_player_interface, "org.freedesktop.DBus.Properties",
                                  ""};
const char* const names[] = {"Raise",    "Quit",        "Play",     "Pause",        "PlayPause", "Stop",
                             "Next",     "Previous",    "Seek",     "SetPosition",  "OpenUri",   "Volume",
                             "Metadata", "PlaybackStatus", "Position", "Rate",     "CanPlay",   "Identity",
                             "SupportedMimeTypes", "HasTrackList", "", "volume"};
const char* const types[] = {"()", "(x)", "(ox)", "(s)", "d", "(d)", "s", "v", "a{sv}", "(sua{sv})", "x", "b", "ay",
                             "(i)"};

template <std::size_t n>
const char* pick(const char* const (&list)[n], std::uint8_t byte) {
    return list[byte % n];
}

void check_invariants() {
    double volume = player.volume.load(), gain = player.output_gain.load();
    if (!(volume >= 0.0 && volume <= 100.0)) __builtin_trap();
    if (!(gain >= 0.0 && gain <= 1.0)) __builtin_trap();
    const char* s = desk::status_name(current_status());
    if (std::strcmp(s, "Playing") && std::strcmp(s, "Paused") && std::strcmp(s, "Stopped")) __builtin_trap();
    if (GVariant* changed = mpris_changes()) g_variant_unref(g_variant_ref_sink(changed));
}

void run(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at + 5 <= size;) {
        std::uint8_t op = data[at], length = data[at + 4];
        const char* interface = pick(interfaces, data[at + 1]);
        const char* name = pick(names, data[at + 2]);
        const char* type = pick(types, data[at + 3]);
        at += 5;
        std::size_t n = std::min<std::size_t>(length, size - at);
        GBytes* bytes = g_bytes_new(data + at, n);
        at += n;
        // Serialised data of any shape reads as some value of the type.
        GVariant* value = g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(type), bytes, FALSE));
        g_bytes_unref(bytes);
        switch (op % 4) {
            case 0: {
                const char* error = nullptr;
                GVariant* reply = mpris_method(interface, name, op & 4 ? nullptr : value, &error);
                if (!reply == !error) __builtin_trap();
                if (reply) g_variant_unref(g_variant_ref_sink(reply));
                break;
            }
            case 1:
                if (GVariant* v = mpris_property(interface, name)) g_variant_unref(v);
                break;
            case 2:
                mpris_set_property(interface, name, value);
                break;
            case 3:
                desktop_test::run_gain(static_cast<double>(n) * 0.05);
                break;
        }
        g_variant_unref(value);
        check_invariants();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    desktop_test::reset();
    try {
        run(data, size);
    } catch (const desktop_test::Exited&) {
        // A second Quit ends at once.
    }
    desktop_test::reset();
    return 0;
}
