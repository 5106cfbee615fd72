#!/usr/bin/python3
# Writes one .xls workbook for a task test: the first argument is the file,
# standard input holds one cell per line, tab-separated:
#   sheet  row  col  kind  value  [number format]
# sheet is the worksheet name (sheets are created in order of first use),
# row and col count from 0, kind is "t" (text), "n" (number), "d" (date
# yyyy-mm-dd, shown through the format, default dd/mm/yyyy) or "b" (TRUE/FALSE).
import datetime
import sys

import xlwt

book = xlwt.Workbook()
sheets = {}
styles = {}


def style(fmt):
    if fmt not in styles:
        styles[fmt] = xlwt.easyxf(num_format_str=fmt)
    return styles[fmt]


for line in sys.stdin.read().split("\n"):
    if not line:
        continue
    parts = line.split("\t")
    name, row, col, kind, value = parts[0], int(parts[1]), int(parts[2]), parts[3], parts[4]
    fmt = parts[5] if len(parts) > 5 and parts[5] else None
    if name not in sheets:
        sheets[name] = book.add_sheet(name)
    sheet = sheets[name]
    if kind == "t":
        sheet.write(row, col, value)
    elif kind == "n":
        sheet.write(row, col, float(value), style(fmt or "General"))
    elif kind == "d":
        y, m, d = (int(x) for x in value.split("-"))
        sheet.write(row, col, datetime.date(y, m, d), style(fmt or "dd/mm/yyyy"))
    elif kind == "b":
        sheet.write(row, col, value == "1")
    else:
        sys.exit("unknown cell kind: " + kind)

if not sheets:
    book.add_sheet("Sheet1")
book.save(sys.argv[1])
