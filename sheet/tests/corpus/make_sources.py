#!/usr/bin/python3
"""Writes the corpus sources and the files that scripts produce.

Usage: make_sources.py SRCDIR OUTDIR

SRCDIR receives the sources that the spreadsheet programs then open and save
in their own formats (see make_corpus.sh):
  cells.xlsx, cells1904.xlsx   the common sheet (openpyxl), 1900 and 1904 dates
  de.fods, fr.fods             a sheet saved in a German and a French locale
                               (flat OpenDocument, with the locales' own
                               number styles; de uses the 1904 date system)
OUTDIR receives the files that scripts write, which are corpus files
themselves:
  openpyxl.xlsx                the common sheet as openpyxl writes it
  openpyxl_isodates.xlsx       dates and times stored as ISO 8601 texts (t="d")
  xlsxwriter.xlsx              rich text, line breaks, errors (xlsxwriter)
  xlsxwriter1904.xlsx          durations and dates in the 1904 system
  xlwt.xls                     the common sheet as xlwt writes it (BIFF8)
  emptyvalue.xlsx              xlsxwriter.xlsx with its shared-string cell A2
                               and number cell A7 left as "<v></v>", as some
                               writers leave a cell
"""
import datetime
import os
import re
import shutil
import sys
import zipfile

import openpyxl
import xlsxwriter
import xlwt

SRC, OUT = sys.argv[1], sys.argv[2]

# The common sheet "Data": (row, value, number format). Dates are Python
# dates so that each writer stores them in its own date system.
D = datetime.datetime
COMMON = [
    (1, "Heading", None),
    (2, 1234.5, "#,##0.00"),
    (3, D(2005, 5, 24), "dd/mm/yyyy"),
    (4, D(2005, 5, 24), "dddd, d mmmm yyyy"),
    (5, datetime.time(13, 45, 30), "hh:mm:ss"),
    (6, datetime.timedelta(hours=255, minutes=10, seconds=10), "[h]:mm:ss"),
    (7, datetime.timedelta(hours=36, minutes=30), "[mm]:ss"),
    (8, D(2005, 5, 24, 13, 45), "yyyy-mm-dd hh:mm"),
    (9, 0.256, "0.0%"),
    (10, "line 1\nline 2", None),
    (11, "bold and plain", None),
    (12, "=1/0", None),
    (13, "=NA()", None),
    (14, True, None),
    (15, "a\tb\\c", None),
    (16, -12.5, "0.00;(0.00)"),
    (17, 3.5, None),
    (18, "Caf\u00e9 \u20ac \u00fc", None),
    (19, D(1904, 1, 2), "yyyy-mm-dd"),
    (20, datetime.time(13, 45), "h:mm AM/PM"),
    (21, D(2005, 5, 24), "mmm d, yyyy"),
    (22, 42, '"No. "000'),
]


def write_openpyxl(path, date1904):
    wb = openpyxl.Workbook()
    if date1904:
        wb.epoch = openpyxl.utils.datetime.CALENDAR_MAC_1904
    ws = wb.active
    ws.title = "Data"
    for row, value, fmt in COMMON:
        cell = ws.cell(row=row, column=1)
        cell.value = value
        if fmt:
            cell.number_format = fmt
    ws["B1"] = "Second column"
    wb.create_sheet("Other")["A1"] = "other sheet"
    wb.save(path)


def write_iso_dates(path):
    # openpyxl keeps dates and times as ISO 8601 texts (t="d") when asked to.
    wb = openpyxl.Workbook(iso_dates=True)
    ws = wb.active
    ws.title = "Dates"
    rows = [
        (D(2021, 1, 1), "dd/mm/yyyy"),
        (datetime.time(10, 10, 10), "hh:mm:ss"),
        (D(2021, 1, 1, 10, 10, 10), "yyyy-mm-dd hh:mm:ss"),
        (datetime.date(2005, 5, 24), "d mmmm yyyy"),
        (datetime.time(23, 59, 59, 500000), "hh:mm:ss.0"),
        (D(2021, 1, 1), None),
    ]
    for i, (value, fmt) in enumerate(rows, start=1):
        cell = ws.cell(row=i, column=1, value=value)
        if fmt:
            cell.number_format = fmt
    wb.save(path)


def write_xlsxwriter(path, date1904):
    wb = xlsxwriter.Workbook(path, {"date_1904": date1904})
    ws = wb.add_worksheet("Data")
    bold = wb.add_format({"bold": True})
    fmt = {}

    def f(code):
        if code not in fmt:
            fmt[code] = wb.add_format({"num_format": code})
        return fmt[code]

    if date1904:
        ws.write_datetime(0, 0, datetime.timedelta(hours=255, minutes=10, seconds=10), f("[h]:mm:ss"))
        ws.write_datetime(1, 0, D(2005, 5, 24), f("dd/mm/yyyy"))
        ws.write_number(2, 0, 1.5, f("[h]:mm"))
        ws.write_number(3, 0, 0.75, f("[m]"))
        ws.write_datetime(4, 0, D(1904, 1, 1, 6, 0), f("yyyy-mm-dd hh:mm"))
        ws.write_number(5, 0, 10.632060185185185, f("[hh]:mm:ss"))
    else:
        ws.write_rich_string(0, 0, bold, "bold ", "and plain")
        ws.write_string(1, 0, "line 1\nline 2\r\nline 3")
        ws.write_formula(2, 0, "=1/0", None, "#DIV/0!")
        ws.write_formula(3, 0, '="x"&"y"', None, "xy")
        ws.write_boolean(4, 0, False)
        ws.write_datetime(5, 0, datetime.timedelta(hours=255, minutes=10, seconds=10), f("[h]:mm:ss"))
        ws.write_number(6, 0, 38496, f("d-mmm-yy"))
        ws.write_string(7, 0, "tab\there")
        ws.write_formula(8, 0, "=NA()", None, "#N/A")
    wb.close()


def write_xlwt(path):
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet("Data")
    styles = {}
    for row, value, fmt in COMMON:
        style = styles.setdefault(fmt, xlwt.easyxf(num_format_str=fmt) if fmt else xlwt.Style.default_style)
        r = row - 1
        if isinstance(value, str) and value.startswith("="):
            ws.write(r, 0, xlwt.Formula(value[1:]))
        elif isinstance(value, datetime.timedelta):
            ws.write(r, 0, value.total_seconds() / 86400.0, style)
        else:
            ws.write(r, 0, value, style)
    ws.write(0, 1, "Second column")
    wb.add_sheet("Other").write(0, 0, "other sheet")
    wb.save(path)


def empty_values(src, dst):
    # Leaves the value elements of A2 (a shared string) and A7 (a number) empty.
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename == "xl/worksheets/sheet1.xml":
                text = data.decode("utf-8")
                text, n1 = re.subn(r'(<c r="A2"[^>]*t="s"[^>]*>)<v>\d+</v>', r"\1<v></v>", text)
                text, n2 = re.subn(r'(<c r="A7"[^>]*>)<v>[^<]*</v>', r"\1<v></v>", text)
                assert n1 == 1 and n2 == 1, (n1, n2)
                data = text.encode("utf-8")
            zout.writestr(item, data)


# --- Flat OpenDocument sources in a locale -------------------------------------

FODS_HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"
 xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
<office:styles>
 <style:default-style style:family="table-cell"><style:text-properties fo:language="{lang}" fo:country="{country}"/></style:default-style>
</office:styles>
<office:automatic-styles>
 <style:style style:name="T1" style:family="text"><style:text-properties fo:font-weight="bold"/></style:style>
{styles}
</office:automatic-styles>
<office:body><office:spreadsheet>
<table:calculation-settings><table:null-date table:date-value="{null_date}"/></table:calculation-settings>
<table:table table:name="{sheet}">
{rows}
</table:table>
</office:spreadsheet></office:body></office:document>
"""


def fods(path, lang, country, sheet, null_date, styles, cells):
    """cells: list of (style name or None, cell xml attributes and content)."""
    style_xml = []
    for name, (kind, inner) in styles:
        extra = ' number:truncate-on-overflow="false"' if kind == "time-style" else ""
        style_xml.append(
            f'<number:{kind} style:name="N{name}" number:language="{lang}" number:country="{country}"{extra}>'
            f'{inner}</number:{kind}>'
            f'<style:style style:name="ce{name}" style:family="table-cell" style:data-style-name="N{name}"/>')
    rows = []
    for style, cell in cells:
        attr = f' table:style-name="ce{style}"' if style else ""
        rows.append(f"<table:table-row><table:table-cell{attr} {cell}</table:table-cell></table:table-row>")
    with open(path, "w", encoding="utf-8") as out:
        out.write(FODS_HEAD.format(lang=lang, country=country, styles="\n".join(style_xml), null_date=null_date,
                                   sheet=sheet, rows="\n".join(rows)))


def N(tag, **attrs):
    a = "".join(f' number:{k.replace("_", "-")}="{v}"' for k, v in attrs.items())
    return f"<number:{tag}{a}/>"


def T(text):
    return f"<number:text>{text}</number:text>"


LONG_DATE = ("date-style", N("day", style="long") + T(". ") + N("month", textual="true", style="long") + T(" ") +
             N("year", style="long"))
SHORT_MONTH = ("date-style", N("day") + T(" ") + N("month", textual="true") + T(" ") + N("year", style="long"))
WEEKDAY = ("date-style", N("day-of-week", style="long") + T(", ") + N("day") + T(". ") +
           N("month", textual="true", style="long"))
NUMERIC_DATE = ("date-style", N("day", style="long") + T(".") + N("month", style="long") + T(".") +
                N("year", style="long"))
NUMBER = ("number-style", N("number", decimal_places="2", min_decimal_places="2", min_integer_digits="1",
                            grouping="true"))
DURATION = ("time-style",
            N("hours", style="long") + T(":") + N("minutes", style="long") + T(":") + N("seconds", style="long"))
PERCENT = ("percentage-style", N("number", decimal_places="1", min_decimal_places="1", min_integer_digits="1") +
           T("%"))


def write_locale_sources():
    styles = [(1, LONG_DATE), (2, SHORT_MONTH), (3, WEEKDAY), (4, NUMERIC_DATE), (5, NUMBER), (6, DURATION),
              (7, PERCENT)]
    cells = [
        (1, 'office:value-type="date" office:date-value="2005-05-24">'),
        (2, 'office:value-type="date" office:date-value="2005-03-01">'),
        (3, 'office:value-type="date" office:date-value="2005-05-24">'),
        (4, 'office:value-type="date" office:date-value="2005-12-31">'),
        (5, 'office:value-type="float" office:value="1234.5">'),
        (6, 'office:value-type="time" office:time-value="PT255H10M10S">'),
        (7, 'office:value-type="percentage" office:value="0.256">'),
        (None, 'office:value-type="string"><text:p>Zeile 1</text:p><text:p>Zeile <text:span text:style-name="T1">2</text:span> fett</text:p>'),
        (None, 'table:formula="of:=1/0" office:value-type="float" office:value="0">'),
        (None, 'office:value-type="string"><text:p>Stra\u00dfe \u00e4\u00f6\u00fc \u20ac</text:p>'),
    ]
    for locale, (lang, country, sheet, null_date) in {
        "de": ("de", "DE", "Daten", "1904-01-01"),
        "fr": ("fr", "FR", "Donn\u00e9es", "1899-12-30"),
    }.items():
        fods(os.path.join(SRC, f"{locale}.fods"), lang, country, sheet, null_date, styles, cells)


def main():
    os.makedirs(SRC, exist_ok=True)
    os.makedirs(OUT, exist_ok=True)
    write_openpyxl(os.path.join(SRC, "cells.xlsx"), False)
    write_openpyxl(os.path.join(SRC, "cells1904.xlsx"), True)
    shutil.copy(os.path.join(SRC, "cells.xlsx"), os.path.join(OUT, "openpyxl.xlsx"))
    shutil.copy(os.path.join(SRC, "cells1904.xlsx"), os.path.join(OUT, "openpyxl1904.xlsx"))
    write_iso_dates(os.path.join(OUT, "openpyxl_isodates.xlsx"))
    write_xlsxwriter(os.path.join(OUT, "xlsxwriter.xlsx"), False)
    write_xlsxwriter(os.path.join(OUT, "xlsxwriter1904.xlsx"), True)
    write_xlwt(os.path.join(OUT, "xlwt.xls"))
    empty_values(os.path.join(OUT, "xlsxwriter.xlsx"), os.path.join(OUT, "emptyvalue.xlsx"))
    write_locale_sources()


if __name__ == "__main__":
    main()
