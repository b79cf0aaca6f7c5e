# Shared set-up of the project's scripts: packages, the Wine prefix, the
# build. Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
PACKAGES=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
          g++-mingw-w64-i686-posix mingw-w64-i686-dev wine64 googletest
          fonts-wine xvfb xauth imagemagick xdotool)

export WINEPREFIX="$ROOT/build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko installers: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

say() { printf '%s\n' "$*" >&2; }

# Installs whatever of PACKAGES is missing (quietly, and only then).
ensure_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || [ ! -f /etc/debian_version ]; then
        say "Missing packages: ${missing[*]}"
        say "Install them (Debian: apt-get install --no-install-recommends ${missing[*]}) and run again."
        exit 1
    fi
    say "Installing ${missing[*]} ..."
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    # A 32-bit Wine loader would shadow the 64-bit one; these machines cannot run it.
    if dpkg-query -W wine32 >/dev/null 2>&1; then
        say "Note: wine32 is installed; the scripts use $WINE directly."
    fi
}

# A project-local prefix with the null graphics driver, so that windows and
# message boxes work with no display.
ensure_wine_prefix() {
    local marker="$WINEPREFIX/.vesko-null-driver"
    [ -f "$marker" ] && return 0
    say "Creating the Wine prefix in $WINEPREFIX ..."
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # The desktop started by that first command runs without the null driver.
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    touch "$marker"
}

# One warm wineserver for the whole run, stopped when the script ends.
start_wineserver() {
    "$WINESERVER" -p 2>/dev/null || true
    trap stop_wineserver EXIT
    # Wine's helper processes (services, the desktop) start with the first
    # program and inherit its output; start them here with none, or a test
    # runner would wait for them to close its pipes.
    "$WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

stop_wineserver() {
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
}

build_preset() {
    local preset=$1
    if [ ! -f "$ROOT/build/$preset/CMakeCache.txt" ]; then
        cmake --preset "$preset" -S "$ROOT" >/dev/null
    fi
    cmake --build "$ROOT/build/$preset" -j "$(nproc)" -- --no-print-directory >"$ROOT/build/$preset.log" 2>&1 \
        || { cat "$ROOT/build/$preset.log" >&2; say "Build $preset failed."; exit 1; }
}

# A Unix path as Wine's Windows path on drive Z:.
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }

# A second prefix that draws with X11, for screenshots and people at a desktop.
X11_PREFIX="$ROOT/build/wineprefix-x11"
ensure_x11_prefix() {
    local marker="$X11_PREFIX/.vesko-x11"
    [ -f "$marker" ] && return 0
    say "Creating the Wine prefix for X11 in $X11_PREFIX ..."
    mkdir -p "$X11_PREFIX"
    WINEPREFIX="$X11_PREFIX" "$WINE" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$X11_PREFIX" "$WINESERVER" -w 2>/dev/null || true
    touch "$marker"
}

# Saves the top-level window captioned $1 to the PNG $2 (needs DISPLAY).
save_window() {
    local id
    for _ in $(seq 100); do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -n 1) && [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { say "No window \"$1\" to take a picture of."; return 1; }
    sleep 0.5
    mkdir -p "$(dirname "$2")"
    import -window "$id" "$2"
}
