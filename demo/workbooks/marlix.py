#!/usr/bin/python3
# Writes the demo workbook "marlix.xls" of the asset import (task 34) to the
# file named by the first argument. Its columns are those that the mapping
# table MARLIX of demo company A01 names: A asset number, B description,
# C category code, D category description, E group code, F group
# description, G purchase date, H purchase cost, I installation cost,
# J location (not mapped), K accumulated depreciation. Row 1 is a heading;
# the first blank cell in column A ends the assets.
import datetime
import sys

import xlwt

HEADINGS = ["Asset no", "Description", "Category", "Category name", "Group", "Group name",
            "Purchase date", "Purchase cost", "Installation cost", "Location", "Acc. depreciation"]

# The groups ADM and OPS are already in A01's group codes (their
# descriptions stay); FIN and the categories C1000 to C4000 are added.
# The last asset repeats a number: its row is refused at Post and logged.
ASSETS = [
    ("A2005050039", "Laser printer", "C1000", "Computer equipment", "ADM", "Admin", (2005, 5, 10), 1200.00, 0.00, "HQ", 400.00),
    ("E2005090188", "File server", "C2000", "Servers", "FIN", "Finance", (2005, 4, 15), 8500.00, 350.00, "HQ", 1200.00),
    ("F001745E", "Lathe", "C3000", "Machinery", "OPS", "Ops", (2007, 4, 2), 42000.00, 1800.00, "WH1", 0.00),
    ("0002244F", "Forklift", "C3000", "Machinery", "OPS", "Ops", (2004, 3, 1), 25000.00, 500.00, "WH1", 9000.00),
    ("A2005100071", "Office chairs", "C4000", "Furniture", "ADM", "Admin", (2005, 10, 20), 3000.00, 0.00, "HQ", 150.00),
    ("A2005100071", "Office chairs (entered twice)", "C4000", "Furniture", "ADM", "Admin", (2005, 10, 20), 3000.00, 0.00, "HQ", 150.00),
]


def main():
    book = xlwt.Workbook()
    sheet = book.add_sheet("Assets")
    date_style = xlwt.easyxf(num_format_str="dd/mm/yyyy")
    amount_style = xlwt.easyxf(num_format_str="0.00")
    for col, heading in enumerate(HEADINGS):
        sheet.write(0, col, heading)
    for row, asset in enumerate(ASSETS, start=1):
        for col, value in enumerate(asset):
            if isinstance(value, tuple):
                sheet.write(row, col, datetime.date(*value), date_style)
            elif isinstance(value, float):
                sheet.write(row, col, value, amount_style)
            else:
                sheet.write(row, col, value)
    book.save(sys.argv[1])


if __name__ == "__main__":
    main()
