#!/usr/bin/env python3
"""Writes a C++ source that holds every given picture file as a named resource.

Usage: embed_resources.py OUTPUT.cpp FILE...
The type name comes from the file's extension (.png PNG, .jpg/.jpeg JPEG, .gif GIF), the resource
name is the file name without extension in capitals, the language is 1028.
"""
import os
import sys

TYPES = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG", ".gif": "GIF"}
LANGUAGE = 1028


def main():
    output, files = sys.argv[1], sys.argv[2:]
    entries = []
    for path in files:
        stem, ext = os.path.splitext(os.path.basename(path))
        kind = TYPES.get(ext.lower())
        if kind is None:
            continue  # notes and other files beside the pictures
        with open(path, "rb") as f:
            entries.append((kind, stem.upper(), f.read()))
    entries.sort(key=lambda e: (e[0].encode(), e[1].encode()))
    seen = set()
    for kind, name, _ in entries:
        if (kind, name) in seen:
            sys.exit(f"embed_resources.py: {kind} {name} given twice")
        seen.add((kind, name))

    lines = ["// Generated from ui/resources/ at build time; do not edit.",
             '#include "ui/resources.h"', "", "namespace zelvo {", "namespace {"]
    for i, (_, _, data) in enumerate(entries):
        lines.append(f"const std::uint8_t resource{i}[] = {{")
        for at in range(0, len(data), 32):
            lines.append(",".join(str(b) for b in data[at:at + 32]) + ",")
        lines.append("};")
    if entries:
        lines.append("const Resource table[] = {")
        for i, (kind, name, _) in enumerate(entries):
            lines.append(f'    {{"{kind}", "{name}", {LANGUAGE}, resource{i}, sizeof resource{i}}},')
        lines += ["};", "} // namespace", "",
                  "std::span<const Resource> embeddedResources() { return table; }"]
    else:
        lines += ["} // namespace", "", "std::span<const Resource> embeddedResources() { return {}; }"]
    lines += ["", "} // namespace zelvo", ""]
    text = "\n".join(lines)
    # Leave an unchanged file alone so that the library is not rebuilt for nothing.
    if os.path.exists(output):
        with open(output) as f:
            if f.read() == text:
                return
    with open(output, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
