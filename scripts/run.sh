#!/usr/bin/env bash
# Builds Pulvane and the simulator antsim and starts Pulvane. When no ANT
# stick is plugged in (no USB stick 0fcf:1004/1008/1009, no live entry in the
# virtual-stick directory), antsim runs in the background for as long as
# Pulvane does, so that START finds its three virtual belts.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}"
pulvane_build pulvane antsim

PULVANE="$BUILD_DIR/src/app/pulvane"
ANTSIM="$BUILD_DIR/tools/antsim/antsim"

if [ -n "${XDG_RUNTIME_DIR:-}" ]; then
    STICK_DIR="$XDG_RUNTIME_DIR/pulvane/sticks"
else
    STICK_DIR="/tmp/pulvane-$(id -u)/sticks"
fi

# Prints what makes a stick present, or nothing.
find_stick() {
    local dev vendor product entry target lock
    for dev in /sys/bus/usb/devices/*; do
        [ -r "$dev/idVendor" ] && [ -r "$dev/idProduct" ] || continue
        vendor="$(cat "$dev/idVendor")"
        product="$(cat "$dev/idProduct")"
        if [ "$vendor" = 0fcf ]; then
            case "$product" in
            1004 | 1008 | 1009)
                echo "USB stick 0fcf:$product at $(basename "$dev")"
                return
                ;;
            esac
        fi
    done
    # What Pulvane skips is skipped here too: a directory others may write to;
    # links whose target is gone, is no serial port or is another user's
    # pseudo-terminal; links of a simulator that has ended (nobody holds the
    # lock file beside the link).
    [ -d "$STICK_DIR" ] && [ ! -L "$STICK_DIR" ] && [ -O "$STICK_DIR" ] || return 0
    [ -z "$(find "$STICK_DIR" -maxdepth 0 -perm /022)" ] || return 0
    for entry in "$STICK_DIR"/*; do
        [ -L "$entry" ] && [ -c "$entry" ] || continue
        target="$(readlink -f "$entry")"
        case "$target" in
        /dev/pts/*) [ -O "$target" ] || continue ;;
        *) [ -e "/sys/class/tty/$(basename "$target")/device" ] || continue ;;
        esac
        lock="$STICK_DIR/.$(basename "$entry").lock"
        if [ -e "$lock" ] && flock -n -s "$lock" true; then
            continue
        fi
        echo "virtual stick $entry"
        return
    done
}

stick="$(find_stick)"
if [ -n "$stick" ]; then
    echo "ANT stick found: $stick"
    exec "$PULVANE" "$@"
fi

echo "No ANT stick found: starting the simulator antsim with three virtual belts."
ANTSIM_LOG="$BUILD_DIR/antsim.log"
antsim_pid=""
pulvane_pid=""
# The program is ended first, then antsim, on every way out of this script.
cleanup() {
    if [ -n "$pulvane_pid" ]; then
        kill -TERM "$pulvane_pid" 2>/dev/null || true
        wait "$pulvane_pid" 2>/dev/null || true
    fi
    if [ -n "$antsim_pid" ]; then
        kill -TERM "$antsim_pid" 2>/dev/null || true
        wait "$antsim_pid" 2>/dev/null || true
        echo "antsim ended; its events are in $ANTSIM_LOG"
    fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

"$ANTSIM" --name "run-$$" >"$ANTSIM_LOG" 2>&1 &
antsim_pid=$!

# antsim prints "ready <link path>" once its pseudo-terminal is linked.
for _ in $(seq 100); do
    if grep -q '^ready ' "$ANTSIM_LOG"; then
        break
    fi
    if ! kill -0 "$antsim_pid" 2>/dev/null; then
        wait "$antsim_pid" || true
        antsim_pid=""
        echo "antsim could not start:" >&2
        cat "$ANTSIM_LOG" >&2
        exit 1
    fi
    sleep 0.1
done
if ! grep -q '^ready ' "$ANTSIM_LOG"; then
    echo "antsim did not get ready within 10 s; see $ANTSIM_LOG" >&2
    exit 1
fi
echo "Simulated stick: $(sed -n 's/^ready //p' "$ANTSIM_LOG") (events in $ANTSIM_LOG)"

# Waited for in the background so that a signal to this script ends both
# programs at once, not only after the window has closed.
"$PULVANE" "$@" &
pulvane_pid=$!
status=0
wait "$pulvane_pid" || status=$?
pulvane_pid=""
exit "$status"
