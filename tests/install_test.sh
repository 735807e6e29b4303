#!/usr/bin/env bash
# Installation: the tree a DESTDIR install makes, the manual pages, the
# desktop entry, the per-user link to the shared collection, and (as root,
# in the plain build) the Debian package `make package` builds: lintian,
# installed with dpkg, used and removed again.
set -u
build=$1
sanitized=$2
source_dir=$3
source "$(dirname "$0")/test_lib.sh"

# user_link PLAYER: where a first start of the player points
# ~/.ambrise/public.seq (the player runs under Xvfb with a silent ALSA).
user_link() {
    local home
    home=$(mktemp -d "$work/home.XXXX")
    printf 'pcm.!default { type null }\n' >"$work/null.asoundrc"
    HOME=$home ALSA_CONFIG_PATH=$work/null.asoundrc timeout 120 xvfb-run -a bash -c '
        "$1" >/dev/null 2>&1 & p=$!
        for i in $(seq 600); do [ -L "$HOME/.ambrise/public.seq" ] && break; sleep 0.1; done
        kill $p' _ "$1" >/dev/null 2>&1
    readlink "$home/.ambrise/public.seq"
}

DESTDIR=$work/root cmake --install "$build" >/dev/null
install_prefix=$(awk -F= '/^CMAKE_INSTALL_PREFIX:/ {print $2}' "$build/CMakeCache.txt")
prefix=$work/root$install_prefix
for f in bin/ambrise bin/ambrise-render bin/ambrise-check; do
    check "$f installed and executable" [ -x "$prefix/$f" ]
done
for f in share/ambrise/relaxation.seq share/ambrise/focus.seq share/doc/ambrise/README.md \
    share/man/man1/ambrise.1 share/man/man1/ambrise-render.1 share/man/man1/ambrise-check.1 \
    share/applications/ambrise.desktop share/pixmaps/ambrise.xpm; do
    check "$f installed" [ -s "$prefix/$f" ]
done

for page in "$prefix"/share/man/man1/*.1; do
    groff -ww -man -Tutf8 "$page" >/dev/null 2>"$work/groff.err"
    check "$(basename "$page"): groff without warnings" [ ! -s "$work/groff.err" ]
    man --warnings -l "$page" >"$work/page.txt" 2>"$work/man.err"
    check "$(basename "$page"): man -l renders" [ -s "$work/page.txt" -a ! -s "$work/man.err" ]
done
check "desktop entry valid" desktop-file-validate "$prefix/share/applications/ambrise.desktop"
check "installed checker: examples clean" "$prefix/bin/ambrise-check" "$prefix"/share/ambrise/*.seq
link=$(user_link "$prefix/bin/ambrise")
check "public.seq links to $install_prefix/share/ambrise (got '$link')" [ "$link" = "$install_prefix/share/ambrise" ]

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
lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1
check "lintian: no errors or warnings" [ $? = 0 -a -z "$(grep -E '^[EW]:' "$work/lintian.txt")" ]
grep -E '^[EW]:' "$work/lintian.txt" >&2
check "package: everything under /usr" [ -z "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '^\./usr/')" ]
check "package: real maintainer" [ -z "$(dpkg-deb -f "$deb" Maintainer | grep -i localhost)" ]

# dpkg takes one caller at a time; other test runs on this machine wait.
dpkg_locked() { flock -w 600 /tmp/ambrise-package-test.lock "$@"; }
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
