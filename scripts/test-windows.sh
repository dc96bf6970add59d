#!/usr/bin/env bash
# Proves the Windows build (scripts/build-windows.sh first) under Wine, in a
# Wine prefix of its own with Xvfb as the display, one step after the other
# (each a function below, named in STEPS at the end):
#   0. the scripts and the delivered folder: dist/ at most 30 MB with no
#      debug sections left, every package asked of dpkg installed first, a
#      failing command named with its step; both programs' manifest, icon
#      and version details, the installer's DPI awareness and icon;
#   1. the test programs built for Windows, through CTest with Wine as the
#      emulator: a pair of COM ports joined back to back for the serial
#      transport, and antsim (built for Linux) behind another COM port for
#      the window's end-to-end test;
#   2. dist/pulvane.exe itself against antsim: START finds the belt, SAVE TO
#      PC writes both registry values (checked with `wine reg query`);
#   3. the same with a stick that has its maker's libusb-win32 driver and
#      nothing named: the stand-in libusb0.dll in the prefix's System32 (as
#      the driver package puts the real one) carries the stick's bulk
#      endpoints to antsim; STOP and START again, antsim killed mid-search;
#   4. the installer: silent install, the installed program's title and
#      window icon, the Start-menu entry that opens the diagnostics file, the
#      icon in Add/Remove Programs, installing over the running program and
#      uninstalling it while it runs (both close it), silent uninstall that
#      leaves nothing behind.
# Steps 1 and 3 have the stand-in in System32; step 2 runs without it.
# Named steps run alone: scripts/test-windows.sh scripts installer
# PULVANE_SCREENSHOT=<file.png> also saves the window of step 2 with the belt
# found.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/windows-common.sh"

win_stage "packages"
pulvane_install_packages "${PULVANE_WIN_PACKAGES[@]}" "${PULVANE_BUILD_PACKAGES[@]}"
win_build_libusb >/dev/null
win_build_qt >/dev/null
if [ ! -f "$WIN_BUILD_DIR/dist/pulvane.exe" ]; then
    echo "No Windows build in $WIN_BUILD_DIR: run scripts/build-windows.sh first" >&2
    exit 1
fi
win_stage "antsim for Linux"
pulvane_build antsim >/dev/null
ANTSIM="$BUILD_DIR/tools/antsim/antsim"

TMP="$(mktemp -d)"
passed=0
failed=0
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    win_wine_stop
    rm -rf "$TMP"
}
trap cleanup EXIT

check() { # check "what" command...
    local what="$1"
    shift
    if "$@"; then
        echo "PASS   : $what"
        passed=$((passed + 1))
    else
        echo "FAIL!  : $what"
        failed=$((failed + 1))
    fi
}

# antsim with three belts, 12345 the nearest, in a runtime directory of its
# own that nobody else may write. Sets ANTSIM_PID and SIM_PTY, the
# pseudo-terminal to map a COM port to.
start_antsim() { # name
    mkdir -m 700 -p "$TMP/run-$1"
    XDG_RUNTIME_DIR="$TMP/run-$1" pulvane_start_antsim "$TMP/antsim-$1.out" --name "$1" \
        --belt dev=4321,dist=2.5,hr=88 --belt dev=12345,dist=0.5,hr=72 \
        --belt dev=51010,dist=1.2,hr=64 || true
    pids+=(${ANTSIM_PID:-})
    [ -n "$ANTSIM_LINK" ] || return 1
    SIM_PTY="$(readlink -f "$ANTSIM_LINK")"
}

# Two ptys joined back to back. Sets PAIR_A and PAIR_B.
start_pair() {
    mkdir -p "$TMP/pair"
    socat pty,raw,echo=0,link="$TMP/pair/a" pty,raw,echo=0,link="$TMP/pair/b" &
    pids+=($!)
    local i
    for i in $(seq 100); do
        [ -e "$TMP/pair/a" ] && [ -e "$TMP/pair/b" ] && break
        sleep 0.1
    done
    PAIR_A="$(readlink -f "$TMP/pair/a")"
    PAIR_B="$(readlink -f "$TMP/pair/b")"
}

# Wine reads the mappings when its server starts: win_wine_restart after.
map_port() { # COMn /dev/pts/N
    wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null 2>&1
}

reg_value() { # key value: the REG_SZ text, or nothing
    wine reg query "HKCU\\Software\\Morvask\\Quelb\\$1" /v "$2" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$2 *REG_SZ *//p"
}

# Clicks the middle of a button, whose rectangle in the window's client area
# comes from the layout the program is built with (src/ui/formlayout.h, one
# `kStartButton{x, y, width, height}` a line).
click_button() { # window kStartButton|kStopButton|kSaveButton
    local x y w h
    read -r x y w h < <(sed -n "s/.* $2{\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\)};.*/\1 \2 \3 \4/p" \
        "$PULVANE_ROOT/src/ui/formlayout.h")
    [ -n "$h" ] || { echo "no rectangle for $2 in src/ui/formlayout.h" >&2; return 1; }
    xdotool mousemove --window "$1" $((x + w / 2)) $((y + h / 2)) click 1
}

# Waits up to 30 s until a file has count lines matching a pattern.
wait_lines() { # file pattern [count]
    local i
    for i in $(seq 300); do
        [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "${3:-1}" ] && return 0
        sleep 0.1
    done
    return 1
}

# The stand-in for the libusb-win32 driver's library, put where the driver
# package puts the real one, or taken away again.
standin_in_system32() { # yes|no
    local dll="$WINEPREFIX/drive_c/windows/system32/libusb0.dll"
    if [ "$1" = yes ]; then
        cp "$WIN_BUILD_DIR/tests/stick/libusb0standin/libusb0.dll" "$dll"
    else
        rm -f "$dll"
    fi
}

# 0. The scripts and the delivered folder.
step_scripts() {
    win_stage "the scripts and dist/"
    local dist="$WIN_BUILD_DIR/dist" size
    size="$(du -sb "$dist" | cut -f1)"
    echo "dist/ holds $(win_size_mb "$dist") MB"
    check "dist/ is at most 30 MB" test "$size" -le $((30 * 1048576))
    check "no program or DLL in dist/ has debug sections" test -z "$(win_debug_sections "$dist")"

    local pkg asked=0
    for pkg in $(grep -ho 'win_source_version [a-z0-9][a-z0-9.+-]*' "$PULVANE_ROOT"/scripts/*windows* |
        cut -d' ' -f2 | sort -u); do
        asked=$((asked + 1))
        check "the package $pkg, asked of dpkg, is installed by the scripts" \
            grep -qxF -- "$pkg" < <(printf '%s\n' "${PULVANE_WIN_PACKAGES[@]}")
    done
    check "the scripts ask dpkg about packages" test "$asked" -gt 0

    # A step that fails in a fresh shell, as build-windows.sh would, once in a
    # function and once inside a command substitution.
    local failing why out
    for failing in 'f() { ls /nonexistent; }; f' 'v="$(ls /nonexistent; echo)"'; do
        out="$(bash -c "set -euo pipefail; source '$PULVANE_ROOT/scripts/windows-common.sh'
            win_stage 'a step'; $failing; echo went on" 2>&1)" || true
        why="a failure ($failing) names its step, the command and its exit code, once"
        check "$why" test "$(grep -c FAILED <<<"$out")/$(grep -cx 'went on' <<<"$out")" = 1/0
        check "$why: the text" grep -q '^FAILED in "a step" ([^)]*):|   .*ls /nonexistent.*|   exit code 2|$' \
            <<<"$(sed -n '/FAILED/,+2{s/.*FAILED/FAILED/;p}' <<<"$out" | tr '\n' '|')"
    done
}

# The resources of a Windows program file as resource script text (windres
# decompiles them), without the data of the images.
resources() { "$WIN_TRIPLE-windres" -i "$1" -O rc 2>/dev/null | grep -v '^  0x'; }

# 0b. Both programs and the installer look like Windows programs.
step_look() {
    win_stage "the programs' manifest, icon and version details"
    local exe rc value
    for exe in "pulvane:Pulvane - Heart-rate belt finder" "pulvane-diagnostics:Pulvane diagnostics"; do
        rc="$(resources "$WIN_BUILD_DIR/dist/${exe%%:*}.exe")"
        check "${exe%%:*}.exe has an application manifest: asInvoker, PerMonitorV2, Windows 7 to 11" test \
            "$(sed -n '/^1 24 /,/^END/p' <<<"$rc" | grep -c -e 'level=""asInvoker""' -e '>PerMonitorV2' -e 'supportedOS Id')" = 6
        check "${exe%%:*}.exe has the icon, 16 to 256 pixels, as its first icon group" \
            test "$(grep -c -e '^"IDI_ICON1" 14 ' -e 'Has 5 elements' <<<"$rc")" = 2
        rc="$(sed -n '/BLOCK "041004E4"/,/END/p' <<<"$rc")"
        for value in "FileDescription=${exe#*:}" "FileVersion=1.1.1.0" "ProductName=Pulvane" \
            "ProductVersion=1.1.1.0" "CompanyName=Pulvane developers" "OriginalFilename=${exe%%:*}.exe" \
            "LegalCopyright=Copyright (C) 2026 Pulvane developers"; do
            check "${exe%%:*}.exe: $value (041004E4)" grep -qF "\"${value%%=*}\", \"${value#*=}\"" <<<"$rc"
        done
    done
    local installer
    installer="$(ls "$WIN_BUILD_DIR"/Pulvane-*-win64.exe)"
    # NSIS writes its manifest as plain text.
    check "the installer is DPI-aware" grep -aq 'true</dpiAware>' "$installer"
    check "the installer has the program's icon (with 256 pixels)" \
        grep -q '"\\000\\000\\000\\000", 1, 32' <<<"$(resources "$installer")"
}

# 1. The test programs built for Windows.
step_test_programs() {
    win_stage "test programs under Wine"
    start_pair
    start_antsim ctest
    map_port COM7 "$PAIR_A"
    map_port COM8 "$PAIR_B"
    map_port COM5 "$SIM_PTY"
    standin_in_system32 yes
    win_wine_restart
    local winepath
    winepath="$(win_wine_path "$WIN_QT_PREFIX/bin");$(win_wine_path "$WIN_LIBUSB_PREFIX/bin")"
    winepath+=";$(win_wine_path "$(dirname "$("$WIN_TRIPLE-g++-posix" -print-file-name=libstdc++-6.dll)")")"
    winepath+=";$(win_wine_path "/usr/$WIN_TRIPLE/lib")"
    if WINEPATH="$winepath" QT_PLUGIN_PATH="$(win_wine_path "$WIN_QT_PREFIX/plugins")" \
        PULVANE_TEST_COM_PAIR="COM7;COM8" PULVANE_TEST_SIM_PORT=COM5 \
        ctest --test-dir "$WIN_BUILD_DIR" --output-on-failure --timeout 300 >"$TMP/ctest.log" 2>&1; then
        check "test programs (ctest under Wine)" true
    else
        check "test programs (ctest under Wine)" false
    fi
    grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|tests failed' "$TMP/ctest.log" || true
    grep -q "tests FAILED" "$TMP/ctest.log" && grep -E "^(FAIL|   Loc|   Actual|   Expected)" "$TMP/ctest.log" || true
    check "the window's end-to-end test saved 12345 as REG_SZ" \
        test "$(reg_value OrvantaDeviceAnt QrxAnt_DeviceHrNumber)" = 12345
    wine reg delete 'HKCU\Software\Morvask' /f >/dev/null 2>&1 || true
}

# 2. dist/pulvane.exe itself against antsim.
step_dist_against_antsim() {
    win_stage "dist/pulvane.exe against antsim"
    standin_in_system32 no
    check "dist/ holds no libusb0.dll and pulvane.exe does not import one" \
        test -z "$(find "$WIN_BUILD_DIR/dist" -iname libusb0.dll
            "$WIN_TRIPLE-objdump" -p "$WIN_BUILD_DIR/dist/pulvane.exe" | grep -i 'DLL Name: libusb0')"
    start_antsim dist
    map_port COM6 "$SIM_PTY"
    win_wine_restart

    local launch shown win title found i diagnostics
    launch=$(date +%s%N)
    PULVANE_STICKS=COM6 wine "$WIN_BUILD_DIR/dist/pulvane.exe" >"$TMP/dist.log" 2>&1 &
    pids+=($!)
    if win="$(win_wait_window '^Pulvane - Ver\. ' 60)"; then
        shown=$(date +%s%N)
        echo "start-up to the first shown window under Wine: $(((shown - launch) / 1000000)) ms"
        title="$(xdotool getwindowname "$win")"
        check "dist/pulvane.exe shows its window titled '$title'" test "$title" = "Pulvane - Ver. 1.1.1.0"
        sleep 1
        click_button "$win" kStartButton
        found=false
        for i in $(seq 300); do
            grep -q '^found .*dev=12345' "$TMP/antsim-dist.out" && grep -q '^request ' "$TMP/antsim-dist.out" && {
                found=true
                break
            }
            sleep 0.1
        done
        check "START found belt 12345 and asked for its ID" $found
        sleep 2
        if [ -n "${PULVANE_SCREENSHOT:-}" ]; then
            import -window root -crop "$(xdotool getwindowgeometry "$win" | sed -n 's/.*Geometry: //p')+$(xdotool getwindowgeometry "$win" | sed -n 's/.*Position: \([0-9]*\),\([0-9]*\).*/\1+\2/p')" \
                "$PULVANE_SCREENSHOT" && echo "screenshot: $PULVANE_SCREENSHOT"
        fi
        click_button "$win" kSaveButton
        sleep 2
        check "SAVE TO PC: QrxAnt_DeviceHrNumber is REG_SZ 12345" \
            test "$(reg_value OrvantaDeviceAnt QrxAnt_DeviceHrNumber)" = 12345
        check "SAVE TO PC: QrxAntP_HRDeviceNumber is REG_SZ 12345" \
            test "$(reg_value OrvantaDeviceAntP QrxAntP_HRDeviceNumber)" = 12345
        # antsim ends: its pty hangs up under the open COM port.
        kill "$ANTSIM_PID"
        diagnostics="$(find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/Pulvane/diagnostics.log' | head -1)"
        for i in $(seq 100); do
            [ -n "$diagnostics" ] && grep -q 'COM6 (named in PULVANE_STICKS) went away' "$diagnostics" && break
            sleep 0.1
            diagnostics="$(find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/Pulvane/diagnostics.log' | head -1)"
        done
        check "a hang-up is kept in %LOCALAPPDATA%\\Pulvane\\diagnostics.log" \
            grep -q 'ANT stick COM6 (named in PULVANE_STICKS) went away: ' "${diagnostics:-/dev/null}"
        grep -h 'COM6.*went away' "${diagnostics:-/dev/null}" | tr -d '\r' | sed 's/^/         /' || true
    else
        check "dist/pulvane.exe shows its window" false
    fi
    win_wine_restart
}

# 3. dist/pulvane.exe with a stick that has its maker's driver, nothing named.
step_dist_libusb0() {
    win_stage "dist/pulvane.exe with a libusb-win32 stick (the stand-in libusb0.dll)"
    standin_in_system32 yes
    start_antsim libusb0
    map_port COM9 "$SIM_PTY"
    wine reg delete 'HKCU\Software\Morvask' /f >/dev/null 2>&1 || true
    win_wine_restart
    local out="$TMP/antsim-libusb0.out" win diagnostics
    env -u PULVANE_STICKS PULVANE_LIBUSB0_PORT=COM9 wine "$WIN_BUILD_DIR/dist/pulvane.exe" \
        >"$TMP/libusb0.log" 2>&1 &
    pids+=($!)
    if ! win="$(win_wait_window '^Pulvane - Ver\. ' 60)"; then
        check "dist/pulvane.exe shows its window" false
        return
    fi
    sleep 1
    click_button "$win" kStartButton
    check "libusb0 stick: START found belt 12345 and asked for its ID" \
        wait_lines "$out" '^request .*id=0x51 dev=12345'
    sleep 2
    click_button "$win" kSaveButton
    sleep 2
    check "libusb0 stick: SAVE TO PC wrote both values, REG_SZ 12345" test \
        "$(reg_value OrvantaDeviceAnt QrxAnt_DeviceHrNumber)/$(reg_value OrvantaDeviceAntP QrxAntP_HRDeviceNumber)" = 12345/12345
    click_button "$win" kStopButton
    check "libusb0 stick: STOP resets it" wait_lines "$out" '^reset ' 2
    click_button "$win" kStartButton
    check "libusb0 stick: START again finds the belt" wait_lines "$out" '^found .*dev=12345' 2
    # antsim ends mid-search: the stand-in's port hangs up under the stick.
    kill "$ANTSIM_PID"
    sleep 2
    diagnostics="$(find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/Pulvane/diagnostics.log' | head -1)"
    check "libusb0 stick: its loss is kept in diagnostics.log" wait_lines "${diagnostics:-/dev/null}" \
        'ANT stick ANT USB stick 0fcf:1009 (\\\\\.\\libusb0-0001--0x0fcf-0x1009) went away: the stick was unplugged'
    grep -h 'libusb0.*went away' "${diagnostics:-/dev/null}" | tr -d '\r' | sed 's/^/         /' || true
    win_wine_restart
}

# 4. The installer and the uninstaller.
step_installer() {
    win_stage "the installer"
    local installer program_dir win entry diagnostics
    installer="$(ls "$WIN_BUILD_DIR"/Pulvane-*-win64.exe)"
    echo "the installer: $(win_size_mb "$installer") MB"
    program_dir="$WINEPREFIX/drive_c/Program Files/Pulvane"
    start_menu() { # entry name
        find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs*' -iname "$1.lnk" 2>/dev/null
    }
    wine "$installer" /S >/dev/null 2>&1 || true
    wineserver -w || true
    check "silent install puts pulvane.exe in the 64-bit Program Files" test -f "$program_dir/pulvane.exe"
    check "no program or DLL installed has debug sections" test -z "$(win_debug_sections "$program_dir")"
    for entry in Pulvane "Pulvane diagnostics"; do
        check "silent install adds the Start-menu entry $entry" test -n "$(start_menu "$entry")"
    done
    # The entry opens the user's diagnostics file in the program set for .log
    # files (Wine's Notepad): one that is missing is made empty, one that
    # exists keeps its lines.
    local appdata before
    appdata="$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\r')")"
    diagnostics="$appdata/Pulvane/diagnostics.log"
    for before in "" "2026-12-07T20:00:00 ANT stick 0 not opened: no ANT stick found"; do
        rm -rf "${appdata:?}/Pulvane"
        if [ -n "$before" ]; then
            mkdir -p "$(dirname "$diagnostics")"
            printf '%s\r\n' "$before" >"$diagnostics"
        fi
        wine start /unix "$(start_menu "Pulvane diagnostics")" >/dev/null 2>&1 || true
        check "the entry Pulvane diagnostics opens diagnostics.log (${before:+not }missing before)" \
            test -n "$(win_wait_window 'diagnostics\.log' 30)"
        check "the entry Pulvane diagnostics leaves the file as it was (${before:+not }missing before)" \
            test -f "$diagnostics" -a "$(tr -d '\r' <"$diagnostics")" = "$before"
        win_wine_restart
    done
    check "silent install adds the uninstaller" test -f "$program_dir/Uninstall.exe"
    check "silent install puts no libusb0.dll anywhere" \
        test -z "$(find "$WINEPREFIX/drive_c/Program Files" -iname libusb0.dll)"
    check "Add/Remove Programs shows pulvane.exe's icon" test "$(wine reg query \
        'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Pulvane' /v DisplayIcon 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *DisplayIcon *REG_SZ *//p')" = 'C:\Program Files\Pulvane\pulvane.exe'
    # Installing over the running program, then uninstalling it, closes it.
    local rc over
    for over in installer uninstaller; do
        wine "C:\\Program Files\\Pulvane\\pulvane.exe" >/dev/null 2>&1 &
        pids+=($!)
        if ! win="$(win_wait_window '^Pulvane - Ver\. ' 60)"; then
            check "the installed program shows its window" false
            continue
        fi
        check "the installed program starts with the title 'Pulvane - Ver. 1.1.1.0'" \
            test "$(xdotool getwindowname "$win")" = "Pulvane - Ver. 1.1.1.0"
        check "the window has the program's icon (_NET_WM_ICON)" \
            grep -q 'Icon (32 x 32)' <<<"$(xprop -len 100000000 -id "$win" _NET_WM_ICON)"
        rc=0
        if [ "$over" = installer ]; then
            wine "$installer" /S >/dev/null 2>&1 || rc=$?
        else
            wine "C:\\Program Files\\Pulvane\\Uninstall.exe" /S >/dev/null 2>&1 || rc=$?
        fi
        # The uninstaller runs on as a copy of itself; a program left running
        # would keep Wine up.
        timeout 60 wineserver -w || true
        check "the $over, run silently, closed the running program and ended with 0 ($rc)" \
            test "$rc/$(xdotool search --name '^Pulvane - Ver\. ' 2>/dev/null || true)" = 0/
        [ "$over" = uninstaller ] ||
            check "the installer put pulvane.exe in place" test -f "$program_dir/pulvane.exe"
        # A Wine server still going down would drop the next start.
        win_wine_restart
    done
    win_wine_restart
    check "silent uninstall removes the program folder" test ! -e "$program_dir"
    for entry in Pulvane "Pulvane diagnostics"; do
        check "silent uninstall removes the Start-menu entry $entry" test -z "$(start_menu "$entry")"
    done
}

# A fresh prefix each run: nothing from an earlier run counts.
export PULVANE_WINEPREFIX="$TMP/prefix"
win_wine_start
win_stage "Wine prefix $WINEPREFIX on display $DISPLAY"

STEPS=(scripts look test_programs dist_against_antsim dist_libusb0 installer)
[ $# -eq 0 ] || STEPS=("$@")
for step in "${STEPS[@]}"; do
    "step_$step"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
