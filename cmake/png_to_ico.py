#!/usr/bin/env python3
"""Writes a Windows icon file holding the given PNG pictures as they are (the icon format takes PNG
entries), so the application icon comes from the same drawings as the desktop's.

    png_to_ico.py OUTPUT.ico PICTURE.png...
"""
import struct
import sys


def png_size(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise SystemExit("not a PNG picture")
    return struct.unpack(">II", data[16:24])


def main(output, pictures):
    images = []
    for path in pictures:
        with open(path, "rb") as f:
            data = f.read()
        width, height = png_size(data)
        if width > 256 or height > 256:
            raise SystemExit("%s: an icon entry is at most 256 pixels wide" % path)
        images.append((width, height, data))
    images.sort(key=lambda image: image[0])
    offset = 6 + 16 * len(images)
    header = struct.pack("<HHH", 0, 1, len(images))
    entries = b""
    for width, height, data in images:
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(output, "wb") as f:
        f.write(header + entries + b"".join(data for _, _, data in images))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        raise SystemExit("usage: png_to_ico.py OUTPUT.ico PICTURE.png...")
    main(sys.argv[1], sys.argv[2:])
