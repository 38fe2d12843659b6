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

from dataclasses import dataclass, field
from typing import Iterable, Sequence

from .data import Data, Timestamp
from .values import FrameHeader, UtcTime, Value, data_values, text

__all__ = ["ETHERTYPE_GOOSE", "GooseFrame", "GoosePDU", "decode_frame"]

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
    return GooseFrame(
        header=FrameHeader.from_native(frame),
        gocb_ref=text(pdu["gocb_ref"]),
        time_allowed_to_live=pdu["time_allowed_to_live"],
        dat_set=text(pdu["dat_set"]),
        go_id=None if pdu["go_id"] is None else text(pdu["go_id"]),
        t=UtcTime.from_octets(pdu["t"]),
        st_num=pdu["st_num"],
        sq_num=pdu["sq_num"],
        simulation=pdu["simulation"],
        conf_rev=pdu["conf_rev"],
        nds_com=pdu["nds_com"],
        num_dat_set_entries=pdu["num_dat_set_entries"],
        entries=pdu["entries"],
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
