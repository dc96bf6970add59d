#!/usr/bin/env bash
# Fuzzes the frame decoder and AntLibrary's dispatch with libFuzzer for a
# bounded time: bash scripts/fuzz.sh [seconds] (default 60).
# Builds fuzz/fuzz_decoder with clang in build-fuzz/. The working corpus grows
# in build-fuzz/corpus, seeded from fuzz/corpus; an input that breaks the
# target is written to build-fuzz/crashes/: keep it in tests/ant/regressions/
# so tst_fuzzregressions replays it from then on.
set -euo pipefail
SECONDS_TO_RUN="${1:-60}"
export PULVANE_BUILD_DIR="${PULVANE_BUILD_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-fuzz}"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

pulvane_install_packages "${PULVANE_BUILD_PACKAGES[@]}" clang libclang-rt-dev
pulvane_configure "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPULVANE_BUILD_FUZZ=ON \
    -DPULVANE_BUILD_TESTS=OFF -DPULVANE_BUILD_BENCH=OFF
pulvane_build fuzz_decoder

mkdir -p "$BUILD_DIR/corpus" "$BUILD_DIR/crashes"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
"$BUILD_DIR/fuzz/fuzz_decoder" -max_total_time="$SECONDS_TO_RUN" -max_len=512 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$BUILD_DIR/crashes/" \
    "$BUILD_DIR/corpus" "$PULVANE_ROOT/fuzz/corpus" "$PULVANE_ROOT/tests/ant/regressions"
