#!/usr/bin/env python3
"""The payload script's rules, in one place: the build checks and compiles
payload/upgrade.txt with it, and the release takes the file names from it.

  manifest_script.py SCRIPT --rc OUT.rc [--unchecked]
  manifest_script.py SCRIPT --names
  manifest_script.py --answers ROWS

A checked script is refused, in one line "upgrade.txt:N: reason", when the
program would misread a row (the program reads the path from a fixed
position after the resource name, so one blank between the fields, no tab,
no leading blank, the path quoted and beginning with Files\\), when a line
does not end in CR LF, or when a name repeats, a file is missing, or a
device path would not fit the 399 units the copy sends. --rc writes the
resource script windres compiles (it reads a backslash in a quoted name as
an escape: the paths are made absolute with forward slashes); --unchecked,
for test scripts with malformed rows on purpose, leaves out what it cannot
compile instead. --answers reads one row per line of ROWS (\\t is a tab,
{N*c} N times c) and prints each row in hex with the checker's answer, for
the test that holds the program's parser to the same answers.
"""
import os
import re
import sys

MANIFEST = "R1"
TYPE_WORD = "EXEFILE"
PREFIX = "Files\\"
DEVICE_FOLDER = "\\ResidentFlash\\VKNAV\\"
MAX_DEVICE_PATH = 399
ROW = re.compile(r'^([A-Za-z0-9_]+) ' + TYPE_WORD + r' "([^"]*)"$')


class Refusal(Exception):
    pass


def row_shape(row):
    """None for a blank line, else (name, path) of a resource statement
    windres can compile; Refusal otherwise."""
    if row.strip(" ") == "":
        return None
    if "\t" in row:
        raise Refusal("a tab in a row; write: NAME EXEFILE \"Files\\file\" with single blanks")
    m = ROW.match(row)
    if not m:
        raise Refusal("not of the form NAME EXEFILE \"Files\\file\" "
                      f"(one blank between fields, no leading blank): {row}")
    return m.groups()


def read_row(row):
    """None for a blank line, ("manifest", path) for the manifest's own row,
    ("item", name, path, device_name) for an item; Refusal otherwise."""
    shape = row_shape(row)
    if shape is None:
        return None
    name, path = shape
    if name == MANIFEST:
        return ("manifest", path)
    if not path.startswith(PREFIX):
        raise Refusal(f"the path must begin with Files\\ : {path}")
    device = path[len(PREFIX):]
    if device == "" or re.search(r":|/|^\\|\\$|\\\\", device):
        raise Refusal(f"device file name \"{device}\" is empty or names a drive or an "
                      "absolute or malformed path")
    if re.search(r"(^|\\)\.\.(\\|$)", device):
        raise Refusal(f"device file name \"{device}\" leaves the application folder (..)")
    if len(DEVICE_FOLDER + device) > MAX_DEVICE_PATH:
        raise Refusal(f"device file name \"{device[:40]}...\" makes a device path longer than "
                      f"{MAX_DEVICE_PATH} characters")
    return ("item", name, path, device)


def lines_of(data, script_name, checked):
    """The script's lines; a checked script must end every line in CR LF."""
    text = data.decode("latin-1")
    if checked:
        for number, line in enumerate(text.split("\n")[:-1], 1):
            if not line.endswith("\r") or "\r" in line[:-1]:
                raise Refusal(f"{script_name}:{number}: the line does not end in CR LF")
        tail = text.split("\n")[-1]
        if tail != "":
            raise Refusal(f"{script_name}:{text.count(chr(10)) + 1}: "
                          "the last line does not end in CR LF")
    return text.replace("\r", "").split("\n")


def read_script(script, checked=True):
    """The rows as (line number, name, path relative to the script); the
    manifest's own row names the script itself."""
    folder, script_name = os.path.split(os.path.abspath(script))
    with open(script, "rb") as f:
        lines = lines_of(f.read(), script_name, checked)
    rows, names, devices = [], set(), set()
    for number, line in enumerate(lines, 1):
        try:
            # Unchecked: anything windres can compile, misread or not.
            reading = read_row(line) if checked else row_shape(line)
        except Refusal as refusal:
            if checked:
                raise Refusal(f"{script_name}:{number}: {refusal}")
            continue
        if reading is None:
            continue
        if not checked:
            name, path = reading
        else:
            name, path = (MANIFEST, reading[1]) if reading[0] == "manifest" else reading[1:3]
        where = f"{script_name}:{number}"
        if checked:
            if name in names:
                raise Refusal(f"{where}: resource {name} is named twice")
            names.add(name)
            if name == MANIFEST and path != script_name:
                raise Refusal(f"{where}: R1 is the manifest itself and must name \"{script_name}\"")
            if name != MANIFEST:
                key = reading[3].lower()
                if key in devices:
                    raise Refusal(f"{where}: device file name \"{reading[3]}\" is given by an "
                                  "earlier row too")
                devices.add(key)
                if not os.path.isfile(os.path.join(folder, path.replace("\\", "/"))):
                    raise Refusal(f"{where}: the file {path} is missing")
        if name == MANIFEST:
            path = script_name
        elif not os.path.isfile(os.path.join(folder, path.replace("\\", "/"))):
            continue  # an unchecked test script's row for a resource not carried
        rows.append((number, name, path))
    return rows


def write_rc(script, out, checked):
    folder, script_name = os.path.split(os.path.abspath(script))
    folder = folder.replace("\\", "/")
    text = f"// Generated from {script_name}; do not edit.\n"
    for _, name, path in read_script(script, checked):
        text += f'{name} {TYPE_WORD} "{folder}/{path.replace(chr(92), "/")}"\n'
    previous = open(out).read() if os.path.exists(out) else None
    if previous != text:  # an unchanged script recompiles nothing
        with open(out, "w", newline="\n") as f:
            f.write(text)


def device_names(script):
    return [path[len(PREFIX):] for _, name, path in read_script(script) if name != MANIFEST]


def decode_row(line):
    line = line.replace("\\t", "\t")
    return re.sub(r"\{(\d+)\*(.)\}", lambda m: m.group(2) * int(m.group(1)), line)


def answers(rows_file):
    with open(rows_file, encoding="latin-1") as f:
        for line in f.read().split("\n"):
            if line.startswith("#"):
                continue
            row = decode_row(line)
            try:
                reading = read_row(row)
                answer = "none" if reading is None or reading[0] == "manifest" else \
                    f"item\t{reading[1]}\t{reading[3]}"
            except Refusal as refusal:
                answer = f"refused\t{refusal}"
            print(f"{row.encode('latin-1').hex()}\t{answer}")


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "--answers":
            answers(argv[2])
        elif len(argv) == 3 and argv[2] == "--names":
            print("\n".join(device_names(argv[1])))
        elif len(argv) in (4, 5) and argv[2] == "--rc":
            write_rc(argv[1], argv[3], checked=argv[4:] != ["--unchecked"])
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except Refusal as refusal:
        print(refusal, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
