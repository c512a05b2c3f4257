#!/usr/bin/env python3
"""Reads the first sheet of an .xls file with xlrd and prints its cells as JSON.

Output: {"sheets": n, "rows": [[["n", 1.0], ["s", "text"], ["e", null]], ...]}
Exit code 2 when xlrd is missing, 1 when the file cannot be read.
"""
import json
import sys

try:
    import xlrd
except ImportError:
    sys.exit(2)

try:
    book = xlrd.open_workbook(sys.argv[1])
except Exception as e:  # noqa: BLE001 - any failure to read is the answer
    print(str(e), file=sys.stderr)
    sys.exit(1)
sheet = book.sheet_by_index(0)
rows = []
for r in range(sheet.nrows):
    row = []
    for c in range(sheet.ncols):
        cell = sheet.cell(r, c)
        if cell.ctype == xlrd.XL_CELL_NUMBER:
            row.append(["n", cell.value])
        elif cell.ctype == xlrd.XL_CELL_TEXT:
            row.append(["s", cell.value])
        else:
            row.append(["e", None])
    rows.append(row)
json.dump({"sheets": book.nsheets, "name": sheet.name, "rows": rows}, sys.stdout)
