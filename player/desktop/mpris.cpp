#include "mpris.h"

#include <cmath>
#include <cstring>
#include <gio/gio.h>
#include <string>
#include <unistd.h>

#include "actions.h"
#include "logic.h"

const char* const mpris_root_interface = "org.mpris.MediaPlayer2";
const char* const mpris_player_interface = "org.mpris.MediaPlayer2.Player";

namespace {

constexpr const char* object_path = "/org/mpris/MediaPlayer2";
constexpr const char* bus_name = "org.mpris.MediaPlayer2.ambrise";
constexpr const char* sequence_mime_type = "application/x-ambrise-sequence";

const char* const introspection =
    "<node>"
    " <interface name='org.mpris.MediaPlayer2'>"
    "  <method name='Raise'/><method name='Quit'/>"
    "  <property name='CanQuit' type='b' access='read'/>"
    "  <property name='CanRaise' type='b' access='read'/>"
    "  <property name='HasTrackList' type='b' access='read'/>"
    "  <property name='Identity' type='s' access='read'/>"
    "  <property name='DesktopEntry' type='s' access='read'/>"
    "  <property name='SupportedUriSchemes' type='as' access='read'/>"
    "  <property name='SupportedMimeTypes' type='as' access='read'/>"
    " </interface>"
    " <interface name='org.mpris.MediaPlayer2.Player'>"
    "  <method name='Next'/><method name='Previous'/><method name='Pause'/>"
    "  <method name='PlayPause'/><method name='Stop'/><method name='Play'/>"
    "  <method name='Seek'><arg direction='in' name='Offset' type='x'/></method>"
    "  <method name='SetPosition'><arg direction='in' name='TrackId' type='o'/>"
    "   <arg direction='in' name='Position' type='x'/></method>"
    "  <method name='OpenUri'><arg direction='in' name='Uri' type='s'/></method>"
    "  <signal name='Seeked'><arg name='Position' type='x'/></signal>"
    "  <property name='PlaybackStatus' type='s' access='read'/>"
    "  <property name='Rate' type='d' access='read'/>"
    "  <property name='Metadata' type='a{sv}' access='read'/>"
    "  <property name='Volume' type='d' access='readwrite'/>"
    "  <property name='Position' type='x' access='read'/>"
    "  <property name='MinimumRate' type='d' access='read'/>"
    "  <property name='MaximumRate' type='d' access='read'/>"
    "  <property name='CanGoNext' type='b' access='read'/>"
    "  <property name='CanGoPrevious' type='b' access='read'/>"
    "  <property name='CanPlay' type='b' access='read'/>"
    "  <property name='CanPause' type='b' access='read'/>"
    "  <property name='CanSeek' type='b' access='read'/>"
    "  <property name='CanControl' type='b' access='read'/>"
    " </interface>"
    "</node>";

// What the remote may do never changes: it plays, pauses and sets the
// volume; a sequence runs forward only.
struct Flag {
    const char* name;
    bool value;
};
constexpr Flag player_flags[] = {{"CanPlay", true},   {"CanPause", true},      {"CanControl", true},
                                 {"CanSeek", false},  {"CanGoNext", false},    {"CanGoPrevious", false}};
constexpr const char* signalled[] = {"PlaybackStatus", "Metadata", "Volume", "CanPlay",  "CanPause",
                                     "CanControl",     "CanSeek",  "CanGoNext", "CanGoPrevious"};

GVariant* metadata() {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    if (sequence_open()) {
        std::string track = "/org/ambrise/Ambrise/track/" + std::to_string(desktop.track);
        g_variant_builder_add(&b, "{sv}", "mpris:trackid", g_variant_new_object_path(track.c_str()));
        // A title that is no valid text is shown as the file's name would be.
        std::string title = g_utf8_validate(desktop.current_title.c_str(), -1, nullptr) ? desktop.current_title
                                                                                           : "Ambrise sequence";
        g_variant_builder_add(&b, "{sv}", "xesam:title", g_variant_new_string(title.c_str()));
        if (desktop.current_seconds >= 0)
            g_variant_builder_add(&b, "{sv}", "mpris:length", g_variant_new_int64(desktop.current_seconds * 1000000));
    } else {
        g_variant_builder_add(&b, "{sv}", "mpris:trackid", g_variant_new_object_path("/org/ambrise/Ambrise/tone"));
        g_variant_builder_add(&b, "{sv}", "xesam:title", g_variant_new_string("Ambrise tone"));
    }
    return g_variant_builder_end(&b);
}

GVariant* string_list(const char* only) {
    const char* items[] = {only, nullptr};
    return g_variant_new_strv(items, -1);
}

GVariant* root_property(const char* name) {
    if (!std::strcmp(name, "CanQuit") || !std::strcmp(name, "CanRaise")) return g_variant_new_boolean(TRUE);
    if (!std::strcmp(name, "HasTrackList")) return g_variant_new_boolean(FALSE);
    if (!std::strcmp(name, "Identity")) return g_variant_new_string("Ambrise");
    if (!std::strcmp(name, "DesktopEntry")) return g_variant_new_string("ambrise");
    if (!std::strcmp(name, "SupportedUriSchemes")) return string_list("file");
    if (!std::strcmp(name, "SupportedMimeTypes")) return string_list(sequence_mime_type);
    return nullptr;
}

GVariant* player_property(const char* name) {
    if (!std::strcmp(name, "PlaybackStatus")) return g_variant_new_string(desk::status_name(current_status()));
    if (!std::strcmp(name, "Metadata")) return metadata();
    if (!std::strcmp(name, "Volume")) return g_variant_new_double(volume_fraction());
    if (!std::strcmp(name, "Position")) return g_variant_new_int64(position_us());
    if (!std::strcmp(name, "Rate") || !std::strcmp(name, "MinimumRate") || !std::strcmp(name, "MaximumRate"))
        return g_variant_new_double(1.0);
    for (const Flag& f : player_flags)
        if (!std::strcmp(name, f.name)) return g_variant_new_boolean(f.value);
    return nullptr;
}

// OpenUri: a sequence file by its file: address starts as a chosen one does.
bool open_uri(GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(s)"))) return false;
    const char* uri = nullptr;
    g_variant_get(parameters, "(&s)", &uri);
    gchar* path = g_filename_from_uri(uri, nullptr, nullptr);
    bool ok = path && start_sequence(path);
    g_free(path);
    if (ok) sequence_step();
    return ok;
}

}  // namespace

GVariant* mpris_method(const char* interface, const char* method, GVariant* parameters, const char** error) {
    *error = nullptr;
    bool none = !parameters || g_variant_is_of_type(parameters, G_VARIANT_TYPE_UNIT);
    auto simple = [&](void (*action)()) -> GVariant* {
        if (!none) {
            *error = "org.freedesktop.DBus.Error.InvalidArgs";
            return nullptr;
        }
        if (action) action();
        return g_variant_new("()");
    };
    if (interface && !std::strcmp(interface, mpris_root_interface)) {
        if (!std::strcmp(method, "Raise")) return simple([] { if (desktop.raise) desktop.raise(); });
        if (!std::strcmp(method, "Quit")) return simple(quit_clicked);
    } else if (interface && !std::strcmp(interface, mpris_player_interface)) {
        if (!std::strcmp(method, "Play")) return simple(media_play);
        if (!std::strcmp(method, "Pause")) return simple(media_pause);
        if (!std::strcmp(method, "PlayPause")) return simple(media_play_pause);
        if (!std::strcmp(method, "Stop")) return simple(media_stop);
        if (!std::strcmp(method, "Next") || !std::strcmp(method, "Previous")) return simple(nullptr);
        // The sequence has no place to seek to: asked anyway, nothing moves.
        if (!std::strcmp(method, "Seek") || !std::strcmp(method, "SetPosition")) {
            const char* type = !std::strcmp(method, "Seek") ? "(x)" : "(ox)";
            if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE(type))) return g_variant_new("()");
            *error = "org.freedesktop.DBus.Error.InvalidArgs";
            return nullptr;
        }
        if (!std::strcmp(method, "OpenUri")) {
            if (parameters && open_uri(parameters)) return g_variant_new("()");
            *error = "org.freedesktop.DBus.Error.InvalidArgs";
            return nullptr;
        }
    }
    *error = "org.freedesktop.DBus.Error.UnknownMethod";
    return nullptr;
}

GVariant* mpris_property(const char* interface, const char* name) {
    GVariant* v = nullptr;
    if (interface && name && !std::strcmp(interface, mpris_root_interface)) v = root_property(name);
    if (interface && name && !std::strcmp(interface, mpris_player_interface)) v = player_property(name);
    return v ? g_variant_ref_sink(v) : nullptr;
}

bool mpris_set_property(const char* interface, const char* name, GVariant* value) {
    if (!interface || !name || !value || std::strcmp(interface, mpris_player_interface) ||
        std::strcmp(name, "Volume") || !g_variant_is_of_type(value, G_VARIANT_TYPE_DOUBLE))
        return false;
    set_volume_fraction(g_variant_get_double(value));
    return true;
}

GVariant* mpris_changes() {
    static GVariant* last[std::size(signalled)] = {};
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    bool any = false;
    for (std::size_t i = 0; i < std::size(signalled); ++i) {
        GVariant* now = mpris_property(mpris_player_interface, signalled[i]);
        if (last[i] && g_variant_equal(last[i], now)) {
            g_variant_unref(now);
            continue;
        }
        if (last[i]) g_variant_unref(last[i]);
        last[i] = now;
        g_variant_builder_add(&b, "{sv}", signalled[i], now);
        any = true;
    }
    if (!any) {
        g_variant_builder_clear(&b);
        return nullptr;
    }
    return g_variant_builder_end(&b);
}

// ---- the bus ----

namespace {

GDBusConnection* bus = nullptr;
GDBusNodeInfo* node = nullptr;
bool named = false;

void call_method(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* method,
                 GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
    const char* error = nullptr;
    GVariant* reply = mpris_method(interface, method, parameters, &error);
    if (reply)
        g_dbus_method_invocation_return_value(invocation, reply);
    else
        g_dbus_method_invocation_return_dbus_error(invocation, error, method);
    // Whatever the call changed is told at once rather than at the next tick.
    mpris_sync();
}

GVariant* get_property(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* name,
                       GError** error, gpointer) {
    GVariant* v = mpris_property(interface, name);
    if (!v) g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
    return v;
}

gboolean set_property(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* name,
                      GVariant* value, GError** error, gpointer) {
    if (mpris_set_property(interface, name, value)) {
        mpris_sync();
        return TRUE;
    }
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_PROPERTY_READ_ONLY, "%s cannot be set", name);
    return FALSE;
}

const GDBusInterfaceVTable vtable = {call_method, get_property, set_property, {}};

void bus_acquired(GDBusConnection* connection, const gchar*, gpointer) {
    if (bus) return;
    bus = G_DBUS_CONNECTION(g_object_ref(connection));
    for (GDBusInterfaceInfo** i = node->interfaces; *i; ++i)
        g_dbus_connection_register_object(connection, object_path, *i, &vtable, nullptr, nullptr, nullptr);
}

void name_acquired(GDBusConnection*, const gchar*, gpointer) { named = true; }

void name_lost(GDBusConnection* connection, const gchar* name, gpointer) {
    // No bus at all: the player plays on, unseen by the desktop.
    if (!connection || named) return;
    // Another player holds the plain name: this one takes its own.
    std::string instance = std::string(bus_name) + ".instance" + std::to_string(getpid());
    if (instance == name) return;
    g_bus_own_name_on_connection(connection, instance.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, name_acquired,
                                 nullptr, nullptr, nullptr);
}

}  // namespace

void mpris_start() {
    node = g_dbus_node_info_new_for_xml(introspection, nullptr);
    if (!node) return;
    g_bus_own_name(G_BUS_TYPE_SESSION, bus_name, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, bus_acquired, name_acquired,
                   name_lost, nullptr, nullptr);
}

void mpris_sync() {
    GVariant* changed = mpris_changes();
    if (!changed) return;
    if (!bus) {
        g_variant_unref(g_variant_ref_sink(changed));
        return;
    }
    g_dbus_connection_emit_signal(bus, nullptr, object_path, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                  g_variant_new("(s@a{sv}@as)", mpris_player_interface, changed,
                                                g_variant_new_strv(nullptr, 0)),
                                  nullptr);
}
