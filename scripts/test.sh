#!/usr/bin/env bash
# Builds Pulvane and runs the whole test suite (unit, GUI on the offscreen
# platform, end to end against antsim).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}"
pulvane_build
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" "$@"
