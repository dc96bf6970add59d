# Shared by run.sh and test.sh: install what is missing, configure, build.
# Sourced, not run.

PULVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${PULVANE_BUILD_DIR:-$PULVANE_ROOT/build}"

pulvane_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

PULVANE_BUILD_PACKAGES=(build-essential cmake pkg-config ninja-build qt6-base-dev
    qt6-serialport-dev libusb-1.0-0-dev libgl-dev fonts-liberation umockdev libumockdev-dev)

# pulvane_build [target...]: configures once, then builds the targets (all
# when none is named).
pulvane_build() {
    if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
        cmake -S "$PULVANE_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fi
    local targets=()
    local t
    for t in "$@"; do targets+=(--target "$t"); done
    cmake --build "$BUILD_DIR" -j"$(nproc)" "${targets[@]}"
}

# pulvane_bench_setup <target...>: a Release build in $BENCH_DIR (tests off)
# with the given targets, and the environment the benchmark programs run in:
# ANTSIM, PROBE, a scratch directory TMP removed on exit, and val FILE KEY,
# the last value of KEY in the key=value lines of $TMP/FILE.
pulvane_bench_setup() {
    BENCH_DIR="${PULVANE_BENCH_DIR:-$PULVANE_ROOT/build-bench}"
    if [ ! -f "$BENCH_DIR/CMakeCache.txt" ]; then
        cmake -S "$PULVANE_ROOT" -B "$BENCH_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DPULVANE_BUILD_TESTS=OFF
    fi
    local targets=()
    local t
    for t in "$@"; do targets+=(--target "$t"); done
    cmake --build "$BENCH_DIR" -j"$(nproc)" "${targets[@]}"

    export QT_QPA_PLATFORM=offscreen
    # Each run of antsim gets a private runtime directory from the probe; this
    # one only keeps Qt quiet.
    export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
    ANTSIM="$BENCH_DIR/tools/antsim/antsim"
    PROBE="$BENCH_DIR/bench/windowprobe"
    TMP="$(mktemp -d)"
    trap 'rm -rf "$TMP"' EXIT
}

val() { sed -n "s/^$2=//p" "$TMP/$1" | tail -1; }
