# Shared set-up of the project's scripts: packages, the Wine prefix, the
# build. Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
PACKAGES=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
          g++-mingw-w64-i686-posix mingw-w64-i686-dev wine64 wine32:i386 googletest
          fonts-wine xvfb xauth imagemagick xdotool python3 openssl osslsigncode)

export WINEPREFIX="$ROOT/build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko installers: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

say() { printf '%s\n' "$*" >&2; }

# Installs whatever of PACKAGES is missing (quietly, and only then). The
# i686 build's tests need Wine's 32-bit side, an i386 package.
ensure_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || [ ! -f /etc/debian_version ]; then
        say "Missing packages: ${missing[*]}"
        say "Install them (Debian: dpkg --add-architecture i386; apt-get update;"
        say "apt-get install --no-install-recommends ${missing[*]}) and run again."
        exit 1
    fi
    say "Installing ${missing[*]} ..."
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    # A mirror caught mid-sync fails one architecture's index; what is there
    # may still do, so the install decides.
    apt-get update -qq >/dev/null 2>&1 \
        || say "Some package indexes could not be refreshed (the mirror may be out of step); installing from the ones there are."
    install_packages "${missing[@]}"
}

# apt-get install of the packages $@. Where the mirror is out of step, an
# update suite can offer an amd64 library whose i386 twin is missing, and a
# Multi-Arch: same library must have one version on both: the release's own
# suite as the target then resolves. Exits 1 with apt's errors otherwise.
install_packages() {
    local log codename
    log=$(mktemp)
    if apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    codename=$(. /etc/os-release 2>/dev/null && printf '%s' "${VERSION_CODENAME:-}")
    if [ -n "$codename" ]; then
        say "The install could not be resolved; trying once more with the release's own suite ($codename)."
        if apt-get install -y -qq --no-install-recommends -t "$codename" "$@" >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
    fi
    grep -v '^$' "$log" >&2
    rm -f "$log"
    say "The packages could not be installed. By hand: dpkg --add-architecture i386; apt-get update;" \
        "apt-get install --no-install-recommends ${codename:+-t $codename }$*"
    exit 1
}

# Whether the prefix $1 was made while Wine's 32-bit side could run: one
# made before has a syswow64 folder but no kernel32.dll in it, and 32-bit
# programs cannot start in it.
prefix_has_32bit() {
    [ -f "$1/drive_c/windows/syswow64/kernel32.dll" ]
}

# Whether the prefix $1 is ready: made, and with its 32-bit side unless
# 32-bit programs cannot run here at all (I686_MODE none).
prefix_ready() {
    [ -f "$1/$2" ] && { [ "${I686_MODE:-native}" = none ] || prefix_has_32bit "$1"; }
}

# A project-local prefix with the null graphics driver, so that windows and
# message boxes work with no display.
ensure_wine_prefix() {
    prefix_ready "$WINEPREFIX" .vesko-null-driver && return 0
    rm -rf "$WINEPREFIX"
    say "Creating the Wine prefix in $WINEPREFIX$(prefix_note) ..."
    mkdir -p "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # The desktop started by that first command runs without the null driver.
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    touch "$WINEPREFIX/.vesko-null-driver"
}

prefix_note() {
    [ "${I686_MODE:-}" = emulated ] && printf ' (its 32-bit side under emulation: about 2 minutes)'
}

# Steps run when the script ends, last registered first.
EXIT_STEPS=()
at_exit() {
    EXIT_STEPS=("$1" "${EXIT_STEPS[@]}")
    trap run_exit_steps EXIT
}
run_exit_steps() {
    local step
    for step in "${EXIT_STEPS[@]}"; do
        $step || true
    done
}

# One warm wineserver for the whole run, stopped when the script ends.
start_wineserver() {
    "$WINESERVER" -p 2>/dev/null || true
    at_exit stop_wineserver
    # Wine's helper processes (services, the desktop) start with the first
    # program and inherit its output; start them here with none, or a test
    # runner would wait for them to close its pipes.
    "$WINE" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    # The server closes the desktop a few seconds after its last window
    # goes; the next window would start it again with the output of the test
    # that made it, and ctest would wait for that pipe until the run ends.
    # A window that lives as long as the server keeps the desktop up.
    "$WINE" notepad.exe </dev/null >/dev/null 2>&1 &
}

stop_wineserver() {
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
}

build_preset() {
    local preset=$1
    local cache="$ROOT/build/$preset/CMakeCache.txt"
    # A tree configured with another toolchain file is configured afresh.
    if [ -f "$cache" ] && [ "$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$cache")" != "$ROOT/cmake/mingw.cmake" ]; then
        rm -rf "$cache" "$ROOT/build/$preset/CMakeFiles"
    fi
    if [ ! -f "$cache" ]; then
        cmake --preset "$preset" -S "$ROOT" >/dev/null
    fi
    cmake --build "$ROOT/build/$preset" -j "$(nproc)" -- --no-print-directory >"$ROOT/build/$preset.log" 2>&1 \
        || { cat "$ROOT/build/$preset.log" >&2; say "Build $preset failed."; exit 1; }
}

# Puts build $1's simulated device (build/$1/devicesim/RAPI.DLL) where a
# provider puts RAPI.DLL, in the prefix $2 (default WINEPREFIX): system32
# for the x86_64 build, syswow64 for the i686 one. The program loads it
# from there only.
install_simulated_rapi() {
    local prefix=${2:-$WINEPREFIX} folder=system32
    [ "$1" = x86 ] && folder=syswow64
    cp "$ROOT/build/$1/devicesim/RAPI.DLL" "$prefix/drive_c/windows/$folder/RAPI.DLL"
}

# A Unix path as Wine's Windows path on drive Z:.
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | sed 's|/|\\|g')"; }

# A second prefix that draws with X11, for screenshots and people at a desktop.
X11_PREFIX="$ROOT/build/wineprefix-x11"
ensure_x11_prefix() {
    prefix_ready "$X11_PREFIX" .vesko-x11 && return 0
    rm -rf "$X11_PREFIX"
    say "Creating the Wine prefix for X11 in $X11_PREFIX$(prefix_note) ..."
    mkdir -p "$X11_PREFIX"
    WINEPREFIX="$X11_PREFIX" "$WINE" wineboot -i >/dev/null 2>&1 || true
    WINEPREFIX="$X11_PREFIX" "$WINESERVER" -w 2>/dev/null || true
    touch "$X11_PREFIX/.vesko-x11"
}

# Saves the top-level window captioned $1 to the PNG $2 (needs DISPLAY),
# waiting up to $3 seconds (default 10) for it to appear, and no longer
# than process $4 (if given) lives.
save_window() {
    local id="" end=$((SECONDS + ${3:-10}))
    while [ $SECONDS -lt $end ]; do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -n 1) && [ -n "$id" ] && break
        if [ -n "${4:-}" ] && ! kill -0 "$4" 2>/dev/null; then
            say "The program ended before its window \"$1\" appeared."
            return 1
        fi
        sleep 0.2
    done
    [ -n "$id" ] || { say "No window \"$1\" appeared within ${3:-10} s to take a picture of."; return 1; }
    sleep 0.5
    mkdir -p "$(dirname "$2")"
    import -window "$id" "$2"
}

# Runs one build's ctest and keeps its summary line for the end.
SUMMARIES=()
TOTAL_PASSED=0
TOTAL_FAILED=0
run_suite() {
    local preset=$1 label=$2 log="$ROOT/build/$1-ctest.log" status=0 line passed total
    say "== $label ($preset) =="
    ctest --preset "$preset" -j 2 "${@:3}" 2>&1 | tee "$log" || status=1
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        line="no summary (ctest did not run)"
        TOTAL_FAILED=$((TOTAL_FAILED + 1))
    else
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        passed=$((total - $(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$line")))
        TOTAL_PASSED=$((TOTAL_PASSED + passed))
        TOTAL_FAILED=$((TOTAL_FAILED + total - passed))
    fi
    [ "$status" -eq 0 ] || [ "$TOTAL_FAILED" -gt 0 ] || TOTAL_FAILED=1
    SUMMARIES+=("$label: $line")
}

# The names of build $1's tests whose labels do not match the regex $2.
tests_without() {
    ctest --test-dir "$ROOT/build/$1" -N -LE "$2" 2>/dev/null \
        | sed -nE 's/^ *Test +#[0-9]+: ([^ ]+).*/\1/p' | paste -sd, - | sed 's/,/, /g'
}
