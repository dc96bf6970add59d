#!/usr/bin/env bash
# Builds Pulvane with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/ and runs the whole test suite (unit, GUI, end to end) there.
# Any report of either sanitizer fails the run. Extra arguments go to ctest.
set -euo pipefail
export PULVANE_BUILD_DIR="${PULVANE_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-asan}"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}"
# Benchmarks measure the plain build; the sanitized one only runs tests.
pulvane_configure "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPULVANE_SANITIZE=ON \
    -DPULVANE_BUILD_BENCH=OFF
pulvane_build

export QT_QPA_PLATFORM=offscreen
# Leaks are reported; the suppressions cover only what Qt's plugins and
# fontconfig keep for the life of the process. The emulated-USB tests run
# under umockdev-wrapper, whose preload library comes before the ASan runtime.
export ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$PULVANE_ROOT/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"$(nproc)" "$@"
