#!/usr/bin/env bash
# The program as users get it.
#   package-test.sh install BUILD: `cmake --install` into a scratch prefix; checks the layout, the
#     desktop entry, AppStream data, manual page and icons.
#   package-test.sh deb BUILD PROGRAM_TESTS: builds the Debian package with cpack, checks its
#     contents and lintian, unpacks it with dpkg -x and starts the unpacked program through its
#     bin/ link on a private headless desktop, where it must show its window and play.
set -euo pipefail
mode=${1:?usage: package-test.sh install|deb BUILD [PROGRAM_TESTS]}
build=$(cd "${2:?build folder}" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../tools/headless.sh
source "$source/tools/headless.sh"
app_id=org.example.qo_metronome

fail() {
    echo "package-test: $*" >&2
    exit 1
}

# check_tree PREFIX: what every install puts under its prefix, checked with the desktop's tools.
check_tree() {
    local prefix=$1 file size
    [ "$(readlink "$prefix/bin/qo-metronome")" = ../lib/qo-metronome/qo-metronome ] ||
        fail "bin/qo-metronome is not the relative link to ../lib/qo-metronome/qo-metronome"
    [ -x "$prefix/bin/qo-metronome" ] || fail "bin/qo-metronome does not reach the program"
    for file in lib/qo-metronome/click.wav lib/qo-metronome/hat.wav \
        share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml \
        share/man/man1/qo-metronome.1.gz share/icons/hicolor/scalable/apps/qo-metronome.svg \
        share/doc/qo-metronome/copyright share/doc/qo-metronome/changelog.gz; do
        [ -s "$prefix/$file" ] || fail "$file is missing or empty"
    done
    for size in 16 22 24 32 48 64 128 256; do
        [[ $(file -b "$prefix/share/icons/hicolor/${size}x$size/apps/qo-metronome.png") == \
            "PNG image data, $size x $size,"* ]] || fail "no $size px PNG icon"
    done
    desktop-file-validate "$prefix/share/applications/$app_id.desktop" ||
        fail "desktop-file-validate rejects the desktop entry"
    appstreamcli validate --no-net "$prefix/share/metainfo/$app_id.metainfo.xml" ||
        fail "appstreamcli rejects the AppStream data"
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l \
        "$prefix/share/man/man1/qo-metronome.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the manual page has roff warnings: $warnings"
}

install_tree() {
    cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" ||
        fail "cmake --install failed: $(cat "$work/install.log")"
    check_tree "$work/prefix"
    echo "package-test: the install tree under $work/prefix is complete and valid"
}

debian_package() {
    local program_tests=${1:?the end-to-end test program} prefix=$work/root/usr deb field control
    local window wm_class app
    (cd "$build" && cpack -G DEB -B "$work/cpack" >"$work/cpack.log") ||
        fail "cpack failed: $(cat "$work/cpack.log")"
    deb=$(echo "$work"/cpack/qo-metronome_*_"$(dpkg --print-architecture)".deb)
    [ -f "$deb" ] || fail "cpack made no qo-metronome_<version>_<arch>.deb"

    # The layout, the bin/ link among it, is checked on the unpacked tree below; ownership only
    # shows in the archive.
    dpkg-deb -c "$deb" >"$work/contents"
    grep -q '^-rwxr-xr-x root/root .* ./usr/lib/qo-metronome/qo-metronome$' "$work/contents" ||
        fail "the package has no executable /usr/lib/qo-metronome/qo-metronome owned by root"
    control=$(dpkg-deb -f "$deb")
    for field in 'Section: sound' 'Depends: .*libpulse0' 'Depends: .*libqt6widgets6' \
        'Depends: .*libsdl2-2.0-0' 'Depends: .*libsndfile1' 'Depends: .*qt6-wayland' \
        'Maintainer: .*@'; do
        grep -q "^$field" <<<"$control" || fail "the control file lacks '$field'"
    done
    # Lintian's warnings are shown; its errors fail the test.
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
    grep -v '^running with root' "$work/lintian.log" || echo "package-test: lintian is silent"
    ! grep -q '^E:' "$work/lintian.log" || fail "lintian reports errors"

    # The unpacked program, started on a private headless desktop, shows its window with its
    # icon and the class its desktop entry names; then the end-to-end test plays the same
    # program, its clicks timed to the frame.
    dpkg -x "$deb" "$work/root"
    check_tree "$prefix"
    wm_class=$(sed -n 's/^StartupWMClass=//p' "$prefix/share/applications/$app_id.desktop")
    headless_start package-test
    unset SDL_AUDIODRIVER # SDL picks its sound driver as on a desktop
    "$prefix/bin/qo-metronome" >"$work/program.log" 2>&1 &
    app=$!
    pids+=("$app")
    window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Qo Metronome \(v' | head -1) ||
        fail "no window; the program said: $(cat "$work/program.log")"
    grep -q "= \"$wm_class\"," <<<"$(xprop -id "$window" WM_CLASS)" ||
        fail "the window's class is not the desktop entry's StartupWMClass $wm_class"
    grep -q 'Icon (64 x 64)' <<<"$(xprop -id "$window" _NET_WM_ICON)" ||
        fail "the window does not carry its 64 px icon"
    kill "$app" && wait "$app" 2>/dev/null || true
    METRONOME_PROGRAM="$prefix/bin/qo-metronome" "$program_tests" --gtest_filter='EndToEnd.Plays*' ||
        fail "the unpacked program does not play as it should"
    echo "package-test: $(basename "$deb") is valid, and the program unpacked from it plays"
}

case "$mode" in
install) install_tree ;;
deb) debian_package "${3:-}" ;;
*) fail "unknown mode $mode" ;;
esac
