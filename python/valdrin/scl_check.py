"""What the wire carries against what an SCL file designs.

:func:`check` compares an analysis :class:`~valdrin.listen.Report` (of a
capture file or of the live monitor) with a loaded :class:`~valdrin.scl.Scl`
once, on the report: it adds nothing to the per-frame capture path. Every
control block of the file gets a status: ``matched`` (seen, every compared
field as designed), ``mismatch`` (seen, with each differing field),
``missing``; what is seen but not in the file is ``unexpected``. A block is
matched by its identifier first (gocbRef, svID), then by its address
(destination MAC and APPID), so that a wrong APPID shows as a mismatch of
that one field.

Fields compared (named as ``valdrin scl --json`` names them): ``dst``,
``app_id``, ``vlan_id``, ``vlan_priority``, ``id``, ``conf_rev``; for GOOSE
``ref`` (the gocbRef, when matched by address), ``dat_set``, ``entries`` (the data set's member count) and ``types`` (each
member's type as the frame carries it); for SV ``nof_asdu``, ``smp_rate``,
``smp_mod`` and ``sample_octets`` (the size of the sample its data set
makes). A field the file leaves out is not compared. The report does not
keep the SV datSet, so that is not compared.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

from .scl import SMP_MODS, ControlBlock, Scl, SclType
from .values import BitString, RawValue, UtcTime, to_json

__all__ = ["Check", "Status", "check", "wire_kind"]

# The MMS Data kind that carries each basic type in a GOOSE frame; a
# decoded value tells only integer from unsigned by its sign, so both are
# "integer" here.
_WIRE_KINDS = {
    "BOOLEAN": "boolean",
    **dict.fromkeys(("INT8", "INT16", "INT24", "INT32", "INT64", "INT128", "INT8U", "INT16U", "INT24U", "INT32U",
                     "Enum"), "integer"),
    **dict.fromkeys(("FLOAT32", "FLOAT64"), "float"),
    **dict.fromkeys(("Dbpos", "Tcmd", "Quality", "Check", "TrgOps", "OptFlds", "SvOptFlds", "LogOptFlds"),
                    "bit-string"),
    **dict.fromkeys(("Timestamp", "EntryTime"), "utc-time"),
    **dict.fromkeys(("VisString32", "VisString64", "VisString65", "VisString129", "VisString255", "ObjRef",
                     "Currency", "Unicode255"), "string"),
    **dict.fromkeys(("Octet64", "EntryID", "PhyComAddr"), "octet-string"),
}

# Dbpos and Tcmd: two bits, as names.
_DBPOS = ("intermediate", "off", "on", "bad")
_TCMD = ("stop", "lower", "higher", "reserved")

SMP_MOD_NAMES = {number: name for name, number in SMP_MODS.items()}


def wire_kind(t: SclType | None) -> Any:
    """The Data kind a member of type ``t`` travels as (a list for a structure), None when unknown."""
    if t is None:
        return None
    if t.btype == "Struct":
        return [wire_kind(m) for m in t.members]
    return _WIRE_KINDS.get(t.btype, t.btype)


# A decoded GOOSE value's Python type to its Data kind; bool before int, which it is too.
_SEEN_KINDS = ((bool, "boolean"), (int, "integer"), (float, "float"), (BitString, "bit-string"),
               (UtcTime, "utc-time"), (str, "string"), (bytes, "octet-string"), (datetime, "binary-time"))


def _seen_kind(value: Any) -> Any:
    """The Data kind of a decoded GOOSE value (a list for a structure or array)."""
    if isinstance(value, list):
        return [_seen_kind(v) for v in value]
    if isinstance(value, RawValue):
        return f"tag 0x{value.tag:02x}"
    return next((kind for cls, kind in _SEEN_KINDS if isinstance(value, cls)), type(value).__name__)


def named_value(t: SclType | None, value: Any) -> Any:
    """A decoded GOOSE value as JSON, an Enum by its name and a Dbpos/Tcmd by theirs."""
    if t is not None:
        if t.btype == "Enum" and isinstance(value, int) and not isinstance(value, bool):
            name = t.enum_name(value)
            return value if name is None else name
        if t.btype in ("Dbpos", "Tcmd") and isinstance(value, BitString) and len(value) == 2:
            return (_DBPOS if t.btype == "Dbpos" else _TCMD)[int(value.bits, 2)]
        if t.btype == "Struct" and isinstance(value, list):
            return [named_value(m, v) for m, v in zip(t.members, value)] + [to_json(v) for v in
                                                                            value[len(t.members):]]
    return to_json(value)


@dataclass
class Status:
    """One expected control block's status and, when seen, what differs and (GOOSE) its member values."""

    block: ControlBlock
    status: str                     # "matched", "mismatch" or "missing"
    differences: dict[str, dict] = field(default_factory=dict)
    members: list[dict] | None = None

    def to_json(self) -> dict:
        out = {"ref": self.block.ref, "kind": self.block.kind, "status": self.status,
               "differences": self.differences}
        if self.members is not None:
            out["members"] = self.members
        return out


@dataclass
class Check:
    """The outcome of :func:`check`: a status per control block of the file, in file order, and the unexpected."""

    file: str
    statuses: list[Status]
    unexpected: list[dict]

    def counts(self) -> dict[str, int]:
        out = {"matched": 0, "mismatch": 0, "missing": 0}
        for s in self.statuses:
            out[s.status] += 1
        out["unexpected"] = len(self.unexpected)
        return out

    def to_json(self) -> dict:
        return {"file": self.file, "control_blocks": [s.to_json() for s in self.statuses],
                "unexpected": self.unexpected}


def _seen_fields(kind: str, item: dict) -> dict[str, Any]:
    """A report item's fields under the keys of ``valdrin scl --json``."""
    out = {"dst": item["dst"], "app_id": item["app_id"], "vlan_id": item["vlan_id"],
           "vlan_priority": item.get("vlan_priority"), "conf_rev": item["conf_rev"]}
    if kind == "goose":
        values = item.get("values")
        out.update(ref=item["gocb_ref"], id=item["go_id"], dat_set=item["dat_set"],
                   entries=None if values is None else len(values),
                   types=None if values is None else [_seen_kind(v) for v in values])
    else:
        frames, asdus = item["frames"], item["asdus"]
        out.update(id=item["sv_id"], smp_rate=item["smp_rate"], sample_octets=item.get("sample_octets"),
                   smp_mod=None if item["smp_mod"] is None else SMP_MOD_NAMES.get(item["smp_mod"], item["smp_mod"]),
                   nof_asdu=asdus // frames if frames and asdus % frames == 0 else None)
    return out


def _expected_fields(cb: ControlBlock) -> dict[str, Any]:
    out = {"dst": cb.dst, "app_id": cb.app_id, "vlan_id": cb.vlan_id, "vlan_priority": cb.vlan_priority,
           "conf_rev": cb.conf_rev, "id": cb.id}
    if cb.kind == "goose":
        resolved = cb.data_set is not None and cb.data_set.resolved
        out.update(ref=cb.ref, dat_set=cb.dat_set, entries=None if cb.data_set is None else len(cb.members),
                   types=[wire_kind(m.type) for m in cb.members] if resolved else None)
    else:
        out.update(smp_rate=cb.smp_rate, smp_mod=cb.smp_mod, nof_asdu=cb.nof_asdu, sample_octets=cb.sample_octets)
    return out


def _differences(cb: ControlBlock, item: dict) -> dict[str, dict]:
    seen = _seen_fields(cb.kind, item)
    out = {}
    for key, expected in _expected_fields(cb).items():
        if expected is None or key not in seen:
            continue
        if key == "smp_mod" and seen[key] is None and expected == "SmpPerPeriod":
            continue  # smpMod absent from the ASDU means samples per period
        if key == "vlan_priority" and cb.vlan_id is None:
            continue  # a priority without a VLAN ID: the frames go untagged
        if seen[key] != expected:
            out[key] = {"expected": expected, "seen": seen[key]}
    return out


def _identifier(kind: str, item: dict) -> str:
    return item["gocb_ref"] if kind == "goose" else item["sv_id"]


def check(model: Scl, report: Any) -> Check:
    """Every control block of ``model`` against the streams and blocks of an analysis ``report``."""
    seen = {"goose": list(report.goose), "sv": list(report.sv)}
    claimed: dict[tuple[str, int], ControlBlock] = {}
    match: dict[int, tuple[str, int]] = {}   # id(cb) -> (kind, index in seen)

    def claim(cb: ControlBlock, candidates: list[int]) -> None:
        free = [i for i in candidates if (cb.kind, i) not in claimed]
        if not free:
            return
        # Among several, the one whose address is as designed.
        best = next((i for i in free if seen[cb.kind][i]["dst"] == cb.dst and seen[cb.kind][i]["app_id"] == cb.app_id),
                    free[0])
        claimed[(cb.kind, best)] = cb
        match[id(cb)] = (cb.kind, best)

    key = {"goose": "ref", "sv": "id"}
    for cb in model.control_blocks:          # by identifier
        wanted = getattr(cb, key[cb.kind])
        if wanted is not None:
            claim(cb, [i for i, item in enumerate(seen[cb.kind]) if _identifier(cb.kind, item) == wanted])
    for cb in model.control_blocks:          # then by address
        if id(cb) not in match and cb.dst is not None and cb.app_id is not None:
            claim(cb, [i for i, item in enumerate(seen[cb.kind])
                       if item["dst"] == cb.dst and item["app_id"] == cb.app_id])
    statuses = []
    for cb in model.control_blocks:
        if id(cb) not in match:
            statuses.append(Status(cb, "missing"))
            continue
        kind, index = match[id(cb)]
        item = seen[kind][index]
        differences = _differences(cb, item)
        members = None
        if kind == "goose" and item.get("values") is not None:
            members = [{"ref": m.ref, "value": named_value(m.type, v)} for m, v in zip(cb.members, item["values"])]
        statuses.append(Status(cb, "mismatch" if differences else "matched", differences, members))
    unexpected = []
    for kind in ("goose", "sv"):
        for i, item in enumerate(seen[kind]):
            if (kind, i) not in claimed:
                unexpected.append({"kind": kind, "ref" if kind == "goose" else "id": _identifier(kind, item),
                                   "dst": item["dst"], "app_id": item["app_id"]})
    return Check(model.file, statuses, unexpected)
