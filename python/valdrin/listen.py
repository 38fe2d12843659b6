"""Listening: the health of GOOSE and SV traffic, live or from a capture file.

:class:`Monitor` captures from a network interface in a native thread (a
memory-mapped packet ring with a kernel filter for GOOSE and SV) and analyses
every frame as it arrives; :func:`analyze` runs the same native analysis over
a pcap or pcapng file, with the file's timestamps. Both give a
:class:`Report`: per SV stream (keyed by APPID, destination MAC and svID)
loss, duplicates and reordering by smpCnt, arrival intervals, rate, latency
from the sampling instant (``latency_us``, for counters that wrap at the
rate), outages (``outages``, ``longest_outage_ms``, ``silent``), the
61869-9 ``profile`` it matches and, for the 9-2LE layout, RMS and
fundamental phasor per channel; per GOOSE control
block (APPID, destination MAC, gocbRef) stNum/sqNum, state changes, loss,
duplicates, order, timeAllowedToLive expiries, the last values and the
publishing rules its frames break (``findings``: each frame against the
block's previous one).

>>> with Monitor("eth1") as monitor:              # doctest: +SKIP
...     for event in monitor.events(timeout=1.0):
...         print(event)
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

import valdrin_rt

from .pcap import open_capture
from .values import mac_text, text, to_json

__all__ = ["CaptureError", "Event", "Interrupted", "Monitor", "OvercurrentElement", "Report", "analyze"]

# The 9-2LE channels in order: four currents, then four voltages.
CHANNEL_NAMES = ("Ia", "Ib", "Ic", "In", "Va", "Vb", "Vc", "Vn")


def _goose_values(frame: bytes) -> list | None:
    """The allData of a block's last frame as Python values (None when it no longer decodes)."""
    from . import goose  # the Python decoder: only for reports with GOOSE blocks

    try:
        decoded = goose.decode_frame(frame)
    except ValueError:
        return None
    return None if decoded is None else decoded.values


def _sv_item(native: dict) -> dict:
    item = dict(native)
    item["sv_id"] = text(native["sv_id"])
    return item


def _goose_item(native: dict) -> dict:
    item = dict(native)
    for key in ("gocb_ref", "dat_set"):
        item[key] = text(native[key])
    item["go_id"] = None if native["go_id"] is None else text(native["go_id"])
    item["values"] = _goose_values(native["frame"])
    del item["frame"]
    return item


# The EtherType of each kind of item, to find its stream among the PRP receiver's.
_ETHERTYPES = {"sv": 0x88BA, "goose": 0x88B8}


def _attach_prp(items: list[dict], kind: str, streams: list[dict]) -> None:
    """Gives each SV stream or GOOSE block of ``kind`` the PRP counts of its frames
    (the receiver's stream of the same source, destination, EtherType and APPID)
    under ``"prp"``; ``lost_both`` is the item's own ``lost``: what neither LAN delivered."""
    by_key = {(s["src"], s["dst"], s["ethertype"], s["app_id"]): s for s in streams}
    for item in items:
        found = by_key.get((item["src"], item["dst"], _ETHERTYPES[kind], item["app_id"]))
        if found is None:
            continue
        counts = {key: found[key] for key in ("frames_a", "frames_b", "lost_a", "lost_b")}
        counts["lost_both"] = item["lost"]
        counts.update({key: found[key] for key in ("skew_us", "wrong_lan", "bad_size", "repeated")})
        item["prp"] = counts


@dataclass
class Report:
    """What an analysis counted so far (see the module's description).

    ``sv`` and ``goose`` list one dict per stream and per control block in
    order of first appearance; :meth:`to_json` gives the JSON form.
    ``capture`` holds the live capture's own counters (kernel drops among
    them), ``None`` for a file; ``file`` a file's own: records cut by the
    snap length (``cut``), longer than it (``over_snaplen``) and frames of
    link types not read (``other_links``: linktype, name, frames), ``None``
    for a live capture. ``prp`` holds a redundant analysis's receiver (per LAN,
    per node, per stream; each stream and block then has its own ``"prp"``),
    ``None`` otherwise.
    """

    frames: int
    other: int
    malformed: int
    malformed_reasons: dict[str, dict]
    sv: list[dict]
    goose: list[dict]
    first_ns: int | None = None
    last_ns: int | None = None
    untracked: dict[str, int] = field(default_factory=dict)
    capture: dict | None = None
    events_dropped: int = 0
    file: dict | None = None
    prp: dict | None = None

    @classmethod
    def from_native(cls, native: dict, other: int = 0, capture: dict | None = None,
                    events_dropped: int = 0, file: dict | None = None) -> Report:
        """The report of a ``valdrin_rt`` report dict, plus frames counted outside it as ``other``."""
        report = cls(
            frames=native["frames"] + other,
            other=native["other"] + other,
            malformed=native["malformed"],
            malformed_reasons=native["malformed_reasons"],
            sv=[_sv_item(item) for item in native["sv"]],
            goose=[_goose_item(item) for item in native["goose"]],
            first_ns=native["first_ns"],
            last_ns=native["last_ns"],
            untracked={"sv_asdus": native["sv_untracked"], "goose_frames": native["goose_untracked"]},
            capture=capture,
            events_dropped=events_dropped,
            file=file,
            prp=native.get("prp"),
        )
        if report.prp is not None:
            _attach_prp(report.sv, "sv", report.prp["streams"])
            _attach_prp(report.goose, "goose", report.prp["streams"])
        return report

    def to_json(self) -> dict:
        """The report as plain JSON types: ``{"frames", "other", "malformed", "sv", "goose", ...}``."""
        out: dict[str, Any] = {
            "frames": self.frames,
            "other": self.other,
            "malformed": self.malformed,
            "sv": to_json(self.sv),
            "goose": to_json(self.goose),
            "malformed_reasons": to_json(self.malformed_reasons),
            "untracked": dict(self.untracked),
            "first_ns": self.first_ns,
            "last_ns": self.last_ns,
        }
        if self.capture is not None:
            out["capture"] = to_json(self.capture)
        if self.file is not None:
            out["file"] = to_json(self.file)
        if self.prp is not None:
            out["prp"] = to_json(self.prp)
        out["events_dropped"] = self.events_dropped
        return out


@dataclass(frozen=True)
class Event:
    """Something that happened on a stream or block, at ``time_ns`` (receive time, ns since the epoch).

    ``kind`` is one of "sv_stream_seen", "goose_block_seen",
    "goose_state_change", "tal_expired", "conf_rev_change",
    "simulation_change", "nds_com_change", "decode_failure", "goose_finding"; a
    :class:`Monitor` that watches a stream also gives "sv_departure" (its
    ``smp_cnt`` and ``outgoing``), "overcurrent_trip" and "overcurrent_reset"
    (the deciding ASDU's ``smp_cnt``, the window's ``rms`` in counts). ``id`` is the
    svID or gocbRef; ``details`` holds the kind's own members: stNum, sqNum
    and the new ``values`` of a state change (and of a GOOSE block's first
    frame: the state it was found in), the ``time_allowed_to_live``
    (ms) that ran out, the ``old`` and ``new`` confRev, simulation or ndsCom, the
    ``reason`` and ``message`` of a decoding failure, the ``finding`` (its
    key in a block's ``findings``) and ``text`` of a broken publishing rule.
    """

    kind: str
    time_ns: int
    goose: bool
    app_id: int
    dst: str
    id: str
    details: dict

    @classmethod
    def from_native(cls, native: dict) -> Event:
        details = {key: value for key, value in native.items()
                   if key not in ("kind", "time_ns", "goose", "index", "app_id", "dst", "id", "frame")}
        if native["kind"] in ("goose_state_change", "goose_block_seen"):
            details["values"] = _goose_values(native["frame"])
        return cls(native["kind"], native["time_ns"], native["goose"], native["app_id"], native["dst"],
                   text(native["id"]), details)

    def to_json(self) -> dict:
        return to_json({"kind": self.kind, "time_ns": self.time_ns, "goose": self.goose, "app_id": self.app_id,
                        "dst": self.dst, "id": self.id, **self.details})


class CaptureError(ValueError):
    """A capture file that cannot be read to its end (one line); ``report``
    holds the analysis of the frames before the fault, ``None`` when there
    were none."""

    def __init__(self, message: str, report: Report | None) -> None:
        super().__init__(message)
        self.report = report


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during :func:`analyze`; ``report`` holds the analysis of the frames read until then."""

    def __init__(self, report: Report) -> None:
        super().__init__()
        self.report = report


_BATCH = 16384  # frames analysed between progress reports, event collection and Ctrl-C checks


def analyze(
    path: str | os.PathLike,
    *,
    nominal_hz: float = 50.0,
    sv_streams: int = valdrin_rt.DEFAULT_SV_STREAMS,
    goose_blocks: int = valdrin_rt.DEFAULT_GOOSE_BLOCKS,
    progress: Callable[[int, int | None], None] | None = None,
    events: list[Event] | None = None,
    expect_conf_rev: int | None = None,
    prp_b: str | os.PathLike | None = None,
    redundant: bool = False,
) -> Report:
    """The report of a pcap or pcapng capture, analysed frame by frame with its timestamps.

    The file is read natively in bounded chunks (gzip-compressed captures
    through :mod:`gzip`); Linux cooked captures (``tcpdump -i any``) are
    analysed as Ethernet frames, frames of other link types count as
    ``other`` and by link type in ``file["other_links"]``. GOOSE
    timeAllowedToLive expiries are counted up to the last frame's time.
    ``progress(done, total)`` is called now and then with octets read (total
    None when not known); the events, when a list is given, are appended to
    it. With ``expect_conf_rev``, each stream's and block's
    ``unexpected_conf_rev`` counts the ASDUs or frames of any other confRev.
    Raises ``OSError`` when the file cannot be read, ``CaptureError`` (a
    ``ValueError``, with the report of the frames before) when it is no
    capture or is malformed, and ``Interrupted`` (a ``KeyboardInterrupt``,
    with the report so far) on Ctrl-C.

    With ``prp_b``, ``path`` is LAN A's capture and ``prp_b`` LAN B's of a
    PRP (or HSR) network: their frames, merged in time order, pass through a
    receiving node's duplicate discard first (the report's ``prp``).
    ``redundant`` does the same for one capture (an HSR ring's, whose two
    directions it discards as duplicates, or one PRP LAN's), all of it LAN A.
    """
    analyzer = valdrin_rt.Analyzer(sv_streams, goose_blocks, nominal_hz, expect_conf_rev=expect_conf_rev,
                                   prp=prp_b is not None or redundant)
    reader = open_capture(path)
    reader_b = None if prp_b is None else open_capture(prp_b)
    readers = [r for r in (reader, reader_b) if r is not None]

    def report() -> Report:
        latest = analyzer.latest_ns
        if latest is not None:
            analyzer.finish(latest)
        if events is not None:
            events.extend(Event.from_native(e) for e in analyzer.events())
        counts = [r.counts for r in readers]
        other_links: dict[int, int] = {}
        for c in counts:
            for linktype, frames in c["other_links"].items():
                other_links[linktype] = other_links.get(linktype, 0) + frames
        links = [{"linktype": linktype, "name": valdrin_rt.CaptureReader.link_name(linktype), "frames": frames}
                 for linktype, frames in sorted(other_links.items())]
        file = {"cut": sum(c["cut"] for c in counts), "over_snaplen": sum(c["over_snaplen"] for c in counts),
                "other_links": links}
        return Report.from_native(analyzer.report(), other=sum(other_links.values()),
                                  events_dropped=analyzer.events_dropped, file=file)

    try:
        while analyzer.read(reader, _BATCH, reader_b):
            if events is not None:
                events.extend(Event.from_native(e) for e in analyzer.events())
            if progress is not None:
                progress(reader.offset, reader.size)
    except ValueError as error:
        raise CaptureError(str(error), report() if any(r.counts["frames"] for r in readers) else None) from None
    except KeyboardInterrupt:
        raise Interrupted(report()) from None
    if progress is not None:
        progress(reader.offset, reader.size)
    return report()


@dataclass(frozen=True)
class OvercurrentElement:
    """A definite-time overcurrent element over one channel of a watched SV stream.

    The RMS of the last ``window`` samples (one nominal cycle) of channel
    ``channel`` (its INT32 value at octet 8 * channel of each sample) is
    compared with ``pickup`` (counts): the element trips at the sample
    ``delay_samples`` after the one where the RMS rose above the pickup, if
    it stayed above all the while, and resets at the first sample where the
    RMS is back at or below it. A gap in smpCnt starts the window again.

    Supervision, as a relay blocks on doubtful samples: with
    ``ignore_invalid`` / ``ignore_test`` a sample whose channel's quality is
    invalid (validity 01) / has the test bit is not used, with
    ``block_unsynchronised`` neither is one whose smpSynch is 0, and with
    ``block_after_lost`` N a run of N or more lost samples (counted with the
    counter wrapping at ``wrap``, the rate; 0: 65536) blocks too. Each
    empties the window and gives a "protection_blocked" event (its
    ``reason``: "quality invalid", "quality test", "smpSynch 0" or "samples
    lost", with ``lost``); "protection_released" follows once a full window of
    good samples has come again.
    """

    pickup: int
    window: int = 80
    delay_samples: int = 0
    channel: int = 0
    ignore_invalid: bool = False
    ignore_test: bool = False
    block_unsynchronised: bool = False
    block_after_lost: int = 0
    wrap: int = 0

    def native(self) -> dict[str, int]:
        """The settings by name, as the native monitor reads them."""
        return {"channel": self.channel, "pickup": self.pickup, "window": self.window,
                "delay_samples": self.delay_samples, "ignore_invalid": int(self.ignore_invalid),
                "ignore_test": int(self.ignore_test), "block_unsynchronised": int(self.block_unsynchronised),
                "block_after_lost": self.block_after_lost, "wrap": self.wrap}


class Monitor:
    """A live capture of GOOSE and SV on ``iface``, analysed in a native thread.

    Use it as a context manager (or call :meth:`start` and :meth:`stop`).
    :meth:`report` gives a snapshot at any time, :meth:`events` the events
    as they come. ``promiscuous`` puts the interface in promiscuous mode
    (otherwise it accepts all multicast); ``outgoing`` also analyses frames
    this host sends (on ``lo`` every frame would otherwise count twice);
    ``rt_priority`` and ``cpu`` run the thread at a SCHED_FIFO priority and
    pinned to a CPU. Needs CAP_NET_RAW.

    ``ring`` is the kernel's receive ring: "v3" (the default) packs frames
    into blocks handed over when full or ``block_timeout_ms`` (1 to 1000,
    default 1) after their first frame, one wake-up per block; "v2" hands
    over every frame at once, one wake-up per frame (lower latency, but two
    to three times the CPU per frame and room for 2048 frames).
    ``coalesce_us`` (0 to 10000) pauses the thread that long after each
    batch, so that frames gather. Events come up
    to the block timeout plus the pause later, and timeAllowedToLive
    expiries are judged that much (plus a timer tick with V3) in the past,
    so that a frame still waiting in the ring never counts as late.

    ``watch_sv_id`` names one SV stream watched ASDU by ASDU in the capture
    thread: with ``departure_smp_cnt`` every frame this host sends (needs
    ``outgoing``) carrying that stream's ASDU of that smpCnt gives an
    "sv_departure" event stamped with the kernel's time of its leaving; with
    ``overcurrent`` (an :class:`OvercurrentElement`) the received ASDUs feed
    the element, whose decisions give "overcurrent_trip" and
    "overcurrent_reset" events stamped with the deciding frame's receive time.
    ``expect_conf_rev`` counts, per stream and block, the ASDUs or frames
    of any other confRev (``unexpected_conf_rev`` in the report).

    ``prp_b`` names a PRP network's LAN B, ``iface`` being its LAN A: both
    are captured (a thread each, the same options, kernel stamps on one
    clock) and their frames, merged in the order of their stamps (each held
    back by the ring's lag, so events come that much later), pass through a
    receiving node's duplicate discard before the analysis, as
    :func:`analyze` does with ``prp_b``; the report then has ``prp`` and each
    stream and block its own ``"prp"``, and ``capture["lan_b"]`` holds LAN
    B's capture counters, with ``handover_drops`` and ``merged_early``
    (frames the full merge let through before their time).

    ``_trigger`` (for :mod:`valdrin.sequence`) has the capture thread end
    the states of an engine's sequence on GOOSE conditions.
    ``ValueError`` for a bad value.
    """

    def __init__(
        self,
        iface: str,
        *,
        nominal_hz: float = 50.0,
        sv_streams: int = valdrin_rt.DEFAULT_SV_STREAMS,
        goose_blocks: int = valdrin_rt.DEFAULT_GOOSE_BLOCKS,
        promiscuous: bool = False,
        outgoing: bool = False,
        hardware_timestamps: bool = False,
        rt_priority: int | None = None,
        cpu: int | None = None,
        ring: str = "v3",
        block_timeout_ms: int | None = None,
        coalesce_us: int = 0,
        watch_sv_id: str | None = None,
        departure_smp_cnt: int | None = None,
        overcurrent: OvercurrentElement | None = None,
        expect_conf_rev: int | None = None,
        prp_b: str | None = None,
        _trigger: tuple | None = None,
    ) -> None:
        self.iface = iface
        self.prp_b = prp_b
        watch = None
        if watch_sv_id is not None:
            watch = (watch_sv_id, departure_smp_cnt, None if overcurrent is None else overcurrent.native())
        elif departure_smp_cnt is not None or overcurrent is not None:
            raise ValueError("departure_smp_cnt and overcurrent need watch_sv_id")
        self._native = valdrin_rt.Monitor(
            iface, sv_streams, goose_blocks, nominal_hz, promiscuous=promiscuous, outgoing=outgoing,
            hardware_timestamps=hardware_timestamps, rt_priority=rt_priority, cpu=cpu, ring=ring,
            block_timeout_ms=block_timeout_ms, coalesce_us=coalesce_us, watch=watch, expect_conf_rev=expect_conf_rev,
            prp_b=prp_b,
            trigger=_trigger,
        )

    def start(self) -> None:
        """Open the socket and start capturing; ``OSError`` for a missing interface or privilege."""
        self._native.start()

    def stop(self) -> None:
        """Stop capturing (prompt whatever the traffic); the report stays readable."""
        self._native.stop()

    @property
    def running(self) -> bool:
        return self._native.running

    def __enter__(self) -> Monitor:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def report(self) -> Report:
        """A snapshot of everything counted so far, with the capture's own counters."""
        native = self._native.report()
        capture = native.pop("capture")
        return Report.from_native(native, capture=capture, events_dropped=capture["events_dropped"])

    def streams(self) -> Report:
        """The same as :meth:`report`."""
        return self.report()

    @property
    def failure(self) -> str | None:
        """Why the capture ended by itself (e.g. the interface went away), or None."""
        return self._native.failure

    def trigger_status(self) -> list[tuple[int | None, int | None]]:
        """Per sequence state, with ``_trigger``: the receive stamp of the GOOSE rise that ended it
        and the clock when the capture thread commanded its end (ns since the epoch, or None)."""
        return self._native.trigger_status()

    def trigger_rises(self) -> list[tuple[list[int], int]]:
        """Per condition of ``_trigger``: the receive stamps of its rises since the last call, oldest
        first (a new GOOSE state that satisfies it when the one before did not), and how many rises
        its log, full, could not keep so far."""
        return self._native.trigger_rises()

    def next_events(self, timeout: float) -> list[Event]:
        """The events waiting now, or those that arrive within ``timeout`` seconds (perhaps none)."""
        return [Event.from_native(native) for native in self._native.events(timeout)]

    def events(self, timeout: float | None = None) -> Iterator[Event]:
        """The events as they arrive; ends after ``timeout`` seconds without one (never, for None)
        or when the capture stops."""
        while True:
            batch = self._native.events(1.0 if timeout is None else timeout)
            if not batch:
                if timeout is not None or not self._native.running:
                    return
                continue
            for native in batch:
                yield Event.from_native(native)
