#!/usr/bin/env python3
# Writes the IEEE company-identifier table (OUI, organisation) as C++ rows sorted by identifier.
#
# Usage: gen-oui-table.py <oui.txt> <output.inc>
# The input is the IEEE MA-L listing Debian ships in ieee-data. Each "XX-XX-XX   (hex)" line gives
# one row; names are kept as the file has them, cut to 259 bytes. The listing repeats a few
# identifiers (retired assignments handed out again): the first row of the file wins, so a
# lookup answers the same name whatever the sort does with equal keys.
import re
import sys

MAX_NAME = 259


def c_literal(name: bytes) -> str:
    out = []
    for b in name:
        if b in (0x22, 0x5C):  # '"' and '\'
            out.append("\\" + chr(b))
        elif 0x20 <= b < 0x7F and b != 0x3F:  # '?' escaped: no trigraph can form
            out.append(chr(b))
        else:
            out.append("\\%03o" % b)
    return '"' + "".join(out) + '"'


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: gen-oui-table.py <oui.txt> <output.inc>", file=sys.stderr)
        return 2
    row = re.compile(rb"^([0-9A-Fa-f]{2})-([0-9A-Fa-f]{2})-([0-9A-Fa-f]{2})\s+\(hex\)\s*(.*?)\s*$")
    rows = {}
    with open(sys.argv[1], "rb") as f:
        for line in f:
            m = row.match(line)
            if not m:
                continue
            oui = int(m.group(1) + m.group(2) + m.group(3), 16)
            if oui not in rows:
                rows[oui] = m.group(4)[:MAX_NAME]
    if not rows:
        print("gen-oui-table.py: no rows in " + sys.argv[1], file=sys.stderr)
        return 1
    with open(sys.argv[2], "w", encoding="ascii", newline="\n") as out:
        out.write("// Generated from the IEEE OUI listing by scripts/gen-oui-table.py; do not edit.\n")
        for oui in sorted(rows):
            out.write("{0x%06X, %s},\n" % (oui, c_literal(rows[oui])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
