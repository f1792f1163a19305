#!/usr/bin/env python3
"""Makes the lunscan(1) page: the template with its version and the BUGS list, one line per deliberate departure."""
import re
import sys


def troff_text(text: str) -> str:
    """Markdown inline text as troff: code spans bold, backslashes escaped, hyphens as such."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    text = re.sub(r"`([^`]*)`", lambda m: "\\fB" + m.group(1) + "\\fR", text)
    text = text.replace("*", "")
    # A line must not begin with a control character.
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def first_sentence(text: str) -> str:
    """Up to the first full stop outside brackets and code that ends a sentence."""
    depth = 0
    code = False
    for i, c in enumerate(text):
        if c == "`":
            code = not code
        elif not code and c in "([":
            depth += 1
        elif not code and c in ")]":
            depth = max(0, depth - 1)
        elif not code and depth == 0 and c == "." and (i + 1 == len(text) or text[i + 1] == " "):
            return text[: i + 1].strip()
    return text.strip().rstrip(".") + "."


def departures(markdown: str):
    """The first sentence of every bullet that leads with a bold phrase, with its section."""
    section = None
    bullet = None
    for line in markdown.splitlines() + [""]:
        if line.startswith("## "):
            section = line[3:].strip()
        if line.startswith("- ") or not line.strip() or line.startswith("#"):
            if bullet is not None:
                if bullet.startswith("- **"):
                    text = re.sub(r"\s*\(cases? [^)]*\)", "", bullet[2:].replace("**", ""))
                    yield section, first_sentence(text)
            bullet = line if line.startswith("- ") else None
        elif bullet is not None:
            bullet += " " + line.strip()


def main() -> int:
    template, faults, version, out = sys.argv[1:5]
    lines = []
    last_section = None
    for section, phrase in departures(open(faults, encoding="utf-8").read()):
        if section != last_section:
            lines.append(".SS " + troff_text(section))
            last_section = section
        lines.append(".IP \\(bu 2")
        lines.append(troff_text(phrase))
    page = open(template, encoding="utf-8").read()
    page = page.replace("@VERSION@", version).replace("@BUGS@\n", "\n".join(lines) + "\n")
    with open(out, "w", encoding="utf-8") as f:
        f.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
