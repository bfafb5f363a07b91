#!/usr/bin/env python3
"""Turns the plain built-in configuration into a header that holds only letter-pair text.

Every value is converted from UTF-8 to CP950 and each byte b is written as the two letters
'a' + (b >> 4) and 'a' + (b & 15), the form the program decodes right before use.
"""
import sys

NAMES = [
    "serviceDocumentUrl", "testDocumentUrl", "firstPrepareUrl", "secondPrepareUrl",
    "reportPostUrl", "noticeUrl", "fallbackFtpHost", "primaryProbeHost",
    "alternateProbeHost", "settingsFileName",
]
CODES = 14


def letter_pairs(text):
    return "".join(chr(97 + (b >> 4)) + chr(97 + (b & 15)) for b in text.encode("cp950"))


def read_config(path):
    values = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if "=" not in line:
                sys.exit(f"{path}:{number}: expected 'name = value'")
            name, value = line.split("=", 1)
            values[name.strip()] = value.strip()
    return values


def main():
    source, target = sys.argv[1], sys.argv[2]
    values = read_config(source)
    wanted = NAMES + [f"{kind}.{code}" for kind in ("caption", "text") for code in range(CODES)]
    missing = [n for n in wanted if n not in values]
    if missing:
        sys.exit(f"{source}: missing {', '.join(missing)}")
    unknown = sorted(set(values) - set(wanted))
    if unknown:
        sys.exit(f"{source}: unknown {', '.join(unknown)}")
    out = ["// Generated from the built-in configuration; do not edit.",
           "#pragma once", "", "namespace zelvo::builtin {", ""]
    for name in NAMES:
        out.append(f'inline constexpr const char {name}[] = "{letter_pairs(values[name])}";')
    for kind, table in (("caption", "captionTable"), ("text", "textTable")):
        out.append("")
        out.append(f"inline constexpr const char* {table}[{CODES}] = {{")
        for code in range(CODES):
            out.append(f'    "{letter_pairs(values[f"{kind}.{code}"])}",')
        out.append("};")
    out += ["", "}  // namespace zelvo::builtin", ""]
    with open(target, "w", encoding="ascii") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
