#!/usr/bin/env bash
# Installation: the tree a DESTDIR install makes, the manual pages, the
# desktop entry, its icons and the sequences' type, a file manager's open
# starting the player, the per-user link to the shared collection, make
# uninstall taking back exactly what make install put there, and (as root,
# in the plain build) the Debian package `make package` builds: lintian,
# installed with dpkg, used and removed again.
set -u
build=$1
sanitized=$2
source_dir=$3
source "$(dirname "$0")/test_lib.sh"

# user_link PLAYER: where a first start of the player points
# ~/.ambrise/public.seq (the player runs under Xvfb with a silent ALSA);
# empty when it made no link. The link follows the directory at once.
user_link() {
    local home
    home=$(mktemp -d "$work/home.XXXX")
    printf 'pcm.!default { type null }\n' >"$work/null.asoundrc"
    HOME=$home ALSA_CONFIG_PATH=$work/null.asoundrc timeout 120 xvfb-run -a bash -c '
        "$1" >/dev/null 2>&1 & p=$!
        for i in $(seq 600); do [ -d "$HOME/.ambrise" ] && break; sleep 0.1; done
        sleep 0.5
        kill $p' _ "$1" >/dev/null 2>&1
    readlink "$home/.ambrise/public.seq"
}

make_in() { make -C "$source_dir" BUILD="$build" "$@"; }

# A tree with something of its own already in it: uninstall must leave it.
mkdir -p "$work/root/usr/local/share/applications" "$work/root/usr/local/share/man/man1"
echo mine >"$work/root/usr/local/share/man/man1/other.1"
DESTDIR=$work/root make_in install >"$work/install.log" 2>&1
check "make install with DESTDIR" [ $? = 0 ]
install_prefix=$(awk -F= '/^CMAKE_INSTALL_PREFIX:/ {print $2}' "$build/CMakeCache.txt")
prefix=$work/root$install_prefix
for f in bin/ambrise bin/ambrise-render bin/ambrise-check; do
    check "$f installed and executable" [ -x "$prefix/$f" ]
done
for f in share/ambrise/relaxation.seq share/ambrise/focus.seq share/ambrise/surf.ogg share/doc/ambrise/README.md \
    share/man/man1/ambrise.1 share/man/man1/ambrise-render.1 share/man/man1/ambrise-check.1 \
    share/applications/ambrise.desktop share/pixmaps/ambrise.xpm \
    share/icons/hicolor/scalable/apps/ambrise.svg share/icons/hicolor/48x48/apps/ambrise.png \
    share/mime/packages/ambrise.xml; do
    check "$f installed" [ -s "$prefix/$f" ]
done
icons=$prefix/share/icons/hicolor
check "48-pixel icon: a 48 x 48 PNG" [ "$(identify -format '%m %w %h' "$icons/48x48/apps/ambrise.png")" = "PNG 48 48" ]
rsvg-convert -w 48 -h 48 "$icons/scalable/apps/ambrise.svg" -o "$work/svg.png" 2>"$work/svg.err"
check "scalable icon: the SVG renders" [ -s "$work/svg.png" -a ! -s "$work/svg.err" ]
desktop=$prefix/share/applications/ambrise.desktop
check "desktop entry: opens sequences" grep -qx 'MimeType=application/x-ambrise-sequence;' "$desktop"
check "desktop entry: a file starts the listening stream" grep -qx 'Exec=ambrise -hq %f' "$desktop"

for page in "$prefix"/share/man/man1/*.1; do
    groff -ww -man -Tutf8 "$page" >/dev/null 2>"$work/groff.err"
    check "$(basename "$page"): groff without warnings" [ ! -s "$work/groff.err" ]
    man --warnings -l "$page" >"$work/page.txt" 2>"$work/man.err"
    check "$(basename "$page"): man -l renders" [ -s "$work/page.txt" -a ! -s "$work/man.err" ]
done
check "desktop entry valid" desktop-file-validate "$prefix/share/applications/ambrise.desktop"
check "installed checker: examples clean" "$prefix/bin/ambrise-check" "$prefix"/share/ambrise/*.seq
# The collection this player links to is the one of its real prefix: only
# where that is installed is there a link.
link=$(user_link "$prefix/bin/ambrise")
if [ -d "$install_prefix/share/ambrise" ]; then
    check "public.seq links to $install_prefix/share/ambrise (got '$link')" [ "$link" = "$install_prefix/share/ambrise" ]
else
    check "no collection at $install_prefix/share/ambrise: no link (got '$link')" [ -z "$link" ]
fi

DESTDIR=$work/root make_in uninstall >"$work/uninstall.log" 2>&1
check "make uninstall with DESTDIR" [ $? = 0 ]
left=$(cd "$work/root" && find . -mindepth 1 | sort | tr '\n' ' ')
expected=$(printf '%s\n' ./usr ./usr/local ./usr/local/share ./usr/local/share/applications \
    ./usr/local/share/man ./usr/local/share/man/man1 ./usr/local/share/man/man1/other.1 | tr '\n' ' ')
check "make uninstall: only what was there before is left (left: $left)" [ "$left" = "$expected" ]

# Installed without DESTDIR elsewhere: the desktop's type database and
# application index are made, a sequence is known by its contents, and a
# file manager's open starts the player on it.
PREFIX=$work/prefix make_in install >"$work/install2.log" 2>&1
check "make install PREFIX=..." [ $? = 0 ]
desktop_env=(env PATH="$work/prefix/bin:$PATH" XDG_DATA_DIRS="$work/prefix/share:/usr/share" HOME="$work/gio-home")
mkdir -p "$work/gio-home"
type_of() { "${desktop_env[@]}" gio info -a standard::content-type "$1" | sed -n 's/.*content-type: //p'; }
printf 'ACGTTGCA\nGGCATTAC\n' >"$work/genes.seq"
check "an example is an Ambrise sequence ($(type_of "$source_dir/examples/focus.seq"))" \
    [ "$(type_of "$source_dir/examples/focus.seq")" = application/x-ambrise-sequence ]
check "another program's .seq is not claimed ($(type_of "$work/genes.seq"))" [ "$(type_of "$work/genes.seq")" = text/plain ]
check "the player opens sequences" grep -q 'Default application.*: ambrise.desktop' \
    <("${desktop_env[@]}" gio mime application/x-ambrise-sequence)
cp "$source_dir/examples/focus.seq" "$work/opened.seq"
printf 'pcm.!default { type null }\n' >"$work/null.asoundrc"
opened=$("${desktop_env[@]}" ALSA_CONFIG_PATH="$work/null.asoundrc" timeout 120 xvfb-run -a bash -c '
    gio open "$1" >/dev/null 2>&1
    for i in $(seq 600); do
        for p in /proc/[0-9]*; do
            if [ "$(tr "\0" " " <"$p/cmdline" 2>/dev/null)" = "ambrise -hq $1 " ]; then
                echo yes; kill "${p#/proc/}"; exit
            fi
        done
        sleep 0.1
    done' _ "$work/opened.seq" 2>/dev/null)
check "gio open on a sequence starts ambrise -hq FILE" [ "$opened" = yes ]
PREFIX=$work/prefix make_in uninstall >"$work/uninstall2.log" 2>&1
check "make uninstall PREFIX=..." [ $? = 0 ]
check "make uninstall: nothing left, caches included ($(find "$work/prefix" 2>/dev/null | tr '\n' ' '))" [ ! -e "$work/prefix" ]

if [ "$sanitized" = ON ] || [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null; then
    echo "the package test runs as root in the plain build only"
    finish
    exit
fi

make -C "$source_dir" package PKG_BUILD="$work/package" >"$work/package.log" 2>&1
deb=$(ls "$work"/package/ambrise_*.deb 2>/dev/null | head -n1)
check "package built" [ -n "$deb" ]
if [ -z "$deb" ]; then
    cat "$work/package.log" >&2
    finish
    exit
fi
TMPDIR=$work lintian --pedantic -I --show-overrides --fail-on error,warning,pedantic "$deb" >"$work/lintian.txt" 2>&1
check "lintian --pedantic: clean" [ $? = 0 -a -z "$(grep -E '^[EWPX]:' "$work/lintian.txt")" ]
grep -E '^[EWPX]:' "$work/lintian.txt" >&2
check "lintian: the kept spelling is overridden, with its reason" grep -q '^O: ambrise: spelling-error-in-binary occured' "$work/lintian.txt"
desc=$(dpkg-deb -f "$deb" Description)
for format in WAV RF64 FLAC 'Ogg Vorbis' Opus MP3; do
    check "package description names $format" grep -q "$format" <<<"$desc"
done
check "package: everything under /usr" [ -z "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '^\./usr/')" ]
check "package: real maintainer" [ -z "$(dpkg-deb -f "$deb" Maintainer | grep -i localhost)" ]

# dpkg takes one caller at a time; other test runs on this machine wait.
dpkg_locked() { flock -w 600 /run/lock/ambrise-package-test.lock "$@"; }
had=$(dpkg-query -W -f='${Status}' ambrise 2>/dev/null | grep -c 'install ok installed')
if dpkg_locked dpkg -i "$deb" >"$work/dpkg-i.txt" 2>&1; then
    passes=$((passes + 1))
    "/usr/bin/ambrise-render" /usr/share/ambrise/focus.seq "$work/focus.wav"
    check "installed renderer renders an installed example" [ "$(stat -c %s "$work/focus.wav")" = $((44 + 176400 * 300)) ]
    check "installed player answers -help" grep -q 'harmonics' <(/usr/bin/ambrise -help 2>/dev/null)
    check "installed checker: installed examples clean" /usr/bin/ambrise-check /usr/share/ambrise/*.seq
    link=$(user_link /usr/bin/ambrise)
    check "installed player: public.seq links to /usr/share/ambrise (got '$link')" [ "$link" = /usr/share/ambrise ]
    if [ "$had" = 0 ]; then
        dpkg_locked dpkg -r ambrise >"$work/dpkg-r.txt" 2>&1
        check "dpkg -r: removed without warnings" [ $? = 0 -a -z "$(grep -i warning "$work/dpkg-r.txt")" ]
        grep -i warning "$work/dpkg-r.txt" >&2
        check "dpkg -r: nothing left in /usr/share/ambrise" [ ! -e /usr/share/ambrise ]
    fi
else
    cat "$work/dpkg-i.txt" >&2
    echo "FAIL: dpkg -i" >&2
    fails=$((fails + 1))
fi

finish
