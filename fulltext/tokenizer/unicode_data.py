"""Readers of the Unicode data files shared by the table generators."""
import os


def parse_range(field):
    if ".." in field:
        a, b = field.split("..")
        return int(a, 16), int(b, 16)
    v = int(field, 16)
    return v, v


def unicode_data(src):
    """Yields (first, last, fields) for every entry of UnicodeData.txt,
    with the <..., First> / <..., Last> pairs joined into one range."""
    first = None
    with open(os.path.join(src, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            cp = int(fields[0], 16)
            name = fields[1]
            if name.endswith(", First>"):
                first = cp
                continue
            lo = first if name.endswith(", Last>") else cp
            first = None
            yield lo, cp, fields
