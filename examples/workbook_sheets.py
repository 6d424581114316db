"""Workbook sheets of the screening example: a note on the first line, the
table below it with its header frozen, columns formatted by what they hold
and sized to it, chosen cells marked."""
import math


def sheet_formats(book):
    """The cell formats write_sheet picks from, by what a column holds."""
    return {"note": book.add_format({"italic": True}), "score": book.add_format({"num_format": "0.0"}),
            "points": book.add_format({"num_format": "0.0"}), "p": book.add_format({"num_format": "0.00"}),
            "number": book.add_format({"num_format": "#,##0.0#"}), "weight": book.add_format({"num_format": "0"})}


def write_sheet(writer, name, table, note, formats, marks=(), mark_format=None):
    """A note on the first line, the table below it with its header frozen,
    columns formatted and sized; `marks` are (row, column name) cells to
    write in mark_format."""
    table.to_excel(writer, sheet_name=name, index=False, startrow=2, freeze_panes=(3, 0))
    sheet = writer.sheets[name]
    sheet.write(0, 0, note, formats["note"])
    for col, column in enumerate(table.columns):
        values = table[column]
        if values.dtype.kind == "f":
            fmt = (formats["p"] if "p-value" in column else formats["score"] if "(-1 to" in column else
                   formats["points"] if "Points" in column else formats["weight"] if column.startswith("Weight") else
                   formats["number"])
            width = 14
        else:
            fmt, width = None, min(max((len(str(v)) for v in values), default=0), 60)
        sheet.set_column(col, col, max(len(str(column)), width) + 2, fmt)
    sheet.autofilter(2, 0, 2 + len(table), len(table.columns) - 1)
    for row, column in marks:
        col = table.columns.get_loc(column)
        value = table.iloc[row, col]
        if isinstance(value, float) and math.isnan(value):
            sheet.write_blank(3 + row, col, None, mark_format)
        else:
            sheet.write(3 + row, col, value, mark_format)
