# Shared by the scripts: install what is missing, configure, build, start
# antsim. Sourced, not run.

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

# pulvane_configure DIR [cmake option...]: configures DIR with Ninja unless it
# holds a configured build already, whose cache (options included) then stands.
pulvane_configure() {
    local dir="$1"
    shift
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$PULVANE_ROOT" -B "$dir" -G Ninja "$@"
}

# pulvane_build_in DIR [target...]: builds the targets in DIR (all when none
# is named).
pulvane_build_in() {
    local dir="$1" targets=() t
    shift
    for t in "$@"; do targets+=(--target "$t"); done
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
}

# pulvane_build [target...]: the same in $BUILD_DIR, configured once.
pulvane_build() {
    pulvane_configure "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    pulvane_build_in "$BUILD_DIR" "$@"
}

# pulvane_start_antsim LOG [antsim option...]: starts $ANTSIM in the
# background, its output in LOG, and waits up to 10 s for its line
# "ready <link path>". ANTSIM_PID is its process while it runs (empty once it
# has ended), ANTSIM_LINK the link it made. Returns 1, saying why on standard
# error, when it ended or did not get ready (then it may still run).
pulvane_start_antsim() {
    local log="$1" i
    shift
    ANTSIM_LINK=""
    "$ANTSIM" "$@" >"$log" 2>&1 &
    ANTSIM_PID=$!
    for i in $(seq 100); do
        ANTSIM_LINK="$(sed -n 's/^ready //p' "$log" 2>/dev/null)"
        [ -n "$ANTSIM_LINK" ] && return 0
        if ! kill -0 "$ANTSIM_PID" 2>/dev/null; then
            wait "$ANTSIM_PID" || true
            ANTSIM_PID=""
            echo "antsim could not start:" >&2
            cat "$log" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "antsim did not get ready within 10 s; see $log" >&2
    return 1
}

# pulvane_bench_setup <target...>: a Release build in $BENCH_DIR (tests off)
# with the given targets, and the environment the benchmark programs run in:
# ANTSIM, PROBE, a scratch directory TMP removed on exit, and val FILE KEY,
# the last value of KEY in the key=value lines of $TMP/FILE.
pulvane_bench_setup() {
    BENCH_DIR="${PULVANE_BENCH_DIR:-$PULVANE_ROOT/build-bench}"
    pulvane_configure "$BENCH_DIR" -DCMAKE_BUILD_TYPE=Release -DPULVANE_BUILD_TESTS=OFF
    pulvane_build_in "$BENCH_DIR" "$@"

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
