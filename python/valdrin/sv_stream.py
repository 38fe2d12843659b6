"""SV stream descriptions and their frame templates, behind :mod:`valdrin.sv`.

:class:`Wave`, :class:`Fault`, :class:`Playback` and :class:`Stream` check and
normalise their arguments; :func:`encode_frame` and :func:`encode_sav_pdu`
encode a stream with zero counters and samples. Nothing here touches the
native engine: :mod:`valdrin.sv_publisher` converts these descriptions into
its input, and :mod:`valdrin.sv` publishes them.
"""

from __future__ import annotations

import numbers
import operator
import re
from dataclasses import KW_ONLY, dataclass
from typing import Any, Iterable, Sequence

__all__ = [
    "CHANNEL_OCTETS",
    "ETHERTYPE_SV",
    "Fault",
    "Playback",
    "Stream",
    "Template",
    "Wave",
    "encode_frame",
    "encode_sav_pdu",
]

ETHERTYPE_SV = 0x88BA
_TPID = 0x8100

_INT32 = (-(2**31), 2**31 - 1)
_UINT32 = (0, 2**32 - 1)
_INT64 = (-(2**63), 2**63 - 1)

# Octets per channel in the ASDU's sample field: INT32 value + quality word.
CHANNEL_OCTETS = 8

_MAC_TEXT = re.compile(r"[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}")
_VISIBLE = re.compile(r"[\x20-\x7e]+")


# --- argument checks ------------------------------------------------------


def _integer(name: str, value: Any, lo: int, hi: int) -> int:
    """``value`` as an int within lo..hi, or a TypeError/ValueError naming ``name``."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not lo <= number <= hi:
        raise ValueError(f"{name} must be between {lo} and {hi}, got {number}")
    return number


def _real(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _mac(name: str, value: Any) -> bytes:
    if isinstance(value, str):
        if not _MAC_TEXT.fullmatch(value):
            raise ValueError(
                f"{name} must be six hexadecimal octets like 01:0c:cd:04:00:01, got {value!r}"
            )
        return bytes.fromhex(value.replace(":", "").replace("-", ""))
    if isinstance(value, (bytes, bytearray, memoryview)):
        octets = bytes(value)
        if len(octets) != 6:
            raise ValueError(f"{name} must be 6 octets, got {len(octets)}")
        return octets
    raise TypeError(f"{name} must be bytes or a str like 01:0c:cd:04:00:01, not {type(value).__name__}")


def _visible(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if not _VISIBLE.fullmatch(value):
        raise ValueError(f"{name} must be non-empty visible ASCII, got {value!r}")
    return value


def _waves(name: str, values: Iterable[Any]) -> tuple[Wave, ...]:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of Wave, not {type(values).__name__}")
    waves = tuple(values)
    for index, wave in enumerate(waves):
        if not isinstance(wave, Wave):
            raise TypeError(f"{name}[{index}] must be a Wave, not {type(wave).__name__}")
    return waves


def _set(obj: object, name: str, value: Any) -> None:
    object.__setattr__(obj, name, value)  # normalising a frozen dataclass


# --- stream description ---------------------------------------------------


@dataclass(frozen=True)
class Wave:
    """The signal of one channel: ``amplitude * sin(2*pi*frequency_hz*t + phase) + offset``.

    Each sample is that value times ``scale``, rounded to the nearest integer
    (ties to even) and clamped to the INT32 range; ``quality`` is the 32-bit
    quality word sent beside every sample. A frequency or amplitude of 0 gives
    the constant ``offset``.
    """

    amplitude: float = 0.0
    phase_deg: float = 0.0
    frequency_hz: float = 50.0
    offset: float = 0.0
    scale: float = 1.0
    quality: int = 0

    def __post_init__(self) -> None:
        for name in ("amplitude", "phase_deg", "frequency_hz", "offset", "scale"):
            _set(self, name, _real(name, getattr(self, name)))
        _set(self, "quality", _integer("quality", self.quality, *_UINT32))


@dataclass(frozen=True)
class Fault:
    """A recurring window in which the channels follow other waves.

    The window opens at sample ``start_smp`` of every UNIX second S for which
    S - ``offset_s`` is a multiple of ``cycle_s``, and lasts ``duration_s``
    seconds (rounded to whole samples, at most one cycle; None: half a cycle).
    ``waves`` holds one wave per channel of the stream.
    """

    waves: Sequence[Wave]
    cycle_s: int = 1
    offset_s: int = 0
    start_smp: int = 0
    duration_s: float | None = None

    def __post_init__(self) -> None:
        _set(self, "waves", _waves("fault waves", self.waves))
        _set(self, "cycle_s", _integer("cycle_s", self.cycle_s, 1, _INT64[1]))
        _set(self, "offset_s", _integer("offset_s", self.offset_s, *_INT64))
        _set(self, "start_smp", _integer("start_smp", self.start_smp, 0, _INT64[1]))
        if self.duration_s is not None:
            duration = _real("duration_s", self.duration_s)
            if not duration >= 0.0:  # also refuses NaN
                raise ValueError(
                    f"duration_s must be None or a non-negative number of seconds, got {duration}"
                )
            _set(self, "duration_s", duration)


def _rows(name: str, rows: Iterable[Iterable[Any]], lo: int, hi: int, kind: str) -> tuple[tuple[int, ...], ...]:
    if isinstance(rows, (str, bytes)):
        raise TypeError(f"{name} must be rows of integers, not {type(rows).__name__}")
    result = []
    for r, row in enumerate(rows):
        try:
            items = tuple(row)
        except TypeError:
            raise TypeError(f"{name} row {r} must be a sequence of integers, not {type(row).__name__}") from None
        checked = []
        for c, item in enumerate(items):
            if isinstance(item, bool):
                item = None  # refused below, like any other non-integer
            try:
                number = operator.index(item)
            except TypeError:
                raise TypeError(
                    f"{name} at row {r}, channel {c} must be an integer, not {type(item).__name__}"
                ) from None
            if not lo <= number <= hi:
                raise ValueError(f"{name} {number} at row {r}, channel {c} is outside the {kind} range")
            checked.append(number)
        result.append(tuple(checked))
    return tuple(result)


@dataclass(frozen=True)
class Playback:
    """Recorded samples played in place of the waves.

    ``values`` is a sequence of rows, one per sample instant, each holding
    one INT32 value per channel. Row 0 plays at the absolute sample number
    ``start`` (UNIX second * sample rate + sample index in that second), the
    following rows at the following samples. With ``period`` (in samples) the
    recording repeats every ``period`` samples, before ``start`` as well;
    without it, it plays once. ``qualities``, shaped like ``values``, gives
    each sample's quality word; without it each channel's wave quality is sent.
    """

    values: Sequence[Sequence[int]]
    qualities: Sequence[Sequence[int]] | None = None
    period: int | None = None
    start: int = 0

    def __post_init__(self) -> None:
        values = _rows("playback value", self.values, *_INT32, "int32")
        if not values:
            raise ValueError("playback needs at least one row")
        width = len(values[0])
        if width == 0:
            raise ValueError("playback rows need at least one value")
        for r, row in enumerate(values):
            if len(row) != width:
                raise ValueError(f"playback row {r} has {len(row)} values, row 0 has {width}")
        _set(self, "values", values)
        if self.qualities is not None:
            qualities = _rows("playback quality", self.qualities, *_UINT32, "uint32")
            if [len(row) for row in qualities] != [width] * len(values):
                raise ValueError("playback qualities must have the shape of the values")
            _set(self, "qualities", qualities)
        if self.period is not None:
            _set(self, "period", _integer("period", self.period, 1, _INT64[1]))
        _set(self, "start", _integer("start", self.start, *_INT64))

    @property
    def channels(self) -> int:
        """Values per row."""
        return len(self.values[0])

    @classmethod
    def from_comtrade(cls, cfg: Any, dat: Any = None, **options: Any) -> Playback:
        """The analog channels of the COMTRADE record ``cfg`` (its data file ``dat``: default the
        one beside it) as :meth:`from_recording` takes them, with the same keyword ``options``.

        See :mod:`valdrin.recording` (needs numpy, scipy and comtrade); a
        file that cannot be read raises ``ValueError``.
        """
        from .recording import read_comtrade

        return cls.from_recording(read_comtrade(cfg, dat), **options)

    @classmethod
    def from_recording(
        cls,
        recording: Any,
        *,
        rate: int = 4000,
        channels: Sequence[int | str] | None = None,
        scales: Sequence[float | None] | float | None = None,
        start: int = 0,
        loop: bool = False,
    ) -> Playback:
        """The analog ``channels`` (names, or numbers from 1; default all) of a
        :class:`valdrin.recording.Recording`.

        Values are converted to primary units and to counts (``scales``:
        counts per unit of the file; default from the unit, 1000 per A and
        100 per V) and resampled to ``rate`` samples per second by a
        band-limited polyphase filter; row 0 plays at the absolute sample
        ``start``; ``loop`` repeats the recording.
        """
        values, qualities = recording.playback_rows(rate, channels, scales)
        return cls(values, qualities, period=len(values) if loop else None, start=start)


@dataclass(frozen=True)
class Stream:
    """One Sampled Values stream: identity, addressing and channel signals.

    ``sv_id``, ``dat_set``, ``conf_rev`` and ``smp_synch`` go into every ASDU
    (svID, datSet, confRev, smpSynch), and so do ``smp_rate`` and ``smp_mod``
    (smpRate, smpMod) when given, exactly as given: without smpMod, receivers
    read smpRate as samples per nominal period (80 for 4000 samples/s at
    50 Hz), with smpMod 1 as samples per second. ``channels`` has one
    :class:`Wave` per channel. MAC addresses are 6 octets or text such as
    ``"01:0c:cd:04:00:01"``. With ``vlan_id`` the frames carry an IEEE 802.1Q
    tag with ``vlan_priority`` (4 when not given).
    """

    sv_id: str
    channels: Sequence[Wave] = ()
    _: KW_ONLY
    dat_set: str | None = None
    conf_rev: int = 1
    smp_synch: int = 0
    smp_rate: int | None = None
    smp_mod: int | None = None
    dst_mac: bytes | str = "01:0c:cd:04:00:01"
    src_mac: bytes | str = "00:00:00:00:00:00"
    app_id: int = 0x4000
    vlan_id: int | None = None
    vlan_priority: int | None = None
    fault: Fault | None = None
    playback: Playback | None = None

    def __post_init__(self) -> None:
        _visible("sv_id", self.sv_id)
        if self.dat_set is not None:
            _visible("dat_set", self.dat_set)
        _set(self, "channels", _waves("channels", self.channels))
        _set(self, "conf_rev", _integer("conf_rev", self.conf_rev, *_UINT32))
        _set(self, "smp_synch", _integer("smp_synch", self.smp_synch, 0, 0xFF))
        for name in ("smp_rate", "smp_mod"):
            if getattr(self, name) is not None:
                _set(self, name, _integer(name, getattr(self, name), 0, 0xFFFF))
        _set(self, "dst_mac", _mac("dst_mac", self.dst_mac))
        _set(self, "src_mac", _mac("src_mac", self.src_mac))
        _set(self, "app_id", _integer("app_id", self.app_id, 0, 0xFFFF))
        if self.vlan_id is None:
            if self.vlan_priority is not None:
                raise ValueError("vlan_priority needs a vlan_id")
        else:
            _set(self, "vlan_id", _integer("vlan_id", self.vlan_id, 0, 4095))
            priority = 4 if self.vlan_priority is None else self.vlan_priority
            _set(self, "vlan_priority", _integer("vlan_priority", priority, 0, 7))
        count = len(self.channels)
        if self.fault is not None:
            if not isinstance(self.fault, Fault):
                raise TypeError(f"fault must be a Fault or None, not {type(self.fault).__name__}")
            if len(self.fault.waves) != count:
                raise ValueError(f"the fault has {len(self.fault.waves)} waves but the stream has {count} channels")
        if self.playback is not None:
            if not isinstance(self.playback, Playback):
                raise TypeError(f"playback must be a Playback or None, not {type(self.playback).__name__}")
            if self.playback.channels != count:
                raise ValueError(
                    f"the playback has {self.playback.channels} channels but the stream has {count}"
                )


# --- encoding -------------------------------------------------------------


@dataclass(frozen=True)
class Template:
    """An encoded SV frame with zero counters and samples.

    ``smp_cnt_offsets[i]`` is the offset in ``frame`` of ASDU i's 2-octet
    smpCnt content, ``sample_offsets[i]`` that of its first channel (8 octets
    per channel follow).
    """

    frame: bytes
    smp_cnt_offsets: tuple[int, ...]
    sample_offsets: tuple[int, ...]


def _length(size: int) -> bytes:
    """BER definite length: short form below 128, else 0x81 nn, 0x82 nn nn, ..."""
    if size < 0x80:
        return bytes([size])
    octets = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def _tlv(tag: int, content: bytes) -> bytes:
    return bytes([tag]) + _length(len(content)) + content


def _encode(stream: Stream, asdus_per_frame: int) -> tuple[bytes, list[int], list[int]]:
    """The savPdu and the offsets of smpCnt and sample contents within it."""
    if not isinstance(stream, Stream):
        raise TypeError(f"stream must be a Stream, not {type(stream).__name__}")
    asdus_per_frame = _integer("asdus_per_frame", asdus_per_frame, 1, 0xFFFF)
    head = _tlv(0x80, stream.sv_id.encode("ascii"))
    if stream.dat_set is not None:
        head += _tlv(0x81, stream.dat_set.encode("ascii"))
    middle = _tlv(0x83, stream.conf_rev.to_bytes(4, "big")) + _tlv(0x85, bytes([stream.smp_synch]))
    if stream.smp_rate is not None:
        middle += _tlv(0x86, stream.smp_rate.to_bytes(2, "big"))
    sample_size = CHANNEL_OCTETS * len(stream.channels)
    before_samples = head + _tlv(0x82, b"\0\0") + middle + b"\x87" + _length(sample_size)
    content = before_samples + bytes(sample_size)
    if stream.smp_mod is not None:
        content += _tlv(0x88, stream.smp_mod.to_bytes(2, "big"))
    smp_cnt_at = len(head) + 2
    sample_at = len(before_samples)
    asdu = _tlv(0x30, content)
    asdu_head = len(asdu) - len(content)

    seq = _tlv(0xA2, asdu * asdus_per_frame)
    no_asdu = _tlv(0x80, asdus_per_frame.to_bytes((asdus_per_frame.bit_length() + 8) // 8, "big"))
    pdu = _tlv(0x60, no_asdu + seq)
    first = len(pdu) - len(asdu) * asdus_per_frame + asdu_head  # the ASDUs end the savPdu
    starts = [first + i * len(asdu) for i in range(asdus_per_frame)]
    return pdu, [s + smp_cnt_at for s in starts], [s + sample_at for s in starts]


def encode_sav_pdu(stream: Stream, asdus_per_frame: int = 1) -> bytes:
    """The savPdu (APDU) of ``stream`` with ``asdus_per_frame`` ASDUs, counters and samples zero."""
    return _encode(stream, asdus_per_frame)[0]


def encode_frame(stream: Stream, asdus_per_frame: int = 1) -> Template:
    """The whole Ethernet frame of ``stream`` as a :class:`Template`.

    Layout: destination and source MAC, an optional 802.1Q tag, EtherType
    0x88BA, APPID, Length (8 + APDU size), two reserved zero words, savPdu.
    Raises ValueError when the APDU does not fit the 16-bit Length field.
    Frames longer than the link's MTU (1500 octets of payload on most
    Ethernet links) encode but cannot be sent there.
    """
    pdu, smp_cnt, samples = _encode(stream, asdus_per_frame)
    if len(pdu) + 8 > 0xFFFF:
        raise ValueError(f"APDU too long: {len(pdu)} bytes")
    header = _mac("dst_mac", stream.dst_mac) + _mac("src_mac", stream.src_mac)
    if stream.vlan_id is not None:
        tci = (stream.vlan_priority or 0) << 13 | stream.vlan_id
        header += _TPID.to_bytes(2, "big") + tci.to_bytes(2, "big")
    header += (
        ETHERTYPE_SV.to_bytes(2, "big")
        + stream.app_id.to_bytes(2, "big")
        + (len(pdu) + 8).to_bytes(2, "big")
        + bytes(4)  # reserved1, reserved2
    )
    base = len(header)
    return Template(
        header + pdu,
        tuple(base + offset for offset in smp_cnt),
        tuple(base + offset for offset in samples),
    )
