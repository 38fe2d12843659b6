"""Decoded frames as text for people: times, MAC addresses, Data values, the
fields of GOOSE PDUs and of SV ASDUs with their samples; the confRev lines of
an analysis report."""

from __future__ import annotations

import math
import struct
from datetime import datetime, timedelta

from typing import TYPE_CHECKING

from .. import values

if TYPE_CHECKING:
    from ..listen import Report

_BTIME_EPOCH = datetime(1984, 1, 1)  # IEC 61850 TimeOfDay counts days from 1984-01-01
_SMP_SYNCH = {0: "none", 1: "local", 2: "global"}
_SMP_MOD = {0: "samples per nominal period", 1: "samples per second", 2: "seconds per sample"}


def iso_ns(nanoseconds: int | None) -> str:
    """UTC time with nanoseconds, like 2023-11-14T22:13:20.000250000Z."""
    return "(no time)" if nanoseconds is None else values.iso_ns(nanoseconds)


def _utc(seconds: int, fraction: int, quality: int) -> str:
    """A UtcTime: the fraction counts 2**-24 s; the quality octet's flags spelled out."""
    nanoseconds = values.UtcTime(seconds, fraction, quality).ns
    flags = [name for bit, name in ((0x80, "leap seconds known"), (0x40, "clock failure"),
                                    (0x20, "clock not synchronised")) if quality & bit]
    accuracy = quality & 0x1F
    flags.append("accuracy unspecified" if accuracy == 31 else f"{accuracy}-bit accuracy")
    return f"{iso_ns(nanoseconds)} quality 0x{quality:02x} ({', '.join(flags)})"


def _utc_octets(octets: bytes) -> str:
    return _utc(int.from_bytes(octets[:4], "big"), int.from_bytes(octets[4:7], "big"), octets[7])


def _btime(octets: bytes) -> str:
    """A 6-octet TimeOfDay: milliseconds since midnight, then days since 1984-01-01."""
    milliseconds, days = int.from_bytes(octets[:4], "big"), int.from_bytes(octets[4:], "big")
    try:
        moment = _BTIME_EPOCH + timedelta(days=days, milliseconds=milliseconds)
    except OverflowError:
        return octets.hex()
    return f"{moment.isoformat(timespec='milliseconds')}Z ({octets.hex()})"


def _text(octets: bytes) -> str:
    """Octets of a VisibleString, quoted, with anything outside printable ASCII as \\xNN."""
    if octets.isascii():
        text = octets.decode("ascii")
        if text.isprintable() and '"' not in text and "\\" not in text:
            return f'"{text}"'
    out = []
    for octet in octets:
        if octet in (0x22, 0x5C):
            out.append("\\" + chr(octet))
        elif 0x20 <= octet <= 0x7E:
            out.append(chr(octet))
        else:
            out.append(f"\\x{octet:02x}")
    return '"' + "".join(out) + '"'


def _unicode(octets: bytes) -> str:
    """An MMSString: UTF-8 when it is printable, else as _text."""
    try:
        text = octets.decode("utf-8")
    except UnicodeDecodeError:
        return _text(octets)
    if not text.isprintable():
        return _text(octets)
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _f32(pattern: int) -> str:
    """An IEEE single: the shortest decimal that reads back to the same single."""
    (value,) = struct.unpack(">f", pattern.to_bytes(4, "big"))
    if math.isnan(value):
        return f"nan (0x{pattern:08x})"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    for digits in range(1, 10):
        candidate = float(f"{value:.{digits}g}")
        try:
            if struct.unpack(">f", struct.pack(">f", candidate))[0] == value:
                return repr(candidate)  # the same digits, written as Python writes floats
        except OverflowError:  # rounded past the largest single
            continue
    return repr(value)  # never reached: 9 significant digits tell every single apart


def _bits(octets: bytes, unused: int) -> str:
    """A BIT STRING as its bits, bit 0 (the first octet's top bit) first."""
    count = len(octets) * 8 - unused
    if not 0 <= unused <= 7 or count < 0:
        return f"{octets.hex() or '(empty)'} ({unused} unused bits)"
    bits = bin(int.from_bytes(octets, "big"))[2:].zfill(len(octets) * 8)[:count] if octets else ""
    return bits or "(empty)"


def _members(item: tuple) -> str:
    noun = "member" if item[0] == "struct" else "element"
    return f"of {item[1]} {noun}{'' if item[1] == 1 else 's'}"


# What follows the kind in the text of each Data tuple of decode_goose_frame.
_VALUE_TEXTS = {
    "bool": lambda item: "true" if item[1] else "false",
    "int": lambda item: repr(item[1]),
    "uint": lambda item: repr(item[1]),
    "f64": lambda item: repr(item[1]),
    "f32": lambda item: _f32(item[1]),
    "bits": lambda item: _bits(item[1], item[2]),
    "visible": lambda item: _text(item[1]),
    "mms": lambda item: _unicode(item[1]),
    "octets": lambda item: item[1].hex() or "(empty)",
    "utc": lambda item: _utc_octets(item[1]),
    "btime": lambda item: _btime(item[1]),
    "struct": _members,
    "array": _members,
    "raw": lambda item: f"tag 0x{item[1]:X} {item[2].hex() or '(empty)'}",
}


def _value(item: tuple) -> str:
    """One Data tuple of decode_goose_frame as text."""
    text = _VALUE_TEXTS.get(item[0])
    return repr(item) if text is None else f"{item[0]} {text(item)}"


def _all_data(values: list[tuple]) -> list[str]:
    """The flat pre-order Data tuples as indented lines, top-level values numbered."""
    lines, open_members, index = [], [], 0  # open_members: members still due per open container
    for item in values:
        if open_members:
            lines.append("    " + "  " * len(open_members) + _value(item))
            open_members[-1] -= 1
        else:
            lines.append(f"    [{index}] {_value(item)}")
            index += 1
        if item[0] in ("struct", "array") and item[1] > 0:
            open_members.append(item[1])
        while open_members and open_members[-1] == 0:
            open_members.pop()
    return lines


def mac(octets: bytes) -> str:
    """A MAC address like 01:0c:cd:04:00:01."""
    return octets.hex(":")


def frame_heading(number: int, time_ns: int | None, kind: str, frame: dict) -> str:
    """The first line of a frame's listing: number, time, kind and the link header."""
    parts = [f"frame {number}", iso_ns(time_ns), kind,
             f"{mac(frame['src_mac'])} > {mac(frame['dst_mac'])}"]
    if frame["vlan_id"] is not None:
        parts.append(f"VLAN {frame['vlan_id']} priority {frame['vlan_priority']}")
    parts.append(f"APPID 0x{frame['app_id']:04x}")
    if frame["reserved1"] or frame["reserved2"]:
        parts.append(f"reserved1 0x{frame['reserved1']:04x} reserved2 0x{frame['reserved2']:04x}")
    return "  ".join(parts)


def goose_lines(pdu: dict) -> list[str]:
    """The fields of a decoded GOOSE PDU, then its Data values, one per line."""
    entries = pdu["num_dat_set_entries"]
    count = f"{entries}" if entries == pdu["entries"] else f"{entries} (allData holds {pdu['entries']})"
    t = pdu["t"]
    lines = [
        f"  gocbRef {_text(pdu['gocb_ref'])}",
        f"  datSet {_text(pdu['dat_set'])}",
        f"  goID {'(absent)' if pdu['go_id'] is None else _text(pdu['go_id'])}",
        f"  t {_utc_octets(t)}",
        f"  stNum {pdu['st_num']}  sqNum {pdu['sq_num']}  timeAllowedtoLive {pdu['time_allowed_to_live']} ms"
        f"  confRev {pdu['conf_rev']}",
        f"  simulation {'true' if pdu['simulation'] else 'false'}  ndsCom {'true' if pdu['nds_com'] else 'false'}",
        f"  numDatSetEntries {count}",
        "  allData" + ("" if pdu["all_data"] else " (empty)"),
    ]
    return lines + _all_data(pdu["all_data"])


def sv_lines(security: bytes | None, asdus: list[dict]) -> list[str]:
    """The security octets (when present) and every ASDU of a decoded savPdu with its samples."""
    from ..sv_frames import samples_of  # the ASDU's samples: only when there are SV frames to show
    lines = [] if security is None else [f"  security {security.hex() or '(empty)'}"]
    for n, asdu in enumerate(asdus, start=1):
        synch = asdu["smp_synch"]
        head = (f"  ASDU {n}/{len(asdus)}  svID {_text(asdu['sv_id'])}  smpCnt {asdu['smp_cnt']}"
                f"  confRev {asdu['conf_rev']}  smpSynch {synch}" + (f" ({_SMP_SYNCH[synch]})" if synch in _SMP_SYNCH else ""))
        if asdu["smp_rate"] is not None:
            head += f"  smpRate {asdu['smp_rate']}"
        if asdu["smp_mod"] is not None:
            mod = asdu["smp_mod"]
            head += f"  smpMod {mod}" + (f" ({_SMP_MOD[mod]})" if mod in _SMP_MOD else "")
        lines.append(head)
        if asdu["dat_set"] is not None:
            lines.append(f"    datSet {_text(asdu['dat_set'])}")
        if asdu["refr_tm"] is not None:
            lines.append(f"    refrTm {_utc(*asdu['refr_tm'])}")
        if asdu["gm_identity"] is not None:
            lines.append(f"    gmIdentity {asdu['gm_identity'].hex()}")
        channels = samples_of(asdu["sample"])
        if channels is None:
            lines.append(f"    sample of {len(asdu['sample'])} octets, not whole channels: {asdu['sample'].hex()}")
        else:
            lines.append("    samples " + (" ".join(f"({v}, 0x{q:04x})" for v, q in channels) or "(none)"))
    return lines


def conf_rev_lines(report: Report, expected: int | None) -> list[str]:
    """A line per SV stream and GOOSE block that carried a confRev other than `expected`
    (the analysis counted them against it): how many ASDUs or frames, the first such
    confRev and when it came, and the last confRev."""
    if expected is None:
        return []
    lines = []
    for kind, items, name, unit in (("SV", report.sv, "sv_id", "ASDUs"), ("GOOSE", report.goose, "gocb_ref", "frames")):
        for item in items:
            other = item["unexpected_conf_rev"]
            if other is not None:
                lines.append(f"{kind} {item[name]} (0x{item['app_id']:04x}): {other[unit.lower()]:,} {unit} of a "
                             f"confRev other than {expected}, the first {other['first']} at {iso_ns(other['first_ns'])}"
                             f" (last confRev {item['conf_rev']})")
    return lines
