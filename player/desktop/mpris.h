// The media-player remote-control interface on the session bus: the media
// keys, the desktop's sound menu and phone remotes reach the player here.
// Its methods and properties are the handlers below, which the bus glue
// calls and the tests call directly: each one calls the window's actions.
#pragma once

#include <glib.h>

extern const char* const mpris_root_interface;
extern const char* const mpris_player_interface;

// A method's reply (a tuple, floating), or null with *error set to a D-Bus
// error name.
GVariant* mpris_method(const char* interface, const char* method, GVariant* parameters, const char** error);
// A property's value (a new reference), or null for an unknown one.
GVariant* mpris_property(const char* interface, const char* name);
// Sets a writable property; false when it is read-only, unknown or of the
// wrong type.
bool mpris_set_property(const char* interface, const char* name, GVariant* value);

// The player interface's properties whose changes are signalled, as a
// dictionary of those that differ from the last call's (null when none).
// The first call reports all of them.
GVariant* mpris_changes();

// Owns org.mpris.MediaPlayer2.ambrise (or its .instance<pid> name when
// taken) and serves the object. Without a session bus nothing happens.
void mpris_start();
// Emits PropertiesChanged for what changed since the last call. Main loop.
void mpris_sync();
