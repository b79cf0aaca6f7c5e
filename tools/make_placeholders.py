#!/usr/bin/env python3
"""Writes placeholder payload files into payload/Files.

The release engineer replaces them with the real application files; these
only have the real files' names, sizes and forms, so that the build, the
tests and the demo handle the same amounts of data as a real upgrade.
Run from anywhere: python3 tools/make_placeholders.py
"""
import os
import struct

FILES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "payload", "Files")

# Every placeholder carries this text (ASCII, or UTF-16LE in the UTF-16
# settings files), so that scripts/release can refuse to ship one.
MARK = "VESKO-PAYLOAD-PLACEHOLDER"


def noise(size, seed):
    """Deterministic bytes, so that re-running gives identical files."""
    out = bytearray(size)
    x = seed
    for i in range(size):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out[i] = (x >> 16) & 0xFF
    return bytes(out)


def ce_arm_executable(size):
    """A PE image header for Windows CE on ARM, the rest filler."""
    dos = bytearray(0x80)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x80)  # e_lfanew: the PE header follows
    stub = (MARK + ": not KestrovaCE.exe\r\n$").encode("ascii")
    assert 0x40 + len(stub) <= len(dos), "the DOS stub would push the PE header past e_lfanew"
    dos[0x40:0x40 + len(stub)] = stub
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x01C0, 1, 0, 0, 0, 0xE0, 0x010F)
    opt = bytearray(0xE0)
    struct.pack_into("<HBBIII", opt, 0, 0x10B, 6, 0, size - 0x400, 0, 0)
    struct.pack_into("<III", opt, 16, 0x1000, 0x1000, 0)  # entry, code base, data base
    struct.pack_into("<III", opt, 28, 0x10000, 0x1000, 0x200)  # image base, alignments
    struct.pack_into("<HHHHHH", opt, 40, 6, 0, 1, 0, 6, 0)  # OS, image, subsystem versions
    struct.pack_into("<IIII", opt, 56, 0x1000 + size, 0x400, 0, 9)  # 9: Windows CE GUI
    struct.pack_into("<I", opt, 92, 16)
    section = struct.pack("<8sIIIIIIHHI", b".text", size - 0x400, 0x1000, size - 0x400,
                          0x400, 0, 0, 0, 0, 0x60000020)
    head = bytes(dos) + coff + bytes(opt) + section
    assert head[0x80:0x84] == b"PE\0\0"
    head += bytes(0x400 - len(head))
    return head + noise(size - len(head), 7)


def crlf_text(size, lines):
    """CR LF text of exactly `size` bytes from an endless line generator."""
    out = bytearray()
    for line in lines:
        row = line.encode("ascii") + b"\r\n"
        if len(out) + len(row) + 3 > size:
            break
        out += row
    pad = size - len(out) - 2
    out += (b";" + b"-" * (pad - 1) if pad > 0 else b"") + b"\r\n"
    assert len(out) == size
    return bytes(out)


def parameter_lines(variant):
    yield "; " + MARK
    n = 0
    while True:
        if n % 40 == 0:
            yield "[Section%04d]" % (n // 40)
        yield "Param%05d=%d,%d,%s" % (n, (n * 37) % 1000, (n * 91) % 777, variant)
        n += 1


def pointer_lines():
    yield "; " + MARK + " VeskoPointer moving-map pointer shape"
    for row in range(16):
        yield "".join("#" if abs(col - 7.5) < row / 2.2 else "." for col in range(16))
    while True:
        yield "; end"


def settings(size, prefix):
    """UTF-16LE entries "name,value", each ended by NUL, the last "End End End"."""
    last = "End End End\0".encode("utf-16-le")
    out = bytearray((MARK + ",1\0").encode("utf-16-le"))
    n = 0
    while True:
        entry = ("%s%03d,%d\0" % (prefix, n, (n * 13) % 100)).encode("utf-16-le")
        if len(out) + len(entry) + len(last) + 8 > size:
            break
        out += entry
        n += 1
    room = (size - len(out) - len(last)) // 2
    out += ("Pad," + "0" * (room - 5) + "\0").encode("utf-16-le")
    out += last
    assert len(out) == size, (len(out), size)
    return bytes(out)


def main():
    os.makedirs(FILES, exist_ok=True)
    files = {
        "KestrovaCE.exe": ce_arm_executable(2125824),
        "Vesko-Plinto-4.par1": crlf_text(610233, parameter_lines("STD")),
        "Vesko-Plinto-4-UTM.par1": crlf_text(612769, parameter_lines("UTM")),
        "Vesko-Plinto-4-HighContrast.par1": crlf_text(607102, parameter_lines("HC")),
        "Vesko-Plinto-4-UTM-HighContrast.par1": crlf_text(607716, parameter_lines("UTMHC")),
        "VeskoPointer.mmp": crlf_text(426, pointer_lines()),
        "Kestrova1.def": settings(5830, "General"),
        "Kestrova2.def": settings(3610, "Display"),
        "FontSizes2.def": settings(250, "Font"),
    }
    for name, data in files.items():
        with open(os.path.join(FILES, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
