#!/usr/bin/env python3
"""Writes the nl80211 answers the link-facts tests read: the attributes after the generic netlink
header, laid out as the kernel sends them (native byte order, four-byte padding). The values are those
of an 802.11ac laptop far from its access point and an 802.11n one near it on 2.4 GHz. Run again only
to change them."""
import os
import struct

NESTED = 0x8000


def attr(kind, payload):
    data = struct.pack("=HH", 4 + len(payload), kind) + payload
    return data + b"\0" * (-len(data) % 4)


def u8(kind, v):
    return attr(kind, struct.pack("=B", v & 0xFF))


def u16(kind, v):
    return attr(kind, struct.pack("=H", v))


def u32(kind, v):
    return attr(kind, struct.pack("=I", v))


def flag(kind):
    return attr(kind, b"")


def nest(kind, *parts, flagged=False):
    return attr(kind | (NESTED if flagged else 0), b"".join(parts))


# nl80211 numbers
IFINDEX, IFNAME, IFTYPE, MAC, STA_INFO, WIPHY_FREQ, GENERATION, SSID, CHANNEL_WIDTH, CENTER_FREQ1 = (
    3, 4, 5, 6, 21, 38, 46, 52, 159, 160)
INACTIVE, RX_BYTES, TX_BYTES, SIGNAL, TX_BITRATE, SIGNAL_AVG, RX_BITRATE, CONNECTED = 1, 2, 3, 7, 8, 13, 14, 16
BITRATE, MCS, W40, SHORT_GI, BITRATE32, VHT_MCS, VHT_NSS, W80 = 1, 2, 3, 4, 5, 6, 7, 8
BSSID = bytes([0x02, 0x11, 0x22, 0x33, 0x44, 0x55])

answers = {
    "station-ac-weak.bin": u32(IFINDEX, 3) + attr(MAC, BSSID) + u32(GENERATION, 41) + nest(
        STA_INFO, u32(INACTIVE, 12), u32(RX_BYTES, 918273645), u32(TX_BYTES, 81726354),
        u8(SIGNAL, -73), u8(SIGNAL_AVG, -72),
        nest(TX_BITRATE, u16(BITRATE, 7800), u32(BITRATE32, 7800), u8(VHT_MCS, 8), u8(VHT_NSS, 2), flag(W80),
             flag(SHORT_GI)),
        nest(RX_BITRATE, u16(BITRATE, 8667), u32(BITRATE32, 8667), u8(VHT_MCS, 9), u8(VHT_NSS, 2), flag(W80),
             flag(SHORT_GI)),
        u32(CONNECTED, 5400), flagged=True),
    "station-n-near.bin": u32(IFINDEX, 4) + attr(MAC, BSSID) + u32(GENERATION, 7) + nest(
        STA_INFO, u32(INACTIVE, 4), u8(SIGNAL, -48), u8(SIGNAL_AVG, 0),
        nest(TX_BITRATE, u16(BITRATE, 722), u8(MCS, 7), flag(SHORT_GI)),
        nest(RX_BITRATE, u16(BITRATE, 650), u8(MCS, 7)), u32(CONNECTED, 61)),
    "interface-5ghz-80.bin": u32(IFINDEX, 3) + attr(IFNAME, b"wlp2s0\0") + u32(IFTYPE, 2) +
        attr(SSID, b"home") + u32(WIPHY_FREQ, 5500) + u32(CHANNEL_WIDTH, 3) + u32(CENTER_FREQ1, 5530),
    "interface-2ghz-20.bin": u32(IFINDEX, 4) + attr(IFNAME, b"wlan0\0") + u32(IFTYPE, 2) +
        u32(WIPHY_FREQ, 2437) + u32(CHANNEL_WIDTH, 1),
}
here = os.path.dirname(os.path.abspath(__file__))
for name, data in answers.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(data)
# A station answer cut short inside its nested attributes.
with open(os.path.join(here, "station-cut.bin"), "wb") as f:
    f.write(answers["station-ac-weak.bin"][:60])
