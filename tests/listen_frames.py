"""Frames for the listening tests: 9-2LE SV frames by smpCnt, GOOSE frames by
stNum/sqNum, and an independent count of what a smpCnt sequence holds."""

import struct

from valdrin import goose, sv
from valdrin.data import BoolData, IntData

SV_DST = "01:0c:cd:04:00:01"
GOOSE_DST = bytes.fromhex("010ccd010001")
SRC = bytes.fromhex("020000000001")
RATE = 4000
SECOND = 1_700_000_000


def sv_publisher(rate: int = RATE, sv_id: str = "MU01", app_id: int = 0x4001) -> sv.Publisher:
    """A publisher whose render() gives the 9-2LE frames of one stream (never started)."""
    waves = [sv.Wave(1000.0 * (k + 1), -120.0 * k, 50.0) for k in range(8)]
    return sv.Publisher("lo", [sv.Stream(sv_id, waves, dst_mac=SV_DST, app_id=app_id)], rate=rate,
                        start_second=SECOND)


def sv_frames(counters, rate: int = RATE, publisher: sv.Publisher | None = None):
    """(time_ns, frame) of each smpCnt in `counters`, in that order, one frame period apart."""
    publisher = publisher or sv_publisher(rate)
    period = 1_000_000_000 // rate
    t0 = SECOND * 1_000_000_000
    return [(t0 + n * period, publisher.render(0, SECOND, c)) for n, c in enumerate(counters)]


def goose_frame(st: int, sq: int, value: bool = True, tal_ms: int = 2000, conf_rev: int = 1,
                gocb_ref: str = "IED1LD0/LLN0$GO$gcb1", timestamp: int | None = None) -> bytes:
    """A frame as a conforming publisher makes it, by default: t marks the state change
    (SECOND + stNum) and the values include stNum, so both change with it."""
    pdu = goose.GoosePDU(gocb_ref, "IED1LD0/LLN0$DS1", "IED1", time_allowed_to_live=tal_ms, st_num=st, sq_num=sq,
                         conf_rev=conf_rev, timestamp=SECOND + st if timestamp is None else timestamp,
                         all_data=[BoolData(value), IntData(st)])
    return pdu.encode_frame(GOOSE_DST, SRC, 0x0001)


def expected_counts(counters, wrap: int):
    """lost, duplicated and out_of_order of a smpCnt sequence whose wrap is known, counted
    independently: by unwrapping each counter to an absolute sample number."""
    newest = None
    seen = set()
    lost = duplicated = out_of_order = 0
    for c in counters:
        if newest is None:
            newest = c
            seen.add(c)
            continue
        # The absolute number nearest ahead of or behind the newest, within half a wrap.
        step = (c - newest % wrap) % wrap
        absolute = newest + step if step <= wrap // 2 else newest - (wrap - step)
        if absolute in seen:
            duplicated += 1
        elif absolute > newest:
            lost += absolute - newest - 1
            newest = absolute
            seen.add(absolute)
        else:
            out_of_order += 1
            lost -= 1
            seen.add(absolute)
    return lost, duplicated, out_of_order


def _tlvs(octets: bytes):
    """(tag, content) of each BER TLV in `octets` (one-octet tags, short or long lengths)."""
    at = 0
    while at + 2 <= len(octets):
        tag, length = octets[at], octets[at + 1]
        at += 2
        if length & 0x80:
            size = length & 0x7F
            length = int.from_bytes(octets[at:at + size], "big")
            at += size
        yield tag, octets[at:at + length]
        at += length


def smp_cnts(frame: bytes) -> list[int]:
    """The smpCnt of every ASDU of an SV frame, read without the package's decoders."""
    start = 12
    if frame[12:14] == b"\x81\x00":  # an 802.1Q tag
        start = 16
    if frame[start:start + 2] != b"\x88\xba":
        return []
    counters = []
    for tag, pdu in _tlvs(frame[start + 10:]):
        if tag != 0x60:
            continue
        for tag, seq in _tlvs(pdu):
            if tag != 0xA2:
                continue
            for _, asdu in _tlvs(seq):
                for tag, value in _tlvs(asdu):
                    if tag == 0x82:
                        counters.append(int.from_bytes(value, "big"))
    return counters
