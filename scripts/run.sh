#!/usr/bin/env bash
# Builds Pulvane and the simulator antsim and starts Pulvane. When Pulvane's
# own stick discovery finds no ANT stick (antsim --list-sticks asks it),
# antsim runs in the background for as long as Pulvane does, so that START
# finds its three virtual belts.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}"
pulvane_build pulvane antsim

PULVANE="$BUILD_DIR/src/app/pulvane"
ANTSIM="$BUILD_DIR/tools/antsim/antsim"

# The first stick the program's own discovery finds (antsim asks it), if any.
# What it passes over is said again when START runs.
stick="$("$ANTSIM" --list-sticks 2>/dev/null | sed -n 1p)" || stick=""
if [ -n "$stick" ]; then
    echo "ANT stick found: $stick"
    exec "$PULVANE" "$@"
fi

echo "No ANT stick found: starting the simulator antsim with three virtual belts."
ANTSIM_LOG="$BUILD_DIR/antsim.log"
ANTSIM_PID=""
pulvane_pid=""
# The program is ended first, then antsim, on every way out of this script.
cleanup() {
    if [ -n "$pulvane_pid" ]; then
        kill -TERM "$pulvane_pid" 2>/dev/null || true
        wait "$pulvane_pid" 2>/dev/null || true
    fi
    if [ -n "$ANTSIM_PID" ]; then
        kill -TERM "$ANTSIM_PID" 2>/dev/null || true
        wait "$ANTSIM_PID" 2>/dev/null || true
        echo "antsim ended; its events are in $ANTSIM_LOG"
    fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

pulvane_start_antsim "$ANTSIM_LOG" --name "run-$$" || exit 1
echo "Simulated stick: $ANTSIM_LINK (events in $ANTSIM_LOG)"

# Waited for in the background so that a signal to this script ends both
# programs at once, not only after the window has closed.
"$PULVANE" "$@" &
pulvane_pid=$!
status=0
wait "$pulvane_pid" || status=$?
pulvane_pid=""
exit "$status"
