#!/usr/bin/python3
"""Writes single-sheet worksheet files of Excel 2.x, 3.0 and 4.0 (BIFF2,
BIFF3, BIFF4) byte by byte.

No program on hand writes these formats any more (the spreadsheet programs
used for the rest of the corpus read them but save nothing older than BIFF5),
so they are built here from the published BIFF record layouts: a bare record
stream, no compound document around it. Each record is a 2-byte id, a 2-byte
length and its data, all little-endian.

  BOF        BIFF2 0x0009, BIFF3 0x0209, BIFF4 0x0409: version, type 0x0010
             (worksheet); BIFF3/4 add 2 unused bytes
  CODEPAGE   0x0042: 0x8001 (Windows Latin 1 in BIFF2-4)
  DATEMODE   0x0022: 1 for the 1904 date system
  FONT       BIFF2 0x0031, BIFF3/4 0x0231
  FORMAT     BIFF2/3 0x001E: 1-byte length, characters; BIFF4 0x041E: 2
             unused bytes first. Formats are numbered in the order written.
  XF         BIFF2 0x0043 (4 bytes, format in bits 0-5 of byte 2),
             BIFF3 0x0243 and BIFF4 0x0443 (12 bytes, format in byte 1)
  DIMENSION  BIFF2 0x0000, BIFF3/4 0x0200
  cells      row, column, then BIFF2: 3 attribute bytes (XF index, format
             index | font << 6, alignment); BIFF3/4: a 2-byte XF index.
             BIFF2: INTEGER 0x0002 (uint16), NUMBER 0x0003, LABEL 0x0004
             (1-byte length), BOOLERR 0x0005, FORMULA 0x0006 (result, 1-byte
             flags, 1-byte token size), STRING 0x0007 (1-byte length).
             BIFF3/4: NUMBER 0x0203, LABEL 0x0204 (2-byte length), BOOLERR
             0x0205, RK 0x027E, FORMULA 0x0206/0x0406 (result, 2-byte flags,
             2-byte token size), STRING 0x0207 (2-byte length).
             A formula result that is not a number has 0xFFFF in its last
             two bytes and its kind in the first (0 text, 1 boolean, 2 error).
  EOF        0x000A

Usage: make_old_biff.py OUTDIR   (writes biff2.xls, biff3.xls, biff4.xls, biff4_1904.xls)
"""
import os
import struct
import sys

FORMATS = ["General", "0", "0.00", "#,##0.00", "0.0%", "dd/mm/yyyy", "hh:mm:ss", "[h]:mm:ss", "0.00;(0.00)",
           "yyyy-mm-dd hh:mm"]
FMT = {code: i for i, code in enumerate(FORMATS)}

ERR_DIV0, ERR_NA = 0x07, 0x2A


def rec(rid, data=b""):
    return struct.pack("<HH", rid, len(data)) + data


def cells(date1904):
    """(row, col, kind, value, format code) of the sheet; rows and columns from 0."""
    shift = 1462 if date1904 else 0
    return [
        (0, 0, "label", "Heading", "General"),
        (1, 0, "number", 1234.5, "#,##0.00"),
        (2, 0, "number", 38496 - shift, "dd/mm/yyyy"),
        (3, 0, "number", (13 * 3600 + 45 * 60 + 30) / 86400.0, "hh:mm:ss"),
        (4, 0, "number", (255 * 3600 + 10 * 60 + 10) / 86400.0, "[h]:mm:ss"),
        (5, 0, "number", 0.256, "0.0%"),
        (6, 0, "bool", 1, "General"),
        (7, 0, "error", ERR_NA, "General"),
        (8, 0, "formula_error", ERR_DIV0, "General"),
        (9, 0, "formula_text", "calc", "General"),
        (10, 0, "label", "Caf\u00e9 \u20ac", "General"),
        (11, 0, "integer", 42, "0.00"),
        (12, 0, "number", -12.5, "0.00;(0.00)"),
        (13, 0, "number", 38496.5 - shift, "yyyy-mm-dd hh:mm"),
        (0, 1, "number", 3.5, "General"),
        (1, 1, "formula_number", 7.0, "0"),
    ]


def text(s):
    return s.encode("cp1252")


# Tokens of the formulas: 1/0, "calc" and 3+4 (ptgInt 0x1E, ptgDiv 0x06, ptgAdd 0x03, ptgStr 0x17).
def tokens(kind, biff):
    if kind == "formula_error":
        return b"\x1e\x01\x00\x1e\x00\x00\x06"
    if kind == "formula_number":
        return b"\x1e\x03\x00\x1e\x04\x00\x03"
    s = text("calc")
    return b"\x17" + bytes([len(s)]) + s  # BIFF2-4 strings in formulas: 1-byte length


def write(path, biff, date1904=False):
    out = bytearray()
    bof = {2: 0x0009, 3: 0x0209, 4: 0x0409}[biff]
    version = {2: 0x0200, 3: 0x0300, 4: 0x0400}[biff]
    out += rec(bof, struct.pack("<HH", version, 0x0010) + (b"\0\0" if biff > 2 else b""))
    out += rec(0x0042, struct.pack("<H", 0x8001))
    out += rec(0x0022, struct.pack("<H", 1 if date1904 else 0))
    name = b"Arial"
    if biff == 2:
        out += rec(0x0031, struct.pack("<HH", 200, 0) + bytes([len(name)]) + name)
    else:
        out += rec(0x0231, struct.pack("<HHH", 200, 0, 0x7FFF) + bytes([len(name)]) + name)
    for code in FORMATS:
        s = text(code)
        out += rec(0x041E if biff == 4 else 0x001E, (b"\0\0" if biff == 4 else b"") + bytes([len(s)]) + s)
    # One XF per format, XF i using format i.
    for i in range(len(FORMATS)):
        if biff == 2:
            out += rec(0x0043, bytes([0, 0, i & 0x3F, 0]))
        elif biff == 3:
            out += rec(0x0243, bytes([0, i, 0x01, 0xFC]) + b"\0" * 8)
        else:
            out += rec(0x0443, bytes([0, i]) + struct.pack("<H", 0x0001) + bytes([0, 0xFC]) + b"\0" * 6)
    cs = cells(date1904)
    rows = max(c[0] for c in cs) + 1
    cols = max(c[1] for c in cs) + 1
    if biff == 2:
        out += rec(0x0000, struct.pack("<HHHH", 0, rows, 0, cols))
    else:
        out += rec(0x0200, struct.pack("<HHHHH", 0, rows, 0, cols, 0))
    for row, col, kind, value, code in cs:
        f = FMT[code]
        head = struct.pack("<HH", row, col) + (bytes([f, f, 0]) if biff == 2 else struct.pack("<H", f))
        if kind == "label":
            s = text(value)
            if biff == 2:
                out += rec(0x0004, head + bytes([len(s)]) + s)
            else:
                out += rec(0x0204, head + struct.pack("<H", len(s)) + s)
        elif kind == "number":
            out += rec(0x0003 if biff == 2 else 0x0203, head + struct.pack("<d", value))
        elif kind == "integer":
            if biff == 2:
                out += rec(0x0002, head + struct.pack("<H", value))
            else:
                out += rec(0x027E, head + struct.pack("<I", (value << 2) | 2))  # RK: an integer
        elif kind in ("bool", "error"):
            out += rec(0x0005 if biff == 2 else 0x0205, head + bytes([value, 1 if kind == "error" else 0]))
        else:
            if kind == "formula_number":
                result = struct.pack("<d", value)
            elif kind == "formula_error":
                result = bytes([2, 0, value, 0, 0, 0, 0xFF, 0xFF])
            else:
                result = bytes([0, 0, 0, 0, 0, 0, 0xFF, 0xFF])
            t = tokens(kind, biff)
            if biff == 2:
                out += rec(0x0006, head + result + bytes([0, len(t)]) + t)
            else:
                out += rec(0x0406 if biff == 4 else 0x0206, head + result + struct.pack("<HH", 0, len(t)) + t)
            if kind == "formula_text":
                s = text(value)
                if biff == 2:
                    out += rec(0x0007, bytes([len(s)]) + s)
                else:
                    out += rec(0x0207, struct.pack("<H", len(s)) + s)
    out += rec(0x000A)
    with open(path, "wb") as f:
        f.write(out)


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    for biff in (2, 3, 4):
        write(os.path.join(outdir, f"biff{biff}.xls"), biff)
    write(os.path.join(outdir, "biff4_1904.xls"), 4, date1904=True)


if __name__ == "__main__":
    main()
