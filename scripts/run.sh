#!/usr/bin/env bash
# Builds Pulvane and starts it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}"
pulvane_build pulvane antsim
exec "$BUILD_DIR/src/app/pulvane" "$@"
