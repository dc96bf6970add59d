#!/bin/sh
# The program's icon where a Linux desktop looks for it.
#   tst_icons.sh installed <build dir>: the installed desktop entry names an
#     icon the hicolor theme holds at every size rendered, each PNG as wide as
#     its folder says.
#   tst_icons.sh window <program>: the running window carries the icon
#     (_NET_WM_ICON) at the same sizes; skipped (77) without xvfb-run, xprop
#     and xdotool.
set -u
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
sizes="16 22 24 32 48 64 128 256"

if [ "$1" = installed ]; then
    cmake --install "$2" --prefix "$tmp" >/dev/null || fail "cmake --install"
    icon="$(sed -n 's/^Icon=//p' "$tmp/share/applications/pulvane.desktop")"
    theme="$tmp/share/icons/hicolor"
    [ -f "$theme/scalable/apps/$icon.svg" ] || fail "no scalable/apps/$icon.svg"
    for size in $sizes; do
        file="$theme/${size}x$size/apps/$icon.png"
        width="$(od -An -tu1 -j18 -N2 "$file" 2>/dev/null | awk '{ print $1 * 256 + $2 }')"
        [ "$width" = "$size" ] || fail "$file is not $size pixels wide"
    done
else
    for tool in xvfb-run xprop xdotool; do
        command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
    done
    mkdir -m 700 "$tmp/run"
    shown="$(HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run" QT_QPA_PLATFORM=xcb xvfb-run -a sh -c '
        "$0" >/dev/null 2>&1 &
        for i in $(seq 150); do
            win="$(xdotool search --name "^Pulvane - Ver\. " | head -1)"
            [ -n "$win" ] && break
            sleep 0.2
        done
        xprop -len 100000000 -id "$win" _NET_WM_ICON | grep -o "Icon ([0-9]* x"
        kill $!' "$2" | tr -dc '0-9\n' | sort -n | tr '\n' ' ')"
    [ "$shown" = "$sizes " ] || fail "the window's icon sizes: $shown"
fi
echo PASS
