#!/usr/bin/env python3
"""Which failed tests of a ctest run failed only as the emulator breaks.

    emulator_failures.py JUNIT.xml CONSOLE.log

Prints "NAME<TAB>WHY" for each test that failed with qemu's own crash in
its output or ran past its time limit (a Wine call left unanswered), and
whose output shows no failed assertion. Every other failure is the
program's, and is not printed: it fails at once.
"""
import re
import sys
import xml.etree.ElementTree as ET

EMULATOR = re.compile(r"qemu: uncaught target signal[^\n]*|wine client error[^\n]*|Got unexpected trap[^\n]*")
ASSERTION = re.compile(r": Failure$|^\[  FAILED  \]", re.MULTILINE)
TIMEOUT = re.compile(r"Test +#\d+: (\S+) \.*\*\*\*Timeout +([\d.]+) sec")


def main(junit, console):
    with open(console, encoding="utf-8", errors="replace") as f:
        timed_out = {m.group(1): m.group(2) for m in TIMEOUT.finditer(f.read())}
    for case in ET.parse(junit).getroot().iter("testcase"):
        if case.get("status") != "fail":
            continue
        name = case.get("name")
        output = case.findtext("system-out") or ""
        if ASSERTION.search(output):
            continue
        crash = EMULATOR.search(output)
        if crash:
            print(f"{name}\t{crash.group(0).strip()}")
        elif name in timed_out:
            print(f"{name}\thung past its limit ({float(timed_out[name]):.0f} s)")


if __name__ == "__main__":
    main(*sys.argv[1:3])
