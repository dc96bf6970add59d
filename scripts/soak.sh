#!/usr/bin/env bash
# The long runs: a day of receiving against antsim at an accelerated time
# scale, and the stick vanishing and coming back twenty times with STOP and
# START between. Writes docs/robustness.md. Takes about ten minutes.
#
#   bash scripts/soak.sh [time-scale]      (default 300: 24 h in under 5 min)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

SCALE="${1:-300}"
SIM_SECONDS=86400
OUT="$PULVANE_ROOT/docs/robustness.md"
# The hostile-input section is written by hand and kept as it is.
HOSTILE="$(sed -n '/^## Hostile inputs/,$p' "$OUT" 2>/dev/null || true)"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}"
pulvane_bench_setup windowprobe antsim

echo "== 24 hours of receiving at time scale $SCALE"
"$PROBE" receive --antsim "$ANTSIM" --time-scale "$SCALE" --sim-seconds "$SIM_SECONDS" \
    --sample-s 15 -- --belt "dev=23456,dist=0.8,hr=72,walk=0.8@$((SIM_SECONDS - 10))/30@$((SIM_SECONDS - 9))" \
    2>"$TMP/day.err" | tee "$TMP/day"
echo "== The stick vanishes and comes back, 20 times"
vanish_rc=0
"$PROBE" vanish --antsim "$ANTSIM" --rounds 20 2>"$TMP/vanish.err" | tee "$TMP/vanish" || vanish_rc=$?

# Memory: the resident set against the log's lines; a straight line through
# the samples means the growth is the log's own.
SAMPLES="$(grep '^sample [0-9]' "$TMP/day")"
PER_LINE=$(echo "$SAMPLES" | awk 'NR == 2 { r0 = $3; l0 = $4 } { r = $3; l = $4 }
    END { printf "%.0f", (r - r0) * 1048576 / (l - l0) }')

{
cat <<EOF
# Robustness: long runs

Measured $(date -u +%Y-%m-%d) on $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores,
$(. /etc/os-release && echo "$PRETTY_NAME"). Reproduce with

\`\`\`sh
bash scripts/soak.sh
\`\`\`

Both runs use the real window (TForm1, offscreen, with the real AntLibrary
and SystemStickProvider, as \`main()\` builds it) driven through its buttons
by \`bench/windowprobe\`, against antsim processes on real pseudo-terminals.
Fuzzing and the sanitizer build are described with their own scripts.

## A day of receiving

antsim at time scale $SCALE with one belt (device 23456, 0.8 m, 72 bpm),
vanishing at simulated second $SIM_SECONDS (24 hours): one broadcast per channel
period (8070/32768 s, 4.06 Hz), about $((SIM_SECONDS * 32768 / 8070)) broadcasts ($((SIM_SECONDS * 4)) at an even
4 Hz) in $((SIM_SECONDS / SCALE)) s. START once, then the
program receives until the stick vanishes. Ten simulated seconds before the
end the belt walks out of range (receive failures, a drop to search), so that
every broadcast antsim counted could still be read before the end. antsim
ends by vanishing, not by a signal: a pseudo-terminal's hang-up throws away
what the link still holds, and a signalled antsim would first catch up its
clock; at this time scale the last broadcast and the hang-up can fall into
one batch of antsim's clock, which is why the belt leaves first.

| | |
|---|---|
| span, s | $(val day receive_seconds) |
| broadcasts a second received (the program kept up: antsim's link dropped nothing) | $(val day receive_rate_hz) |
| program, % of one core | $(val day program_cpu_percent) |
| antsim, % of one core | $(val day antsim_cpu_percent) |
| last log line | \`$(val day last_recv)\` |
| **log's RxCount / antsim's \`broadcasts=\`** | **$(val day log_rxcount) / $(val day antsim_broadcasts)** (match: $(val day counts_match)) |
| antsim: receive failures, drops to search, bytes the host did not read | $(val day antsim_rx_failures), $(val day antsim_drops), $(val day antsim_dropped_out) |
| log lines at the end | $(val day log_lines) |
| resident set at the end, MiB | $(val day final_rss_MiB) |
| resident-set growth per log line, bytes (first sample after START to the end) | $PER_LINE |
| message boxes shown | $(val day message_boxes) |

No crash: the program ran to the stick's vanishing and reported it on
standard error (\`$(grep -m1 'went away' "$TMP/day.err" || true)\`).

Resident set against the log, every 15 s:

| t s | RSS MiB | log lines | broadcasts received | RSS bytes per line since the first sample |
|---|---|---|---|---|
$(echo "$SAMPLES" | awk 'NR == 1 { r0 = $3; l0 = $4 }
    { per = ($4 > l0) ? sprintf("%.0f", ($3 - r0) * 1048576 / ($4 - l0)) : "–";
      printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, per }')

The memory grows with the log and with nothing else. The bytes per line
move in steps around their level: the log keeps its text in one buffer that
grows by doubling and is compacted now and then (the older lines are packed
into fewer blocks by rewriting them, which leaves their old copy behind until
then). What one line costs in the pane is measured in
[performance.md](performance.md) (EventLog).

## The stick vanishing twenty times

Each round: antsim starts under the same name (\`--vanish-at 6\`, time scale
1), START, the belt's ID is shown, antsim vanishes (hang-up, link removed),
the program releases the stick, STOP, and the next round starts a new antsim.
After the twentieth, one more START must find the belt again.

\`\`\`
$(grep -E '^(round|final)' "$TMP/vanish")
\`\`\`

| | |
|---|---|
| rounds that found the belt, showed its ID and released the vanished stick | $(val vanish vanish_rounds_ok) |
| after the 20th: belt found and receiving | $( [ "$(val vanish vanish_final_ok)" = 1 ] && echo yes || echo NO) |
| log lines at the end | $(val vanish vanish_log_lines) |
EOF
[ -z "$HOSTILE" ] || printf '\n%s\n' "$HOSTILE"
} > "$OUT"
echo "Wrote $OUT"
exit "$vanish_rc"
