"""Frames checked against Wireshark's dissectors, in one tshark run over one pcap.

Frames the package writes (encode_goose_frame, the SV engine) must dissect with
no malformed packet or expert warning, every field equal to what was meant;
frames laid out by hand must decode with decode_goose_frame/decode_sv_frame to
what tshark reports. Both sides are brought to one plain form: a dict per
frame, allData as a flat pre-order list of tuples. tshark cannot show the
TimeQuality octet of a UtcTime, and keeps timeAllowedtoLive, confRev,
numDatSetEntries and INTEGER/Unsigned values in 32 bits: those compare
modulo 2**32.
"""

from __future__ import annotations

import json
import math
import os
import re
import shutil
import struct
import subprocess
from dataclasses import asdict, astuple
from datetime import datetime, timezone

import pytest

import valdrin_rt
from valdrin import sv
from valdrin.data import (
    ArrayData, BitStringData, BoolData, FloatData, IntData, MmsStringData, OctetStringData,
    RawData, StructureData, TimestampData, UIntData, VisibleStringData,
)
from valdrin.goose import GoosePDU

from ber import tlv
from sv_model import in_fault_window, synthesize

TSHARK = shutil.which("tshark")
pytestmark = pytest.mark.skipif(TSHARK is None, reason="tshark not found on PATH")

h = bytes.fromhex
FRACTION_ONE = 1 << 24


class Node(list):
    """A JSON object as tshark writes it: (key, value) pairs in order, keys repeated."""

    def all(self, key):
        return [value for name, value in self if name == key]

    def get(self, key):
        values = self.all(key)
        assert len(values) <= 1, f"{key} occurs {len(values)} times"
        return values[0] if values else None

    def one(self, key):
        assert len(self.all(key)) == 1, f"{key} not once in {[name for name, _ in self]}"
        return self.get(key)


def complaints(node):
    """Malformed-packet marks and expert items of warning (0x600000) or error (0x800000) severity."""
    if not isinstance(node, list):
        return []
    if not isinstance(node, Node):
        return [c for value in node for c in complaints(value)]
    found = []
    for key, value in node:
        if key.startswith("_ws.malformed"):
            found.append(key)
        if key == "_ws.expert" and isinstance(value, Node) and int(value.get("_ws.expert.severity") or 0) >= 0x600000:
            found.append(value.get("_ws.expert.message"))
        found += complaints(value)
    return found


def low32(value):
    return value % 2**32


def mac_text(octets):
    return ":".join(f"{o:02x}" for o in octets)


def hex_octets(text):
    return bytes.fromhex(text.replace(":", ""))


def utc_from_text(text):
    """(seconds, fraction in 2**-24 s) of tshark's UtcTime text; a fraction unit is
    59.6 ns, so the nearest one to the printed nanoseconds is the one on the wire."""
    date, ns = re.fullmatch(r"(.+)\.(\d{9}) UTC", text).groups()
    at = datetime.strptime(date, "%b %d, %Y %H:%M:%S").replace(tzinfo=timezone.utc)
    return int(at.timestamp()), round(int(ns) * FRACTION_ONE / 10**9)


def utc_from_octets(octets):
    return int.from_bytes(octets[:4], "big"), int.from_bytes(octets[4:7], "big")


def utc_of(value):
    """(seconds, fraction) of a timestamp given as a datetime or as POSIX seconds."""
    if isinstance(value, datetime):
        return (int(value.replace(microsecond=0, tzinfo=timezone.utc).timestamp()),
                round(value.microsecond * FRACTION_ONE / 10**6))
    seconds = math.floor(value)
    return seconds, round((value - seconds) * FRACTION_ONE)


def opt(value, convert):
    return None if value is None else convert(value)


# --- the plain form of each side ---------------------------------------------------

def plain_link(dst, src, vlan, app_id, frame, reserved=(0, 0)):
    return {"dst": mac_text(dst), "src": mac_text(src), "vlan": vlan, "app_id": app_id,
            "length": len(frame) - (14 if vlan is None else 18), "reserved": reserved}


def tshark_link(layers, protocol):
    eth, vlan, pdu = layers.one("eth"), layers.get("vlan"), layers.one(protocol)
    assert layers.one("frame").one("frame.protocols").endswith(f":ethertype:{protocol}")
    return {"dst": eth.one("eth.dst"), "src": eth.one("eth.src"),
            "vlan": None if vlan is None else (int(vlan.one("vlan.id")), int(vlan.one("vlan.priority"))),
            "app_id": int(pdu.one(f"{protocol}.appid"), 16), "length": int(pdu.one(f"{protocol}.length")),
            "reserved": (int(pdu.one(f"{protocol}.reserve1"), 16), int(pdu.one(f"{protocol}.reserve2"), 16))}


def decoded_link(frame, raw):
    vlan = None if frame["vlan_id"] is None else (frame["vlan_id"], frame["vlan_priority"])
    return plain_link(frame["dst_mac"], frame["src_mac"], vlan, frame["app_id"], raw,
                      (frame["reserved1"], frame["reserved2"]))


# Plain name: tshark's field. The last three are compared modulo 2**32.
GOOSE_FIELDS = dict(gocb_ref="gocbRef", dat_set="datSet", go_id="goID", st_num="stNum", sq_num="sqNum",
                    simulation="simulation", nds_com="ndsCom", time_allowed_to_live="timeAllowedtoLive",
                    conf_rev="confRev", num_dat_set_entries="numDatSetEntries")
TEXTS, FLAGS = ("gocb_ref", "dat_set", "go_id"), ("simulation", "nds_com")


def goose_view(link, fields, t, entries, all_data):
    for name in ("time_allowed_to_live", "conf_rev", "num_dat_set_entries"):
        fields[name] = low32(fields[name])
    return {**link, **fields, "t": t, "entries": entries, "all_data": all_data}


def bits_of(fields):
    if "ber.bitstring.empty" in fields:  # 84 01 00: no bits at all
        return "bits", b"", 0
    return "bits", hex_octets(fields["goose.bit_string"]), int(fields.get("ber.bitstring.padding", "0"))


TSHARK_VALUES = {  # tshark field: the plain form of the value, from the text and all fields
    "goose.boolean": lambda v, f: ("bool", v == "1"),
    "goose.integer": lambda v, f: ("int", low32(int(v))),
    "goose.unsigned": lambda v, f: ("uint", low32(int(v))),
    "goose.floating_point": lambda v, f: ("float", hex_octets(v)),
    "goose.bit_string": lambda v, f: bits_of(f),
    "goose.octet_string": lambda v, f: ("octets", hex_octets(v)),
    "goose.visible_string": lambda v, f: ("visible", v),
    "goose.mMSString": lambda v, f: ("mms", v),
    "goose.utc_time": lambda v, f: ("utc", *utc_from_text(v)),
    "goose.binary_time": lambda v, f: ("btime", hex_octets(v)),
}


def tshark_data(tree):
    values = []
    for element in [] if tree is None else tree.all("goose.Data_tree"):
        fields = dict(element)
        nested = [(kind, name) for kind, name in (("struct", "structure"), ("array", "array"))
                  if f"goose.{name}" in fields]
        if nested:
            (kind, name), = nested
            values += [(kind, int(fields[f"goose.{name}"])), *tshark_data(element.get(f"goose.{name}_tree"))]
        else:
            values.append(next((read(fields[key], fields) for key, read in TSHARK_VALUES.items() if key in fields),
                               ("other", sorted(fields))))
    return values


def tshark_goose(layers):
    pdu = layers.one("goose").one("goose.goosePdu_element")
    fields = {}
    for name, key in GOOSE_FIELDS.items():
        text = (pdu.get if name == "go_id" else pdu.one)(f"goose.{key}")
        fields[name] = text if name in TEXTS else text == "1" if name in FLAGS else int(text)
    return goose_view(tshark_link(layers, "goose"), fields, utc_from_text(pdu.one("goose.t")),
                      int(pdu.one("goose.allData")), tshark_data(pdu.get("goose.allData_tree")))


def tshark_sv(layers):
    sav = layers.one("sv").one("sv.savPdu_element")
    asdus = [{
        "sv_id": asdu.one("sv.svID"), "dat_set": asdu.get("sv.datSet"),
        **{name: int(asdu.one(f"sv.{key}")) for name, key in
           (("smp_cnt", "smpCnt"), ("conf_rev", "confRev"), ("smp_synch", "smpSynch"))},
        **{name: opt(asdu.get(f"sv.{key}"), int) for name, key in (("smp_rate", "smpRate"), ("smp_mod", "smpMod"))},
        "refr_tm": opt(asdu.get("sv.refrTm"), utc_from_text),
        "gm_identity": opt(asdu.get("sv.gmidentity"), lambda v: int(v, 16)),
        "samples": list(zip((int(v) for v in asdu.one("PhsMeas1").all("sv.meas_value")),
                            (int(q, 16) for q in asdu.one("PhsMeas1").all("sv.meas_quality")))),
    } for asdu in sav.one("sv.seqASDU_tree").all("sv.ASDU_element")]
    return {**tshark_link(layers, "sv"), "no_asdu": int(sav.one("sv.noASDU")),
            "seq_asdu": int(sav.one("sv.seqASDU")), "asdus": asdus}


MEANT_VALUES = {
    BoolData: lambda v: ("bool", v.value),
    IntData: lambda v: ("int", low32(v.value)),
    UIntData: lambda v: ("uint", low32(v.value)),
    FloatData: lambda v: ("float", b"\x0b" + struct.pack(">d", v.value) if v.double
                          else b"\x08" + struct.pack(">f", v.value)),
    BitStringData: lambda v: ("bits", bytes(v.value), v.unused_bits),
    OctetStringData: lambda v: ("octets", bytes(v.value)),
    VisibleStringData: lambda v: ("visible", "".join(c if ord(c) < 128 else "?" for c in v.value)),
    MmsStringData: lambda v: ("mms", v.value),
    TimestampData: lambda v: ("utc", *utc_of(v.value)),
    RawData: lambda v: {0x8C: ("btime", bytes(v.value)),
                        0x85: ("int", low32(int.from_bytes(v.value, "big", signed=True)))}[v.tag],
}


def meant_data(values):
    out = []
    for value in values:
        if isinstance(value, (StructureData, ArrayData)):
            items = value.members if isinstance(value, StructureData) else value.elements
            out += [("struct" if isinstance(value, StructureData) else "array", len(items)), *meant_data(items)]
        else:
            out.append(MEANT_VALUES[type(value)](value))
    return out


def meant_goose(pdu, app_id, vlan, frame):
    return goose_view(plain_link(DST, SRC, vlan, app_id, frame), {name: getattr(pdu, name) for name in GOOSE_FIELDS},
                      utc_of(pdu.timestamp), len(pdu.all_data), meant_data(pdu.all_data))


def samples_meant(stream, rate, second, index):
    playback = stream.playback
    if playback is not None:
        row = second * rate + index - playback.start
        if playback.period is not None:
            row %= playback.period
        if 0 <= row < len(playback.values):
            qualities = (playback.qualities[row] if playback.qualities is not None
                         else [wave.quality for wave in stream.channels])
            return list(zip(playback.values[row], qualities))
    waves = stream.channels
    if stream.fault is not None and in_fault_window(asdict(stream.fault), second, index, rate):
        waves = stream.fault.waves
    return [(synthesize(astuple(wave), second, index, rate), wave.quality) for wave in waves]


def meant_sv(stream, rate, asdus, instant, frame):
    vlan = None if stream.vlan_id is None else (stream.vlan_id, stream.vlan_priority)
    second, first = instant
    return {**plain_link(stream.dst_mac, stream.src_mac, vlan, stream.app_id, frame),
            "no_asdu": asdus, "seq_asdu": asdus, "asdus": [{
                "sv_id": stream.sv_id, "dat_set": stream.dat_set, "smp_cnt": (first + t) % rate % 65536,
                "conf_rev": stream.conf_rev, "smp_synch": stream.smp_synch, "smp_rate": stream.smp_rate,
                "smp_mod": stream.smp_mod, "refr_tm": None, "gm_identity": None,
                "samples": samples_meant(stream, rate, second + (first + t) // rate, (first + t) % rate),
            } for t in range(asdus)]}


DECODED_VALUES = {
    "int": lambda v: ("int", low32(v)),
    "uint": lambda v: ("uint", low32(v)),
    "f32": lambda v: ("float", b"\x08" + v.to_bytes(4, "big")),
    "f64": lambda v: ("float", b"\x0b" + struct.pack(">d", v)),
    "visible": lambda v: ("visible", v.decode("latin-1")),
    "mms": lambda v: ("mms", v.decode("utf-8")),
    "utc": lambda v: ("utc", *utc_from_octets(v)),
}


def decoded_goose(raw):
    frame, pdu = valdrin_rt.decode_goose_frame(raw)
    fields = {name: opt(pdu[name], bytes.decode) if name in TEXTS else pdu[name] for name in GOOSE_FIELDS}
    return goose_view(decoded_link(frame, raw), fields, utc_from_octets(pdu["t"]), pdu["entries"],
                      [DECODED_VALUES[v[0]](v[1]) if v[0] in DECODED_VALUES else v for v in pdu["all_data"]])


def decoded_sv(raw):
    frame, (security, asdus) = valdrin_rt.decode_sv_frame(raw)
    assert security is None
    return {**decoded_link(frame, raw), "no_asdu": len(asdus), "seq_asdu": len(asdus), "asdus": [{
        "sv_id": asdu["sv_id"].decode("ascii"), "dat_set": opt(asdu["dat_set"], bytes.decode),
        **{name: asdu[name] for name in ("smp_cnt", "conf_rev", "smp_synch", "smp_rate", "smp_mod")},
        "refr_tm": opt(asdu["refr_tm"], lambda v: v[:2]),
        "gm_identity": opt(asdu["gm_identity"], lambda v: int.from_bytes(v, "big")),
        "samples": [struct.unpack_from(">iI", asdu["sample"], at) for at in range(0, len(asdu["sample"]), 8)],
    } for asdu in asdus]}


# --- frames the package writes ------------------------------------------------------

DST, SRC, SV_DST = h("010ccd010001"), h("0050c2ab0001"), h("010ccd040001")
T_2023 = 1_700_000_000.25  # Nov 14, 2023 22:13:20.25 UTC, exact in binary


def every_kind():
    """One value of every Data kind, nested structures and arrays among them."""
    return [
        BoolData(True), BoolData(False),
        IntData(-5), IntData(0), IntData(127), IntData(128), IntData(-129), IntData(2**31 - 1), IntData(-(2**31)),
        UIntData(0), UIntData(255), UIntData(256), UIntData(2**32 - 1),
        FloatData(1.5), FloatData(0.1), FloatData(-0.0), FloatData(math.inf), FloatData(0.1, double=True),
        FloatData(-1e300, double=True),
        BitStringData(b"\x40", 6), BitStringData(b"\x00\x00", 3), BitStringData(b"\xff\xff\xff", 0),
        OctetStringData(b"\x00\x01\xfe\xff"), OctetStringData(b""),
        VisibleStringData("Pos.stVal"), VisibleStringData(""), VisibleStringData("aé"),
        TimestampData(T_2023, 0x0A), TimestampData(datetime(2024, 2, 29, 12, 0, 0, 500000), 0x8A),
        TimestampData(0x00ABCDEF + 0xFFFFFF / FRACTION_ONE, 0),
        RawData(0x8C, h("0000 0001 3a5c")), RawData(0x85, h("ff80")),
        StructureData([BoolData(True), BitStringData(b"\x00\x00", 3), TimestampData(T_2023, 0x0A)]),
        ArrayData([IntData(1), IntData(-1), IntData(1000)]),
        StructureData([ArrayData([StructureData([UIntData(7), ArrayData([])]), StructureData([])]),
                       StructureData([StructureData([StructureData([FloatData(2.0)])])])]),
        ArrayData([]), StructureData([]),
    ]


def dataset(n):
    """n (stVal, q, t) structures, as a protection relay publishes."""
    return [StructureData([BitStringData(bytes([0x40 if i % 2 else 0x80]), 6), BitStringData(b"\x00\x00", 3),
                           TimestampData(T_2023 + i, 0x0A)]) for i in range(n)]


FULL = dict(gocb_ref="IED1LD0/LLN0$GO$gcbTrip", dat_set="IED1LD0/LLN0$DSTrip", go_id="IED1_Trip",
            time_allowed_to_live=2000, timestamp=T_2023, time_quality=0x0A, st_num=7, sq_num=3,
            simulation=True, conf_rev=200, nds_com=True)
GOOSE_CASES = [  # name, PDU, APPID, (VLAN id, priority) or None
    ("every-kind-vlan", GoosePDU(**FULL, all_data=every_kind()), 0x1234, (100, 5)),
    ("every-kind-untagged", GoosePDU(**FULL, all_data=every_kind()), 0x0001, None),
    ("minimal", GoosePDU("A", "B", time_allowed_to_live=0, st_num=0, conf_rev=0), 0x0000, None),
    ("empty-goid-vlan-0", GoosePDU("A", "B", go_id="", all_data=[BoolData(False)]), 0xFFFF, (0, 0)),
    ("vlan-4095-priority-7", GoosePDU("LD/LLN0$GO$g", "LD/LLN0$DS", all_data=dataset(2)), 0x3FFF, (4095, 7)),
    ("strings-127", GoosePDU("G" * 127, "D" * 127, go_id="I" * 127, all_data=[VisibleStringData("v" * 127)]),
     0x0002, None),
    ("strings-129", GoosePDU("G" * 129, "D" * 129, go_id="I" * 129,
                             all_data=[VisibleStringData("v" * 128), VisibleStringData("w" * 255),
                                       VisibleStringData("x" * 256), OctetStringData(bytes(range(256)))]),
     0x0003, (1, 4)),
    ("numbers-at-32-bits", GoosePDU("A", "B", time_allowed_to_live=2**32 - 1, timestamp=2**32 - 1,
                                    time_quality=0xFF, st_num=2**32 - 1, sq_num=2**32 - 1, conf_rev=2**32 - 1,
                                    num_dat_set_entries=2**32 - 1, all_data=[UIntData(2**32 - 1)]), 0x0004, None),
    ("entries-not-counted", GoosePDU("A", "B", num_dat_set_entries=5, all_data=[IntData(1)]), 0x0005, None),
    ("long-form-data-set", GoosePDU("IED1LD0/LLN0$GO$gcbStatus", "IED1LD0/LLN0$DSStatus", go_id="Status",
                                    st_num=65536, sq_num=128, all_data=dataset(40)), 0x0006, (10, 4)),
    ("64-bit-integers", GoosePDU("A", "B", all_data=[IntData(2**63 - 1), IntData(-(2**63)), UIntData(2**64 - 1),
                                                     IntData(2**31), UIntData(2**32 + 5)]), 0x0007, None),
]


def sv_cases():
    currents = [sv.Wave(1000.0, phase, 50.0, scale=1000.0) for phase in (0.0, -120.0, 120.0)]
    voltages = [sv.Wave(63_500.0, phase, 50.0, scale=100.0, quality=0x2000) for phase in (0.0, -120.0, 120.0)]
    neutral = sv.Wave(offset=0.0)
    rows = [[1, -2, 2**31 - 1, -(2**31)], [0, 0, 0, 0], [100, 200, 300, 400], [-1, -1, -1, -1],
            [5, 6, 7, 8], [9, 10, 11, 12], [13, 14, 15, 16], [17, 18, 19, 20]]
    playback = sv.Playback(rows, [[0, 1, 0x2000, 0xFFFFFFFF], [2, 3, 0x800, 0x40]] * 4, period=8, start=3)
    fault = sv.Fault([sv.Wave(offset=-7.0, quality=0x41)] * 3, cycle_s=2)
    streams = [
        # 9-2 LE-like: 4 currents and 4 voltages, one ASDU, none of the optional fields.
        ("8ch-1asdu", sv.Stream("MU01", [*currents, neutral, *voltages, neutral]), 4000, 1,
         [(1_700_000_000, 0), (1_700_000_000, 1), (1_700_000_000, 3999), (1_700_000_001, 17)]),
        ("4ch-8asdu-playback", sv.Stream("MU02", [sv.Wave()] * 4, dat_set="MU02LD0/LLN0$PhsMeas1", conf_rev=3,
                                         smp_synch=1, smp_rate=80, smp_mod=0, vlan_id=5, app_id=0x4001,
                                         src_mac="00:50:c2:ab:00:02", playback=playback), 4000, 8,
         [(1_700_000_000, 0), (1_700_000_000, 3996), (1_700_000_001, 8)]),
        ("1ch-limits", sv.Stream("S" * 129, [sv.Wave(offset=2.5)], dat_set="D" * 129, conf_rev=2**32 - 1,
                                 smp_synch=2, smp_rate=4800, smp_mod=1, vlan_id=4095, vlan_priority=7,
                                 app_id=0x7FFF, dst_mac="01:0c:cd:04:01:ff"), 4800, 1,
         [(1_700_000_000, 4799), (1_700_000_001, 0)]),
        ("3ch-8asdu-fault", sv.Stream("MU04", currents, smp_mod=2, app_id=0x4004, fault=fault), 4000, 8,
         [(1_700_000_000, 800), (1_700_000_001, 800), (1_700_000_001, 3996)]),
        ("12ch-1asdu", sv.Stream("MU05", [sv.Wave(offset=float(10 * j - 60), quality=j) for j in range(12)],
                                 smp_rate=256, vlan_id=0, vlan_priority=0), 12800, 1, [(1_700_000_000, 12799)]),
        ("1ch-8asdu-clamped", sv.Stream("MU06", [sv.Wave(offset=1e12)], dat_set="MU06/LLN0$DS"), 8000, 8, [(0, 0)]),
    ]
    cases = []
    for name, stream, rate, asdus, instants in streams:
        publisher = sv.Publisher("lo", [stream], rate, asdus, start_second=instants[0][0])
        cases += [(f"{name}-{second % 10}-{first}", dict(stream=stream, rate=rate, asdus=asdus, instant=(second, first),
                                                          frame=publisher.render(0, second, first)))
                  for second, first in instants]
    return cases


SV_CASES = sv_cases()
MMS_TEXT = "Breaker 1 open"


def goose_frame(pdu, app_id, vlan):
    return valdrin_rt.encode_goose_frame(pdu, DST, SRC, app_id, *(vlan or ()))


# --- frames laid out by hand, octet by octet ------------------------------------------


def link(ethertype, app_id, apdu, dst, src=h("0050c2ab00ff"), tci=None):
    """Ethernet header, optional 802.1Q tag, EtherType, APPID, Length, reserved1/2 = 0, then the APDU."""
    tag = b"" if tci is None else h("8100") + tci.to_bytes(2, "big")
    return dst + src + tag + ethertype + app_id.to_bytes(2, "big") + (len(apdu) + 8).to_bytes(2, "big") + bytes(4) + apdu


def goose_apdu(gocb_ref, dat_set, go_id, numbers, all_data, entries):
    """An IECGoosePdu: fields [0] to [11] in order; `numbers` holds the octets of t to ndsCom."""
    fields = tlv(0x80, gocb_ref) + h("8102 07d0") + tlv(0x82, dat_set) + (b"" if go_id is None else tlv(0x83, go_id))
    return tlv(0x61, fields + numbers + tlv(0x8A, bytes([entries])) + tlv(0xAB, all_data))


TRIP_NUMBERS = (
    h("8408 6553f100 400000 0a")    # t: 2023-11-14 22:13:20.25 UTC, 10 significant bits
    + h("8501 05 8601 00 8701 00")  # stNum 5, sqNum 0, simulation FALSE
    + h("8801 01 8901 00")          # confRev 1, ndsCom FALSE
)
TRIP_DATA = (
    h("a213")                          # structure: Pos
    + h("8402 06 80")                  #   stVal: Dbpos on (2 bits, 6 unused)
    + h("8403 03 0000")                #   q: 13 bits, good
    + h("9108 6553f100 400000 0a")     #   t
    + h("8301 ff")                     # Op.general TRUE
    + h("8301 01")                     # any non-zero octet is TRUE in BER
    + h("8705 08 42c80000")            # FLOAT32 100.0
    + h("8709 0b 3ff0000000000000")    # FLOAT64 1.0
    + h("8501 80")                     # integer -128
    + h("8502 00ff")                   # integer 255
    + h("8605 00ffffffff")             # unsigned 4294967295
    + h("8904 c0a80001")               # octet-string
    + h("8a05") + b"XCBR1"             # visible-string
    + h("8c06 00000001 3a5c")          # binary-time: ms of the day, days since 1984
    + h("a10f a203830100 a203830101 a203830100")  # array of three one-member structures
    + h("a100 a200")                   # empty array, empty structure
    + h("a207 a205 a103 850101")       # integer 1 three levels deep
)
STATUS_DATA = h("8403 03 0040") + tlv(0x8A, b"Q" * 129) + tlv(0x89, bytes(range(200)))
# 9-2 LE: svID, smpCnt, confRev, smpSynch, 8 channels of INT32 value + quality (Ia Ib Ic In Va Vb Vc Vn).
LE_ASDU = h("3057 8006") + b"MU0101" + h("8202 0f9f 8304 00000001 8501 02 8740") + h(
    "00000a3c 00000000 fffffb1e 00000000 fffffaa6 00000000 00000000 00000000"
    "0002b5e4 00000000 fffea50d 00000000 fffea50f 00002000 00000000 00000001")
# Every optional field: datSet, refrTm, smpRate, smpMod, gmIdentity.
RICH_ASDU = tlv(0x30, tlv(0x80, b"MU02") + tlv(0x81, b"MU02LD0/LLN0$PhsMeas1") + h("8202 0000 8304 ffffffff")
                + h("8408 6553f100 800000 0a 8501 01 8602 0050") + tlv(0x87, h("80000000 ffffffff"))
                + h("8802 0000 8908 0050c2fffeab0002"))
# Eight ASDUs of one channel each, sample counts 4792..4799 at 4800 per second.
EIGHT_ASDUS = b"".join(tlv(0x30, tlv(0x80, b"MU03") + h("8202") + (4792 + i).to_bytes(2, "big") + h("8304 00000002")
                               + h("8501 00") + tlv(0x87, (i - 4).to_bytes(4, "big", signed=True) + bytes(4)))
                       for i in range(8))
HAND = [  # name, frame, the decoder's view
    ("trip-vlan", link(h("88b8"), 0x0001, goose_apdu(b"IED1LD0/LLN0$GO$gcbTrip", b"IED1LD0/LLN0$DSTrip",
                                                      b"IED1_Trip", TRIP_NUMBERS, TRIP_DATA, 15),
                       DST, tci=0x8000), decoded_goose),  # priority 4, VLAN 0
    ("status-long-form", link(h("88b8"), 0x3FFF, goose_apdu(
        b"G" * 129, b"D" * 130, None,
        h("8408 00000000 000000 00 8504 00ffffff 8602 0100 8701 ff 8805 0080000000 8901 ff"),
        STATUS_DATA, 3), h("010ccd0101ff")), decoded_goose),
    ("9-2le", link(h("88ba"), 0x4000, h("605e 800101 a259") + LE_ASDU, SV_DST, tci=0x8000), decoded_sv),
    ("optional-fields", link(h("88ba"), 0x4001, tlv(0x60, h("800101") + tlv(0xA2, RICH_ASDU)), SV_DST), decoded_sv),
    ("eight-asdus", link(h("88ba"), 0x4002, tlv(0x60, h("800108") + tlv(0xA2, EIGHT_ASDUS)), SV_DST, tci=0xA064),
     decoded_sv),
]
# MMSString is MMS Data [16], identifier octet 90.
HAND_MMS = link(h("88b8"), 0x0011, goose_apdu(b"A", b"B", None, TRIP_NUMBERS, tlv(0x90, MMS_TEXT.encode()), 1), DST)

FRAMES = {
    **{name: goose_frame(pdu, app_id, vlan) for name, pdu, app_id, vlan in GOOSE_CASES},
    **{name: case["frame"] for name, case in SV_CASES},
    "mms-written": goose_frame(GoosePDU("A", "B", all_data=[MmsStringData(MMS_TEXT)]), 0x0010, None),
    **{name: frame for name, frame, _ in HAND},
    "mms-hand": HAND_MMS,
}


@pytest.fixture(scope="module")
def tshark(tmp_path_factory):
    """tshark's layers of every frame by name, and its expert summary; one run."""
    home = tmp_path_factory.mktemp("interop")
    with open(home / "all.pcap", "wb") as out:  # classic pcap, LINKTYPE_ETHERNET, frame i at second i
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 0x40000, 1))
        for index, frame in enumerate(FRAMES.values()):
            out.write(struct.pack("<IIII", index, 0, len(frame), len(frame)) + frame)
    run = subprocess.run(
        [TSHARK, "-n", "-r", str(home / "all.pcap"), "-o", "sv.decode_data_as_phsmeas:TRUE", "-T", "json",
         "-z", "expert"],
        capture_output=True, encoding="utf-8", errors="replace", timeout=300,
        env={**os.environ, "HOME": str(home), "LC_ALL": "C"},  # no personal preferences
    )
    assert run.returncode == 0, run.stderr
    packets, end = json.JSONDecoder(object_pairs_hook=Node).raw_decode(run.stdout)
    assert len(packets) == len(FRAMES)
    return dict(zip(FRAMES, (packet.one("_source").one("layers") for packet in packets))), run.stdout[end:]


def test_no_frame_is_malformed(tshark):
    layers, expert = tshark
    assert re.search(r"^(Errors|Warns) \(", expert, re.M) is None, expert
    for name, packet in layers.items():
        assert complaints(packet) == [], name
        assert int(packet.one("frame").one("frame.len")) == len(FRAMES[name])


@pytest.mark.parametrize("name, pdu, app_id, vlan", GOOSE_CASES, ids=[case[0] for case in GOOSE_CASES])
def test_goose_frame_as_tshark_reads_it(tshark, name, pdu, app_id, vlan):
    assert tshark_goose(tshark[0][name]) == meant_goose(pdu, app_id, vlan, FRAMES[name])


@pytest.mark.parametrize("name, case", SV_CASES, ids=[case[0] for case in SV_CASES])
def test_sv_frame_as_tshark_reads_it(tshark, name, case):
    assert tshark_sv(tshark[0][name]) == meant_sv(**case)


@pytest.mark.parametrize("name, raw, decoded", HAND, ids=[case[0] for case in HAND])
def test_decoder_reads_what_tshark_reads(tshark, name, raw, decoded):
    reported = (tshark_goose if decoded is decoded_goose else tshark_sv)(tshark[0][name])
    assert decoded(raw) == reported
    assert reported.get("all_data") or all(asdu["samples"] for asdu in reported["asdus"])  # values were compared


# Wireshark, like MMS (ISO 9506-2) and IEC 61850-8-1, reads Data [15] (8F) as an
# OBJECT IDENTIFIER and [16] (90) as MMSString; the package writes MmsStringData
# under 8F and reads 90 as a raw value.
MMS_TAG = pytest.mark.xfail(strict=True, reason="MmsStringData is written as 8F (objId) instead of 90 (MMSString)")


@MMS_TAG
def test_mms_string_written_as_tshark_reads_it(tshark):
    assert tshark_goose(tshark[0]["mms-written"])["all_data"] == [("mms", MMS_TEXT)]


@MMS_TAG
def test_mms_string_read_as_tshark_reads_it(tshark):
    reported = tshark_goose(tshark[0]["mms-hand"])
    assert reported["all_data"] == [("mms", MMS_TEXT)]
    assert decoded_goose(HAND_MMS) == reported
