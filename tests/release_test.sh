#!/usr/bin/env bash
# scripts/release end to end: each refusal (one line naming the file, exit 1,
# nothing built), a byte-identical rebuild, and a signed package that
# osslsigncode accepts and that still upgrades the simulated VK7.
#
#   tests/release_test.sh ROOT X86_BUILD_DIR WORK_DIR DRIVER
#
# DRIVER is an end-to-end test program (the x86_64 one: under emulation only
# the program under test then pays for a 32-bit start). With
# VESKO_I686_MODE=none, where no 32-bit program can run, that upgrade is
# skipped and said so.
set -uo pipefail
ROOT=$1 X86=$2 WORK=$3 DRIVER=$4
rm -rf "$WORK" && mkdir -p "$WORK"
export VESKO_RELEASE_BUILD_DIR="$WORK/build"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A payload made from the placeholders with their mark removed; the
# placeholder KestrovaCE.exe has a minimal valid Windows CE ARM header.
good="$WORK/payload"
mkdir -p "$good" && cp "$ROOT"/payload/Files/* "$good"/
python3 - "$good" <<'PY'
import os, sys
for name in os.listdir(sys.argv[1]):
    path = os.path.join(sys.argv[1], name)
    data = open(path, "rb").read()
    for enc in ("ascii", "utf-16-le"):
        data = data.replace("VESKO-PAYLOAD-PLACEHOLDER".encode(enc), "VESKO-PAYLOAD-TESTRELEASE".encode(enc))
    open(path, "wb").write(data)
PY

# refuse NAME EXPECTED-TEXT MUTATION...: the mutation is run in a copy of the payload.
refuse() {
    local name=$1 expected=$2
    shift 2
    local dir="$WORK/refuse-$name"
    rm -rf "$dir" "$VESKO_RELEASE_BUILD_DIR" && cp -r "$good" "$dir"
    (cd "$dir" && eval "$*")
    local err status
    err=$("$ROOT/scripts/release" --payload "$dir" --out "$WORK/out-$name" 2>&1 >/dev/null)
    status=$?
    if [ $status -ne 1 ]; then
        fail "$name: exit $status, expected 1 ($err)"
    elif [ "$(printf '%s\n' "$err" | wc -l)" -ne 1 ] || [[ "$err" != *"$expected"* ]]; then
        fail "$name: expected one line with \"$expected\", got: $err"
    elif [ -e "$VESKO_RELEASE_BUILD_DIR" ] || [ -e "$WORK/out-$name" ]; then
        fail "$name: refused, but only after building"
    else
        echo "ok: $name refused: $err"
    fi
}
refuse missing "FontSizes2.def: missing" "rm FontSizes2.def"
refuse extra "Notes.txt: not installed" "echo x > Notes.txt"
refuse placeholder "Kestrova1.def: a placeholder" "cp '$ROOT/payload/Files/Kestrova1.def' ."
refuse empty "VeskoPointer.mmp: empty" ": > VeskoPointer.mmp"
refuse desktop-program "KestrovaCE.exe: machine 0x014C is not ARM" \
    "cp '$X86/tests/xp_probe_classic.exe' KestrovaCE.exe"
refuse truncated "KestrovaCE.exe: not a PE image" "head -c 100 '$good/KestrovaCE.exe' > KestrovaCE.exe"
refuse wrong-subsystem "KestrovaCE.exe: subsystem 2 is not Windows CE GUI" \
    "python3 -c \"import struct;p='KestrovaCE.exe';d=bytearray(open(p,'rb').read());struct.pack_into('<H',d,0x80+24+68,2);open(p,'wb').write(d)\""

# Two releases of the same commit and payload are the same bytes.
name=$(cat "$X86/package-name.txt")
for n in 1 2; do
    "$ROOT/scripts/release" --payload "$good" --out "$WORK/out$n" >/dev/null || fail "release $n failed"
done
if cmp -s "$WORK/out1/$name.zip" "$WORK/out2/$name.zip" &&
    cmp -s "$WORK/out1/$name/VeskoUpgrade.exe" "$WORK/out2/$name/VeskoUpgrade.exe"; then
    echo "ok: two releases are byte-identical"
else
    fail "two releases differ"
fi
(cd "$WORK/out1/$name" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match"
python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$WORK/out1/$name.zip" | diff -q - <(printf '%s\n' "$name/README.txt" "$name/SHA256SUMS" "$name/VeskoUpgrade.exe") >/dev/null \
    || fail "the zip does not hold exactly the program, README.txt and SHA256SUMS, in that order"

# Signed with a throwaway self-signed certificate, without a time stamp.
sig="$WORK/sig" && mkdir -p "$sig"
printf 'throwaway' >"$sig/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$sig/key.pem" -out "$sig/cert.pem" -days 2 \
    -subj "/CN=Vesko release test" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$sig/key.pem" -in "$sig/cert.pem" -out "$sig/cert.pfx" \
    -passout "file:$sig/password" >/dev/null 2>&1
"$ROOT/scripts/release" --payload "$good" --sign "$sig/cert.pfx" --password-file "$sig/password" \
    --out "$WORK/signed" >/dev/null || fail "the signed release failed"
signed="$WORK/signed/$name/VeskoUpgrade.exe"
if osslsigncode verify -CAfile "$sig/cert.pem" -in "$signed" >/dev/null 2>&1; then
    echo "ok: osslsigncode verify accepts the signature"
else
    fail "osslsigncode verify refuses the signature"
fi
if [ "${VESKO_I686_MODE:-}" = none ]; then
    echo "skipped: the signed program's upgrade (32-bit programs cannot run here)"
elif cp "$X86/devicesim/RAPI.DLL" "$WINEPREFIX/drive_c/windows/syswow64/RAPI.DLL" &&
    VESKO_E2E_EXE="$signed" VESKO_E2E_PAYLOAD="$good" VESKO_E2E_MARKER="$X86/tests/planted/marker.dll" \
    /usr/lib/wine/wine64 "$DRIVER" \
    --gtest_filter='*/EndToEnd.*/FullUpgrade' >"$WORK/e2e.log" 2>&1; then
    echo "ok: the signed program upgrades the simulated VK7"
else
    cat "$WORK/e2e.log"
    fail "the signed program's end-to-end upgrade failed"
fi

echo "release: $failures failure(s)"
[ $failures -eq 0 ]
