"""Received Sampled Values frames as Python values (``valdrin.sv.decode_frame``).

The native :func:`valdrin_rt.decode_sv_frame` keeps every field raw; here
svID and datSet become ``str``, refrTm a :class:`valdrin.values.UtcTime`, and
the sample field a list of (value, quality) pairs when it holds whole 8-octet
channels (INT32 value, 32-bit quality: the common layout); when it does not,
``samples`` is ``None`` and only the octets are kept.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

from .values import FrameHeader, UtcTime, from_native, text

__all__ = ["Asdu", "SvFrame", "decode_frame", "samples_of"]

_CHANNEL = struct.Struct(">iI")  # one channel: INT32 value, then its quality as 32 bits

SMP_SYNCH = {0: "none", 1: "local", 2: "global"}


def samples_of(sample: bytes) -> list[tuple[int, int]] | None:
    """The (value, quality) pairs of a sample field, or None when it is not whole 8-octet channels."""
    if len(sample) % _CHANNEL.size:
        return None
    return list(_CHANNEL.iter_unpack(sample))


@dataclass(frozen=True)
class Asdu:
    """One ASDU of a received SV frame."""

    sv_id: str
    dat_set: str | None
    smp_cnt: int
    conf_rev: int
    refr_tm: UtcTime | None
    smp_synch: int
    smp_rate: int | None
    smp_mod: int | None
    gm_identity: bytes | None
    sample: bytes
    samples: list[tuple[int, int]] | None


@dataclass(frozen=True)
class SvFrame:
    """A received SV frame: its link layer, the security octets and the ASDUs in order."""

    header: FrameHeader
    security: bytes | None
    asdus: list[Asdu]


def asdu_from_native(asdu: dict) -> Asdu:
    """The :class:`Asdu` of one ASDU dict of the native decoder."""
    refr_tm = asdu["refr_tm"]
    return from_native(
        Asdu,
        asdu,
        sv_id=text(asdu["sv_id"]),
        dat_set=None if asdu["dat_set"] is None else text(asdu["dat_set"]),
        refr_tm=None if refr_tm is None else UtcTime(*refr_tm),
        samples=samples_of(asdu["sample"]),
    )


def decode_frame(raw: bytes) -> SvFrame | None:
    """The SV frame ``raw`` as Python values, or ``None`` when it is not SV.

    Raises ``ValueError`` with the decoder's text when the savPdu is invalid.
    """
    import valdrin_rt

    decoded = valdrin_rt.decode_sv_frame(bytes(raw))
    if decoded is None:
        return None
    frame, (security, asdus) = decoded
    return SvFrame(FrameHeader.from_native(frame), security, [asdu_from_native(asdu) for asdu in asdus])
