"""A relay to test against: definite-time overcurrent over SV, its trips by GOOSE.

:class:`RelaySimulator` is a device to test against: a definite-time
overcurrent element over one channel of one SV stream, run in the capture
thread, whose trips and resets a GOOSE publisher sends. It logs, per
decision, the deciding frame's receive stamp, the instant Python acted and
the instant the first GOOSE frame of the new state was handed to the kernel.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Callable

from . import data, goose
from .listen import Monitor, OvercurrentElement

__all__ = ["Block", "Decision", "RelaySimulator"]


@dataclass
class Decision:
    """One decision of the :class:`RelaySimulator`, all instants in ns since the epoch.

    ``frame_ns``: the kernel receive stamp of the SV frame whose sample
    decided; ``decided_ns``: the real-time clock when Python took the event,
    just before it published; ``handed_ns``: the clock just before the first
    GOOSE frame of the new state was handed to the kernel (the publisher's
    own record); ``sent_ns``: the kernel's stamp of that frame leaving, seen
    by the simulator's capture of its own frames. Either of the last two is
    None when it was not seen within 0.1 s.
    """

    kind: str  # "trip" or "reset"
    smp_cnt: int
    rms_a: float
    frame_ns: int
    decided_ns: int
    handed_ns: int | None
    sent_ns: int | None
    st_num: int | None

    def to_json(self) -> dict:
        return dict(self.__dict__)


@dataclass
class Block:
    """The element blocked (``kind`` "block": ``reason`` "quality invalid", "quality test",
    "smpSynch 0" or "samples lost", ``lost`` samples for the last) or released again
    (``kind`` "release"), at the sample ``smp_cnt`` of the frame received at ``frame_ns``."""

    kind: str
    smp_cnt: int
    frame_ns: int
    reason: str | None = None
    lost: int = 0

    def to_json(self) -> dict:
        return dict(self.__dict__)


class RelaySimulator:
    """A definite-time overcurrent relay on ``iface`` for testing the test set.

    It subscribes to the SV stream ``sv_id`` and runs, in the capture
    thread, an element over channel ``channel`` (default Ia): the RMS of
    the last nominal cycle (``rate / nominal_hz`` samples) against
    ``pickup_a`` amperes (``scale`` counts per ampere: 1000, the 9-2LE
    current scaling), tripping ``delay_ms`` after the pickup (counted in
    samples), resetting when the RMS falls back. Each decision becomes a
    state change of the GOOSE control block ``gocb_ref`` whose data set is
    one BOOLEAN (true: tripped), and a :class:`Decision` in ``log``.

    Supervision, each off by default: ``ignore_invalid`` and ``ignore_test``
    leave out samples whose quality is invalid or test, ``block_unsynchronised``
    those whose smpSynch is 0, ``block_after_lost`` N blocks after N or more
    consecutive lost samples. Each empties the RMS window: the element decides
    again once a full window of good samples has come. Every block and release
    is a :class:`Block` in ``blocks`` (and goes to ``on_block``).
    Needs CAP_NET_RAW.
    """

    def __init__(
        self,
        iface: str,
        sv_id: str,
        pickup_a: float,
        delay_ms: float,
        gocb_ref: str,
        *,
        channel: int = 0,
        rate: int = 4000,
        nominal_hz: float = 50.0,
        scale: float = 1000.0,
        app_id: int = 0x0001,
        dst_mac: bytes = bytes.fromhex("010ccd010001"),
        min_time_ms: float = 2.0,
        max_time_ms: float = 1000.0,
        on_decision: Callable[[Decision], None] | None = None,
        ignore_invalid: bool = False,
        ignore_test: bool = False,
        block_unsynchronised: bool = False,
        block_after_lost: int = 0,
        on_block: Callable[[Block], None] | None = None,
    ) -> None:
        window = round(rate / nominal_hz)
        pickup = round(pickup_a * scale)
        if pickup < 1:
            raise ValueError(f"pickup {pickup_a} A is below one count")
        if not delay_ms >= 0:
            raise ValueError(f"delay must be zero or more ms, got {delay_ms}")
        if block_after_lost < 0:
            raise ValueError(f"block_after_lost must be zero or more, got {block_after_lost}")
        self.element = OvercurrentElement(pickup, window, round(delay_ms * rate / 1000), channel,
                                          ignore_invalid=ignore_invalid, ignore_test=ignore_test,
                                          block_unsynchronised=block_unsynchronised,
                                          block_after_lost=block_after_lost, wrap=rate if rate <= 65536 else 0)
        self.on_block = on_block
        self.blocks: list[Block] = []
        self.scale = scale
        self.gocb_ref = gocb_ref
        self.on_decision = on_decision
        self.sv_id = sv_id
        # Whether a frame of the watched stream has arrived (an svID that
        # never does leaves the relay quiet for good).
        self.stream_seen = False
        self.log: list[Decision] = []
        ld = gocb_ref.split("/")[0]
        pdu = goose.GoosePDU(gocb_ref, f"{ld}/LLN0$Trip", ld, conf_rev=1, time_quality=0x0A,
                             all_data=[data.BoolData(False)])
        self.block = goose.GooseBlock(pdu, dst_mac=dst_mac, app_id=app_id,
                                      min_time_ms=min_time_ms, max_time_ms=max_time_ms)
        # Its own GOOSE frames too: their leaving is stamped like any frame received.
        self._monitor = Monitor(iface, ring="v2", outgoing=True, watch_sv_id=sv_id, overcurrent=self.element)
        self._publisher = goose.Publisher(iface, [self.block])

    def start(self) -> None:
        """Starts the GOOSE publisher (the untripped state goes out) and the capture."""
        self._publisher.start()
        try:
            self._monitor.start()
        except BaseException:
            self._publisher.stop()
            raise

    def stop(self) -> None:
        self._monitor.stop()
        self._publisher.stop()

    def __enter__(self) -> RelaySimulator:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _handed_after(self, st_before: int | None, deadline_ns: int) -> tuple[int | None, int | None]:
        while True:
            change = self._publisher.last_change(0)
            if change is not None and change[0] != st_before:
                return change[1], change[0]
            if time.time_ns() > deadline_ns:
                return None, None
            time.sleep(0.00005)

    def _finish(self, decision: Decision) -> None:
        self.log.append(decision)
        if self.on_decision is not None:
            self.on_decision(decision)

    def serve(self, duration: float | None = None, stop: Callable[[], bool] | None = None) -> None:
        """Acts on the element's decisions for ``duration`` seconds (None: until ``stop()`` is true)."""
        end = None if duration is None else time.monotonic() + duration
        pending: dict[int, Decision] = {}  # by stNum: waiting for the stamp of their frame leaving
        while (end is None or time.monotonic() < end) and not (stop is not None and stop()):
            for event in self._monitor.next_events(0.05):
                if event.kind == "sv_stream_seen" and event.id == self.sv_id:
                    self.stream_seen = True
                    continue
                if event.kind == "goose_state_change" and event.id == self.gocb_ref:
                    decision = pending.pop(event.details["st_num"], None)
                    if decision is not None:
                        decision.sent_ns = event.time_ns
                        self._finish(decision)
                    continue
                if event.kind in ("protection_blocked", "protection_released"):
                    blocked = event.kind == "protection_blocked"
                    block = Block("block" if blocked else "release", event.details["smp_cnt"], event.time_ns,
                                  event.details["reason"] if blocked else None,
                                  event.details["lost"] if blocked else 0)
                    self.blocks.append(block)
                    if self.on_block is not None:
                        self.on_block(block)
                    continue
                if event.kind not in ("overcurrent_trip", "overcurrent_reset"):
                    continue
                trip = event.kind == "overcurrent_trip"
                before = self._publisher.last_change(0)
                decided = time.time_ns()
                self._publisher.publish(0, [data.BoolData(trip)])
                handed, st_num = self._handed_after(None if before is None else before[0], decided + 100_000_000)
                decision = Decision("trip" if trip else "reset", event.details["smp_cnt"],
                                    event.details["rms"] / self.scale, event.time_ns, decided, handed, None, st_num)
                if st_num is None:
                    self._finish(decision)
                else:
                    pending[st_num] = decision
            now = time.time_ns()
            for st_num, decision in list(pending.items()):
                if now - decision.decided_ns > 100_000_000:
                    self._finish(pending.pop(st_num))
        for decision in pending.values():
            self._finish(decision)
