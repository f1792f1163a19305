#!/usr/bin/env python3
"""Checks the generated lunscan(1) page: groff finds nothing to warn about, it names the build's version, and it documents every option of the usage screen."""
import re
import subprocess
import sys


def main() -> int:
    page_path, lunscan, version = sys.argv[1:4]
    page = open(page_path, encoding="utf-8").read()
    faults = []

    groff = subprocess.run(["groff", "-man", "-ww", "-z", page_path], capture_output=True, text=True)
    if groff.returncode != 0 or groff.stderr.strip():
        faults.append("groff -man -ww -z: " + groff.stderr.strip())

    if f'"lunscan {version}"' not in page.splitlines()[1]:
        faults.append(f"the .TH line does not name lunscan {version}")

    usage = subprocess.run([lunscan, "-h", "-no_header"], capture_output=True, text=True).stdout
    # Option words of the screen's option lines and its renaming notes ("-nodots -> -no_dots").
    options = set(re.findall(r"(?:^|\s)(-[a-z][a-z0-9_]*)", usage, re.MULTILINE))
    documented = set(re.findall(r"\\-([a-z][a-z0-9_]*)", page))
    missing = sorted(o for o in options if o[1:] not in documented and o != "-system")
    if missing:
        faults.append("options of the usage screen missing from the page: " + " ".join(missing))

    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
