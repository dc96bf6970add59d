#!/usr/bin/env bash
# The program measured from outside: the real executable on Xvfb, its START
# button clicked (xdotool) with antsim as its only stick, every thread of the
# process counted.
#
#   outside.sh callgrind PULVANE ANTSIM SECONDS   whole-program instructions of a
#       run that receives for SECONDS (callgrind, all threads), and antsim's
#       broadcasts: "total_ir=N broadcasts=B"
#   outside.sh load PULVANE ANTSIM SECONDS        utime+stime (/proc/<pid>/stat)
#       and context switches of all threads over SECONDS of receiving, after
#       a 10 s warm-up, then over 20 s idle after antsim has gone
#   outside.sh shot PULVANE ANTSIM PNG            receives until antsim vanishes
#       at its 20th second, then writes a screenshot of the window
#   outside.sh startup PULVANE                    whole-program instructions of a
#       start that shows the window and ends (callgrind)
#   outside.sh junk PULVANE SECONDS               a stick that sends only bytes
#       that make no frame, one write per byte at 115200 baud: load as above
#
# Run it through xvfb-run (the script calls itself so when DISPLAY is unset).
set -euo pipefail

if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

mode=$1
pulvane=$2
work="$(mktemp -d)"
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export XDG_CONFIG_HOME="$work/config"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"; [ -n "${KEEP:-}" ] && echo "kept $work" >&2 || true
}
trap cleanup EXIT

start_antsim() {
    "$1" "${@:2}" >"$work/antsim.out" &
    pids+=($!)
    antsim_pid=$!
    for _ in $(seq 100); do grep -q '^ready' "$work/antsim.out" && return; sleep 0.1; done
    echo "antsim not ready" >&2; exit 1
}

# Starts the program (under the given wrapper) and waits for its window.
start_program() {
    "$@" >"$work/program.out" 2>&1 &
    pids+=($!)
    program_pid=$!
    for _ in $(seq 1800); do
        window="$(xdotool search --name "^Pulvane - " 2>/dev/null | head -1)" || true
        [ -n "$window" ] && break
        sleep 0.1
    done
    [ -n "$window" ] || { echo "no window" >&2; exit 1; }
    sleep 1
}

click_start() {
    xdotool mousemove --window "$window" 364 28 click 1
}

# The program's process itself (under valgrind the wrapper execs into it).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$program_pid/stat"; }
switches() {
    cat /proc/"$program_pid"/task/*/status 2>/dev/null |
        awk '/^voluntary_ctxt/ { v += $2 } /^nonvoluntary_ctxt/ { n += $2 } END { print v, n }'
}
threads() { ls /proc/"$program_pid"/task | wc -l; }

load_over() {
    local seconds=$1 label=$2 t0 t1 c0 c1 s0 s1
    t0=$(date +%s.%N); c0=$(cpu_ticks); s0=$(switches)
    sleep "$seconds"
    t1=$(date +%s.%N); c1=$(cpu_ticks); s1=$(switches)
    awk -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v s0="$s0" -v s1="$s1" \
        -v hz="$(getconf CLK_TCK)" -v label="$label" -v th="$(threads)" 'BEGIN {
        split(s0, a, " "); split(s1, b, " "); span = t1 - t0
        printf "%s_seconds=%.1f\n%s_cpu_percent=%.3f\n", label, span, label, 100 * (c1 - c0) / hz / span
        printf "%s_voluntary_switches_per_s=%.1f\n", label, (b[1] - a[1]) / span
        printf "%s_involuntary_switches_per_s=%.1f\n%s_threads=%d\n", label, (b[2] - a[2]) / span, label, th
    }'
}

case "$mode" in
callgrind)
    start_antsim "$3"
    start_program nice valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$pulvane"
    click_start
    sleep "$4"
    kill -TERM "$antsim_pid"; wait "$antsim_pid" || true
    sleep 3
    kill -TERM "$program_pid"; wait "$program_pid" || true
    total=$(awk '/^totals:|^summary:/ { print $2; exit }' "$work/cg.out")
    echo "total_ir=$total $(grep -o 'broadcasts=[0-9]*' "$work/antsim.out" | head -1)"
    ;;
load)
    start_antsim "$3"
    start_program "$pulvane"
    sleep 2
    load_over 20 idle_before_start
    click_start
    sleep 10
    load_over "$4" receive
    kill -TERM "$antsim_pid"; wait "$antsim_pid" || true
    grep -o 'broadcasts=[0-9]*' "$work/antsim.out" | head -1
    sleep 3
    load_over 20 idle_after_stick_gone
    ;;
shot)
    start_antsim "$3" --vanish-at 20
    start_program "$pulvane"
    click_start
    wait "$antsim_pid" || true
    sleep 2
    import -window "$window" "$4"
    ;;
startup)
    start_program nice valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$pulvane"
    kill -TERM "$program_pid"; wait "$program_pid" || true
    awk '/^totals:|^summary:/ { print "startup_ir=" $2; exit }' "$work/cg.out"
    ;;
junk)
    python3 "$(dirname "$0")/junkstick.py" "$XDG_RUNTIME_DIR/pulvane/sticks/junk" >"$work/junk.out" &
    junk_pid=$!
    sleep 1
    start_program "$pulvane"
    click_start
    sleep 5
    load_over "$3" junk
    kill -TERM "$junk_pid"; wait "$junk_pid" || true
    cat "$work/junk.out"
    ;;
esac
