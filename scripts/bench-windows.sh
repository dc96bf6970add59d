#!/usr/bin/env bash
# Start-up of the Windows build under Wine (after scripts/build-windows.sh):
# from starting build-windows/dist/pulvane.exe to its window shown on Xvfb,
# 10 runs in a warm Wine prefix of its own. Writes the row "Windows build
# under Wine" of docs/performance.md (scripts/bench.sh keeps it).
# Then START without a stick on the window's thread (bench/startbench, built
# for Windows beside the build): without a libusb0.dll in System32, and with
# the tests' stand-in there listing no stick. Writes the rows "| START, "
# (kept by scripts/bench.sh too).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/windows-common.sh"

OUT="$PULVANE_ROOT/docs/performance.md"
RUNS="${1:-10}"
pulvane_install_packages "${PULVANE_WIN_PACKAGES[@]}"
win_build_libusb >/dev/null
win_build_qt >/dev/null
[ -f "$WIN_BUILD_DIR/dist/pulvane.exe" ] || {
    echo "No Windows build: run scripts/build-windows.sh first" >&2
    exit 1
}
TMP="$(mktemp -d)"
trap 'win_wine_stop; rm -rf "$TMP"' EXIT
export PULVANE_WINEPREFIX="$TMP/prefix"
win_wine_start
# A first start that is not counted: Wine's own first-run work.
wine "$WIN_BUILD_DIR/dist/pulvane.exe" >/dev/null 2>&1 &
win_wait_window '^Pulvane - Ver\. ' 120 >/dev/null
win_wine_restart
wineboot >/dev/null 2>&1 || true

times=()
for run in $(seq "$RUNS"); do
    start=$(date +%s%N)
    wine "$WIN_BUILD_DIR/dist/pulvane.exe" >/dev/null 2>&1 &
    program=$!
    win_wait_window '^Pulvane - Ver\. ' 60 >/dev/null
    shown=$(date +%s%N)
    times+=($(((shown - start) / 100000)))
    # The program ends; wineserver stays up, as it does for a user.
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    sleep 1
done
row="$(printf '%s\n' "${times[@]}" | sort -n | awk -v n="$RUNS" '
    { t[NR] = $1 / 10 }
    END { m = (n % 2) ? t[(n + 1) / 2] : (t[n / 2] + t[n / 2 + 1]) / 2;
          printf "| Windows build under Wine 8 (Xvfb; window seen shown by xdotool, polled every 20 ms) | %.1f | %.1f | %.1f |", m, t[1], t[n] }')"
echo "$row"
if grep -q '^| Windows build under Wine' "$OUT"; then
    sed -i "s#^| Windows build under Wine.*#$row#" "$OUT"
else
    sed -i "/^| Xvfb (xcb, a real X server) |/a $row" "$OUT"
fi
echo "Wrote $OUT"

# START without a stick, on the window's thread.
win_configure_pulvane
cmake -DPULVANE_BUILD_BENCH=ON "$WIN_BUILD_DIR" >/dev/null
nice cmake --build "$WIN_BUILD_DIR" --target startbench libusb0_standin >/dev/null
winepath="$(win_wine_path "$WIN_QT_PREFIX/bin");$(win_wine_path "$WIN_LIBUSB_PREFIX/bin")"
winepath+=";$(win_wine_path "$(dirname "$("$WIN_TRIPLE-g++-posix" -print-file-name=libstdc++-6.dll)")")"
winepath+=";$(win_wine_path "/usr/$WIN_TRIPLE/lib")"
system32="$WINEPREFIX/drive_c/windows/system32/libusb0.dll"
start_row() { # label
    local line
    line="$(env -u PULVANE_STICKS -u PULVANE_LIBUSB0_PORT WINEPATH="$winepath" \
        wine "$WIN_BUILD_DIR/bench/startbench.exe" 20 2>/dev/null | tr -d '\r')"
    echo "$line" >&2
    sed -n "s/^START without a stick: median \([0-9.]*\) ms, fastest \([0-9.]*\), slowest \([0-9.]*\).*/| START, $1 | \1 | \2 | \3 |/p" <<<"$line"
}
rm -f "$system32"
rows="$(start_row "no libusb0.dll in System32")"
cp "$WIN_BUILD_DIR/tests/stick/libusb0standin/libusb0.dll" "$system32"
rows+=$'\n'"$(start_row "the tests' libusb0.dll in System32, listing no stick")"
rm -f "$system32"
echo "$rows"
sed -i '/^| START, .*System32 /d' "$OUT"
printf '%s\n' "$rows" >"$TMP/rows"
awk -v rows="$TMP/rows" '{ print }
    /^\| START on the window.s thread \|/ { getline; print; while ((getline l < rows) > 0) print l }' \
    "$OUT" >"$TMP/out" && cat "$TMP/out" >"$OUT"
echo "Wrote $OUT"
