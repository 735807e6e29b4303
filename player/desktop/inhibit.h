// Keeps the session from suspending while the player makes sound, through
// the first of these that answers: the desktop portal's Inhibit (suspend),
// the GNOME session manager, org.freedesktop.PowerManagement, and logind's
// idle:sleep block on the system bus. The screen may still blank and lock.
#pragma once

extern const char* const inhibit_reason;

// Takes or releases the inhibitor to match `wanted`; calls are
// asynchronous and a change of mind while one is under way is honoured
// when it answers. Main loop only.
void inhibit_update(bool wanted);
// Releases at once, waiting for the answer (at exit).
void inhibit_release_now();
// The service that holds it now ("portal", "gnome", "power", "logind"),
// or null.
const char* inhibit_holder();
