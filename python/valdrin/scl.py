"""SCL files (IEC 61850-6): the GOOSE and Sampled Values control blocks a
substation's design expects, as the wire carries them.

:func:`load` reads an SCD, CID, ICD, IID or SED file of edition 1 (the 2003
namespace) or editions 2 and 2.1 and gives an :class:`Scl`: every IED with
its access points and logical devices, every GSEControl and
SampledValueControl as a :class:`ControlBlock` (its Communication address,
its references as frames spell them, its data set resolved through
DataTypeTemplates to a tree of basic types, its subscribers), and the
``findings``: what does not resolve, one line each. A finding never stops
the loading; only what depends on it stays unknown (``None``).

The file is parsed safely: a document type declaration (and with it every
entity, internal or external) is refused before parsing, and the parser
neither expands entities, nor loads DTDs, nor touches the network.

>>> scl = load("station.scd")                    # doctest: +SKIP
>>> [cb.ref for cb in scl.control_blocks]        # doctest: +SKIP
['IED1LD0/LLN0$GO$gcb1', 'IED1MU01/LLN0$MS$MSVCB01']
"""

from __future__ import annotations

import gc
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterator

from lxml import etree

__all__ = [
    "BASIC_TYPES", "ControlBlock", "DataSet", "Member", "Scl", "SclError", "SclType", "load", "parse",
]

# The namespaces SCL files carry: edition 1 and later, and one that tools of
# the 2006 drafts wrote. The root element's namespace is the file's.
NAMESPACES = ("http://www.iec.ch/61850/2003/SCL", "http://www.iec.ch/61850/2006/SCL")

# The basic types a data attribute can have (bType), as SCL spells them.
BASIC_TYPES = frozenset({
    "BOOLEAN", "INT8", "INT16", "INT24", "INT32", "INT64", "INT128", "INT8U", "INT16U", "INT24U", "INT32U",
    "FLOAT32", "FLOAT64", "Enum", "Dbpos", "Tcmd", "Quality", "Timestamp", "VisString32", "VisString64",
    "VisString65", "VisString129", "VisString255", "Octet64", "Unicode255", "Check", "EntryTime", "Currency",
    "ObjRef", "PhyComAddr", "TrgOps", "OptFlds", "SvOptFlds", "LogOptFlds", "EntryID", "Struct",
})

# The octets of a basic type in an SV ASDU's sample (IEC 61850-9-2 fixed-size encoding).
SAMPLE_OCTETS = {"BOOLEAN": 1, "INT8": 1, "INT16": 2, "INT32": 4, "INT64": 8, "INT8U": 1, "INT16U": 2, "INT32U": 4,
                 "FLOAT32": 4, "FLOAT64": 8, "Quality": 4, "Timestamp": 8}

# smpMod as SCL names it and as the SV ASDU carries it.
SMP_MODS = {"SmpPerPeriod": 0, "SmpPerSec": 1, "SecPerSmp": 2}

# The multiplier of a MinTime/MaxTime in milliseconds per unit of its value (seconds).
_MILLISECONDS_PER = {"": 1000.0, "m": 1.0, "u": 1e-3, "n": 1e-6, "k": 1e6}

# An array index in a doName or daName: "phsAHar(3)".
_INDEX = re.compile(r"\((\d+)\)$")

# A MAC address as SCL writes it (dashes; colons are accepted too).
_MAC = re.compile(r"(?:[0-9a-fA-F]{2}-){5}[0-9a-fA-F]{2}")

# Arrays listed member by member up to this many elements.
_ARRAY_MAX = 1024


class SclError(ValueError):
    """A file that is no SCL or that is refused; the text is one line."""


@dataclass(frozen=True, slots=True)
class SclType:
    """A data set member's type: a basic type (``btype``, e.g. "BOOLEAN", "Dbpos")
    or a structure of ``members`` (``btype`` "Struct"), with its ``name``
    (the DA/BDA/SDO name) and, for an Enum, its EnumType's values by ordinal."""

    btype: str
    name: str = ""
    members: tuple[SclType, ...] = ()
    enum: tuple[tuple[int, str], ...] = ()

    def to_json(self) -> str | list:
        """The basic type's name, or the list of the components' forms in order."""
        return [m.to_json() for m in self.members] if self.btype == "Struct" else self.btype

    def leaves(self) -> list[str]:
        """The basic types of its leaves in order."""
        return [leaf for m in self.members for leaf in m.leaves()] if self.btype == "Struct" else [self.btype]

    def enum_name(self, ordinal: int) -> str | None:
        """The name of an Enum's ordinal, None when the EnumType has none."""
        return dict(self.enum).get(ordinal)


@dataclass(slots=True)
class Member:
    """One FCDA of a data set: its reference (``IED1MU01/I01ATCTR1.Amp``), its
    functional constraint and its type (None when it does not resolve)."""

    ref: str
    fc: str
    type: SclType | None

    def to_json(self) -> dict:
        return {"ref": self.ref, "fc": self.fc, "type": None if self.type is None else self.type.to_json()}


@dataclass(slots=True)
class DataSet:
    """A DataSet of an LN0: its name, its reference as datSet carries it, its members in order."""

    name: str
    ref: str
    members: list[Member]

    @property
    def resolved(self) -> bool:
        """Whether every member's type is known."""
        return all(m.type is not None for m in self.members)


@dataclass(slots=True)
class ControlBlock:
    """A GSEControl (``kind`` "goose") or SampledValueControl ("sv") with its
    Communication address; None where the file says nothing (or what it says
    does not resolve, with a finding)."""

    kind: str
    ied: str
    access_point: str
    ld_inst: str
    name: str
    ref: str                      # gocbRef / SV control block reference, as the wire carries it
    id: str | None                # goID (GSEControl appID) / svID (smvID)
    dat_set: str | None           # datSet reference, "IEDLD/LLN0$name"
    data_set: DataSet | None
    conf_rev: int | None
    dst: str | None = None        # "01:0c:cd:01:00:01"
    app_id: int | None = None
    vlan_id: int | None = None
    vlan_priority: int | None = None
    min_time_ms: float | None = None    # GOOSE
    max_time_ms: float | None = None
    smp_rate: int | None = None         # SV
    smp_mod: str | None = None          # SV: "SmpPerPeriod", "SmpPerSec" or "SecPerSmp"
    nof_asdu: int | None = None
    multicast: bool = True
    subscribers: list[str] = field(default_factory=list)

    @property
    def members(self) -> list[Member]:
        return [] if self.data_set is None else self.data_set.members

    @property
    def sample_octets(self) -> int | None:
        """The octets of the SV sample its data set makes, None when a member's type is unknown or has no
        fixed size."""
        if self.data_set is None or not self.data_set.resolved:
            return None
        sizes = [SAMPLE_OCTETS.get(leaf) for m in self.members for leaf in m.type.leaves()]
        return None if None in sizes else sum(sizes)

    def samples_per_second(self, nominal_hz: float = 50.0) -> float | None:
        """The SV stream's sample rate: smpRate per nominal period (the default
        smpMod), per second, or seconds per sample."""
        if self.smp_rate is None:
            return None
        mod = self.smp_mod or "SmpPerPeriod"
        if mod == "SmpPerSec":
            return float(self.smp_rate)
        if mod == "SecPerSmp":
            return 1.0 / self.smp_rate if self.smp_rate else None
        return self.smp_rate * nominal_hz

    def to_json(self) -> dict:
        """The block as plain JSON types (the keys ``valdrin scl --json`` prints)."""
        out = {
            "kind": self.kind, "ied": self.ied, "access_point": self.access_point, "ld_inst": self.ld_inst,
            "name": self.name, "ref": self.ref, "id": self.id, "dat_set": self.dat_set, "conf_rev": self.conf_rev,
            "dst": self.dst, "app_id": self.app_id, "vlan_id": self.vlan_id, "vlan_priority": self.vlan_priority,
        }
        if self.kind == "goose":
            out.update(min_time_ms=self.min_time_ms, max_time_ms=self.max_time_ms)
        else:
            out.update(smp_rate=self.smp_rate, smp_mod=self.smp_mod, nof_asdu=self.nof_asdu, multicast=self.multicast,
                       sample_octets=self.sample_octets)
        out["subscribers"] = list(self.subscribers)
        out["members"] = [m.to_json() for m in self.members]
        return out


@dataclass(slots=True)
class Scl:
    """A loaded SCL file: its edition ("1", "2", "2.1"), the IED names, the
    control blocks in file order and the findings (one line each)."""

    file: str
    edition: str
    ieds: list[str]
    control_blocks: list[ControlBlock]
    findings: list[str]

    def find(self, ref: str, kind: str | None = None) -> ControlBlock | None:
        """The control block of a reference (gocbRef / SV control block reference), an svID/goID, or None."""
        for by in ("ref", "id"):
            for cb in self.control_blocks:
                if getattr(cb, by) == ref and (kind is None or cb.kind == kind):
                    return cb
        return None

    def to_json(self) -> dict:
        return {"control_blocks": [cb.to_json() for cb in self.control_blocks], "findings": list(self.findings)}


# --- reading safely -------------------------------------------------------------


def _prolog_declares_doctype(data: bytes) -> bool:
    """Whether the document's prolog (before the root element) holds a <!DOCTYPE."""
    at = 3 if data.startswith(b"\xef\xbb\xbf") else 0
    n = len(data)
    while at < n:
        while at < n and data[at] in b" \t\r\n":
            at += 1
        if data.startswith(b"<?", at):
            end = data.find(b"?>", at)
        elif data.startswith(b"<!--", at):
            end = data.find(b"-->", at)
        else:
            return data.startswith(b"<!DOCTYPE", at) or data.startswith(b"<!doctype", at)
        if end < 0:
            return False
        at = end + 2
    return False


def _parser() -> etree.XMLParser:
    return etree.XMLParser(resolve_entities=False, no_network=True, load_dtd=False, dtd_validation=False,
                           huge_tree=False, remove_blank_text=False, remove_comments=True, remove_pis=True)


def parse(data: bytes, name: str = "<bytes>") -> Scl:
    """The SCL document in ``data`` (the bytes of a file called ``name``); SclError when refused."""
    if _prolog_declares_doctype(data):
        raise SclError(f"{name}: refused: the file declares a DOCTYPE or entities, which SCL files do not use")
    try:
        root = etree.fromstring(data, _parser())
    except etree.XMLSyntaxError as error:
        raise SclError(f"{name}: not well-formed XML: {error}") from None
    if root.getroottree().docinfo.internalDTD is not None:
        raise SclError(f"{name}: refused: the file declares a DOCTYPE or entities, which SCL files do not use")
    tag = etree.QName(root)
    if tag.localname != "SCL":
        raise SclError(f"{name}: not an SCL file (its root element is <{tag.localname}>)")
    if tag.namespace not in NAMESPACES:
        raise SclError(f"{name}: not an SCL file (namespace {tag.namespace!r})")
    # The reading makes many small objects and no cycles: the cyclic collector
    # would only walk the tree's proxies again and again.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _Reader(root, tag.namespace, name).read()
    finally:
        if collecting:
            gc.enable()


def load(path: str | Path) -> Scl:
    """The SCL file at ``path`` (SCD, CID, ICD, IID, SED; any edition); SclError when it is refused,
    OSError when it cannot be read."""
    path = Path(path)
    return parse(path.read_bytes(), str(path))


# --- the model -----------------------------------------------------------------


def _int(text: str | None, base: int = 10) -> int | None:
    if text is None:
        return None
    try:
        return int(text.strip(), base)
    except ValueError:
        return None


def _mac(text: str | None) -> str | None:
    """"01-0C-CD-01-00-01" as "01:0c:cd:01:00:01"; None when it is no MAC address."""
    if text is None:
        return None
    text = text.strip().replace(":", "-")
    return text.replace("-", ":").lower() if _MAC.fullmatch(text) else None


def _strip_index(name: str) -> str:
    return _INDEX.sub("", name) if "(" in name else name


class _Reader:
    """One pass over a parsed SCL document."""

    def __init__(self, root: etree._Element, ns: str, name: str) -> None:
        self.root = root
        self.ns = "{" + ns + "}"
        self.name = name
        self.findings: list[str] = []
        self._types: dict[tuple, SclType | str] = {}
        # FCDA key -> (reference without the IED name, fc, type, why not), one table per set of logical
        # devices: IEDs made from the same ICD share it.
        self._members_of: dict[tuple, dict[tuple, tuple[str, str, SclType | None, str | None]]] = {}
        # The same for whole data sets by (default ldInst, the DataSet as XML), kept from the second IED of a
        # kind on: a station's IEDs of one kind mostly carry the same data sets.
        self._data_sets_of: dict[tuple, dict[tuple[str, bytes], list[tuple]]] = {}
        self._named: dict[tuple, dict[str, etree._Element]] = {}
        # The Inputs of each LN of a logical device (the first of an LN), in document order.
        self.inputs_of = etree.XPath("(s:LN0|s:LN)/s:Inputs[1]", namespaces={"s": ns})
        self._whole: dict[tuple, SclType | str | None] = {}
        self.left_out: set[tuple[str, str, str]] = set()   # control blocks not listed (GSSE)

    def tag(self, local: str) -> str:
        return self.ns + local

    def children(self, el: etree._Element, local: str) -> Iterator[etree._Element]:
        return el.iterchildren(self.ns + local)

    def child(self, el: etree._Element, local: str) -> etree._Element | None:
        # The first child of that tag (find() would go through ElementPath: ten times the cost).
        return next(el.iterchildren(self.ns + local), None)

    def read(self) -> Scl:
        root = self.root
        version = root.get("version")
        edition = "1" if version is None else ("2.1" if root.get("release") is not None else "2")
        self.read_templates()
        addresses = self.read_communication()
        blocks: list[ControlBlock] = []
        ieds: list[str] = []
        self.inputs: list[tuple[str, etree._Element]] = []
        for ied in self.children(root, "IED"):
            ieds.append(ied.get("name", ""))
            blocks += self.read_ied(ied)
        known = {(cb.ied, cb.ld_inst, cb.name) for cb in blocks} | self.left_out
        for key, address in addresses.items():
            if key not in known and key[0] in ieds:
                self.findings.append(f"{key[0]} {address[0]} {key[1]}/{key[2]}: no such control block")
        for cb in blocks:
            address = addresses.get((cb.ied, cb.ld_inst, cb.name))
            if address is None:
                self.findings.append(f"{cb.ref}: no {'GSE' if cb.kind == 'goose' else 'SMV'} address "
                                     f"in Communication")
                continue
            self.apply_address(cb, address[1])
        self.read_subscriptions(blocks)
        return Scl(self.name, edition, ieds, blocks, self.findings)

    # DataTypeTemplates, by id: LNodeType, DOType, DAType, EnumType.
    def read_templates(self) -> None:
        self.ln_types: dict[str, etree._Element] = {}
        self.do_types: dict[str, etree._Element] = {}
        self.da_types: dict[str, etree._Element] = {}
        self.enum_types: dict[str, tuple[tuple[int, str], ...]] = {}
        templates = self.child(self.root, "DataTypeTemplates")
        if templates is None:
            return
        for local, table in (("LNodeType", self.ln_types), ("DOType", self.do_types), ("DAType", self.da_types)):
            for el in self.children(templates, local):
                table[el.get("id", "")] = el
        for el in self.children(templates, "EnumType"):
            values = []
            for v in self.children(el, "EnumVal"):
                ordinal = _int(v.get("ord"))
                if ordinal is not None:
                    values.append((ordinal, (v.text or "").strip()))
            self.enum_types[el.get("id", "")] = tuple(values)

    # Communication: (iedName, ldInst, cbName) -> ("GSE"/"SMV", element).
    def read_communication(self) -> dict[tuple[str, str, str], tuple[str, etree._Element]]:
        out = {}
        comm = self.child(self.root, "Communication")
        if comm is None:
            return out
        for subnet in self.children(comm, "SubNetwork"):
            for cap in self.children(subnet, "ConnectedAP"):
                ied = cap.get("iedName", "")
                for kind in ("GSE", "SMV"):
                    for el in self.children(cap, kind):
                        out[(ied, el.get("ldInst", ""), el.get("cbName", ""))] = (kind, el)
        return out

    def apply_address(self, cb: ControlBlock, el: etree._Element) -> None:
        address = self.child(el, "Address")
        where = f"{cb.ref} address"
        if address is not None:
            ps = {p.get("type", ""): (p.text or "").strip() for p in self.children(address, "P")}
            if "MAC-Address" in ps:
                cb.dst = _mac(ps["MAC-Address"])
                if cb.dst is None:
                    self.findings.append(f"{where}: MAC-Address {ps['MAC-Address']!r} is no MAC address")
            for key, attr, limit in (("APPID", "app_id", 0xFFFF), ("VLAN-ID", "vlan_id", 0xFFF),
                                     ("VLAN-PRIORITY", "vlan_priority", 7)):
                if key not in ps:
                    continue
                value = _int(ps[key], 10 if key == "VLAN-PRIORITY" else 16)
                if value is None or not 0 <= value <= limit or (key == "VLAN-ID" and not 1 <= len(ps[key]) <= 3):
                    self.findings.append(f"{where}: {key} {ps[key]!r} is not "
                                         f"{'a digit 0 to 7' if key == 'VLAN-PRIORITY' else 'hexadecimal'} "
                                         f"in range")
                else:
                    setattr(cb, attr, value)
            if cb.dst is None and "MAC-Address" not in ps:
                self.findings.append(f"{where}: no MAC-Address (routable or incomplete)")
        else:
            self.findings.append(f"{where}: no Address")
        if cb.kind == "goose":
            times: dict[str, etree._Element] = {}      # the first MinTime and the first MaxTime
            for t in el.iterchildren(self.ns + "MinTime", self.ns + "MaxTime"):
                times.setdefault(t.tag, t)
            for local, attr in (("MinTime", "min_time_ms"), ("MaxTime", "max_time_ms")):
                t = times.get(self.ns + local)
                if t is None:
                    continue
                ms = _MILLISECONDS_PER.get(t.get("multiplier", "m"))  # milliseconds unless it says otherwise
                try:
                    value = float((t.text or "").strip())
                except ValueError:
                    value = None
                if ms is None or value is None or t.get("unit", "s") != "s":
                    self.findings.append(f"{where}: {local} {t.text!r} (unit {t.get('unit')!r}, multiplier "
                                         f"{t.get('multiplier')!r}) is not a time")
                else:
                    setattr(cb, attr, value * ms)

    def read_ied(self, ied: etree._Element) -> list[ControlBlock]:
        name = ied.get("name", "")
        blocks = []
        ns = self.ns
        devices = [(ap, ld) for ap in self.children(ied, "AccessPoint") for server in self.children(ap, "Server")
                   for ld in self.children(server, "LDevice")]
        lds: dict[str, tuple[str, etree._Element]] = {}   # ldInst -> (LD name, LDevice)
        for _, ld in devices:
            inst = ld.get("inst", "")
            lds.setdefault(inst, (ld.get("ldName") or name + inst, ld))
        # The lnType of each LN of a logical device by (prefix, lnClass, inst), of its LN0 by "LLN0".
        lns: dict[str, dict] = {inst: {} for inst in lds}
        tag_ln0, tag_ln = ns + "LN0", ns + "LN"
        for _, ld in devices:
            self.inputs += [(name, inputs) for inputs in self.inputs_of(ld)]
            inst = ld.get("inst", "")
            if lds[inst][1] is ld:
                table = lns[inst]
                for ln in ld.iterchildren(tag_ln):
                    get = ln.get
                    table.setdefault((get("prefix", ""), get("lnClass"), get("inst", "")), get("lnType"))
                ln0 = next(ld.iterchildren(tag_ln0), None)
                if ln0 is not None:
                    table["LLN0"] = ln0.get("lnType")
        signature = tuple((inst, tuple(table.items())) for inst, table in lns.items())
        members = self._members_of.get(signature)
        if members is None:
            members = self._members_of[signature] = {}
            self._data_sets = None
        else:
            self._data_sets = self._data_sets_of.setdefault(signature, {})
        self._members = members
        self._lns = lns
        for ap, ld in devices:
            inst = ld.get("inst", "")
            ld_name = lds[inst][0] if lds[inst][1] is ld else ld.get("ldName") or name + inst
            for ln in ld.iterchildren(tag_ln0):
                data_sets = {ds.get("name", ""): ds for ds in self.children(ln, "DataSet")}
                resolved: dict[str, DataSet] = {}
                for el in ln.iterchildren(self.ns + "GSEControl", self.ns + "SampledValueControl"):
                    if el.tag == self.ns + "GSEControl":
                        kind, sep = "goose", "$GO$"
                        if el.get("type", "GOOSE") != "GOOSE":
                            self.findings.append(f"{ld_name}/LLN0$GO${el.get('name', '')}: a {el.get('type')} "
                                                 f"block, not GOOSE: left out")
                            self.left_out.add((name, inst, el.get("name", "")))
                            continue
                    else:
                        kind, sep = "sv", "$MS$"
                    cb_name = el.get("name", "")
                    ref = f"{ld_name}/LLN0{sep}{cb_name}"
                    ds_name = el.get("datSet")
                    data_set = None
                    if ds_name:
                        if ds_name not in resolved and ds_name in data_sets:
                            resolved[ds_name] = self.read_data_set(name, ld_name, inst, data_sets[ds_name])
                        data_set = resolved.get(ds_name)
                        if data_set is None:
                            self.findings.append(f"{ref}: datSet {ds_name} is no DataSet of its LLN0")
                    cb = ControlBlock(
                        kind=kind, ied=name, access_point=ap.get("name", ""), ld_inst=inst, name=cb_name,
                        ref=ref, id=el.get("appID") if kind == "goose" else el.get("smvID"),
                        dat_set=f"{ld_name}/LLN0${ds_name}" if ds_name else None, data_set=data_set,
                        conf_rev=_int(el.get("confRev")),
                    )
                    if kind == "sv":
                        cb.smp_rate = _int(el.get("smpRate"))
                        cb.smp_mod = el.get("smpMod")
                        cb.nof_asdu = _int(el.get("nofASDU"))
                        cb.multicast = el.get("multicast", "true") != "false"
                        if cb.smp_mod is not None and cb.smp_mod not in SMP_MODS:
                            self.findings.append(f"{ref}: smpMod {cb.smp_mod!r} is none of {', '.join(SMP_MODS)}")
                    blocks.append(cb)
        return blocks

    def read_data_set(self, ied: str, ld_name: str, inst: str, ds: etree._Element) -> DataSet:
        ds_name = ds.get("name", "")
        where = f"{ld_name}/LLN0${ds_name}"
        if self._data_sets is None:
            entries = self.entries(inst, ds)
        else:
            content = (inst, etree.tostring(ds, with_tail=False))
            entries = self._data_sets.get(content)
            if entries is None:
                entries = self._data_sets[content] = self.entries(inst, ds)
        members = [Member(ied + tail, fc, member_type) for tail, fc, member_type, _ in entries]
        for tail, fc, _, why in entries:
            if why is not None:
                self.findings.append(f"{where}: FCDA {ied + tail} ({fc}): {why}")
        return DataSet(ds_name, where, members)

    def entries(self, inst: str, ds: etree._Element) -> list[tuple[str, str, SclType | None, str | None]]:
        """The members of a data set of the IED being read, ``inst`` its logical device: each as
        :meth:`member` gives it."""
        known = self._members
        entries = []
        for fcda in ds.iterchildren(self.ns + "FCDA"):
            get = fcda.get
            key = (get("ldInst", inst), get("prefix", ""), get("lnClass", ""), get("lnInst", ""), get("doName", ""),
                   get("daName"), get("fc", ""))
            found = known.get(key)
            if found is None:
                found = known[key] = self.member(*key)
            entries.append(found)
        return entries

    def member(self, ld_inst: str, prefix: str, ln_class: str, ln_inst: str, do_name: str, da_name: str | None,
               fc: str) -> tuple[str, str, SclType | None, str | None]:
        """An FCDA of the IED being read: its reference after the IED name, its fc, its type and, when that
        does not resolve, why."""
        tail = f"{ld_inst}/{prefix}{ln_class}{ln_inst}.{do_name}" + (f".{da_name}" if da_name else "")
        found = self.member_type(ld_inst, prefix, ln_class, ln_inst, do_name, da_name, fc)
        return (tail, fc, None, found) if isinstance(found, str) else (tail, fc, found, None)

    def member_type(self, ld_inst: str, prefix: str, ln_class: str, ln_inst: str, do_name: str,
                    da_name: str | None, fc: str) -> SclType | str:
        """The type of an FCDA of the IED being read, or why it does not resolve."""
        table = self._lns.get(ld_inst)
        if table is None:
            return f"no logical device {ld_inst!r}"
        ln_type = table.get((prefix, ln_class, ln_inst) if ln_class != "LLN0" else "LLN0")
        if ln_type is None:
            return f"no LN {prefix}{ln_class}{ln_inst} in {ld_inst}"
        key = (ln_type, do_name, da_name, fc)
        found = self._types.get(key)
        if found is None:
            found = self._types[key] = self.resolve(ln_type, do_name, da_name, fc)
        return found

    def named(self, el: etree._Element, *tags: str) -> dict[str, etree._Element]:
        """The children of a type declaration with these tags by name (the first of a name), made once."""
        key = (el, tags)
        table = self._named.get(key)
        if table is None:
            table = self._named[key] = {}
            for c in el.iterchildren(*(self.ns + local for local in tags)):
                name = c.get("name")
                if name is not None:
                    table.setdefault(name, c)
        return table

    def resolve(self, ln_type: str, do_name: str, da_name: str | None, fc: str) -> SclType | str:
        """The type of an FCDA's data below an LN of ``ln_type``, or why it does not resolve.

        doName then daName name a path: the DO, its SDOs, then a DA and its BDAs (some tools put SDOs in
        daName, so the split between the two is not relied on). A path ending on a (sub) data object is
        that whole object, its attributes of ``fc``."""
        node = self.ln_types.get(ln_type)
        if node is None:
            return f"LNodeType {ln_type!r} is not declared"
        if not do_name:
            return "no doName"
        names = do_name.split(".") + (da_name.split(".") if da_name else [])
        path = [_strip_index(name) for name in names]
        child = self.named(node, "DO").get(path[0])
        if child is None:
            return f"no DO {path[0]!r} in {node.get('id')!r}"
        for i, part in enumerate(path[1:], start=1):
            node = self.do_types.get(child.get("type", ""))
            if node is None:
                return f"DOType {child.get('type')!r} is not declared"
            child = self.named(node, "SDO", "DA").get(part)
            if child is None:
                return f"no SDO or DA {part!r} in DOType {node.get('id')!r}"
            if child.tag == self.tag("DA"):
                return self.attribute_path(child, path[i + 1:], fc, bool(_INDEX.search(names[-1])))
        node = self.do_types.get(child.get("type", ""))
        if node is None:
            return f"DOType {child.get('type')!r} is not declared"
        whole = self.whole_do(node, fc, path[-1], 0)
        return f"no data attribute of fc {fc} in {'.'.join(names)}" if whole is None else whole

    def attribute_path(self, da: etree._Element, path: list[str], fc: str, indexed: bool) -> SclType | str:
        """The type of a DA of ``fc``, or of the BDA ``path`` names below it."""
        if da.get("fc") not in (None, fc):
            return f"DA {da.get('name')!r} has fc {da.get('fc')}, not {fc}"
        element = da
        for part in path:
            da_type = self.da_types.get(element.get("type", "")) if element.get("bType") == "Struct" else None
            if da_type is None:
                return f"{element.get('name')!r} has no component {part!r}"
            element = self.named(da_type, "BDA").get(part)
            if element is None:
                return f"no BDA {part!r} in DAType {da_type.get('id')!r}"
        return self.attribute(element, 0, indexed)

    def whole_do(self, do_type: etree._Element, fc: str, name: str, depth: int) -> SclType | str | None:
        """A whole (sub) data object: its DAs of ``fc`` and its SDOs holding some, in declaration order;
        None when none has that fc."""
        key = (do_type.get("id"), fc, name)
        if key not in self._whole:
            self._whole[key] = self.whole_do_uncached(do_type, fc, name, depth)
        return self._whole[key]

    def whole_do_uncached(self, do_type: etree._Element, fc: str, name: str, depth: int) -> SclType | str | None:
        if depth > 16:
            return f"DOType {do_type.get('id')!r} nests too deep"
        members = []
        for c in do_type.iterchildren(self.tag("DA"), self.tag("SDO")):
            if c.tag == self.tag("DA"):
                if c.get("fc") == fc:
                    t = self.attribute(c, 0)
                    if isinstance(t, str):
                        return t
                    members.append(t)
            else:
                sub = self.do_types.get(c.get("type", ""))
                if sub is None:
                    return f"DOType {c.get('type')!r} is not declared"
                t = self.whole_do(sub, fc, c.get("name", ""), depth + 1)
                if isinstance(t, str):
                    return t
                if t is not None:
                    members.append(t)
        return SclType("Struct", name, tuple(members)) if members else None

    def attribute(self, el: etree._Element, depth: int, indexed: bool = False) -> SclType | str:
        """The type of a DA or BDA (a Struct through its DAType), an array as a structure of its elements."""
        if depth > 16:
            return f"DAType {el.get('type')!r} nests too deep"
        btype = el.get("bType", "")
        name = el.get("name", "")
        if btype == "Struct":
            da_type = self.da_types.get(el.get("type", ""))
            if da_type is None:
                return f"DAType {el.get('type')!r} is not declared"
            members = []
            for bda in self.children(da_type, "BDA"):
                t = self.attribute(bda, depth + 1)
                if isinstance(t, str):
                    return t
                members.append(t)
            t = SclType("Struct", name, tuple(members))
        elif btype == "Enum":
            enum = self.enum_types.get(el.get("type", ""))
            if enum is None:
                return f"EnumType {el.get('type')!r} is not declared"
            t = SclType("Enum", name, enum=enum)
        elif btype in BASIC_TYPES:
            t = SclType(btype, name)
        else:
            return f"{name!r} has no known bType ({btype!r})"
        count = _int(el.get("count"))
        if count and not indexed:
            return SclType("Struct", name, (t,) * min(count, _ARRAY_MAX))
        return t

    def read_subscriptions(self, blocks: list[ControlBlock]) -> None:
        """Each block's subscribers: the IEDs whose ExtRefs name it, or a member of its data set."""
        by_cb = {(cb.ied, cb.ld_inst, cb.name): cb for cb in blocks}
        by_data: dict[tuple, list[ControlBlock]] | None = None    # made when an ExtRef names data
        for subscriber, inputs in self.inputs:
            for ext in self.children(inputs, "ExtRef"):
                ied = ext.get("iedName")
                if ied is None:
                    continue
                service = ext.get("serviceType")
                kind = {"GOOSE": "goose", "SMV": "sv"}.get(service or "")
                cb_name = ext.get("srcCBName")
                if cb_name:
                    targets = [by_cb.get((ied, ext.get("srcLDInst") or ext.get("ldInst", ""), cb_name))]
                else:
                    if by_data is None:
                        by_data = self.blocks_by_data(blocks)
                    ln = f"{ied}{ext.get('ldInst', '')}/{ext.get('prefix', '')}{ext.get('lnClass', '')}" \
                         f"{ext.get('lnInst', '')}"
                    targets = by_data.get((ied, ln, (ext.get("doName") or "").split(".")[0]), [])
                for cb in targets:
                    if cb is not None and (kind is None or cb.kind == kind) and subscriber not in cb.subscribers:
                        cb.subscribers.append(subscriber)

    @staticmethod
    def blocks_by_data(blocks: list[ControlBlock]) -> dict[tuple, list[ControlBlock]]:
        """The blocks whose data sets hold a data object, by (IED, LN reference, DO name)."""
        by_data: dict[tuple, list[ControlBlock]] = {}
        for cb in blocks:
            if cb.data_set is None:
                continue
            for m in cb.members:
                head = m.ref.split(".", 2)
                by_data.setdefault((cb.ied, head[0], head[1] if len(head) > 1 else ""), []).append(cb)
        return by_data
