#!/usr/bin/env bash
# Cross-builds Pulvane for 64-bit Windows on Debian 12:
#   build-windows/dist/pulvane.exe        runs as it is, every DLL beside it
#   build-windows/Pulvane-<version>-win64.exe   the installer
# Qt and libusb are built once from Debian's own sources into
# ~/.cache/pulvane (PULVANE_WIN_CACHE) and reused while their versions and
# flags stay the same; the first Qt build takes 20 minutes or more.
# PULVANE_ANT_NETWORK_KEY, when set, is the build's network key.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/windows-common.sh"

start=$SECONDS
win_stage "packages"
pulvane_install_packages "${PULVANE_WIN_PACKAGES[@]}"
win_build_libusb
win_build_qt

win_stage "Pulvane for Windows: configuring in $WIN_BUILD_DIR"
win_configure_pulvane

win_stage "Pulvane for Windows: building"
nice cmake --build "$WIN_BUILD_DIR" -j"$WIN_JOBS"

win_stage "Pulvane for Windows: laying out $WIN_BUILD_DIR/dist"
rm -rf "$WIN_BUILD_DIR/dist"
cmake --install "$WIN_BUILD_DIR" --prefix "$WIN_BUILD_DIR/dist" --strip >/dev/null
win_check_dlls "$WIN_BUILD_DIR/dist"

win_stage "Pulvane for Windows: the installer"
rm -f "$WIN_BUILD_DIR"/Pulvane-*-win64.exe
(cd "$WIN_BUILD_DIR" && cpack -G NSIS >cpack.log 2>&1) || {
    tail -30 "$WIN_BUILD_DIR/cpack.log" >&2
    echo "cpack failed: its log is $WIN_BUILD_DIR/cpack.log" >&2
    exit 1
}
installer="$(ls "$WIN_BUILD_DIR"/Pulvane-*-win64.exe)"
win_stage "done in $((SECONDS - start)) s: $WIN_BUILD_DIR/dist/pulvane.exe" \
    "(the folder $(win_size_mb "$WIN_BUILD_DIR/dist") MB) and $installer ($(win_size_mb "$installer") MB)"
