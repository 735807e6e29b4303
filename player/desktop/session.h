// The player as a desktop citizen: the remote-control service, the
// inhibitor, the sleep timer and the memory of the last sequence, wired to
// the window's actions. Main thread only.
#pragma once

struct DesktopOptions {
    const char* sequence = nullptr;   // named on the command line
    double timer_minutes = 0.0;       // -timer, 0 for none
    bool inhibit = true;              // -noinhibit clears it
};

// After the main window exists, before the command line's sequence starts.
void desktop_start(const DesktopOptions& options);

// The window's title setter, called when the title's text changes.
extern void (*desktop_set_title)(const char* title);
