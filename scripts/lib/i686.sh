# How this machine runs the i686 build's programs: natively, under qemu-i386
# through binfmt_misc, or not at all. Sourced after common.sh, not run.
#
# Some machines of this kind run 32-bit code natively; others run 64-bit
# code only, and there 32-bit code runs under emulation at about 50 s of one
# core per Wine process start. VESKO_I686=emulated takes the emulated path
# on a machine that could run natively, to try it; a registration made for
# that alone is removed again when the script ends.

BINFMT=/proc/sys/fs/binfmt_misc
QEMU_I386=/usr/bin/qemu-i386-static
QEMU_HANDLER=$BINFMT/qemu-i386
# i386 ELF executables and shared objects (e_machine 3); the mask ignores
# the OS/ABI byte and the ELF type's low bit.
QEMU_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
QEMU_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

I686_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
I686_MODE=""      # native, emulated or none
I686_WHY=""       # for none: why 32-bit programs cannot run here
I686_RESTORE=()   # what to undo to the handler when the script ends

# An i386 ELF program, Wine's own 32-bit loader: it runs where the kernel
# or a binfmt handler can run 32-bit code and Wine's 32-bit side is there.
runs_32bit() {
    /usr/lib/wine/wine --version </dev/null >/dev/null 2>&1
}

handler_enabled() {
    [ -f "$QEMU_HANDLER" ] && head -n 1 "$QEMU_HANDLER" | grep -qx enabled
}

# Whether the kernel itself runs 32-bit code. A binfmt handler is tried
# before the kernel's own loader, so one that is enabled is switched off for
# the probe; if the kernel runs 32-bit code, it stays off for this run.
kernel_runs_32bit() {
    if ! handler_enabled; then
        runs_32bit
        return
    fi
    [ -w "$QEMU_HANDLER" ] || return 1
    echo 0 >"$QEMU_HANDLER"
    if runs_32bit; then
        I686_RESTORE+=("echo 1 >$QEMU_HANDLER")
        return 0
    fi
    echo 1 >"$QEMU_HANDLER"
    return 1
}

# Registers qemu-i386 for i386 ELF files (installing it first), idempotently.
# Left registered: later runs on this machine need it too. False, with
# I686_WHY set, where that cannot be done.
register_qemu_i386() {
    if [ "$(id -u)" -ne 0 ]; then
        I686_WHY="not root, so qemu-i386 cannot be registered for 32-bit programs"
        return 1
    fi
    if [ ! -x "$QEMU_I386" ]; then
        say "Installing qemu-user-static (32-bit programs run under emulation here) ..."
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            qemu-user-static >/dev/null 2>&1 \
            || { I686_WHY="qemu-user-static could not be installed"; return 1; }
    fi
    if [ ! -f "$BINFMT/register" ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null \
            || { I686_WHY="the kernel has no binfmt_misc to run qemu-i386 through"; return 1; }
    fi
    if [ ! -f "$QEMU_HANDLER" ]; then
        # F: the kernel opens the interpreter now, so it works in any mount
        # namespace; P: the program sees its own argv[0].
        printf '%s' ":qemu-i386:M::$QEMU_MAGIC:$QEMU_MASK:$QEMU_I386:FP" >"$BINFMT/register" \
            || { I686_WHY="qemu-i386 could not be registered with binfmt_misc"; return 1; }
        [ "${1:-}" = temporary ] && I686_RESTORE+=("echo -1 >$QEMU_HANDLER")
    elif ! handler_enabled; then
        echo 1 >"$QEMU_HANDLER"
        [ "${1:-}" = temporary ] && I686_RESTORE+=("echo 0 >$QEMU_HANDLER")
    fi
    return 0
}

restore_handler() {
    local step
    for step in "${I686_RESTORE[@]}"; do
        eval "$step" 2>/dev/null || true
    done
    I686_RESTORE=()
}

# Sets I686_MODE (and I686_WHY) and says in one line how the i686 half runs.
# The handler's state is put back by stop_wineserver's trap.
decide_i686_mode() {
    if [ "${VESKO_I686:-}" = emulated ]; then
        local native=no
        kernel_runs_32bit && native=yes
        restore_handler
        if register_qemu_i386 "$([ $native = yes ] && echo temporary)" && runs_32bit; then
            I686_MODE=emulated
            say "i686: under emulation (qemu-i386, asked for by VESKO_I686=emulated)."
            return
        fi
    elif kernel_runs_32bit; then
        I686_MODE=native
        say "i686: native (this kernel runs 32-bit programs)."
        return
    elif register_qemu_i386 && runs_32bit; then
        I686_MODE=emulated
        say "i686: under emulation (qemu-i386 through binfmt_misc: this kernel runs 64-bit code only)."
        return
    fi
    I686_MODE=none
    [ -n "$I686_WHY" ] || I686_WHY="32-bit programs do not start here, natively or under qemu-i386"
    say "i686: not run: $I686_WHY."
}

# The i686 set under emulation, each test once. qemu-i386 at times crashes
# a 32-bit Wine process ("qemu: uncaught target signal") or leaves one of
# its calls unanswered until the test's own time limit: a test that failed
# only so is tried again, up to three tries in all, and the summary names
# it and why. A failed assertion, or any other failure, fails at once, as
# on every other host (scripts/lib/emulator_failures.py decides).
run_emulated_set() {
    local junit="$ROOT/build/x86-junit.xml" name why try retried=()
    rm -f "$junit"
    run_suite x86 "i686 (emulated)" --output-junit "$junit" "$@"
    [ -f "$junit" ] || return 0
    while IFS=$'\t' read -r name why; do
        for try in 2 3; do
            say "== i686 (emulated): $name again, try $try of 3: $why =="
            if retry_one "$name" "$junit.$name"; then
                TOTAL_FAILED=$((TOTAL_FAILED - 1))
                TOTAL_PASSED=$((TOTAL_PASSED + 1))
                retried+=("$name ($why; passed on try $try)")
                continue 2
            fi
            # A failed assertion on a later try is final too.
            why=$(emulator_failures "$junit.$name" "$ROOT/build/x86-retry.log" | cut -f2)
            [ -n "$why" ] || { retried+=("$name (try $try failed: not the emulator)"); continue 2; }
        done
        retried+=("$name ($why; failed all 3 tries)")
    done < <(emulator_failures "$junit" "$ROOT/build/x86-ctest.log")
    if [ ${#retried[@]} -gt 0 ]; then
        SUMMARIES+=("i686 (emulated), tried again for the emulator: $(IFS=';'; echo "${retried[*]}")")
    fi
}

emulator_failures() {
    python3 "$I686_LIB/emulator_failures.py" "$1" "$2"
}

# Runs the i686 test $1 (and its fixture's setup) once more; its JUnit
# report goes to $2. True where it passed.
retry_one() {
    ctest --preset x86 -j 2 -FC simulated_rapi -R "^$1\$" --output-junit "$2" \
        </dev/null >"$ROOT/build/x86-retry.log" 2>&1
    local status=$?
    cat "$ROOT/build/x86-retry.log"
    return $status
}
