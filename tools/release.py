#!/usr/bin/env python3
"""The checks and the packaging of a release (called by scripts/release).

  release.py check   --payload DIR --script payload/upgrade.txt
  release.py package --exe X.exe --readme README.txt --name NAME --out DIR

check refuses, in one line naming the file and the reason, a payload that
does not match the script's rows, carries a placeholder, holds an empty
file, or whose KestrovaCE.exe is not a Windows CE program for ARM.
package writes NAME/ (the program, README.txt, SHA256SUMS) and NAME.zip
with fixed file order, times and attributes, so that the same inputs give
the same bytes.
"""
import argparse
import hashlib
import os
import shutil
import struct
import sys
import zipfile

import manifest_script

PLACEHOLDER_MARK = "VESKO-PAYLOAD-PLACEHOLDER"
APPLICATION = "KestrovaCE.exe"
ARM_MACHINES = {0x01C0: "ARM", 0x01C2: "Thumb", 0x01C4: "ARMv7 Thumb-2"}
WINDOWS_CE_GUI = 9
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


class Refusal(Exception):
    pass


def check_windows_ce_arm(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    name = os.path.basename(path)
    if len(head) < 0x40 or head[:2] != b"MZ":
        raise Refusal(f"{name}: not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if pe + 24 + 70 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        raise Refusal(f"{name}: not a PE image (no PE header where e_lfanew points)")
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    if machine not in ARM_MACHINES:
        raise Refusal(f"{name}: machine 0x{machine:04X} is not ARM or Thumb "
                      "(a desktop program would break every device that receives it)")
    optional = pe + 24
    subsystem = struct.unpack_from("<H", head, optional + 68)[0]
    if subsystem != WINDOWS_CE_GUI:
        raise Refusal(f"{name}: subsystem {subsystem} is not Windows CE GUI (9)")


def check(payload, script):
    if not os.path.isdir(payload):
        raise Refusal(f"{payload}: no such payload folder")
    # The script's own rules first: its rows name the files to look for.
    try:
        wanted = manifest_script.device_names(script)
    except manifest_script.Refusal as refusal:
        raise Refusal(str(refusal))
    present = sorted(os.listdir(payload))
    for name in wanted:
        if name not in present:
            raise Refusal(f"{name}: missing from {payload} (upgrade.txt installs it)")
    for name in present:
        if name not in wanted:
            raise Refusal(f"{name}: not installed by any row of upgrade.txt (extra file)")
    for name in wanted:
        path = os.path.join(payload, name)
        if not os.path.isfile(path):
            raise Refusal(f"{name}: not a file")
        with open(path, "rb") as f:
            data = f.read()
        if not data:
            raise Refusal(f"{name}: empty")
        if PLACEHOLDER_MARK.encode("ascii") in data or \
                PLACEHOLDER_MARK.encode("utf-16-le") in data:
            raise Refusal(f"{name}: a placeholder, not the vendor's file")
    check_windows_ce_arm(os.path.join(payload, APPLICATION))


def add_to_zip(archive, path, arcname):
    info = zipfile.ZipInfo(arcname, date_time=ZIP_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 0  # MS-DOS: no Unix modes, owners or times
    info.external_attr = 0
    with open(path, "rb") as f:
        archive.writestr(info, f.read())


def package(exe, readme, name, out):
    folder = os.path.join(out, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    files = {"VeskoUpgrade.exe": exe, "README.txt": readme}
    for target, source in files.items():
        shutil.copyfile(source, os.path.join(folder, target))
    with open(os.path.join(folder, "SHA256SUMS"), "w", newline="\n") as sums:
        for target in sorted(files):
            with open(os.path.join(folder, target), "rb") as f:
                sums.write(f"{hashlib.sha256(f.read()).hexdigest()}  {target}\n")
    archive_path = os.path.join(out, name + ".zip")
    with zipfile.ZipFile(archive_path, "w") as archive:
        for target in sorted(os.listdir(folder)):
            add_to_zip(archive, os.path.join(folder, target), f"{name}/{target}")
    print(folder)
    print(archive_path)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("check")
    c.add_argument("--payload", required=True)
    c.add_argument("--script", required=True)
    p = sub.add_parser("package")
    for option in ("--exe", "--readme", "--name", "--out"):
        p.add_argument(option, required=True)
    args = parser.parse_args()
    if args.command == "check":
        try:
            check(args.payload, args.script)
        except Refusal as refusal:
            print(f"release refused: {refusal}", file=sys.stderr)
            return 1
        return 0
    package(args.exe, args.readme, args.name, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
