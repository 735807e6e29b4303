#!/usr/bin/env bash
# No suspend while sound plays: the player against mocked services on a
# private session bus and a private system bus. With the desktop portal
# there, only the portal is asked; without it the GNOME session manager;
# with logind alone, logind's idle:sleep block. Each is taken while sound
# plays, released on a media-key pause or stop, at volume 0 and at quit,
# and taken again when the sound returns; -noinhibit asks nobody.
# Run inside xvfb-run and dbus-run-session: inhibit_e2e.sh AMBRISE CAPTURE_LEVEL
bin=$1
level_bin=$2
check_bin=/bin/false
source "$(dirname "$0")/e2e_lib.sh"
export XDG_CONFIG_HOME=$work/config
python=/usr/bin/python3   # the one Debian's python3-dbusmock belongs to
mocks=()
system_bus=

extra_cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    for m in "${mocks[@]}"; do kill "$m" 2>/dev/null; done
    [ -n "$system_bus" ] && kill "$system_bus" 2>/dev/null
    [ -n "${wm:-}" ] && kill "$wm" 2>/dev/null
}

# A system bus of the test's own.
dbus-daemon --session --nofork --print-address=1 >"$work/system.address" 2>/dev/null &
system_bus=$!
wait_for "$timeout" test -s "$work/system.address"
export DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$work/system.address")

owned() {  # owned BUS NAME
    gdbus call "$1" -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner "$2" \
        2>/dev/null | grep -q true
}
mock() {  # mock BUS NAME PATH INTERFACE LOG [--template T]
    local bus=$1 name=$2 path=$3 interface=$4 log=$5
    if [ "$bus" = --system ]; then
        $python -m dbusmock --template logind >"$log" 2>&1 &
    else
        $python -m dbusmock --session -l "$log" "$name" "$path" "$interface" >/dev/null 2>&1 &
    fi
    mocks+=($!)
    check_soon "mock $name" owned "${bus/--system/--address=$DBUS_SYSTEM_BUS_ADDRESS}" "$name"
}
stop_mocks() {
    for m in "${mocks[@]}"; do kill "$m" 2>/dev/null; wait "$m" 2>/dev/null; done
    mocks=()
}
mock_call() {  # mock_call NAME PATH METHOD ARGS...
    local name=$1 path=$2 method=$3
    shift 3
    gdbus call --session -d "$name" -o "$path" -m "org.freedesktop.DBus.Mock.$method" "$@" >/dev/null
}
gnome_mock() {
    mock --session org.gnome.SessionManager /org/gnome/SessionManager org.gnome.SessionManager "$work/gnome.log"
    mock_call org.gnome.SessionManager /org/gnome/SessionManager AddMethod org.gnome.SessionManager Inhibit susu u \
        'ret = 7'
    mock_call org.gnome.SessionManager /org/gnome/SessionManager AddMethod org.gnome.SessionManager Uninhibit u '' ''
}
request=/org/freedesktop/portal/desktop/request/1_1/ambrise
portal_mock() {
    mock --session org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop org.freedesktop.portal.Inhibit \
        "$work/portal.log"
    mock_call org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop AddMethod org.freedesktop.portal.Inhibit \
        Inhibit 'sua{sv}' o "ret = dbus.ObjectPath('$request')"
    mock_call org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop AddObject "$request" \
        org.freedesktop.portal.Request '{}' "[('Close', '', '', '')]"
}
logind_inhibitors() {
    gdbus call --address="$DBUS_SYSTEM_BUS_ADDRESS" -d org.freedesktop.login1 -o /org/freedesktop/login1 \
        -m org.freedesktop.login1.Manager.ListInhibitors 2>/dev/null
}
logind_holds() { logind_inhibitors | grep -q "('idle:sleep', 'Ambrise', 'Playing a binaural sequence', 'block'"; }
logind_free() { logind_inhibitors | grep -q '^(@a(ssssuu) \[\],)$'; }
calls() { grep -c -- "$2" "$1" 2>/dev/null; }
calls_are() { [ "$(calls "$1" "$2")" = "$3" ]; }

ctl() { playerctl -p ambrise "$@" 2>/dev/null; }
status_is() { [ "$(ctl status)" = "$1" ]; }
quit() {
    gdbus call --session -d org.mpris.MediaPlayer2.ambrise -o /org/mpris/MediaPlayer2 \
        -m org.mpris.MediaPlayer2.Quit >/dev/null
    wait_exit
    check "$1: Quit exits 0 ($status)" [ "$status" = 0 ]
    pid=
}
printf 'VOLUME 60\nHOLD 1000\n' >"$work/s.seq"
sounding() { sound_at_least $((44100 * 4 * 3)); }

# ---- the portal first, whatever else is there ----
portal_mock
gnome_mock
mock --system org.freedesktop.login1 "" "" "$work/logind.log"
start_player portal -hq "$work/s.seq"
check_soon "portal: taken while sound plays" calls_are "$work/portal.log" " Inhibit \"\" 4 " 1
check "portal: asked for suspend, with the reason" grep -q 'Playing a binaural sequence' "$work/portal.log"
ctl pause
check_soon "portal: released on a media-key pause" calls_are "$work/portal.log" " Close" 1
ctl play
check_soon "portal: taken again when the sound returns" calls_are "$work/portal.log" " Inhibit \"\" 4 " 2
quit portal
check_soon "portal: released at quit" calls_are "$work/portal.log" " Close" 2
check "portal: the session manager was not asked" calls_are "$work/gnome.log" " Inhibit " 0
check "portal: nor logind" logind_free
stop_mocks

# ---- the GNOME session manager when there is no portal ----
: >"$work/gnome.log"
gnome_mock
mock --system org.freedesktop.login1 "" "" "$work/logind.log"
start_player gnome -hq "$work/s.seq"
check_soon "gnome: taken while sound plays" calls_are "$work/gnome.log" ' Inhibit "ambrise" 0 "Playing a binaural sequence" 4' 1
ctl volume 0
check_soon "gnome: released at volume 0" calls_are "$work/gnome.log" " Uninhibit 7" 1
ctl volume 0.6
check_soon "gnome: taken again at volume 0.6" calls_are "$work/gnome.log" " Inhibit " 2
ctl stop
check_soon "gnome: released on a media-key stop" calls_are "$work/gnome.log" " Uninhibit 7" 2
ctl play
check_soon "gnome: taken again on play" calls_are "$work/gnome.log" " Inhibit " 3
check "gnome: logind was not asked" logind_free
quit gnome
check_soon "gnome: released at quit" calls_are "$work/gnome.log" " Uninhibit 7" 3
stop_mocks

# ---- logind alone ----
mock --system org.freedesktop.login1 "" "" "$work/logind.log"
start_player logind -hq "$work/s.seq"
check_soon "logind: idle:sleep blocked while sound plays" logind_holds
ctl pause
check_soon "logind: released on a media-key pause" logind_free
ctl play
check_soon "logind: taken again on play" logind_holds
quit logind
check_soon "logind: released at quit" logind_free

# ---- -noinhibit ----
start_player noinhibit -hq -noinhibit "$work/s.seq"
check_soon "-noinhibit: sound plays" sounding
check_soon "-noinhibit: status Playing" status_is Playing
check "-noinhibit: nothing held" logind_free
quit -noinhibit
stop_mocks

# ---- nobody to ask: plays as before, silently ----
start_player nobody -hq "$work/s.seq"
check_soon "nobody: sound plays" sounding
quit nobody
check "nobody: nothing said" [ ! -s "$work/nobody.err" -a ! -s "$work/nobody.out" ]
finish
