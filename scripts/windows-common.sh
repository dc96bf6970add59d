# Shared by build-windows.sh and test-windows.sh: the cross toolchain, the
# Windows builds of Qt and libusb cached under ~/.cache/pulvane, and the
# Windows build of Pulvane in build-windows/. Sourced, not run.

# shellcheck source=common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WIN_BUILD_DIR="${PULVANE_WIN_BUILD_DIR:-$PULVANE_ROOT/build-windows}"
WIN_CACHE="${PULVANE_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pulvane}"
WIN_TRIPLE=x86_64-w64-mingw32
WIN_JOBS="${PULVANE_WIN_JOBS:-$(nproc)}"

# Every package whose version is asked of dpkg below (win_source_version) is
# among them: on a machine that has only the repository they are installed
# first.
PULVANE_WIN_PACKAGES=(build-essential cmake ninja-build qt6-base-dev qt6-base-dev-tools
    libusb-1.0-0-dev pkg-config dpkg-dev g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    mingw-w64-tools wine wine64 nsis xvfb xauth imagemagick x11-utils xdotool socat)

WIN_STAGE="starting"
win_stage() {
    WIN_STAGE="$*"
    echo "== [windows $(date -u +%H:%M:%S)] $*"
}

# A command that fails ends the script (set -e) with the step it was in, the
# command and its exit code on standard error; functions and command
# substitutions fail the same way (set -E, inherit_errexit). Said once, by
# the script itself: a subshell's failure is named where the script ends. (A
# handler called inside the subshell would trip bash 5.2 as it leaves.)
win_failed() { # exit code, exit codes of the pipeline's commands
    local file="${BASH_SOURCE[1]:-$0}"
    echo "== [windows $(date -u +%H:%M:%S)] FAILED in \"$WIN_STAGE\" (${file##*/} line ${BASH_LINENO[0]}):" >&2
    echo "   $BASH_COMMAND" >&2
    case "$2" in
    *" "*) echo "   exit code $1 (the pipeline's commands: $2)" >&2 ;;
    *) echo "   exit code $1" >&2 ;;
    esac
}
set -E
shopt -s inherit_errexit
trap 'win_failed_codes=("$?" "${PIPESTATUS[*]}")
    [ "$BASH_SUBSHELL" -ne 0 ] || win_failed "${win_failed_codes[@]}"' ERR

# Versions: the host's own Qt (its moc, rcc and uic serve the cross build)
# and libusb, as Debian ships them.
win_source_version() { dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null; }
win_upstream() { local v="${1#*:}"; v="${v%-*}"; echo "${v%+*}"; }

# A private apt configuration that only knows the source packages of the
# archive the system already uses, so the system's sources list is untouched.
win_apt() {
    local dir="$WIN_CACHE/apt"
    mkdir -p "$dir/lists/partial" "$dir/sources.list.d"
    if [ ! -s "$dir/sources.list" ]; then
        local release
        release="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
        apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' |
            awk -v r="$release" '$2 == r && $3 == "main" { print "deb-src " $1 " " $2 " main" }' |
            sort -u >"$dir/sources.list"
        [ -s "$dir/sources.list" ] || {
            echo "No '$release main' archive in the system's apt configuration" >&2
            return 1
        }
    fi
    local sandbox=()
    [ "$(id -u)" -eq 0 ] && sandbox=(-o APT::Sandbox::User=root)
    apt-get "${sandbox[@]}" -o Dir::Etc::SourceList="$dir/sources.list" \
        -o Dir::Etc::SourceParts="$dir/sources.list.d" \
        -o Dir::State::Lists="$dir/lists" "$@"
}

# win_fetch_source PACKAGE VERSION: unpacks the Debian source package into
# $WIN_CACHE/src/PACKAGE-VERSION (once) and prints that folder.
win_fetch_source() {
    local pkg="$1" ver="$2"
    local dest="$WIN_CACHE/src/$pkg-${ver#*:}"
    if [ ! -f "$dest/.unpacked" ]; then
        local dl="$WIN_CACHE/src/dl-$pkg"
        rm -rf "$dest" "$dl"
        mkdir -p "$dl"
        if [ ! -f "$WIN_CACHE/apt/.updated" ]; then
            win_apt update -qq >&2
            touch "$WIN_CACHE/apt/.updated"
        fi
        (cd "$dl" && win_apt source --download-only "$pkg=$ver" >&2)
        dpkg-source --no-copy --skip-debianization -x "$dl"/*.dsc "$dest" >&2
        rm -rf "$dl"
        touch "$dest/.unpacked"
    fi
    echo "$dest"
}

win_toolchain_file() {
    local f="$WIN_CACHE/mingw-w64-x86_64.cmake"
    mkdir -p "$WIN_CACHE"
    cat >"$f.new" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER $WIN_TRIPLE-gcc-posix)
set(CMAKE_CXX_COMPILER $WIN_TRIPLE-g++-posix)
set(CMAKE_RC_COMPILER $WIN_TRIPLE-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$WIN_TRIPLE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
    if cmp -s "$f" "$f.new"; then rm "$f.new"; else mv "$f.new" "$f"; fi
    echo "$f"
}

# Only what the program and its tests use: Core, Gui, Widgets, Test, the
# windows and offscreen platform plugins and the windowsvista style.
WIN_QT_FLAGS=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_testlib=ON -DFEATURE_widgets=ON -DFEATURE_gui=ON
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF -DFEATURE_dbus=OFF
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_zstd=OFF -DFEATURE_glib=OFF
    -DFEATURE_icu=OFF -DFEATURE_pkg_config=OFF -DFEATURE_tabletevent=OFF
    -DFEATURE_accessibility=ON
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
    -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
    -DFEATURE_system_textmarkdownreader=OFF
    # Qt 6.4's Windows plugin refers to the DirectWrite font database, which
    # Qt Gui builds only together with Direct2D: switching Direct2D off fails
    # at the plugin's link.
    -DFEATURE_direct2d=ON)

# win_stamp_ok DIR TEXT: DIR holds a finished build made with TEXT.
win_stamp_ok() { [ -f "$1/.pulvane-stamp" ] && [ "$(cat "$1/.pulvane-stamp")" = "$2" ]; }

win_build_qt() {
    local ver
    ver="$(win_source_version qt6-base-dev)"
    local up
    up="$(win_upstream "$ver")"
    local tc
    tc="$(win_toolchain_file)"
    local stamp="qtbase $ver $WIN_TRIPLE posix ${WIN_QT_FLAGS[*]} $(md5sum <"$tc" | cut -c1-12)"
    local key
    key="$(echo "$stamp" | md5sum | cut -c1-10)"
    WIN_QT_PREFIX="$WIN_CACHE/qt-$up-$WIN_TRIPLE-$key"
    if win_stamp_ok "$WIN_QT_PREFIX" "$stamp"; then
        win_stage "Qt $up for Windows: cached in $WIN_QT_PREFIX"
        return 0
    fi
    win_stage "Qt $up for Windows: fetching the source of qt6-base $ver"
    local src
    src="$(win_fetch_source qt6-base "$ver")"
    local bld="$WIN_CACHE/build/qt-$key"
    win_stage "Qt $up for Windows: configuring in $bld (about 1 minute)"
    rm -rf "$WIN_QT_PREFIX"
    mkdir -p "$bld"
    cmake -S "$src" -B "$bld" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_INSTALL_PREFIX="$WIN_QT_PREFIX" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${WIN_QT_FLAGS[@]}" >"$bld/configure.log" 2>&1 || {
        tail -40 "$bld/configure.log" >&2
        return 1
    }
    win_stage "Qt $up for Windows: building with -j$WIN_JOBS (the first time takes 20 minutes or more)"
    local start=$SECONDS
    win_ninja_progress "$bld"
    cmake --install "$bld" >"$bld/install.log" 2>&1 || {
        tail -20 "$bld/install.log" >&2
        return 1
    }
    echo "$stamp" >"$WIN_QT_PREFIX/.pulvane-stamp"
    win_stage "Qt $up for Windows: built in $((SECONDS - start)) s, installed in $WIN_QT_PREFIX"
    rm -rf "$bld"
}

# Builds with ninja, printing a progress line every 50 steps instead of each.
win_ninja_progress() {
    local bld="$1"
    set -o pipefail
    NINJA_STATUS='[%f/%t] ' nice cmake --build "$bld" -j"$WIN_JOBS" 2>&1 |
        tee "$bld/build.log" |
        awk '/^\[[0-9]+\/[0-9]+\]/ { split(substr($1, 2), a, "/"); n = a[1] + 0;
                 if (n % 50 == 0 || n == a[2] + 0) { print "   " $1; fflush() } next }
             /error|Error|FAILED/ { print; fflush() }'
}

win_build_libusb() {
    local ver
    ver="$(win_source_version libusb-1.0-0-dev)"
    local up
    up="$(win_upstream "$ver")"
    local flags="--host=$WIN_TRIPLE --enable-shared --disable-static CC=$WIN_TRIPLE-gcc-posix"
    local stamp="libusb $ver $flags"
    local key
    key="$(echo "$stamp" | md5sum | cut -c1-10)"
    WIN_LIBUSB_PREFIX="$WIN_CACHE/libusb-$up-$WIN_TRIPLE-$key"
    if win_stamp_ok "$WIN_LIBUSB_PREFIX" "$stamp"; then
        win_stage "libusb $up for Windows: cached in $WIN_LIBUSB_PREFIX"
        return 0
    fi
    win_stage "libusb $up for Windows: fetching the source of libusb-1.0 $ver"
    local src
    src="$(win_fetch_source libusb-1.0 "$ver")"
    local bld="$WIN_CACHE/build/libusb-$key"
    win_stage "libusb $up for Windows: building (about 1 minute)"
    rm -rf "$bld" "$WIN_LIBUSB_PREFIX"
    mkdir -p "$WIN_CACHE/build"
    cp -a "$src" "$bld"
    # shellcheck disable=SC2086
    (cd "$bld" && { [ -x configure ] || NOCONFIGURE=1 ./autogen.sh; } &&
        ./configure $flags --prefix="$WIN_LIBUSB_PREFIX" &&
        nice make -j"$WIN_JOBS" && make install) >"$WIN_CACHE/build/libusb-$key.log" 2>&1 || {
        tail -30 "$WIN_CACHE/build/libusb-$key.log" >&2
        return 1
    }
    echo "$stamp" >"$WIN_LIBUSB_PREFIX/.pulvane-stamp"
    rm -rf "$bld" "$WIN_CACHE/build/libusb-$key.log"
    win_stage "libusb $up for Windows: installed in $WIN_LIBUSB_PREFIX"
}

# Wine in a prefix of its own, with Xvfb as its display. Sets WINEPREFIX and
# DISPLAY; win_wine_stop ends both.
win_wine_start() {
    # One prefix per checkout: two checkouts tested at once would end each
    # other's Wine programs at every restart of the Wine server.
    export WINEPREFIX="${PULVANE_WINEPREFIX:-$WIN_CACHE/wineprefix-test-$(echo "$PULVANE_ROOT" | md5sum | cut -c1-8)}"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
    local n
    for n in $(seq 91 120); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
        WIN_XVFB_PID=$!
        sleep 1
        if kill -0 "$WIN_XVFB_PID" 2>/dev/null; then
            export DISPLAY=":$n"
            break
        fi
    done
    [ -n "${DISPLAY:-}" ] || { echo "Xvfb would not start" >&2; return 1; }
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        win_stage "Wine: making the prefix $WINEPREFIX"
        wineboot --init >/dev/null 2>&1 || true
        wineserver -w
    fi
}

# Waits for a shown window whose name matches the pattern; prints its id.
win_wait_window() { # pattern seconds
    local i id
    for i in $(seq $(($2 * 50))); do
        id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)" || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.02
    done
    return 1
}

# Ends the Wine server and waits until it has gone, with every Windows program
# it ran: the next wine command starts a fresh one, which reads the registry
# (the COM-port mappings among it) anew.
win_wine_restart() {
    wineserver -k || true
    wineserver -w || true
}

win_wine_stop() {
    wineserver -k 2>/dev/null || true
    if [ -n "${WIN_XVFB_PID:-}" ]; then kill "$WIN_XVFB_PID" 2>/dev/null || true; fi
    WIN_XVFB_PID=""
}

# Configures build-windows/ against the cached Qt and libusb (both must have
# been built: win_build_qt, win_build_libusb). Tests run through Wine
# (CTest's cross-compiling emulator).
win_configure_pulvane() {
    # Qt's toolchain (the cross compilers, Qt itself), and libusb's prefix as
    # one more place to find libraries in.
    mkdir -p "$WIN_BUILD_DIR"
    cat >"$WIN_BUILD_DIR/toolchain.cmake.new" <<TOOLCHAIN
include("$WIN_QT_PREFIX/lib/cmake/Qt6/qt.toolchain.cmake")
list(APPEND CMAKE_FIND_ROOT_PATH "$WIN_LIBUSB_PREFIX")
TOOLCHAIN
    if cmp -s "$WIN_BUILD_DIR/toolchain.cmake" "$WIN_BUILD_DIR/toolchain.cmake.new"; then
        rm "$WIN_BUILD_DIR/toolchain.cmake.new"
    else
        mv "$WIN_BUILD_DIR/toolchain.cmake.new" "$WIN_BUILD_DIR/toolchain.cmake"
        rm -f "$WIN_BUILD_DIR/CMakeCache.txt"
    fi
    PKG_CONFIG_LIBDIR="$WIN_LIBUSB_PREFIX/lib/pkgconfig" PKG_CONFIG_PATH="" \
        cmake -S "$PULVANE_ROOT" -B "$WIN_BUILD_DIR" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$WIN_BUILD_DIR/toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DPULVANE_BUILD_BENCH=OFF \
        -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
        ${PULVANE_ANT_NETWORK_KEY:+-DPULVANE_ANT_NETWORK_KEY=$PULVANE_ANT_NETWORK_KEY} \
        >"$WIN_CACHE/configure-pulvane.log" 2>&1 || {
        tail -40 "$WIN_CACHE/configure-pulvane.log" >&2
        return 1
    }
}

# The size of a file or folder in MB, one decimal.
win_size_mb() { du -sb "$1" | awk '{ printf "%.1f", $1 / 1048576 }'; }

# Prints each program or DLL under the folder that still has debug sections.
win_debug_sections() {
    local file
    while IFS= read -r -d '' file; do
        "$WIN_TRIPLE-objdump" -h "$file" | grep ' \.debug_' >/dev/null && echo "$file"
    done < <(find "$1" \( -iname '*.exe' -o -iname '*.dll' \) -print0)
    return 0
}

# A Linux path as Wine's Z: drive shows it (no prefix needed).
win_wine_path() { echo "Z:${1//\//\\}"; }

# Every DLL that a program or DLL in the folder imports is in the folder or is
# part of Windows (mingw-w64 has an import library for it).
win_check_dlls() {
    local dir="$1" file dll lower missing=0
    while IFS= read -r -d '' file; do
        while read -r dll; do
            lower="${dll,,}"
            [ -e "$dir/$dll" ] || [ -n "$(find "$dir" -maxdepth 1 -iname "$dll" -print -quit)" ] && continue
            case "$lower" in
            api-ms-win-*) continue ;;
            esac
            [ -e "/usr/$WIN_TRIPLE/lib/lib${lower%.*}.a" ] && continue
            echo "$(basename "$file") needs $dll, which is not in $dir" >&2
            missing=1
        done < <("$WIN_TRIPLE-objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p')
    done < <(find "$dir" \( -iname '*.exe' -o -iname '*.dll' \) -print0)
    return $missing
}
