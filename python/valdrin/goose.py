"""IEC 61850-8-1 GOOSE messages.

A :class:`GoosePDU` holds the fields of one IECGoosePdu; its ``all_data``
holds the values of the data set as :mod:`valdrin.data` objects.
:meth:`GoosePDU.encode` gives the BER-encoded PDU (the APDU) and
:meth:`GoosePDU.encode_frame` the complete Ethernet frame (EtherType 0x88B8,
APPID header, optional 802.1Q tag, not padded), both through the native
encoder.

>>> from valdrin.data import BoolData
>>> pdu = GoosePDU("IED1LD0/LLN0$GO$gcb1", "IED1LD0/LLN0$DS1", all_data=[BoolData(True)])
>>> pdu.encode()[:2].hex()
'614d'
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Iterable, Sequence

from .data import Data, Timestamp
from .inject import Kind, Knob, Step
from .sv import FAULT_KNOBS as _SV_KNOBS
from .values import FrameHeader, UtcTime, Value, data_values, from_native, text

__all__ = ["ETHERTYPE_GOOSE", "FAULT_KNOBS", "GooseBlock", "GooseFrame", "GoosePDU", "Publisher", "decode_frame"]

ETHERTYPE_GOOSE = 0x88B8


@dataclass
class GoosePDU:
    """One GOOSE message, field by field (IEC 61850-8-1 IECGoosePdu).

    Texts must be ASCII. ``go_id`` ``None`` leaves the optional goID out (an
    empty str sends an empty one). ``timestamp`` and ``time_quality`` make
    the field ``t``, as :func:`valdrin.data.encode_utc_time` takes them.
    ``num_dat_set_entries`` ``None`` stands for the number of values in
    ``all_data`` (counted when the object is made; set it again after
    changing ``all_data``). Numbers are unsigned 32-bit.
    """

    gocb_ref: str
    dat_set: str
    go_id: str | None = None
    time_allowed_to_live: int = 2000
    timestamp: Timestamp = 0
    time_quality: int = 0
    st_num: int = 1
    sq_num: int = 0
    simulation: bool = False
    conf_rev: int = 1
    nds_com: bool = False
    num_dat_set_entries: int | None = None
    all_data: Sequence[Data] | Iterable[Data] = field(default_factory=list)

    def __post_init__(self) -> None:
        if self.num_dat_set_entries is None:
            self.all_data = list(self.all_data)
            self.num_dat_set_entries = len(self.all_data)

    def encode(self) -> bytes:
        """The BER encoding of the IECGoosePdu."""
        import valdrin_rt

        return valdrin_rt.encode_goose_pdu(self)

    def encode_frame(
        self,
        dst_mac: bytes | Sequence[int],
        src_mac: bytes | Sequence[int],
        app_id: int,
        vlan_id: int | None = None,
        vlan_priority: int | None = None,
    ) -> bytes:
        """The Ethernet frame carrying the PDU.

        ``dst_mac`` and ``src_mac`` are six octets; ``app_id`` 0 to 65535.
        With ``vlan_id`` (0 to 4095) the frame carries an 802.1Q tag of that
        identifier and ``vlan_priority`` (0 to 7, ``None`` for 0); without
        it, ``vlan_priority`` is not used.
        """
        import valdrin_rt

        return valdrin_rt.encode_goose_frame(self, dst_mac, src_mac, app_id, vlan_id, vlan_priority)


# --- decoding for people ------------------------------------------------------


@dataclass(frozen=True)
class GooseFrame:
    """A received GOOSE frame as Python values (see :func:`decode_frame`)."""

    header: FrameHeader
    gocb_ref: str
    time_allowed_to_live: int
    dat_set: str
    go_id: str | None
    t: UtcTime
    st_num: int
    sq_num: int
    simulation: bool
    conf_rev: int
    nds_com: bool
    num_dat_set_entries: int
    entries: int
    values: list[Value]


def message_from_native(frame: dict, pdu: dict) -> GooseFrame:
    """The :class:`GooseFrame` of the two dicts that :func:`valdrin_rt.decode_goose_frame` returns."""
    return from_native(
        GooseFrame,
        pdu,
        header=FrameHeader.from_native(frame),
        gocb_ref=text(pdu["gocb_ref"]),
        dat_set=text(pdu["dat_set"]),
        go_id=None if pdu["go_id"] is None else text(pdu["go_id"]),
        t=UtcTime.from_octets(pdu["t"]),
        values=data_values(pdu["all_data"]),
    )


def decode_frame(raw: bytes, strict: bool = False) -> GooseFrame | None:
    """The GOOSE frame ``raw`` as Python values, or ``None`` when it is not GOOSE.

    Text fields become ``str``, ``t`` a :class:`valdrin.values.UtcTime` and
    ``allData`` nested lists of values (:func:`valdrin.values.data_values`).
    Raises ``ValueError`` with the decoder's text when the PDU is invalid, or
    not conformant when ``strict``.
    """
    import valdrin_rt

    decoded = valdrin_rt.decode_goose_frame(bytes(raw), strict)
    return None if decoded is None else message_from_native(*decoded)


# --- publishing ---------------------------------------------------------------

# The fault knobs of :meth:`Publisher.fault`, each with what a receiver sees.
FAULT_KNOBS = {
    "skip_sq": "the next frame's sqNum jumps ahead by `value` (frames lost)",
    "repeat": "each of the next `value` frames is sent twice (duplicates)",
    "old_st": "each of the next `value` frames is preceded by one of the state before, as it was: its stNum, "
              "values and t (a stale frame, out of order); waits until the block has left a state",
    "silent": "no frame for `value` seconds: the retransmissions stop, timeAllowedToLive runs out",
    "wrong_conf_rev": "confRev + 1 while true",
    "simulation": "the simulation flag set while true",
    "nds_com": "ndsCom set while true",
    "wrong_type": "the first data set member sent with another type while true",
    # The PRP knobs (a publisher with prp_b) are the SV publisher's: the same names, values and effects.
    **{knob.name: knob.help.replace("with --prp: ", "PRP: ") for knob in _SV_KNOBS.values() if knob.prp},
}

# The knobs as ``valdrin goose publish --inject`` names them (valdrin.inject's grammar).
INJECT_KNOBS = {
    knob.name: knob for knob in (
        Knob("skip_sq", Kind.COUNT, "the next frame's sqNum jumps ahead by N (frames lost)"),
        Knob("repeat", Kind.COUNT, "each of the next N frames is sent twice (duplicates)"),
        Knob("old_st", Kind.COUNT, "the next N frames each follow a stale frame of the state before"),
        Knob("silent", Kind.SPAN, "no frame for TIME: timeAllowedToLive runs out"),
        Knob("wrong_conf_rev", Kind.FLAG, "confRev + 1"),
        Knob("simulation", Kind.FLAG, "the simulation flag set"),
        Knob("nds_com", Kind.FLAG, "ndsCom set"),
        Knob("wrong_type", Kind.FLAG, "the first data set member sent with another type"),
        *(knob for knob in _SV_KNOBS.values() if knob.prp),
    )
}


@dataclass
class GooseBlock:
    """One control block to publish: its template and its schedule.

    ``pdu`` gives the fixed fields (gocbRef, datSet, goID, confRev,
    simulation, ndsCom, t's quality), the first stNum and the first values;
    its sqNum, t and timeAllowedToLive are the publisher's. After a state
    change the frame goes out at once, retransmissions follow after
    ``min_time_ms`` (T1), then at doubling intervals up to ``max_time_ms``
    (T0), then every T0. timeAllowedToLive is ``tal_factor`` times the
    interval until the next frame, or ``fixed_tal_ms`` when given.
    ``capacity`` is the largest encoded allData :meth:`Publisher.publish`
    accepts (octets; at least the template's).
    """

    pdu: GoosePDU
    dst_mac: bytes | Sequence[int]
    app_id: int
    src_mac: bytes | Sequence[int] = bytes(6)
    vlan_id: int | None = None
    vlan_priority: int | None = None
    min_time_ms: float = 2.0
    max_time_ms: float = 1000.0
    tal_factor: int = 2
    fixed_tal_ms: int | None = None
    capacity: int = 1024

    def frame(self) -> bytes:
        """The template frame, encoded by the package's own GOOSE encoder."""
        return self.pdu.encode_frame(self.dst_mac, self.src_mac, self.app_id, self.vlan_id, self.vlan_priority)

    def native(self) -> tuple:
        for name in ("min_time_ms", "max_time_ms"):
            value = getattr(self, name)
            if not value > 0:
                raise ValueError(f"{name} must be positive (got {value})")
        if self.min_time_ms > self.max_time_ms:
            raise ValueError(f"min_time_ms ({self.min_time_ms}) must not exceed max_time_ms ({self.max_time_ms})")
        return (self.frame(), round(self.min_time_ms * 1e6), round(self.max_time_ms * 1e6), self.tal_factor,
                self.fixed_tal_ms or 0, self.capacity)


def _shape(value: Data) -> object:
    """The type of a Data value, with its members' for containers."""
    members = getattr(value, "members", None)
    if members is None:
        members = getattr(value, "elements", None)
    if members is not None:
        return (type(value).__name__, tuple(_shape(m) for m in members))
    if type(value).__name__ == "FloatData":
        return ("FloatData", value.double)
    return type(value).__name__


class Publisher:
    """Publishes GOOSE for ``blocks`` on ``iface`` from a native thread.

    Every block's template goes out as a state change when the publisher
    starts; :meth:`publish` makes the next one (stNum + 1, sqNum 0, t the
    instant of the change), sent at once, retransmissions restarting.
    Frames are paced on absolute CLOCK_REALTIME deadlines. Use it as a
    context manager, or call :meth:`start` and :meth:`stop`. Needs
    CAP_NET_RAW; ``OSError`` for an interface that does not exist.

    With ``prp_b`` (LAN B's interface, ``iface`` being LAN A) every frame
    goes out on both LANs with its PRP (IEC 62439-3) trailer, one sequence
    number per source MAC shared by both copies, and each node sends its
    supervision frame on both LANs at the start and every 2 s; the frames
    before the trailer are those of a run without PRP. ``stats()`` then
    counts the frames of both LANs.
    """

    def __init__(self, iface: str, blocks: Sequence[GooseBlock], *, rt_priority: int | None = None,
                 cpu: int | None = None, prp_b: str | None = None) -> None:
        import valdrin_rt

        self.iface = iface
        self.prp_b = prp_b
        self.blocks = list(blocks)
        if not self.blocks:
            raise ValueError("no control blocks")
        self._shapes = [[_shape(v) for v in b.pdu.all_data] for b in self.blocks]
        self._native = valdrin_rt.GoosePublisher(iface, [b.native() for b in self.blocks], rt_priority, cpu,
                                                 prp_b=prp_b)

    def _index(self, block: int | str) -> int:
        if isinstance(block, str):
            for i, b in enumerate(self.blocks):
                if b.pdu.gocb_ref == block:
                    return i
            raise KeyError(f"no control block {block!r}")
        if not 0 <= block < len(self.blocks):
            raise IndexError(f"no control block {block}")
        return block

    def start(self) -> None:
        """Open the socket and send every block's state, then its retransmissions."""
        self._native.start()

    def stop(self) -> None:
        """Stop sending (prompt whatever the schedule); :meth:`start` sends each state anew, stNum + 1."""
        self._native.stop()

    def __enter__(self) -> Publisher:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def publish(self, block: int | str, values: Sequence[Data]) -> None:
        """A state change of ``block`` (its index or gocbRef) to ``values``.

        The values must have the kinds of the block's data set, member by
        member; ``TypeError`` otherwise, and nothing is sent.
        """
        index = self._index(block)
        self._native.publish(index, self._pdu(index, values).encode())

    def last_change(self, block: int | str) -> tuple[int, int] | None:
        """``(st_num, sent_ns)`` of ``block``'s last state change whose first frame went out:
        ``sent_ns`` is the real-time clock (ns since the epoch) just before that frame was
        handed to the kernel. None before the first."""
        return self._native.last_change(self._index(block))

    def render(self, block: int | str, values: Sequence[Data], st_num: int, sq_num: int, k: int,
               change_ns: int) -> tuple[int, bytes]:
        """``(time_ns, frame)`` of frame ``k`` after a state change to ``values`` at ``change_ns``
        (ns since the epoch), exactly as the thread sends it: for pcap files."""
        index = self._index(block)
        return self._native.render(index, self._pdu(index, values).encode(), st_num, sq_num, k, change_ns)

    def _pdu(self, index: int, values: Sequence[Data]) -> GoosePDU:
        """The block's template PDU with ``values``, which must have its data set's kinds."""
        values = list(values)
        expected = self._shapes[index]
        if len(values) != len(expected):
            raise TypeError(f"the data set has {len(expected)} members, got {len(values)} values")
        for i, (value, shape) in enumerate(zip(values, expected)):
            if _shape(value) != shape:
                raise TypeError(f"value {i} is {_shape(value)}, the data set member is {shape}")
        return replace(self.blocks[index].pdu, all_data=values, num_dat_set_entries=None)

    def fault(self, block: int | str, knob: str, value: float | bool = 1) -> None:
        """Sets fault knob ``knob`` of ``block`` (see :data:`FAULT_KNOBS`)."""
        if knob not in FAULT_KNOBS:
            raise ValueError(f"no such fault knob: {knob!r}")
        if INJECT_KNOBS[knob].prp and self.prp_b is None:
            raise ValueError(f"{knob} acts on PRP's LANs: it needs a publisher with prp_b")
        index = self._index(block)
        if knob == "silent":
            self._native.fault(index, "silent_ns", round(float(value) * 1e9))
        elif INJECT_KNOBS[knob].kind is Kind.DELAY:  # µs
            self._native.fault(index, knob, round(float(value) * 1e3))
        else:
            self._native.fault(index, knob, int(value))

    def inject(self, block: int | str, step: Step) -> None:
        """Applies one step of an injection schedule (:func:`valdrin.inject.steps` over
        :data:`INJECT_KNOBS`) to ``block``'s knobs."""
        name = step.knob.name
        if step.knob.kind is Kind.SPAN:
            self.fault(block, name, step.value / 1e9)
        elif step.knob.kind is Kind.DELAY:  # ns in a step, µs for fault()
            self.fault(block, name, 0 if step.clear else step.value / 1e3)
        else:
            self.fault(block, name, 0 if step.clear else int(step.value))

    def stats(self) -> dict:
        """frames_sent, send_errors, late_frames, max_lateness_ns, cumulative over every run."""
        return self._native.stats()
