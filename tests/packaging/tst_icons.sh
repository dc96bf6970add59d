#!/bin/sh
# The program's icon where a Linux desktop looks for it.
#   tst_icons.sh installed <build dir>: the installed desktop entry names an
#     icon that the hicolor theme holds at every size it is rendered in, each
#     PNG as large as its folder says.
#   tst_icons.sh window <program>: the running window carries the icon
#     (_NET_WM_ICON) from 16 to 256 pixels; skipped (77) without Xvfb, xprop
#     and xdotool.
set -u
tmp="$(mktemp -d)"
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

png_size() { # the width and height in a PNG's header
    od -An -tu1 -j16 -N8 "$1" | awk '{ print $3 * 256 + $4 "x" $7 * 256 + $8 }'
}

case "$1" in
installed)
    cmake --install "$2" --prefix "$tmp/usr" >/dev/null || fail "cmake --install"
    entry="$tmp/usr/share/applications/pulvane.desktop"
    icon="$(sed -n 's/^Icon=//p' "$entry")"
    [ -n "$icon" ] || fail "no Icon= in $entry"
    theme="$tmp/usr/share/icons/hicolor"
    [ -f "$theme/scalable/apps/$icon.svg" ] || fail "no scalable $icon.svg"
    for size in 16 22 24 32 48 64 128 256; do
        file="$theme/${size}x$size/apps/$icon.png"
        [ -f "$file" ] || fail "no $file"
        [ "$(png_size "$file")" = "${size}x$size" ] || fail "$file is $(png_size "$file")"
    done
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$entry" || fail "desktop-file-validate $entry"
    fi
    ;;
window)
    for tool in Xvfb xprop xdotool; do
        command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
    done
    display=""
    for n in $(seq 140 180); do
        [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb=$!
        sleep 1
        if kill -0 "$xvfb" 2>/dev/null; then display=":$n"; break; fi
    done
    [ -n "$display" ] || fail "Xvfb would not start"
    trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; kill "$xvfb"; rm -rf "$tmp"' EXIT
    mkdir -m 700 "$tmp/run"
    DISPLAY="$display" QT_QPA_PLATFORM=xcb HOME="$tmp" XDG_RUNTIME_DIR="$tmp/run" "$2" >/dev/null 2>&1 &
    pid=$!
    for i in $(seq 150); do
        win="$(DISPLAY="$display" xdotool search --name '^Pulvane - Ver\. ' 2>/dev/null | head -1)"
        [ -n "$win" ] && break
        sleep 0.2
    done
    [ -n "$win" ] || fail "the window did not show"
    sizes="$(DISPLAY="$display" xprop -len 100000000 -id "$win" _NET_WM_ICON |
        grep -o 'Icon ([0-9]* x [0-9]*)' | tr -dc '0-9x\n' | sort -n | tr '\n' ' ')"
    echo "_NET_WM_ICON sizes: $sizes"
    for size in 16 32 48 256; do
        case " $sizes" in *" ${size}x$size "*) ;; *) fail "no ${size}x$size window icon" ;; esac
    done
    ;;
*) fail "usage: $0 installed <build dir> | window <program>" ;;
esac
echo "PASS"
