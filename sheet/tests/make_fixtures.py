#!/usr/bin/python3
"""Writes the workbook fixtures of the sheet tests into the folder given.

".xls" files come from xlwt, ".xlsx" files from openpyxl, a few from plain
zip writing where a feature (cached formula results, inline strings, prefixed
XML) cannot be made otherwise. The expected texts live in the tests.
Usage: make_fixtures.py OUTDIR [--large]
"""
import os
import re
import struct
import sys
import zipfile

import openpyxl
import xlwt
from openpyxl.utils.datetime import CALENDAR_MAC_1904

OUT = sys.argv[1]

# (column letter, row, value, format). Values are plain numbers (date serials
# included), strings, booleans; formulas are handled separately.
TIME_1345_30 = (13 * 3600 + 45 * 60 + 30) / 86400.0
CELLS = [
    # General
    ("A", 1, "Heading", None),
    ("A", 2, "S01", None),
    ("A", 3, "Caf\u00e9 \u00fcn\u00efc\u00f6d\u00e9 \u20ac", None),
    ("A", 4, 3.5, None),
    ("A", 5, 1234567, None),
    ("A", 6, 1 / 3.0, None),
    ("A", 7, 1e15, None),
    ("A", 8, -2.5, None),
    ("A", 9, 0.1 + 0.2, None),
    ("A", 10, 123456789012, None),
    ("A", 11, "  padded  ", None),
    ("A", 12, 100, None),
    # Number formats
    ("B", 1, 1234.567, "0.00"),
    ("B", 2, 1234.567, "#,##0.00"),
    ("B", 3, 0.256, "0%"),
    ("B", 4, 0.256, "0.00%"),
    ("B", 5, 12345, "0.00E+00"),
    ("B", 6, 1.5, "# ?/?"),
    ("B", 7, -1234.5, "#,##0.00;[Red](#,##0.00)"),
    ("B", 8, 0, '0.00;-0.00;"zero"'),
    ("B", 9, 1234567, "#,##0,"),
    ("B", 10, 1234567, '0.0,,"M"'),
    ("B", 11, 5, '"Total: "0'),
    ("B", 12, 150, '[>100]"big";[<=100]"small"'),
    ("B", 13, 42, "000000"),
    ("B", 14, "abc", '"<"@">"'),
    ("B", 15, 2.675, "0.00"),
    ("B", 16, 1234.5, '"$"#,##0.00_);("$"#,##0.00)'),
    ("B", 17, 0.75, "?/?"),
    ("B", 18, -5, "0;-0;0;@"),
    ("B", 19, 0, '#,##0;-#,##0;"-"'),
    ("B", 20, 0.5, "#.##"),
    ("B", 21, 12345.678, "##0.0E+0"),
    ("B", 22, 50, "[Red]0"),
    ("B", 23, 3, '0 "units"'),
    ("B", 24, 1234, "[$\u20ac-407] #,##0"),
    ("B", 25, 12, "[<100]\"small\" 0;0"),
    # Dates and times, 1900 date system (38496 is 24 May 2005)
    ("C", 1, 38496, "SHORTDATE"),
    ("C", 2, 38496, "dd/mm/yyyy"),
    ("C", 3, 38496, "yyyy-mm-dd"),
    ("C", 4, 38496, "d-mmm-yy"),
    ("C", 5, 38496, "dddd, mmmm d, yyyy"),
    ("C", 6, TIME_1345_30, "h:mm:ss"),
    ("C", 7, TIME_1345_30, "h:mm AM/PM"),
    ("C", 8, 38496 + TIME_1345_30, "yyyy-mm-dd hh:mm"),
    ("C", 9, 1.5, "[h]:mm:ss"),
    ("C", 10, 60, "yyyy-mm-dd"),
    ("C", 11, 38496 + TIME_1345_30, "SHORTDATETIME"),
    ("C", 12, 5 / 86400.0, "mm:ss"),
    ("C", 13, 38496, "mmm d"),
    ("C", 14, 1, "dd/mm/yyyy"),
    ("C", 15, -1, "yyyy-mm-dd"),
    # Booleans and errors
    ("D", 1, True, None),
    ("D", 2, False, None),
    # Blocks
    ("F", 1, "same", None),
    ("F", 2, "same", None),
    ("F", 3, "same", None),
    ("G", 1, "x", None),
    ("G", 2, "y", None),
    ("H", 1, 5, "0.0"),
    ("H", 2, 5, None),
    ("H", 3, 5, None),
    ("H", 4, "5", None),
]
ERRORS = [("D", 3, "#DIV/0!", 0x07), ("D", 4, "#N/A", 0x2A)]
# Formula cells: (column, row, formula, cached kind, cached value, format)
FORMULAS = [
    ("D", 5, "1+2", "number", 3.0, None),
    ("D", 6, "1+2", "number", 3.0, "0.00"),
    ("D", 7, "1+1", None, None, None),          # no cached result: shows nothing
    ("D", 8, "1=1", "bool", True, None),
    ("D", 9, "1/0", "error", 0x07, None),
]

XLS_SHORT = {"SHORTDATE": "M/D/YY", "SHORTDATETIME": "M/D/YY h:mm"}
XLSX_SHORT = {"SHORTDATE": "mm-dd-yy", "SHORTDATETIME": "m/d/yy h:mm"}


def col_index(letter):
    return ord(letter) - ord("A")


def xls_style(fmt, cache={}):
    if fmt is None:
        return xlwt.Style.default_style
    fmt = XLS_SHORT.get(fmt, fmt)
    if fmt not in cache:
        cache[fmt] = xlwt.easyxf(num_format_str=fmt)
    return cache[fmt]


def patch_formula_results(path, patches):
    """Gives xlwt's formula records cached results (xlwt writes none).

    Each FORMULA record starts row, col, xf and then the 8-byte result, which
    xlwt fills with 0xFFFF000000000003 ("empty text"); it is replaced in place.
    """
    data = bytearray(open(path, "rb").read())
    for row, col, result in patches:
        head = struct.pack("<2H", row, col)
        marker = struct.pack("<Q", 0xFFFF000000000003)
        at = 0
        while True:
            at = data.find(head, at)
            if at < 0:
                raise SystemExit("formula record of %d,%d not found" % (row, col))
            if data[at + 6:at + 14] == marker and data[at - 4:at - 2] == b"\x06\x00":
                data[at + 6:at + 14] = result
                break
            at += 1
    open(path, "wb").write(bytes(data))


def formula_result(kind, value):
    if kind == "number":
        return struct.pack("<d", value)
    if kind == "bool":
        return bytes([1, 0, 1 if value else 0, 0, 0, 0, 0xFF, 0xFF])
    return bytes([2, 0, value, 0, 0, 0, 0xFF, 0xFF])


def make_basic_xls():
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet("Data")
    for col, row, value, fmt in CELLS:
        ws.write(row - 1, col_index(col), value, xls_style(fmt))
    for col, row, text, code in ERRORS:
        ws.row(row - 1).set_cell_error(col_index(col), code)
    for col, row, formula, kind, value, fmt in FORMULAS:
        ws.write(row - 1, col_index(col), xlwt.Formula(formula), xls_style(fmt))
    ws.write(0, col_index("E"), None, xls_style("0.00"))  # a formatted blank cell
    bold = xlwt.easyfont("bold true")
    plain = xlwt.easyfont("")
    ws.write_rich_text(0, col_index("I"), [("Hello ", plain), ("World", bold)])
    ws.write(65535, 255, "last cell")  # IV65536
    second = wb.add_sheet("Second")
    second.write(0, 0, "second sheet")
    second.write(1, 1, 7)
    path = os.path.join(OUT, "basic.xls")
    wb.save(path)
    patch_formula_results(path, [(row - 1, col_index(col), formula_result(kind, value))
                                 for col, row, _, kind, value, _ in FORMULAS if kind])


def make_basic_xlsx():
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Data"
    for col, row, value, fmt in CELLS:
        cell = ws["%s%d" % (col, row)]
        cell.value = value
        if fmt:
            cell.number_format = XLSX_SHORT.get(fmt, fmt)
    for col, row, text, code in ERRORS:
        ws["%s%d" % (col, row)] = text
    for col, row, formula, kind, value, fmt in FORMULAS:
        cell = ws["%s%d" % (col, row)]
        cell.value = "=" + formula
        if fmt:
            cell.number_format = fmt
    ws["E1"].number_format = "0.00"
    ws["E1"].value = None
    ws["I1"] = "Hello World"
    ws["XFD1048576"] = "last cell"
    second = wb.create_sheet("Second")
    second["A1"] = "second sheet"
    second["B2"] = 7
    path = os.path.join(OUT, "basic.xlsx")
    wb.save(path)
    # openpyxl keeps no cached formula results; give them as a spreadsheet would.
    results = {"%s%d" % (c, r): (k, v) for c, r, _, k, v, _ in FORMULAS if k}

    def add_cached(match):
        ref = match.group(2)
        if ref not in results:
            return match.group(0)
        kind, value = results[ref]
        attrs, body = match.group(1), match.group(3)
        body = re.sub(r"<v\s*/>|<v>.*?</v>", "", body)
        if kind == "number":
            return "<c%s>%s<v>%r</v></c>" % (attrs, body, value)
        if kind == "bool":
            return '<c%s t="b">%s<v>%d</v></c>' % (attrs, body, 1 if value else 0)
        return '<c%s t="e">%s<v>#DIV/0!</v></c>' % (attrs, body)
    rewrite_entry(path, "xl/worksheets/sheet1.xml",
                  lambda xml: re.sub(r'<c( r="([A-Z]+[0-9]+)"[^>]*)>(.*?)</c>', add_cached, xml))


def rewrite_entry(path, name, fn):
    with zipfile.ZipFile(path) as z:
        entries = [(i, z.read(i.filename)) for i in z.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            if info.filename == name:
                data = fn(data.decode("utf-8")).encode("utf-8")
            z.writestr(info, data)


def make_1904():
    wb = xlwt.Workbook()
    wb.set_dates_1904(True)
    ws = wb.add_sheet("Dates")
    rows = [(37034, "yyyy-mm-dd"), (0, "yyyy-mm-dd"), (37034, "M/D/YY"), (37034.5, "yyyy-mm-dd hh:mm")]
    for i, (v, f) in enumerate(rows):
        ws.write(i, 0, v, xls_style(f))
    wb.save(os.path.join(OUT, "date1904.xls"))
    wbx = openpyxl.Workbook()
    wbx.epoch = CALENDAR_MAC_1904
    wsx = wbx.active
    wsx.title = "Dates"
    for i, (v, f) in enumerate(rows):
        c = wsx.cell(row=i + 1, column=1, value=v)
        c.number_format = XLSX_SHORT["SHORTDATE"] if f == "M/D/YY" else f
    wbx.save(os.path.join(OUT, "date1904.xlsx"))


def make_long_xls():
    # Enough strings for the string table to run over several CONTINUE records,
    # and one long string, partly non-Latin-1, split across them.
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet("Long")
    for i in range(3000):
        ws.write(i, 0, "item %d" % (i + 1))
    ws.write(0, 1, ("abc\u00e9" * 1500) + ("\u4e2d" * 3000))
    wb.save(os.path.join(OUT, "long.xls"))


def make_approval_flow():
    wb = xlwt.Workbook()
    ws = wb.add_sheet("Flow")
    heading = ["Section", "", "Sup1", "", "Stin1", "", "Sup2", "", "Stin2", "", "Sup3", "", "Stin3"]
    rows = [heading,
            ["S01", "", "E100", "", "T1", "", "E200", "", "T2", "", "E300", "", "T3"],
            ["S02", "", "E101", "", "   ", "", "", "", "", "", "", "", ""]]
    for r, values in enumerate(rows):
        for c, v in enumerate(values):
            if v != "":
                ws.write(r, c, v)
    wb.save(os.path.join(OUT, "approval_flow.xls"))


HAND_WORKBOOK = """<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<x:workbook xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"
 xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">
<x:workbookPr/><x:sheets>
<x:sheet name="Hand" sheetId="1" r:id="rId1"/>
<x:sheet name="Chart" sheetId="2" r:id="rId4"/>
<x:sheet name="Other" sheetId="3" r:id="rId5"/>
</x:sheets></x:workbook>"""
HAND_RELS = """<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="/xl/worksheets/a.xml"/>
<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="strings.xml"/>
<Relationship Id="rId3" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" Target="styles.xml"/>
<Relationship Id="rId4" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/chartsheet" Target="chartsheets/c.xml"/>
<Relationship Id="rId5" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/../worksheets/b.xml"/>
</Relationships>"""
ROOT_RELS = """<?xml version="1.0" encoding="UTF-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/>
</Relationships>"""
HAND_STRINGS = """<?xml version="1.0" encoding="UTF-8"?>
<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" count="2" uniqueCount="2">
<si><r><rPr><b/></rPr><t xml:space="preserve">Hello </t></r><r><t>World</t></r><rPh sb="0" eb="1"><t>ignored</t></rPh></si>
<si><t>a_x000D_b</t></si>
</sst>"""
HAND_STYLES = """<?xml version="1.0" encoding="UTF-8"?>
<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">
<numFmts count="1"><numFmt numFmtId="164" formatCode="0.000"/></numFmts>
<cellStyleXfs count="1"><xf numFmtId="49"/></cellStyleXfs>
<cellXfs count="4"><xf numFmtId="0"/><xf numFmtId="164"/><xf numFmtId="14"/><xf numFmtId="3"/></cellXfs>
</styleSheet>"""
HAND_SHEET = """<?xml version="1.0" encoding="UTF-8"?>
<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>
<row r="1">
<c r="A1" t="s"><v>0</v></c>
<c r="B1" t="inlineStr"><is><t>inline text</t></is></c>
<c r="C1" t="str"><f>"from "&amp;"formula"</f><v>from formula</v></c>
<c r="D1" t="e"><v>#REF!</v></c>
<c r="E1" t="b"><v>0</v></c>
<c r="F1" t="d"><v>2005-05-24T13:45:30.5</v></c>
</row>
<row r="2">
<c s="1"><v>2</v></c><c s="2"><v>38496</v></c><c s="3"><v>1234567</v></c><c><f>SUM(1,2)</f><v>3</v></c>
</row>
<row r="5"><c r="A5" t="s"><v>1</v></c></row>
</sheetData></worksheet>"""
OTHER_SHEET = """<?xml version="1.0" encoding="UTF-8"?>
<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData>
<row><c t="inlineStr"><is><t>other</t></is></c></row></sheetData></worksheet>"""


def make_handmade_xlsx():
    with zipfile.ZipFile(os.path.join(OUT, "handmade.xlsx"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("_rels/.rels", ROOT_RELS)
        z.writestr("xl/workbook.xml", HAND_WORKBOOK)
        z.writestr("xl/_rels/workbook.xml.rels", HAND_RELS)
        z.writestr("xl/strings.xml", HAND_STRINGS)
        z.writestr("xl/styles.xml", HAND_STYLES)
        z.writestr("xl/worksheets/a.xml", HAND_SHEET)
        z.writestr("xl/worksheets/b.xml", OTHER_SHEET)
        z.writestr("xl/chartsheets/c.xml", "<chartsheet/>")


def biff_record(rid, data):
    return struct.pack("<2H", rid, len(data)) + data


def make_biff5():
    """An Excel 95 (BIFF5) workbook: byte strings in code page 1252, stream "Book".

    xlwt writes only BIFF8, so the records are written here and put into a
    compound document with xlwt's container writer, its stream then renamed.
    """
    def bof(kind):
        return biff_record(0x0809, struct.pack("<4H", 0x0500, kind, 0, 0))

    def xf(fmt):
        return biff_record(0x00E0, struct.pack("<2H", 0, fmt) + bytes(12))

    name = b"Alt"
    head = (bof(0x0005) + biff_record(0x0042, struct.pack("<H", 1252)) +
            biff_record(0x0022, struct.pack("<H", 0)) +
            biff_record(0x041E, struct.pack("<HB", 164, 5) + b"0.000") +
            xf(0) + xf(164) + xf(14))
    sheet_at = len(head) + 4 + 7 + len(name) + 4
    globals_ = head + biff_record(0x0085, struct.pack("<IBBB", sheet_at, 0, 0, len(name)) + name)
    globals_ += biff_record(0x000A, b"")
    assert len(globals_) == sheet_at
    text = "Caf\u00e9 \u20ac".encode("cp1252")
    sheet = (bof(0x0010) +
             biff_record(0x0204, struct.pack("<4H", 0, 0, 0, len(text)) + text) +
             biff_record(0x0203, struct.pack("<3Hd", 1, 0, 1, 2.5)) +
             biff_record(0x027E, struct.pack("<3HI", 2, 0, 2, (38496 << 2) | 2)) +
             biff_record(0x0006, struct.pack("<3HQHIH", 3, 0, 0, 0xFFFF000000000000, 0, 0, 0)) +
             biff_record(0x0207, struct.pack("<H", 4) + b"calc") +
             biff_record(0x000A, b""))
    stream = globals_ + sheet
    stream += bytes(max(0, 4096 - len(stream)))  # stay out of the mini stream
    path = os.path.join(OUT, "biff5.xls")
    save_compound(path, stream, "Book")


def save_compound(path, stream, stream_name):
    """A compound document holding one stream of the given name."""
    from xlwt.CompoundDoc import XlsDoc
    XlsDoc().save(path, stream)
    data = bytearray(open(path, "rb").read())
    old = "Workbook\x00".encode("utf-16-le")
    at = data.find(old + bytes(64 - len(old)))
    assert at > 0
    new = (stream_name + "\x00").encode("utf-16-le")
    data[at:at + 64] = new + bytes(64 - len(new))
    data[at + 64:at + 66] = struct.pack("<H", len(new))
    open(path, "wb").write(bytes(data))


def make_bad_files():
    open(os.path.join(OUT, "notaworkbook.xls"), "w").write("Section,Sup1\nS01,E100\n")
    # What a spreadsheet writes for a workbook saved with a password to open.
    save_compound(os.path.join(OUT, "encrypted.xlsx"), bytes(8192), "EncryptedPackage")
    open(os.path.join(OUT, "empty.xls"), "wb").close()
    basic = open(os.path.join(OUT, "basic.xls"), "rb").read()
    open(os.path.join(OUT, "truncated.xls"), "wb").write(basic[:1536])
    with zipfile.ZipFile(os.path.join(OUT, "plainzip.xlsx"), "w") as z:
        z.writestr("readme.txt", "not a workbook")
    with zipfile.ZipFile(os.path.join(OUT, "nosheets.xlsx"), "w") as z:
        z.writestr("xl/workbook.xml", '<workbook xmlns="http://schemas.openxmlformats.org/'
                   'spreadsheetml/2006/main"><sheets/></workbook>')
    with zipfile.ZipFile(os.path.join(OUT, "badxml.xlsx"), "w") as z:
        z.writestr("xl/workbook.xml", "<workbook><sheets><sheet name='a' r:id='rId1'/></workbook>")


def make_seeds():
    # Starting inputs for the fuzz targets.
    for name, files in (("xls_fuzz", ["basic.xls", "date1904.xls", "biff5.xls", "approval_flow.xls"]),
                        ("xlsx_fuzz", ["handmade.xlsx", "date1904.xlsx"])):
        folder = os.path.join(OUT, "seeds_" + name)
        os.makedirs(folder, exist_ok=True)
        for f in files:
            data = open(os.path.join(OUT, f), "rb").read()
            open(os.path.join(folder, f), "wb").write(data)
    folder = os.path.join(OUT, "seeds_format_fuzz")
    os.makedirs(folder, exist_ok=True)
    codes = ['#,##0.00;[Red](#,##0.00)', '0.00E+00', '# ??/??', 'dddd, mmmm d, yyyy h:mm:ss.000 AM/PM',
             '[h]:mm:ss', '[>100]"big";[<=100]"small";0;"t"@', '_(* #,##0_);_(* \\(#,##0\\);_(* "-"_);_(@_)',
             '[$\u20ac-407] #,##0,,"M"', '0%', 'General']
    for i, code in enumerate(codes):
        value = struct.pack("<d", [1234.5678, -0.5, 38496.573, 0][i % 4])
        open(os.path.join(folder, "code%d" % i), "wb").write(value + code.encode("utf-8"))


def make_large(target_bytes=10 * 1024 * 1024):
    """A workbook of about 10 MB in each format, for timing the load."""
    wb = xlwt.Workbook()
    rows_per_sheet = 65000
    fmt = xlwt.easyxf(num_format_str="#,##0.00")
    written = 0
    sheet = None
    row = 0
    n = 0
    while written < target_bytes:
        if sheet is None or row >= rows_per_sheet:
            sheet = wb.add_sheet("S%d" % (len(wb._Workbook__worksheets) + 1))
            row = 0
        sheet.write(row, 0, "code %d" % n)
        sheet.write(row, 1, n * 1.25, fmt)
        sheet.write(row, 2, n * 3.5 + 0.123)
        sheet.write(row, 3, "text %d" % (n % 5000))
        written += 4 * 14
        row += 1
        n += 1
    wb.save(os.path.join(OUT, "large.xls"))
    wbx = openpyxl.Workbook(write_only=True)
    wsx = wbx.create_sheet("Large")
    for i in range(n * 3):
        wsx.append(["code %d" % i, i * 1.25, i * 3.5 + 0.123, "text %d" % (i % 5000)])
    wbx.save(os.path.join(OUT, "large.xlsx"))


def main():
    os.makedirs(OUT, exist_ok=True)
    if "--large" in sys.argv:
        make_large()
        return
    make_basic_xls()
    make_basic_xlsx()
    make_1904()
    make_long_xls()
    make_approval_flow()
    make_handmade_xlsx()
    make_biff5()
    make_bad_files()
    make_seeds()


if __name__ == "__main__":
    main()
