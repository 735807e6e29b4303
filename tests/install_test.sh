#!/usr/bin/env bash
# Installation: the tree a DESTDIR install makes, the manual pages, the
# desktop entry, and (as root, in the plain build) the Debian package
# installed with dpkg and used.
set -u
build=$1
sanitized=$2
source "$(dirname "$0")/test_lib.sh"

DESTDIR=$work/root cmake --install "$build" >/dev/null
prefix=$work/root$(awk -F= '/^CMAKE_INSTALL_PREFIX:/ {print $2}' "$build/CMakeCache.txt")
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

if [ "$sanitized" = ON ] || [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null; then
    echo "the package test runs as root in the plain build only"
else
    (cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
    deb=$(ls "$work"/package/ambrise_*.deb 2>/dev/null | head -n1)
    check "package built" [ -n "$deb" ]
    had=$(dpkg-query -W -f='${Status}' ambrise 2>/dev/null | grep -c 'install ok installed')
    if [ -n "$deb" ] && dpkg -i "$deb" >/dev/null 2>&1; then
        passes=$((passes + 1))
        dir=$(dpkg -L ambrise | grep '/share/ambrise$')
        render=$(dpkg -L ambrise | grep '/bin/ambrise-render$')
        "$render" "$dir/focus.seq" "$work/focus.wav"
        check "installed renderer renders an installed example" [ "$(stat -c %s "$work/focus.wav")" = $((44 + 176400 * 300)) ]
        check "installed player answers -help" grep -q 'harmonics' <("$(dirname "$render")/ambrise" -help 2>/dev/null)
        [ "$had" = 0 ] && dpkg -r ambrise >/dev/null 2>&1
    else
        echo "FAIL: dpkg -i" >&2
        fails=$((fails + 1))
    fi
fi

finish
