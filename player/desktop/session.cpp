#include "session.h"

#include <cstdlib>
#include <gtk/gtk.h>
#include <string>

#include "actions.h"
#include "inhibit.h"
#include "logic.h"
#include "memory.h"
#include "mpris.h"
#include "state.h"

void (*desktop_set_title)(const char*) = nullptr;

namespace {

constexpr guint sync_interval_ms = 200;

// The process ends only here (Quit's end, a second Quit, the timer's end):
// the inhibitor is let go before it does.
void release_then_exit(int status) {
    inhibit_release_now();
    std::exit(status);
}

gint desktop_tick(gpointer) {
    static double last = desktop_clock();
    double now = desktop_clock();
    account_time(now - last);
    last = now;
    mpris_sync();
    inhibit_update(desk::wants_inhibit(desktop.inhibit, player.volume.load(relaxed), desktop.gains.muted(),
                                       player.exiting));
    static std::string shown;
    std::string title = window_title();
    if (title != shown && desktop_set_title) {
        desktop_set_title(title.c_str());
        shown = title;
    }
    return TRUE;
}

}  // namespace

void desktop_start(const DesktopOptions& options) {
    desktop.memory = desk::memory_file();
    desktop.inhibit = options.inhibit;
    desktop.recent = options.sequence ? options.sequence : desk::recall_sequence(desktop.memory);
    if (options.timer_minutes > 0.0) set_sleep_timer(options.timer_minutes);
    exit_player = release_then_exit;
    mpris_start();
    g_timeout_add(sync_interval_ms, desktop_tick, nullptr);
}
