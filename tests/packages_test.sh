#!/usr/bin/env bash
# ensure_packages against a package mirror out of step, with no network:
# stand-ins for apt-get, dpkg, dpkg-query and id come first on PATH. The
# index refresh fails (exit 100) and a plain install cannot be resolved, as
# on a mirror caught mid-sync; an install that targets the release's own
# suite resolves in one case and fails in the other.
#
#   tests/packages_test.sh ROOT WORK_DIR
set -uo pipefail
ROOT=$1 WORK=$2
[ -f /etc/debian_version ] || { echo "Not Debian: nothing to check."; exit 77; }
codename=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
[ -n "$codename" ] || { echo "No VERSION_CODENAME in /etc/os-release."; exit 77; }
rm -rf "$WORK" && mkdir -p "$WORK/bin"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

stub() { printf '#!/bin/sh\n%s\n' "$2" >"$WORK/bin/$1" && chmod +x "$WORK/bin/$1"; }
stub id 'echo 0'
stub dpkg-query 'exit 1'
stub dpkg 'case "$1" in --print-foreign-architectures) echo i386;; *) echo "dpkg $*" >>"$CALLS";; esac'
# Each call is logged. WORKS says which install succeeds: "plain" (the
# mirror is fine), "targeted" (only the one with -t CODENAME) or none.
stub apt-get '
echo "apt-get $*" >>"$CALLS"
case " $* " in
*" update "*)
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100;;
*" -t '"$codename"' "*)
    [ "$WORKS" = targeted ] && exit 0;;
*" install "*)
    [ "$WORKS" = plain ] && exit 0;;
esac
echo "The following packages have unmet dependencies:"
echo " wine32:i386 : Depends: libwine:i386 but it is not going to be installed"
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100'

# run NAME WORKS: ensure_packages in a shell of its own (it exits on
# failure); sets STATUS, OUT (what it printed) and CALLS_MADE.
run() {
    export CALLS="$WORK/$1.calls" WORKS=$2
    : >"$CALLS"
    OUT=$(PATH="$WORK/bin:$PATH" bash -c '
        source "$1/scripts/lib/common.sh"
        PACKAGES=(wine64 wine32:i386)
        ensure_packages' _ "$ROOT" 2>&1)
    STATUS=$?
    CALLS_MADE=$(cat "$CALLS")
}

expect_status() { [ "$STATUS" -eq "$2" ] || fail "$1: status $STATUS, expected $2; output: $OUT"; }
expect_out() { grep -qF -- "$2" <<<"$OUT" || fail "$1: no \"$2\" in the output: $OUT"; }
expect_call() { grep -qxF -- "$2" <<<"$CALLS_MADE" || fail "$1: no call \"$2\"; calls: $CALLS_MADE"; }

run mirror_fine plain
expect_status mirror_fine 0
[ "$(grep -c '^apt-get install' <<<"$CALLS_MADE")" -eq 1 ] || fail "mirror_fine: not one install: $CALLS_MADE"

run fallback targeted
expect_status fallback 0
expect_call fallback "apt-get update -qq"
expect_call fallback "apt-get install -y -qq --no-install-recommends wine64 wine32:i386"
expect_call fallback "apt-get install -y -qq --no-install-recommends -t $codename wine64 wine32:i386"
expect_out fallback "Some package indexes could not be refreshed"
expect_out fallback "trying once more with the release's own suite ($codename)"
[ "$(grep -c . <<<"$OUT")" -le 3 ] || fail "fallback: more than three lines said: $OUT"

run both_fail none
expect_status both_fail 1
expect_call both_fail "apt-get install -y -qq --no-install-recommends -t $codename wine64 wine32:i386"
expect_out both_fail "E: Unable to correct problems, you have held broken packages."
expect_out both_fail "wine32:i386 : Depends: libwine:i386"
expect_out both_fail "apt-get install --no-install-recommends -t $codename wine64 wine32:i386"
[ "$(grep -c '^apt-get install' <<<"$CALLS_MADE")" -eq 2 ] || fail "both_fail: not two installs: $CALLS_MADE"

if [ "$failures" -eq 0 ]; then
    echo "ensure_packages: the mirror's two cases hold"
    exit 0
fi
echo "$failures failure(s)"
exit 1
