#include "inhibit.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <string>
#include <unistd.h>

const char* const inhibit_reason = "Playing a binaural sequence";

namespace {

enum Backend { Portal, Gnome, Power, Logind, None };
const char* const backend_names[] = {"portal", "gnome", "power", "logind"};

constexpr int call_timeout_ms = 10000;
constexpr guint32 suspend_flag = 4;   // the portal's and the session manager's

struct Held {
    Backend backend = None;
    guint32 cookie = 0;
    std::string handle;   // the portal's request object
    int fd = -1;          // logind's
};

bool wanted = false;
bool busy = false;       // a request is on its way
bool gave_up = false;    // nobody answered: asked again when sound returns
Held held;

void take(Backend from);

GDBusConnection* bus_for(Backend b) {
    GError* error = nullptr;
    GDBusConnection* c = g_bus_get_sync(b == Logind ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) g_error_free(error);
    return c;
}

void release() {
    Held h = held;
    held = Held{};
    if (h.backend == None) return;
    if (h.backend == Logind) {
        close(h.fd);
        return;
    }
    GDBusConnection* c = bus_for(h.backend);
    if (!c) return;
    if (h.backend == Portal)
        g_dbus_connection_call(c, "org.freedesktop.portal.Desktop", h.handle.c_str(), "org.freedesktop.portal.Request",
                               "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, call_timeout_ms, nullptr, nullptr,
                               nullptr);
    else if (h.backend == Gnome)
        g_dbus_connection_call(c, "org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
                               "Uninhibit", g_variant_new("(u)", h.cookie), nullptr, G_DBUS_CALL_FLAGS_NONE,
                               call_timeout_ms, nullptr, nullptr, nullptr);
    else
        g_dbus_connection_call(c, "org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
                               "org.freedesktop.PowerManagement.Inhibit", "UnInhibit",
                               g_variant_new("(u)", h.cookie), nullptr, G_DBUS_CALL_FLAGS_NONE, call_timeout_ms,
                               nullptr, nullptr, nullptr);
    g_object_unref(c);
}

void taken(GObject* source, GAsyncResult* result, gpointer data) {
    auto b = static_cast<Backend>(GPOINTER_TO_INT(data));
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source), &fds, result, nullptr);
    g_object_unref(source);
    if (!reply) {
        // Not there or refused: the next one in line.
        if (fds) g_object_unref(fds);
        take(static_cast<Backend>(b + 1));
        return;
    }
    held.backend = b;
    if (b == Portal) {
        const char* handle = nullptr;
        g_variant_get(reply, "(&o)", &handle);
        held.handle = handle;
    } else if (b == Logind) {
        gint32 index = 0;
        g_variant_get(reply, "(h)", &index);
        held.fd = fds ? g_unix_fd_list_get(fds, index, nullptr) : -1;
        if (held.fd < 0) held.backend = None;
    } else {
        g_variant_get(reply, "(u)", &held.cookie);
    }
    if (fds) g_object_unref(fds);
    g_variant_unref(reply);
    busy = false;
    if (!wanted) release();
}

void take(Backend from) {
    if (from == None) {
        // Nobody to ask: sound plays as before, and the machine may sleep.
        busy = false;
        gave_up = true;
        return;
    }
    GDBusConnection* c = bus_for(from);
    if (!c) {
        take(static_cast<Backend>(from + 1));
        return;
    }
    const char *name, *path, *interface, *method;
    GVariant* args;
    if (from == Portal) {
        name = "org.freedesktop.portal.Desktop";
        path = "/org/freedesktop/portal/desktop";
        interface = "org.freedesktop.portal.Inhibit";
        method = "Inhibit";
        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&options, "{sv}", "reason", g_variant_new_string(inhibit_reason));
        args = g_variant_new("(su@a{sv})", "", suspend_flag, g_variant_builder_end(&options));
    } else if (from == Gnome) {
        name = "org.gnome.SessionManager";
        path = "/org/gnome/SessionManager";
        interface = "org.gnome.SessionManager";
        method = "Inhibit";
        args = g_variant_new("(susu)", "ambrise", 0u, inhibit_reason, suspend_flag);
    } else if (from == Power) {
        name = "org.freedesktop.PowerManagement";
        path = "/org/freedesktop/PowerManagement/Inhibit";
        interface = "org.freedesktop.PowerManagement.Inhibit";
        method = "Inhibit";
        args = g_variant_new("(ss)", "Ambrise", inhibit_reason);
    } else {
        name = "org.freedesktop.login1";
        path = "/org/freedesktop/login1";
        interface = "org.freedesktop.login1.Manager";
        method = "Inhibit";
        args = g_variant_new("(ssss)", "idle:sleep", "Ambrise", inhibit_reason, "block");
    }
    // The portal and logind are started on demand where they are installed;
    // a session manager is running or absent.
    auto flags = from == Portal || from == Logind ? G_DBUS_CALL_FLAGS_NONE : G_DBUS_CALL_FLAGS_NO_AUTO_START;
    g_dbus_connection_call_with_unix_fd_list(c, name, path, interface, method, args, nullptr, flags, call_timeout_ms,
                                             nullptr, nullptr, taken, GINT_TO_POINTER(from));
}

}  // namespace

void inhibit_update(bool want) {
    wanted = want;
    if (!want) gave_up = false;
    if (busy) return;   // decided again when the call answers
    if (want && held.backend == None && !gave_up) {
        busy = true;
        take(Portal);
    } else if (!want && held.backend != None) {
        release();
    }
}

void inhibit_release_now() {
    wanted = false;
    if (held.backend == None) return;
    Backend b = held.backend;
    release();
    // The calls queued on the buses are sent before the process ends.
    if (b != Logind)
        if (GDBusConnection* c = bus_for(b)) {
            g_dbus_connection_flush_sync(c, nullptr, nullptr);
            g_object_unref(c);
        }
}

const char* inhibit_holder() { return held.backend == None ? nullptr : backend_names[held.backend]; }
