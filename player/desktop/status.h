// What the desktop is told about the player: its playback status and
// whether it should keep the session from suspending. Pure rules.
#pragma once

namespace desk {

enum class Status { Playing, Paused, Stopped };

// A media key means silence: muted with no sequence open is Stopped, muted
// or a paused sequence is Paused, anything else is heard and Playing.
inline Status playback_status(bool muted, bool sequence_open, bool paused) {
    if (muted && !sequence_open) return Status::Stopped;
    if (muted || (sequence_open && paused)) return Status::Paused;
    return Status::Playing;
}

inline const char* status_name(Status s) {
    switch (s) {
        case Status::Playing: return "Playing";
        case Status::Paused: return "Paused";
        case Status::Stopped: return "Stopped";
    }
    return "Stopped";
}

// Sound is made while the volume is above 0 and the media keys have not
// muted it; a player on its way out makes none that matters.
inline bool wants_inhibit(bool enabled, double volume, bool muted, bool exiting) {
    return enabled && volume > 0.0 && !muted && !exiting;
}

}  // namespace desk
