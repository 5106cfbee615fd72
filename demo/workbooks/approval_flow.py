#!/usr/bin/python3
# Writes the demo "approval_flow.xls" for company A01 (task 32): one row per
# section under a heading row; columns C, E, G, I, K and M hold the three
# supervisor and STIN codes, the other columns are notes for the reader.
# In the demo companies ADM's employees have approval records (5311's only
# from 2099); OPS's have none, so the task reports each of them.
#
# Usage: /usr/bin/python3 approval_flow.py OUT.xls
import sys

import xlwt

HEADING = ["SECTION_CODE", "SECTION", "SUPERVISOR_CODE", "", "STIN", "", "SUPERVISOR_CODE2", "",
           "STIN2", "", "SUPERVISOR_CODE3", "", "STIN3"]
ROWS = [
    # A, B, C, D, E, F, G, H, I, J, K, L, M
    ["ADM", "Administration", "5311", "Grace Pereira", "5311", "", "6623", "Rahman bin Ali",
     "6623", "", "0030", "Lim Wei Jie", "   "],
    ["OPS", "Operations", "0030", "Lim Wei Jie", "0030", "", "5311", "Grace Pereira", "5311"],
]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: approval_flow.py OUT.xls")
    book = xlwt.Workbook()
    sheet = book.add_sheet("Sheet1")
    for row, cells in enumerate([HEADING] + ROWS):
        for col, text in enumerate(cells):
            if text:
                sheet.write(row, col, text)
    book.save(sys.argv[1])


if __name__ == "__main__":
    main()
