#!/usr/bin/env bash
# The emulated i686 set tries a test again only where the emulator broke
# it: a stand-in ctest runs one test, "runner", whose n-th try ends as the
# n-th word of TRIES says (pass; assert: a failed assertion; signal: qemu's
# own crash; hang: past its time limit; assert+signal: both).
#
#   tests/emulated_retry_test.sh ROOT WORK_DIR
set -uo pipefail
ROOT=$1 WORK=$2
rm -rf "$WORK" && mkdir -p "$WORK/bin"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cat >"$WORK/bin/ctest" <<'STANDIN'
#!/usr/bin/env bash
junit="" repeat=1
while [ $# -gt 0 ]; do
    case $1 in
    --output-junit) junit=$2; shift ;;
    --repeat) repeat=${2##*:}; shift ;;
    esac
    shift
done
read -ra outcomes <<<"$TRIES"
for ((r = 0; r < repeat; r++)); do
    n=$(($(cat "$TRIED") + 1)) && echo "$n" >"$TRIED"
    outcome=${outcomes[n - 1]:-pass}
    [ "$outcome" = pass ] && break
done
case $outcome in
pass) line="   Passed" out="[  PASSED  ] 1 test." ;;
assert) line="***Failed" out=$'x.cpp:3: Failure\n[  FAILED  ] 1 test, listed below:' ;;
signal) line="***Failed" out="qemu: uncaught target signal 11 (Segmentation fault) - core dumped" ;;
hang) line="***Timeout" out="[ RUN      ] Upgrade.FailureTable" ;;
assert+signal) line="***Failed" out=$'x.cpp:3: Failure\nqemu: uncaught target signal 4' ;;
esac
status=run failed=0
[ "$outcome" = pass ] || status=fail failed=1
echo "1/1 Test #1: runner ..........$line  600.01 sec"
echo "$out"
[ -z "$junit" ] || printf '<testsuite><testcase name="runner" status="%s"><system-out>%s</system-out></testcase></testsuite>\n' \
    "$status" "$out" >"$junit"
echo "$((100 - failed * 100))% tests passed, $failed tests failed out of 1"
exit "$failed"
STANDIN
chmod +x "$WORK/bin/ctest"

# run TRIES: the emulated set in a shell of its own; sets FAILED, TRIES_MADE
# and SUMMARY (its summary lines).
run() {
    export TRIES=$1 TRIED="$WORK/tried"
    echo 0 >"$TRIED"
    local out
    out=$(PATH="$WORK/bin:$PATH" bash -c '
        source "$1/scripts/lib/common.sh"
        source "$1/scripts/lib/i686.sh"
        ROOT=$2 && mkdir -p "$ROOT/build"
        run_emulated_set >/dev/null 2>&1
        echo "failed $TOTAL_FAILED"
        printf "%s\n" "${SUMMARIES[@]}"' _ "$ROOT" "$WORK/root")
    FAILED=$(sed -n 's/^failed //p' <<<"$out")
    SUMMARY=$(grep -v '^failed ' <<<"$out")
    TRIES_MADE=$(cat "$TRIED")
}

# TRIES | failed | tries made | in the summary
while IFS='|' read -r tries failed made said; do
    run "$tries"
    [ "$FAILED" = "$failed" ] || fail "$tries: $FAILED failed, expected $failed; $SUMMARY"
    [ "$TRIES_MADE" = "$made" ] || fail "$tries: $TRIES_MADE tries, expected $made"
    grep -qF -- "$said" <<<"$SUMMARY" || fail "$tries: no \"$said\" in the summary: $SUMMARY"
done <<'ROWS'
assert pass|1|1|1 tests failed out of 1
assert+signal pass|1|1|1 tests failed out of 1
signal pass|0|2|runner (qemu: uncaught target signal 11 (Segmentation fault) - core dumped; passed on try 2)
hang pass|0|2|runner (hung past its limit (600 s); passed on try 2)
signal hang pass|0|3|passed on try 3
signal signal signal|1|3|failed all 3 tries
signal assert|1|2|runner (try 2 failed: not the emulator)
ROWS

[ "$failures" -eq 0 ] && echo "emulated retries: every row holds" && exit 0
exit 1
