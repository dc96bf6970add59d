#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/), runs them all and writes
# their figures to docs/performance.md. Takes about a quarter of an hour (the
# log pane runs as it was and as it is, each to a million lines), and about
# seven minutes more where valgrind is installed (the instruction counts); run
# it on an otherwise idle machine. The long runs are scripts/soak.sh.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

OUT="$PULVANE_ROOT/docs/performance.md"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}" xvfb xauth valgrind
pulvane_bench_setup eventlogbench broadcastbench windowprobe antsim startbench procbench

echo "== EventLog append"
"$BENCH_DIR/bench/eventlogbench" 2>/dev/null | tee "$TMP/eventlog"
echo "== One broadcast on the window's thread"
"$BENCH_DIR/bench/broadcastbench" --large-lines 1000000 2>/dev/null | tee "$TMP/broadcast"
# The same broadcasts counted in instructions under callgrind, which repeat
# from run to run where the times above vary with the machine's other load.
# Only the counted broadcasts are instrumented; the fill to a million lines
# runs without (a few minutes per pane). Each counted run is a dump of its
# own, named <pane>-<lines>-alone or <pane>-<lines>-painted.
CG_BROADCASTS=200
INSTRUCTIONS=""
if command -v valgrind >/dev/null; then
    echo "== One broadcast in instructions (callgrind, $CG_BROADCASTS broadcasts a run)"
    mkdir -p "$TMP/cg"
    if valgrind --tool=callgrind --trace-children=yes --instr-atstart=no \
        --callgrind-out-file="$TMP/cg/out.%p" "$BENCH_DIR/bench/broadcastbench" \
        --callgrind "$CG_BROADCASTS" --mid-lines 100000 --large-lines 1000000 \
        >/dev/null 2>"$TMP/cg/stderr"; then
        # totals: is the sum of the dump's costs, the count of its broadcasts.
        INSTRUCTIONS="$(awk -v n="$CG_BROADCASTS" '
            /^desc: Trigger: Client Request: / { split($5, k, "-") }
            /^totals: / && k[1] != "" {
                v[k[1] " " k[2] " " k[3]] = $2 / n
                key = k[1] " " k[2]
                if (!(key in seen)) { seen[key] = 1; order[++rows] = key }
                delete k
            }
            END {
                printf "%-6s %9s %14s %14s %14s\n", "pane", "log_lines", "broadcast_Ir",
                    "+repaint_Ir", "repaint_Ir"
                for (i = 1; i <= rows; ++i) {
                    split(order[i], p, " ")
                    a = v[order[i] " alone"]; b = v[order[i] " painted"]
                    printf "%-6s %9d %14.0f %14.0f %14.0f\n", p[1], p[2], a, b, b - a
                }
            }' $(cd "$TMP/cg" && ls out.*.* | sort -t. -k2,2n -k3,3n | sed "s|^|$TMP/cg/|"))"
        echo "$INSTRUCTIONS"
    else
        echo "callgrind run failed, see below; no instruction counts" >&2
        tail -5 "$TMP/cg/stderr" >&2
    fi
fi
echo "== START without a stick"
START_LINUX="$("$BENCH_DIR/bench/startbench" 20 2>/dev/null | sed -n \
    's/^START without a stick: median \([0-9.]*\) ms, fastest \([0-9.]*\), slowest \([0-9.]*\).*/| START, Linux (this machine) | \1 | \2 | \3 |/p')"
echo "$START_LINUX"
echo "== Start-up to the first exposed window (offscreen, then Xvfb)"
"$PROBE" startup --runs 20 2>/dev/null | tee "$TMP/startup-offscreen"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$PROBE" startup --runs 20 \
    2>/dev/null | tee "$TMP/startup-xvfb"
echo "== START to ID: against antsim"
"$PROBE" idtime --antsim "$ANTSIM" --runs 5 2>/dev/null | tee "$TMP/idtime"
echo "== START beside 10000 sleeping processes of another user (root only)"
if [ "$(id -u)" = 0 ]; then
    "$BENCH_DIR/bench/procbench" --processes 10000 --runs 21 2>/dev/null | tee "$TMP/start"
else
    echo "not root: skipped" | tee "$TMP/start"
fi
echo "== Load while receiving at 4 Hz (antsim at time scale 1, 60 s)"
"$PROBE" receive --antsim "$ANTSIM" --time-scale 1 --sim-seconds 65 --sample-s 10 2>/dev/null |
    tee "$TMP/load"

# The floor START -> ID: the wait after the reset, the ID timer, the command
# round trips (each command waits for the answer to the one before), and the
# wait for the broadcast that carries the request (one channel period at
# most, half of one on average).
PERIOD_MS=$(awk 'BEGIN { printf "%.1f", 8070 / 32768 * 1000 }')
TRIPS=$(val idtime idtime_round_trips)
RTT=$(val idtime round_trip_median_ms)
MEASURED=$(val idtime idtime_median_ms)
FLOOR=$(awk -v t="$TRIPS" -v r="$RTT" -v p="$PERIOD_MS" 'BEGIN { printf "%.1f", 600 + 4000 + p + t * r }')
FLOOR_MEAN=$(awk -v t="$TRIPS" -v r="$RTT" -v p="$PERIOD_MS" 'BEGIN { printf "%.1f", 600 + 4000 + p / 2 + t * r }')
RATIO=$(awk -v m="$MEASURED" -v f="$FLOOR" 'BEGIN { printf "%.3f", m / f }')
RATIO_MEAN=$(awk -v m="$MEASURED" -v f="$FLOOR_MEAN" 'BEGIN { printf "%.3f", m / f }')

# The log's figures, before (one block per line) and after (packed lines).
logrow() { awk -v p="$1" -v n="$2" -v f="$3" '$1 == p && $2 >= n && $2 < 2 * n { print $f; exit }' "$TMP/eventlog"; }
BEFORE_BPL=$(logrow before 1000000 6)
AFTER_BPL=$(logrow after 1000000 6)
BPL_SHARE=$(awk -v a="$AFTER_BPL" -v b="$BEFORE_BPL" 'BEGIN { printf "%.2f", a / b }')
READ_BPL=$(awk '$1 == "after" && $2 == "read" { print $NF }' "$TMP/eventlog")
BEFORE_DAY=$(awk -v b="$BEFORE_BPL" 'BEGIN { printf "%.0f", b * 700000 / 1048576 }')
AFTER_DAY=$(awk -v a="$AFTER_BPL" 'BEGIN { printf "%.0f", a * 700000 / 1048576 }')
# instr PANE LINES FIELD: a row of the callgrind table by pane and size.
instr() { awk -v p="$1" -v n="$2" -v f="$3" '$1 == p && $2 >= n && $2 < 2 * n { print $f; exit }' <<<"$INSTRUCTIONS"; }
growth() { awk -v a="$(instr "$1" 1000 "$2")" -v b="$(instr "$1" 1000000 "$2")" 'BEGIN { printf "%+.1f %%", (b - a) / a * 100 }'; }
castrow() { awk -v p="$1" -v r="$2" -v f="$3" '$1 == p { if (++n == r) { print $f; exit } }' "$TMP/broadcast"; }

# The START figures, when procbench ran (it needs root).
start_section() {
    [ -n "$(val start after_start_ms)" ] || return 0
    local added
    added=$(awk -v a="$(val start after_start_ms)" -v b="$(val start before_start_ms)" 'BEGIN { printf "%.1f", a - b }')
    cat <<SECTION
## START beside other users' processes

\`startbench\` (run as root): a START with no stick to find (the stick
provider asked for indexes 0 to 3, as START asks; /proc read once, at the
first) and the START's look at /proc alone, each the median of 21 runs,
first as the machine was and then with $(val start other_users_processes)
sleeping processes of another user added. Only the user's and root's
processes, and those holding a lock, are looked into; the others cost one
look at their /proc folder's owner.

| | as it was | with $(val start other_users_processes) more | added |
|---|---|---|---|
| processes looked into | $(val start before_processes_looked_into) | $(val start after_processes_looked_into) | |
| the look at /proc, ms | $(val start before_snapshot_ms) | $(val start after_snapshot_ms) | |
| **a START, ms** | $(val start before_start_ms) | $(val start after_start_ms) | **$added** |
SECTION
}

CPU="$(lscpu | sed -n 's/^Model name: *//p' | head -1)"
OS="$(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
QT="$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo unknown)"

# The Windows build's row comes from scripts/bench-windows.sh; kept here.
WINE_ROW="$(grep '^| Windows build under Wine' "$OUT" 2>/dev/null || true)"
# The whole program measured from outside (bench/outside.sh, by hand: it
# takes about a quarter of an hour on Xvfb) is kept as it stands.
OUTSIDE="$(sed -n '/^## The whole program, measured from outside/,$p' "$OUT" 2>/dev/null || true)"
START_WINE_ROWS="$(grep '^| START, .*System32' "$OUT" 2>/dev/null || true)"

{
cat <<EOF
# Performance

Measured $(date -u +%Y-%m-%d) on: **$CPU**, $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB,
$OS, Qt $QT, GCC $(gcc -dumpversion), Release build.

Reproduce everything on this page with

\`\`\`sh
bash scripts/bench.sh
\`\`\`

(builds \`build-bench/\` in Release and rewrites this file). The long runs
are in [robustness.md](robustness.md) (\`bash scripts/soak.sh\`). The
programs are in \`bench/\`: \`eventlogbench\`, \`broadcastbench\` and
\`windowprobe\`, the real window (TForm1 with the real AntLibrary and
SystemStickProvider, as \`main()\` builds it) driven through its buttons
against antsim processes. GUI figures use Qt's offscreen platform unless
they say Xvfb.

## EventLog append

A pane set up as the window's log, filled to 1 thousand, 100 thousand and 1
million lines; at each size the median of 2000 single appends, once alone
(the document work) and once with the repaint that follows each append in the
running program. Memory is the growth of the resident set divided by the
lines. \`before\` is the pane as it was until the log packed its lines (one
text block per line, \`bench/beforelog.h\`), \`after\` the EventLog; each runs
in a process of its own. The last line of each is the resident set after
reading the whole log: every page drawn once, top to bottom.

\`\`\`
$(cat "$TMP/eventlog")
\`\`\`

At a million lines a line costs **$AFTER_BPL bytes** against $BEFORE_BPL before
($BPL_SHARE of it); at 4 Hz a day's log (700 thousand lines with the
separators) holds about $AFTER_DAY MiB instead of $BEFORE_DAY MiB.

Where it went (heaptrack, the old pane at 100 thousand lines): the text itself
is about 90 bytes of a 45-character line; each line being a block of its own
added its entries in the document's block and fragment maps (about 80 bytes)
and, once the pane had shown it, a QTextLayout with its text engine, raw font
and line data (about 400 bytes), which Qt keeps for every block. The EventLog
keeps the newest 128 lines one block each, where appending is cheapest, and
packs older ones 32 to a block, joined by line separators (U+2028), which the
pane draws, selects and copies as line breaks. A packed block keeps the count
of rows its lines had, so the scroll bar keeps its scale, and is laid out only
when it comes into view again. Lines are laid out without shaping (no
ligatures or other OpenType features), which takes about a third off each
layout.
Reading the whole log lays every block out and the line data stays:
$READ_BPL bytes per line after a read-through. An append costs a little more
in a larger log, as it did before (compare the rows).

## One received broadcast on the window's thread

\`broadcastbench\`: the real TForm1 over the tests' scripted stick
(\`ScriptedStickProvider\`). START runs the finder and its configuration chain
on real response frames; then each broadcast is one \`bytesArrived\` with a
real 13-byte broadcast frame, through the frame decoder, the dispatch to
FrameChannelEvent, the HR label and the two log lines (the line and its
separator). Median and 99th percentile of 4000 broadcasts, first with a
thousand lines in the log, then after it has grown to a million; alone and
with the repaint that follows. \`before\` runs the same window with its log
written as the old pane did (\`bench/beforelog.h\`).

\`\`\`
$(cat "$TMP/broadcast")
\`\`\`

A broadcast costs **$(castrow after 1 3) µs** (median, a thousand lines) and
**$(castrow after 2 3) µs** (a million) against $(castrow before 1 3) and
$(castrow before 2 3) µs before; with the repaint $(castrow after 1 6) and
$(castrow after 2 6) µs against $(castrow before 1 6) and $(castrow before 2 6).
The repaint is mostly drawing the pane's text, which is why it gains less:
whenever the top of the view lands inside a wrapped line the pane redraws all
of it instead of scrolling. At 4 broadcasts a second even the painted figure is a
fraction of a percent of the window thread's time.

## One broadcast in instructions

$(if [ -n "$INSTRUCTIONS" ]; then cat <<EOT
\`broadcastbench --callgrind $CG_BROADCASTS\` under \`valgrind --tool=callgrind
--instr-atstart=no\`: the same window and broadcasts as above, the log
filled to a thousand, 100 thousand and a million lines without
instrumentation, then at each size $CG_BROADCASTS broadcasts counted alone
and $CG_BROADCASTS each followed by its repaint (8 uncounted ones before
each run). Instructions per broadcast; \`repaint_Ir\` is the difference.
Unlike the times above these do not depend on what else the machine is
doing, so they show how the cost changes with the log's size.

\`\`\`
$INSTRUCTIONS
\`\`\`

From a thousand to a million lines a broadcast grows from
$(instr after 1000 3) to **$(instr after 1000000 3)** instructions
($(growth after 3)) and its repaint from $(instr after 1000 5) to
**$(instr after 1000000 5)** ($(growth after 5)); before, from
$(instr before 1000 3) to $(instr before 1000000 3) ($(growth before 3)) and from
$(instr before 1000 5) to $(instr before 1000000 5) ($(growth before 5)).
EOT
else
    echo "(valgrind was not installed when this page was written: no counts.)"
fi)

Where the growth comes from (callgrind, the EventLog at a million lines
against a thousand): the growth is logarithmic, each tenfold of the log
adding a similar amount. Of the broadcast's growth about five sixths is the
text document looking up positions, block numbers and line numbers
(\`QTextBlock::position\`, \`blockNumber\`, \`firstLineNumber\`,
\`QTextDocument::findBlockByNumber\`, \`lineCount\`, and the block inserts
and splits): every appended line makes QPlainTextEdit's layout, cursor and
scroll bar code do a few dozen of these, each a walk through a balanced tree
whose depth grows with the number of blocks and fragments. Packing 32 lines
to a block keeps those trees about 30 times smaller than one block per
line, and the EventLog's own lookups (the packing, once per 32 lines) are a
negligible share; the rest are inside Qt, out of the log's reach short of a
pane of our own. The remaining sixth is the lines themselves: the RxCount
figure has three more digits at a million lines, so each new line takes a
little more to lay out. The repaint grows the same two ways, mostly drawing
those longer lines (more glyphs) and the rest the same lookups.

## START to "ID:" against antsim

\`windowprobe idtime\`: antsim (time scale 1, real pseudo-terminal) and the
real window; the time from the START click to the label reading \`ID: <n>\`,
$(val idtime idtime_runs) runs. A pass-through transport timestamps every
command and its answer for the round trips.

| | ms |
|---|---|
| measured, median (min – max) | **$MEASURED** ($(val idtime idtime_min_ms) – $(val idtime idtime_max_ms)) |
| START click to the open channel's answer (the ID timer starts there), median | $(val idtime start_to_open_median_ms) |
| open channel's answer to the request for the ID (the timer, then the next broadcast), median | $(val idtime open_to_request_median_ms) |
| wait after the stick reset | 600 |
| ID timer | 4000 |
| command round trips: $TRIPS × $RTT (median, measured) | $(awk -v t="$TRIPS" -v r="$RTT" 'BEGIN { printf "%.1f", t * r }') |
| one channel period, 8070/32768 s (the broadcast that carries the request) | $PERIOD_MS |
| **floor** (the wait, the timer, the round trips and one period) | **$FLOOR** |
| **ratio measured / floor** | **$RATIO** |
| floor with the average wait for that broadcast (half a period) | $FLOOR_MEAN |
| ratio measured / that floor | $RATIO_MEAN |

The request for the ID goes out with the first broadcast after the timer
fires, which comes between 0 and one period later: so the measured time can
lie below the floor counted with a whole period; the second ratio counts the
average wait. Where the next broadcast falls after the timer depends on the
belt's phase, which antsim keeps the same from run to run. Per run:

\`\`\`
$(grep '^run ' "$TMP/idtime")
\`\`\`

The ID timer is a precise timer: as a coarse one (Qt's default) it fired up
to 200 ms late, missed the broadcast that should carry the request, and the
ID came one channel period later in a third of the runs.

## Start-up to the first shown window

\`windowprobe startup\`: a launcher takes CLOCK_MONOTONIC, \`posix_spawn\`s
the probe, which builds the window as \`main()\` does (QApplication,
SystemStickProvider, AntLibrary, TForm1, show) and prints CLOCK_MONOTONIC
once the window's first expose event has been handled (its first frame
painted and flushed). The difference covers exec, dynamic linking, Qt's
platform start-up, fonts, the window and its first paint. 20 runs each.

| platform | median ms | min ms | max ms |
|---|---|---|---|
| offscreen | $(val startup-offscreen startup_median_ms) | $(val startup-offscreen startup_min_ms) | $(val startup-offscreen startup_max_ms) |
| Xvfb (xcb, a real X server) | $(val startup-xvfb startup_median_ms) | $(val startup-xvfb startup_min_ms) | $(val startup-xvfb startup_max_ms) |
$WINE_ROW

The Windows row, when present, is the Windows build (\`build-windows/dist/pulvane.exe\`)
started by Wine 8 on Xvfb, measured by \`scripts/bench-windows.sh\` from the
launch to the window seen shown (xdotool, polled every 20 ms), 10 runs in a
warm Wine prefix: Wine's own start-up is in it, so it says little about
Windows itself.

## START without a stick

\`startbench\`: what pressing START costs on the window's thread when no
stick can be opened: the four attempts (ANT_Init 0 to 3 through the
program's SystemStickProvider, as the finder makes them), each START timed
from its first attempt to its last, with every look at the machine and every
diagnostics line in it. 20 STARTs after one that is not counted. The Windows
rows come from \`scripts/bench-windows.sh\` (the Windows build under Wine 8,
no USB device in Wine), once without a libusb0.dll in System32 and once with
the tests' stand-in there, listing no stick; this file keeps them.

| START on the window's thread | median ms | min ms | max ms |
|---|---|---|---|
$START_LINUX
$START_WINE_ROWS

Each START looks at the machine once: the stick list, libusb0.dll's devices
and SetupAPI's drivers are made at its first attempt and reused by the other
three and by the driver lines, and libusb0.dll is loaded once for it. Until
then every attempt made its own list (libusb set up and torn down, every
stick opened, libusb0.dll loaded, \`usb_init\`, \`usb_find_busses\`,
\`usb_find_devices\`, SetupAPI), and the driver lines a fifth. Measured the
same way on the code before the change (December 2026, this machine):
Linux 25.4 ms median (15.8 to 40.0); under Wine 205.5 ms (66.5 to 285.4)
without a libusb0.dll and 89.7 ms (67.6 to 297.9) with the stand-in. On a
real PC each libusb0 device adds a descriptor request per look (up to 5 s
on a wedged one), which the single look now pays once.

## Processor load while receiving at 4 Hz

\`windowprobe receive\`: the real window receiving from antsim at time
scale 1 (4 broadcasts a second, default belts) for about a minute, ended by
antsim vanishing; utime + stime from \`/proc/<pid>/stat\` of each process over
the same span, as a share of one core.

| | |
|---|---|
| span, s | $(val load receive_seconds) |
| broadcasts a second | $(val load receive_rate_hz) |
| **program (window, finder, ANT interface), % of one core** | **$(val load program_cpu_percent)** |
| **antsim, % of one core** | **$(val load antsim_cpu_percent)** |
| program's resident set at the end, MiB | $(val load final_rss_MiB) |
| log's RxCount / antsim's broadcasts | $(val load log_rxcount) / $(val load antsim_broadcasts) |

$(start_section)
EOF
if [ -n "$OUTSIDE" ]; then printf '\n%s\n' "$OUTSIDE"; fi
} > "$OUT"
echo "Wrote $OUT"
