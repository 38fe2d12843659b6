"""Publishing what an SCL file designs: the GOOSE data set's values from the
members' types, and SV streams from SampledValueControl blocks.

:func:`goose_values` gives a GOOSE data set's initial values (false, 0, 0.0,
"", Dbpos off, Quality good, Timestamp now), with values given by member
name (``XCBR1.Pos.stVal=on``) checked against the member's type first;
:func:`goose_block` a :class:`valdrin.goose.GooseBlock` of a control block.
:func:`sv_stream` a :class:`valdrin.sv.Stream` of an SV control block whose
data set is value + quality pairs (the 9-2LE / 61869-9 layout), currents and
voltages told apart by their logical node class and data object.
"""

from __future__ import annotations

import math
import time
from datetime import datetime, timezone
from typing import Sequence

from .data import (BitStringData, BoolData, Data, FloatData, IntData, MmsStringData, OctetStringData, StructureData,
                   TimestampData, UIntData, VisibleStringData)
from .scl import SMP_MODS, ControlBlock, Member, SclType

__all__ = ["goose_block", "goose_values", "initial_value", "parse_value", "sv_stream"]

# Integer types: (signed, bits).
_INTEGERS = {"INT8": (True, 8), "INT16": (True, 16), "INT24": (True, 24), "INT32": (True, 32), "INT64": (True, 64),
             "INT128": (True, 128), "INT8U": (False, 8), "INT16U": (False, 16), "INT24U": (False, 24),
             "INT32U": (False, 32)}
_STRINGS = {"VisString32": 32, "VisString64": 64, "VisString65": 65, "VisString129": 129, "VisString255": 255,
            "ObjRef": 129, "Currency": 3}
# Two-bit codes by name (bit 0 first on the wire).
_CODES = {"Dbpos": ("intermediate", "off", "on", "bad"), "Tcmd": ("stop", "lower", "higher", "reserved"),
          "Check": ("none", "interlock", "synchrocheck", "both")}
_QUALITY = {"good": 0x0000, "invalid": 0x4000, "questionable": 0xC000}  # validity (bits 0-1), 16-bit word
_QUALITY_BITS = 13
_TIME_QUALITY = 0x0A  # clock synchronised, 10 bits of accuracy


def _two_bits(code: int) -> BitStringData:
    return BitStringData(bytes([code << 6]), unused_bits=6)


def _quality(word: int) -> BitStringData:
    """The 13 quality bits, bit 0 first: the top 13 bits of the 16-bit ``word``."""
    return BitStringData(word.to_bytes(2, "big"), unused_bits=16 - _QUALITY_BITS)


def initial_value(t: SclType, member: str) -> Data:
    """The value a member of type ``t`` starts with; ValueError naming the member when no GOOSE Data carries it."""
    b = t.btype
    if b == "Struct":
        return StructureData([initial_value(m, f"{member}.{m.name}") for m in t.members])
    if b == "BOOLEAN":
        return BoolData(False)
    if b in _INTEGERS:
        return (IntData if _INTEGERS[b][0] else UIntData)(0)
    if b == "Enum":
        return IntData(t.enum[0][0] if t.enum else 0)
    if b in ("FLOAT32", "FLOAT64"):
        return FloatData(0.0, double=b == "FLOAT64")
    if b in _CODES:
        return _two_bits(1 if b == "Dbpos" else 0)
    if b == "Quality":
        return _quality(0)
    if b == "Timestamp":
        return TimestampData(time.time(), _TIME_QUALITY)
    if b in _STRINGS:
        return VisibleStringData("")
    if b == "Unicode255":
        return MmsStringData("")
    if b == "Octet64":
        return OctetStringData(b"")
    raise ValueError(f"{member}: type {b} cannot be published")


def parse_value(t: SclType, member: str, text: str) -> Data:
    """``text`` as a value of type ``t``; ValueError of one line naming the member and its type when it does not fit."""
    b = t.btype

    def bad(expected: str) -> ValueError:
        return ValueError(f"{member} ({b}): {text!r} is not {expected}")

    if b == "BOOLEAN":
        words = {"true": True, "1": True, "on": True, "false": False, "0": False, "off": False}
        if text.lower() not in words:
            raise bad("true or false")
        return BoolData(words[text.lower()])
    if b in _INTEGERS or b == "Enum":
        if b == "Enum":
            names = {name: ordinal for ordinal, name in t.enum}
            if text in names:
                return IntData(names[text])
        try:
            number = int(text, 0)
        except ValueError:
            raise bad("an integer" if b != "Enum" else f"one of {', '.join(n for _, n in t.enum)}") from None
        if b == "Enum":
            if t.enum and number not in dict(t.enum):
                raise bad(f"one of {', '.join(n for _, n in t.enum)}")
            return IntData(number)
        signed, bits = _INTEGERS[b]
        low, high = (-(1 << bits - 1), (1 << bits - 1) - 1) if signed else (0, (1 << bits) - 1)
        if not low <= number <= high:
            raise bad(f"an integer from {low} to {high}")
        return (IntData if signed else UIntData)(number)
    if b in ("FLOAT32", "FLOAT64"):
        try:
            number = float(text)
        except ValueError:
            raise bad("a number") from None
        if b == "FLOAT32" and math.isfinite(number) and abs(number) > 3.4028234663852886e38:
            raise bad("within FLOAT32's range")
        return FloatData(number, double=b == "FLOAT64")
    if b in _CODES:
        names = _CODES[b]
        if text in names:
            return _two_bits(names.index(text))
        raise bad(f"one of {', '.join(names)}")
    if b == "Quality":
        if text in _QUALITY:
            return _quality(_QUALITY[text])
        try:
            bits = int(text, 0)
        except ValueError:
            raise bad(f"one of {', '.join(_QUALITY)} or the 13 bits as a number") from None
        if not 0 <= bits < 1 << _QUALITY_BITS:
            raise bad(f"one of {', '.join(_QUALITY)} or the 13 bits as a number")
        return _quality(bits << (16 - _QUALITY_BITS))
    if b == "Timestamp":
        if text == "now":
            return TimestampData(time.time(), _TIME_QUALITY)
        try:
            moment = datetime.fromisoformat(text.replace("Z", "+00:00"))
        except ValueError:
            raise bad("'now' or an ISO time such as 2024-01-01T00:00:00Z") from None
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=timezone.utc)
        return TimestampData(moment, _TIME_QUALITY)
    if b in _STRINGS:
        if not text.isascii() or len(text) > _STRINGS[b]:
            raise bad(f"ASCII text of at most {_STRINGS[b]} characters")
        return VisibleStringData(text)
    if b == "Unicode255":
        if len(text) > 255:
            raise bad("text of at most 255 characters")
        return MmsStringData(text)
    if b == "Octet64":
        try:
            octets = bytes.fromhex(text)
        except ValueError:
            raise bad("hexadecimal octets") from None
        if len(octets) > 64:
            raise bad("at most 64 octets")
        return OctetStringData(octets)
    if b == "Struct":
        raise bad("a basic value: name one of its components (" + ", ".join(m.name for m in t.members) + ")")
    raise ValueError(f"{member}: type {b} cannot be published")


def _short(ref: str) -> str:
    return ref.split("/", 1)[-1]


def _names(ref: str, name: str) -> bool:
    """Whether ``name`` is the reference ``ref`` or its last components."""
    return ref == name or ref.endswith("." + name) or ref.endswith("/" + name)


def _find(members: Sequence[Member], name: str) -> tuple[int, list[str]]:
    """The index of the member ``name`` names (its reference or last components, or those and then a path of
    components below it) and that path."""
    parts = name.split(".")
    for k in range(len(parts), 0, -1):
        head, path = ".".join(parts[:k]), parts[k:]
        hits = [i for i, m in enumerate(members) if _names(m.ref, head)]
        if len(hits) > 1:
            raise ValueError(f"{name!r} names several data set members: "
                             + ", ".join(_short(members[i].ref) for i in hits) + "; give more of the reference")
        if hits:
            return hits[0], path
    raise ValueError(f"no data set member named {name!r}")


def _with_component(t: SclType, value: Data, path: list[str], member: str, text: str) -> Data:
    if not path:
        return parse_value(t, member, text)
    if t.btype != "Struct" or not isinstance(value, StructureData):
        raise ValueError(f"{member} ({t.btype}) has no component {path[0]!r}")
    names = [m.name for m in t.members]
    if path[0] not in names:
        raise ValueError(f"{member} has no component {path[0]!r} (it has {', '.join(names)})")
    k = names.index(path[0])
    members = list(value.members)
    members[k] = _with_component(t.members[k], members[k], path[1:], f"{member}.{path[0]}", text)
    return StructureData(members)


def goose_values(cb: ControlBlock, assignments: Sequence[str] = ()) -> list[Data]:
    """The data set's values: initial by type, then each ``MEMBER=VALUE`` of ``assignments``;
    ValueError of one line for a member that does not resolve, cannot be carried, or a value that does not fit."""
    if cb.data_set is None:
        raise ValueError(f"{cb.ref} has no data set to publish")
    values = []
    for m in cb.members:
        if m.type is None:
            raise ValueError(f"{cb.ref}: data set member {m.ref} does not resolve in the file")
        values.append(initial_value(m.type, m.ref))
    for assignment in assignments:
        name, sep, text = assignment.partition("=")
        if not sep:
            raise ValueError(f"not MEMBER=VALUE: {assignment!r}")
        index, path = _find(cb.members, name.strip())
        member = cb.members[index]
        values[index] = _with_component(member.type, values[index], path, _short(member.ref), text)
    return values


def goose_block(cb: ControlBlock, values: Sequence[Data], src_mac: bytes, **overrides):
    """A :class:`valdrin.goose.GooseBlock` of a GOOSE control block; keyword ``overrides`` (gocb_ref, go_id,
    dat_set, conf_rev, dst, app_id, vlan_id, vlan_priority, min_time_ms, max_time_ms) replace the file's."""
    from . import goose

    field = {key: overrides.get(key, getattr(cb, key if key != "gocb_ref" else "ref")) for key in (
        "gocb_ref", "id", "dat_set", "conf_rev", "dst", "app_id", "vlan_id", "vlan_priority", "min_time_ms",
        "max_time_ms")}
    for key, option in (("dst", "MAC-Address"), ("app_id", "APPID"), ("dat_set", "datSet")):
        if field[key] is None:
            raise ValueError(f"{cb.ref} has no {option} in the file: give it on the command line")
    pdu = goose.GoosePDU(field["gocb_ref"], field["dat_set"], field["id"],
                         conf_rev=1 if field["conf_rev"] is None else field["conf_rev"], time_quality=_TIME_QUALITY,
                         all_data=list(values))
    dst = field["dst"]
    dst = bytes.fromhex(dst.replace(":", "")) if isinstance(dst, str) else dst
    return goose.GooseBlock(pdu, dst, field["app_id"], src_mac=src_mac, vlan_id=field["vlan_id"],
                            vlan_priority=field["vlan_priority"],
                            min_time_ms=field["min_time_ms"] or 2.0, max_time_ms=field["max_time_ms"] or 1000.0)


# --- Sampled Values -------------------------------------------------------------------

# Channel kinds by logical node class, then by data object.
_CURRENT_LN, _VOLTAGE_LN = ("TCTR",), ("TVTR",)
_CURRENT_DO, _VOLTAGE_DO = ("Amp", "AmpSv", "A"), ("Vol", "VolSv", "PhV", "V")


def _channel_kind(ref: str) -> str:
    """'current' or 'voltage' from an FCDA reference's LN class and DO, '' when neither."""
    ln, _, rest = _short(ref).partition(".")
    do = rest.split(".")[0]
    if any(c in ln for c in _CURRENT_LN) or do in _CURRENT_DO:
        return "current"
    if any(c in ln for c in _VOLTAGE_LN) or do in _VOLTAGE_DO:
        return "voltage"
    return ""


def sv_channels(cb: ControlBlock) -> list[str]:
    """Each channel's kind ('current', 'voltage' or '') of an SV data set of INT32 value + Quality pairs;
    ValueError naming the first member the engine cannot carry."""
    if cb.data_set is None:
        raise ValueError(f"{cb.ref} has no data set to publish")
    leaves: list[tuple[str, str]] = []   # (type, member)
    for m in cb.members:
        if m.type is None:
            raise ValueError(f"{cb.ref}: data set member {m.ref} does not resolve in the file")
        leaves += [(leaf, m.ref) for leaf in m.type.leaves()]
    channels = []
    for k in range(0, len(leaves), 2):
        pair = leaves[k:k + 2]
        if pair[0][0] != "INT32":
            raise ValueError(f"{cb.ref}: member {_short(pair[0][1])} is {pair[0][0]}: the SV publisher carries "
                             f"INT32 values each followed by its Quality")
        if len(pair) < 2 or pair[1][0] != "Quality":
            what = "nothing" if len(pair) < 2 else f"{_short(pair[1][1])} ({pair[1][0]})"
            raise ValueError(f"{cb.ref}: member {_short(pair[0][1])} (INT32) is followed by {what}, not its Quality")
        channels.append(_channel_kind(pair[0][1]))
    if not channels:
        raise ValueError(f"{cb.ref}: its data set is empty")
    return channels


def sv_stream(cb: ControlBlock, nominal_hz: float, src_mac: bytes, defaults: Sequence, **overrides):
    """A :class:`valdrin.sv.Stream` of an SV control block. ``defaults`` are the eight 9-2LE waves (Ia Ib Ic In Va
    Vb Vc Vn): the currents of the data set take the first four in turn, its voltages the last four, at the
    nominal frequency; a channel of neither kind is zero. Keyword ``overrides`` (id, dat_set, conf_rev, dst,
    app_id, vlan_id, vlan_priority, smp_rate) replace the file's."""
    from dataclasses import replace

    from .sv import Stream

    field = {key: overrides.get(key, getattr(cb, key)) for key in (
        "id", "dat_set", "conf_rev", "dst", "app_id", "vlan_id", "vlan_priority", "smp_rate")}
    for key, option in (("dst", "MAC-Address"), ("app_id", "APPID"), ("id", "smvID")):
        if field[key] is None:
            raise ValueError(f"{cb.ref} has no {option} in the file: give it on the command line")
    waves, seen = [], {"current": 0, "voltage": 0, "": 0}
    for kind in sv_channels(cb):
        n = seen[kind] % 4
        seen[kind] += 1
        wave = defaults[n + (4 if kind == "voltage" else 0)]
        waves.append(replace(wave, frequency_hz=nominal_hz, amplitude=wave.amplitude if kind else 0.0))
    mod = cb.smp_mod if cb.smp_mod != "SmpPerPeriod" else None
    return Stream(field["id"], waves, dat_set=field["dat_set"],
                  conf_rev=1 if field["conf_rev"] is None else field["conf_rev"], smp_rate=field["smp_rate"],
                  smp_mod=None if mod is None else SMP_MODS[mod], dst_mac=field["dst"], src_mac=src_mac,
                  app_id=field["app_id"], vlan_id=field["vlan_id"],
                  vlan_priority=None if field["vlan_id"] is None else field["vlan_priority"])
