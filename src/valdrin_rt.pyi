"""Native core of valdrin: the Sampled Values publisher engine and the codecs."""

import os
from collections.abc import Sequence
from typing import Any, TypedDict, final

__version__: str
# SV streams and GOOSE blocks an Analyzer or Monitor tracks by default, and
# the most that may be asked for (each).
DEFAULT_SV_STREAMS: int
DEFAULT_GOOSE_BLOCKS: int
MOST_TRACKED: int
# The largest CPU number a thread can be pinned to; the largest V3 block timeout.
MAX_CPU: int
MAX_BLOCK_TIMEOUT_MS: int
# The 9-2LE scaling: counts per ampere (1 mA a count) and per volt (10 mV a count).
COUNTS_PER_AMPERE: int
COUNTS_PER_VOLT: int
# The preferred SV profile names (61869-9 and 9-2LE), e.g. "F4800S2I4U4".
SV_PROFILES: tuple[str, ...]

class Stats(TypedDict):
    frames_sent: int
    send_errors: int
    late_frames: int
    max_lateness_ns: int

@final
class Engine:
    """The engine behind `valdrin.sv.Publisher(engine="native")`.

    `Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority, cpu)`,
    `streams` being the dicts built by `valdrin.sv_publisher._native_streams`.
    """

    def __new__(
        cls,
        iface: str,
        rate: int,
        asdus_per_frame: int,
        streams: Sequence[dict[str, Any]],
        start_second: int,
        rt_priority: int | None = None,
        cpu: int | None = None,
        periods: int | None = None,
        prp_b: str | None = None,
        sequence: tuple[int, Sequence[tuple[Any, ...]]] | None = None,
    ) -> Engine: ...
    def sequence_command(self, state: int, period: int) -> None:
        """End sequence state `state` at the first sample of frame period `period` (or at the first
        period the transmit thread reads this in, if later); ignored unless `state` is current."""
    def sequence_status(self) -> list[tuple[int | None, int, int | None]]:
        """Per sequence state: `(first_sample | None, ending, sent_ns | None)`; ending 0 running,
        1 duration, 2 trigger, 3 timeout; sent_ns the clock just after its first frame was sent."""
    def sequence_frames(self, starts: Sequence[int | None], first: int, periods: int) -> list[tuple[int, bytes]]:
        """`[(due_ns, frame)]` of the sequenced stream for periods `first`... as sent by a run whose
        states began at the samples `starts` (None: at the state's own end)."""
    def render(self, stream: int, second: int, first_smp: int) -> bytes:
        """Frame of stream `stream` carrying samples `first_smp`... of UNIX second `second` (for tests)."""
    def frame(self, stream: int, period: int) -> tuple[int, bytes]:
        """`(due_ns, frame)`: frame period `period`'s instant (the transmit thread's schedule) and the
        frame of stream `stream` it sends then."""
    def instant(self, second: int, smp: int) -> int:
        """The instant (ns since 1970) of sample `smp` (0 to rate - 1) of UNIX second `second`, by the
        transmit thread's schedule."""
    def first_period(self, time_ns: int) -> int:
        """Number of the first frame period due at or after `time_ns` (0 up to the start second)."""
    def start(self) -> None:
        """Open the socket, then send from a thread of its own until `stop()`."""
    def stop(self) -> None: ...
    def stats(self) -> Stats: ...

def decode_sv_pdu(apdu: bytes) -> tuple[bytes | None, list[dict[str, Any]]]:
    """`(security, [asdu dicts])` of a SavPdu; ValueError when it is invalid (for tests)."""

def decode_sv_frame(
    raw: bytes,
) -> tuple[dict[str, Any], tuple[bytes | None, list[dict[str, Any]]]] | None:
    """`None` for a frame that is not SV, else `(frame dict, security, [asdu dicts])` (for tests)."""

def parse_sv_profile(name: str) -> tuple[int, int, int, int]:
    """`(rate, asdus_per_frame, currents, voltages)` of a profile name such as "F4800S2I4U4";
    ValueError saying what does not fit."""

def encode_goose_pdu(pdu: Any) -> bytes:
    """The IECGoosePdu of an `valdrin.goose.GoosePDU` (for tests)."""

def encode_goose_frame(
    pdu: Any,
    dst_mac: bytes | bytearray | Sequence[int],
    src_mac: bytes | bytearray | Sequence[int],
    app_id: int,
    vlan_id: int | None = None,
    vlan_priority: int | None = None,
) -> bytes:
    """The Ethernet frame of an `valdrin.goose.GoosePDU` (for tests)."""

def decode_goose_pdu(apdu: bytes, strict: bool = False) -> dict[str, Any]:
    """The fields of an IECGoosePdu as a dict; ValueError when it is invalid, or
    not conformant with `strict` (for tests)."""

def decode_goose_frame(raw: bytes, strict: bool = False) -> tuple[dict[str, Any], dict[str, Any]] | None:
    """`None` for a frame that is not GOOSE, else `(frame dict, pdu dict)` (for tests)."""

class GoosePublisher:
    """The native GOOSE publisher behind `valdrin.goose.Publisher`; each block a tuple
    (frame, min_time_ns, max_time_ns, tal_factor, fixed_tal_ms, capacity)."""

    def __init__(
        self,
        iface: str,
        blocks: Sequence[tuple[bytes, int, int, int, int, int]],
        rt_priority: int | None = None,
        cpu: int | None = None,
    ) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def stats(self) -> Stats: ...
    def publish(self, block: int, pdu: bytes) -> None: ...
    def last_change(self, block: int) -> tuple[int, int] | None: ...
    def fault(self, block: int, knob: str, value: int) -> None: ...
    def render(
        self, block: int, pdu: bytes, st_num: int, sq_num: int, k: int, change_ns: int
    ) -> tuple[int, bytes]: ...

@final
class SvCounter:
    """The smpCnt rule of one SV stream, the stream analysis's own: the wrap learnt from the
    counters, each sample's place on the unwrapped counter, lost, duplicated and late samples."""

    def __new__(cls) -> SvCounter: ...
    def place(self, smp_cnts: bytes) -> bytes:
        """Place the smpCnt of each of the stream's next ASDUs (uint16, native byte order, in arrival
        order); returns each one's sample index (int64, native byte order) from the stream's first
        sample (0), under the wrap as it stands after the call. A duplicate sits on the sample it
        repeats; a later call may widen the wrap and move these indices up."""
    @property
    def lost(self) -> int:
        """Samples from the earliest received to the newest that were never received."""
    @property
    def duplicated(self) -> int:
        """ASDUs that repeated a sample received before."""
    @property
    def out_of_order(self) -> int:
        """Samples received behind the newest, not received before."""
    @property
    def span(self) -> int:
        """Samples from the earliest received to the newest (0 before the first)."""
    @property
    def wrap(self) -> int:
        """The counter after wrap - 1 is 0."""
    @property
    def wrap_learnt(self) -> bool:
        """Whether the wrap was learnt from a fall of the counter."""

class CaptureReader:
    """A classic pcap or pcapng capture read natively in bounded chunks."""

    def __init__(self, source: str | os.PathLike[str] | Any) -> None: ...
    def read(self, frames: int, ethernet: bool = False) -> list[tuple[int | None, int, bytes]]: ...
    @staticmethod
    def link_name(linktype: int) -> str: ...
    @property
    def offset(self) -> int: ...
    @property
    def size(self) -> int | None: ...
    @property
    def counts(self) -> dict[str, Any]: ...
