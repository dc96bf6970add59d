#!/bin/sh
# The icon where Linux desktops look: "installed <build dir>": the desktop
# entry's Icon= in the installed hicolor theme at each size, each PNG that
# wide; "window <program>": the window's _NET_WM_ICON at the same sizes
# (skipped, 77, without xvfb-run, xprop and xdotool).
set -u
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
sizes="16 22 24 32 48 64 128 256"
if [ "$1" = installed ]; then
    cmake --install "$2" --prefix "$tmp" >/dev/null || exit 1
    icon="$(sed -n 's/^Icon=//p' "$tmp/share/applications/pulvane.desktop")"
    found="$(ls "$tmp/share/icons/hicolor/scalable/apps/$icon.svg")" || exit 1
    for size in $sizes; do
        found="$found $(od -An -tu1 -j18 -N2 "$tmp/share/icons/hicolor/${size}x$size/apps/$icon.png" |
            awk '{ print $1 * 256 + $2 }')"
    done
else
    for tool in xvfb-run xprop xdotool; do command -v "$tool" >/dev/null || exit 77; done
    mkdir -m 700 "$tmp/run"
    found="$(HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run" QT_QPA_PLATFORM=xcb xvfb-run -a sh -c '"$0" &
        for i in $(seq 150); do
            win="$(xdotool search --name "^Pulvane - Ver\. " | head -1)" && [ -n "$win" ] && break
            sleep 0.2
        done
        xprop -len 100000000 -id "$win" _NET_WM_ICON | grep -o "Icon ([0-9]*"; kill $!' "$2" 2>/dev/null |
        tr -dc '0-9\n' | sort -n | tr '\n' ' ')"
    icon=pulvane
fi
echo "$icon: $found"
[ "$found" = "$tmp/share/icons/hicolor/scalable/apps/$icon.svg $sizes" ] || [ "$found" = "$sizes " ]
