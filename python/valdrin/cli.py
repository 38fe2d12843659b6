"""The ``valdrin`` command line: ``valdrin publish`` sends IEC 61850-9-2 SV streams,
``valdrin decode`` prints the GOOSE and SV frames of a capture.

``valdrin publish --iface IFACE`` publishes one or more streams of sine waves
(with an optional recurring fault or a recorded playback) until Ctrl-C or for
``--duration`` seconds, printing live statistics once a second.
``valdrin publish --pcap FILE`` writes the same frames, stamped with their
scheduled send times, to a pcap file instead (no privileges needed).
``valdrin decode FILE`` reads a pcap or pcapng capture and prints every GOOSE
and SV frame in it for a human (or as JSON lines with ``--json``), optionally
checking GOOSE PDUs against the standard encoding with ``--strict``.
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import signal
import struct
import sys
import threading
import time
import warnings
from dataclasses import dataclass
from datetime import datetime, timedelta
from fractions import Fraction
from typing import Sequence

from . import __version__
from .pcap import LINKTYPE_ETHERNET, PCAP_MAGIC_NS, PCAP_SNAPLEN, Packet, read_pcap, write_pcap  # noqa: F401
from .sv import Fault, Playback, Publisher, Stream, Wave

# Default channels, primary values of a 110 kV feeder at 500 A load, in the
# IEC 61850-9-2 LE arrangement: Ia Ib Ic In Va Vb Vc Vn. Currents are sent in
# 1 mA per count, voltages in 10 mV per count.
CURRENT_PEAK_A = 500.0 * math.sqrt(2.0)
VOLTAGE_PEAK_V = 110e3 / math.sqrt(3.0) * math.sqrt(2.0)
CURRENT_SCALE = 1000.0  # counts per ampere
VOLTAGE_SCALE = 100.0  # counts per volt
NOMINAL_HZ = 50.0


def default_waves() -> list[Wave]:
    """Three balanced phases at 0/-120/120 degrees and a zero neutral, currents then voltages."""
    waves = []
    for peak, scale in ((CURRENT_PEAK_A, CURRENT_SCALE), (VOLTAGE_PEAK_V, VOLTAGE_SCALE)):
        waves += [Wave(peak, phase, NOMINAL_HZ, 0.0, scale) for phase in (0.0, -120.0, 120.0)]
        waves.append(Wave(0.0, 0.0, NOMINAL_HZ, 0.0, scale))
    return waves


# --- option values ----------------------------------------------------------


def _int(text: str) -> int:
    """A decimal or 0x/0o/0b integer."""
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def _positive_int(text: str) -> int:
    value = _int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seconds(text: str) -> Fraction:
    """A positive number of seconds, kept exact (0.1 s is exactly 400 frames at 4000/s)."""
    try:
        value = Fraction(text)
    except (ValueError, ZeroDivisionError):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def _wave(text: str) -> Wave:
    """``amplitude[,phase_deg[,frequency_hz[,offset[,scale[,quality]]]]]``."""
    parts = [part.strip() for part in text.split(",")]
    if not 1 <= len(parts) <= 6 or "" in parts:
        raise argparse.ArgumentTypeError(
            f"expected amplitude[,phase_deg[,frequency_hz[,offset[,scale[,quality]]]]], got {text!r}"
        )
    try:
        numbers = [float(part) for part in parts[:5]]
        quality = [int(parts[5], 0)] if len(parts) == 6 else []
        return Wave(*numbers, *quality)
    except (TypeError, ValueError) as error:
        raise argparse.ArgumentTypeError(f"bad wave {text!r}: {error}") from None


def _mac(text: str) -> int:
    parts = text.replace("-", ":").split(":")
    if len(parts) != 6 or not all(len(p) == 2 for p in parts):
        raise argparse.ArgumentTypeError(f"not a MAC address like 01:0c:cd:04:00:01: {text!r}")
    try:
        return int("".join(parts), 16)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a MAC address like 01:0c:cd:04:00:01: {text!r}") from None


def _mac_text(value: int) -> str:
    return ":".join(f"{b:02x}" for b in value.to_bytes(6, "big"))


def _smp_rate(text: str) -> int | str | None:
    if text in ("auto", "none"):
        return None if text == "none" else text
    return _int(text)


# --- the parser -------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="valdrin",
        description="IEC 61850 process-bus messaging: publish Sampled Values (IEC 61850-9-2), decode GOOSE and SV captures.",
    )
    parser.add_argument("--version", action="version", version=f"valdrin {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    p = commands.add_parser(
        "publish",
        help="publish SV streams on a network interface (or write them to a pcap file)",
        description=(
            "Publish IEC 61850-9-2 Sampled Values streams on a network interface, paced on the "
            "real-time clock from a whole UNIX second, until Ctrl-C or for --duration seconds. "
            "Live statistics are printed once a second and a summary at the end. Publishing "
            "needs CAP_NET_RAW (run as root). With --pcap the frames are written to a file instead."
        ),
        epilog=(
            "Channels: without --wave every stream has 8 channels in the IEC 61850-9-2 LE "
            "order Ia Ib Ic In Va Vb Vc Vn: 500 A rms currents at 1 mA per count and "
            "63.5 kV rms (110 kV line) voltages at 10 mV per count, 50 Hz, phases at "
            "0/-120/120 degrees, neutrals zero. Stream n (from 1) gets svID --sv-id with n, "
            "APPID --app-id + n - 1 and destination --dst-mac + n - 1. Exit status: 0 after "
            "--duration or Ctrl-C (or SIGTERM), 1 when publishing fails (missing interface, "
            "no privileges, ...), 2 for usage errors."
        ),
    )
    p.set_defaults(run=_publish, command_parser=p)
    where = p.add_argument_group("output")
    where.add_argument("--iface", metavar="IFACE", help="network interface to publish on (required without --pcap)")
    where.add_argument(
        "--pcap",
        metavar="FILE",
        help="write the frames to FILE (pcap, nanosecond timestamps of their scheduled send times) "
        "instead of sending them; needs --duration or --frames",
    )
    where.add_argument(
        "--frames",
        type=_positive_int,
        metavar="N",
        help="with --pcap: write N frame periods (one frame of every stream each) instead of --duration",
    )
    when = p.add_argument_group("timing")
    when.add_argument(
        "--start",
        type=_int,
        metavar="SECOND",
        help="UNIX second whose sample 0 the first frame carries (default: the next whole second)",
    )
    when.add_argument(
        "--duration",
        type=_seconds,
        metavar="S",
        help="publish for S seconds from --start, then stop (default: until Ctrl-C)",
    )
    what = p.add_argument_group("streams")
    what.add_argument("--streams", type=_positive_int, default=1, metavar="N", help="number of streams (default 1)")
    what.add_argument("--rate", type=_int, default=4000, help="samples per second of every stream (default 4000, at most 65536)")
    what.add_argument(
        "--asdus-per-frame", type=_int, default=1, metavar="N", help="ASDUs (consecutive samples) per frame; must divide --rate (default 1)"
    )
    what.add_argument(
        "--sv-id",
        default="MU{n:02d}",
        metavar="PATTERN",
        help="svID of stream n (from 1), a Python format string with {n} (default MU{n:02d}: MU01, MU02, ...)",
    )
    what.add_argument("--app-id", type=_int, default=0x4000, metavar="ID", help="APPID of stream 1, +1 per stream (default 0x4000)")
    what.add_argument(
        "--dst-mac",
        type=_mac,
        default="01:0c:cd:04:00:01",
        metavar="MAC",
        help="destination MAC of stream 1 (default 01:0c:cd:04:00:01); the address grows by 1 per stream",
    )
    what.add_argument(
        "--src-mac",
        type=_mac,
        metavar="MAC",
        help="source MAC (default: the interface's own address, or 00:00:00:00:00:00)",
    )
    what.add_argument("--vlan-id", type=_int, metavar="ID", help="add an 802.1Q tag with this VLAN ID (0-4095)")
    what.add_argument(
        "--vlan-priority", type=_int, metavar="P", help="802.1Q priority (0-7; needs --vlan-id; default 4)"
    )
    what.add_argument("--conf-rev", type=_int, default=1, metavar="N", help="confRev of every ASDU (default 1)")
    what.add_argument(
        "--smp-synch", type=_int, default=0, metavar="N", help="smpSynch of every ASDU: 0 none, 1 local, 2 global clock (default 0)"
    )
    what.add_argument(
        "--smp-rate",
        type=_smp_rate,
        default="auto",
        metavar="N",
        help="smpRate of every ASDU: a number, 'none' to leave it out, or 'auto' for samples per "
        "cycle of the first channel's frequency, 80 at 4000/s and 50 Hz (default auto)",
    )
    what.add_argument(
        "--dat-set", metavar="REF", help="datSet of every ASDU, a format string with {n} (default: none)"
    )
    signal_ = p.add_argument_group("channels")
    signal_.add_argument(
        "--wave",
        type=_wave,
        action="append",
        metavar="A[,PHASE[,HZ[,OFFSET[,SCALE[,QUALITY]]]]]",
        help="one channel (repeat for more; replaces the 8 default channels): "
        "amplitude * sin(2 pi HZ t + PHASE degrees) + OFFSET, times SCALE counts per unit, "
        "sent with the quality word QUALITY; defaults 0 degrees, 50 Hz, 0, 1, 0",
    )
    signal_.add_argument(
        "--fault-every",
        type=_positive_int,
        metavar="S",
        help="add a fault that recurs every S seconds (the other --fault-* options need this)",
    )
    signal_.add_argument(
        "--fault-offset",
        type=_int,
        metavar="S",
        help="the fault starts in the UNIX seconds T where T - S is a multiple of --fault-every (default 0)",
    )
    signal_.add_argument(
        "--fault-start-smp",
        type=_int,
        metavar="N",
        help="sample within that second where the fault starts (default 0)",
    )
    signal_.add_argument(
        "--fault-duration",
        type=_seconds,
        metavar="S",
        help="fault length in seconds (default: half of --fault-every)",
    )
    signal_.add_argument(
        "--fault-factor",
        type=float,
        metavar="X",
        help="during the fault every channel's amplitude is multiplied by X (default 10)",
    )
    signal_.add_argument(
        "--playback",
        metavar="FILE.csv",
        help="play recorded samples from the first published second on: CSV rows of integers "
        "(counts), one column per channel; samples past the end come from the waves",
    )
    signal_.add_argument(
        "--playback-period",
        type=_positive_int,
        metavar="N",
        help="repeat the recording every N samples (default: play it once)",
    )
    thread = p.add_argument_group("transmit thread")
    thread.add_argument(
        "--rt-priority", type=_int, metavar="P", help="run the transmit thread under SCHED_FIFO at priority P (1-99; ignored with --pcap)"
    )
    thread.add_argument("--cpu", type=_int, metavar="N", help="pin the transmit thread to CPU N (ignored with --pcap)")

    d = commands.add_parser(
        "decode",
        help="print the GOOSE and SV frames of a capture file (pcap or pcapng)",
        description=(
            "Print every GOOSE (IEC 61850-8-1) and Sampled Values (IEC 61850-9-2) frame of a "
            "capture file, classic pcap or pcapng, one block per frame: time, MAC addresses, "
            "VLAN, APPID and the decoded PDU, Data values and samples in readable form. Frames "
            "that fail to decode are reported with their number and decoding goes on; other "
            "frames are only counted. A summary line ends the listing."
        ),
        epilog=(
            "Exit status: 0 when the capture was read to its end (whatever its frames hold), "
            "1 when it cannot be read (missing, not a capture, truncated), 2 for usage errors."
        ),
    )
    d.set_defaults(run=_decode, command_parser=d)
    d.add_argument("file", metavar="FILE", help="the capture: classic pcap or pcapng, or - for standard input")
    d.add_argument(
        "--strict",
        action="store_true",
        help="also check every GOOSE PDU against the standard encoding and print its first deviation",
    )
    d.add_argument(
        "--json",
        action="store_true",
        help="print one JSON object per GOOSE or SV frame (octets as hex) and a summary object, one per line",
    )
    return parser


# --- building the publisher ------------------------------------------------


class _Failure(Exception):
    """A problem met while running: printed as one line, exit status 1."""


def _read_playback(path: str) -> list[list[int]]:
    try:
        with open(path, newline="") as file:
            rows = []
            for line, row in enumerate(csv.reader(file), start=1):
                if not row or all(not cell.strip() for cell in row):
                    continue
                try:
                    rows.append([int(cell, 0) for cell in row])
                except ValueError:
                    raise _Failure(f"{path} line {line}: expected integers, got {','.join(row)!r}") from None
    except OSError as error:
        raise _Failure(f"cannot read {path}: {error.strerror}") from None
    if not rows:
        raise _Failure(f"{path} holds no samples")
    return rows


def _interface_mac(iface: str | None) -> int:
    if iface:
        try:
            with open(f"/sys/class/net/{iface}/address") as file:
                return _mac(file.read().strip())
        except (OSError, argparse.ArgumentTypeError):
            pass
    return 0


def _streams(args: argparse.Namespace, parser: argparse.ArgumentParser, start_second: int) -> list[Stream]:
    waves = args.wave or default_waves()
    fault = None
    if args.fault_every is not None:
        factor = 10.0 if args.fault_factor is None else args.fault_factor
        fault = Fault(
            [Wave(w.amplitude * factor, w.phase_deg, w.frequency_hz, w.offset, w.scale, w.quality) for w in waves],
            cycle_s=args.fault_every,
            offset_s=args.fault_offset or 0,
            start_smp=args.fault_start_smp or 0,
            duration_s=None if args.fault_duration is None else float(args.fault_duration),
        )
    playback = None
    if args.playback is not None:
        rows = _read_playback(args.playback)
        playback = Playback(rows, period=args.playback_period, start=start_second * args.rate)
    smp_rate = args.smp_rate
    if smp_rate == "auto":
        frequency = waves[0].frequency_hz if waves else 0.0
        per_cycle = args.rate / frequency if frequency > 0 else 0.0
        smp_rate = int(per_cycle) if per_cycle.is_integer() and 0 < per_cycle <= 0xFFFF else None
    src_mac = args.src_mac if args.src_mac is not None else _interface_mac(args.iface)
    if args.dst_mac + args.streams - 1 >= 1 << 48:
        parser.error(f"--dst-mac {_mac_text(args.dst_mac)} leaves no room for {args.streams} streams")
    streams = []
    for n in range(1, args.streams + 1):
        try:
            sv_id = args.sv_id.format(n=n)
            dat_set = None if args.dat_set is None else args.dat_set.format(n=n)
        except (KeyError, IndexError, ValueError) as error:
            parser.error(f"--sv-id and --dat-set take a format string with {{n}} only: {error}")
        streams.append(
            Stream(
                sv_id,
                waves,
                dat_set=dat_set,
                conf_rev=args.conf_rev,
                smp_synch=args.smp_synch,
                smp_rate=smp_rate,
                dst_mac=(args.dst_mac + n - 1).to_bytes(6, "big"),
                src_mac=src_mac.to_bytes(6, "big"),
                app_id=args.app_id + n - 1,
                vlan_id=args.vlan_id,
                vlan_priority=args.vlan_priority,
                fault=fault,
                playback=playback,
            )
        )
    return streams


def _check_usage(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    if args.pcap is None:
        if args.iface is None:
            parser.error("--iface is required (or --pcap FILE to write a file)")
        if args.frames is not None:
            parser.error("--frames needs --pcap")
    elif args.duration is None and args.frames is None:
        parser.error("--pcap needs --duration or --frames")
    elif args.duration is not None and args.frames is not None:
        parser.error("--duration and --frames exclude each other")
    fault = (args.fault_offset, args.fault_start_smp, args.fault_duration, args.fault_factor)
    if args.fault_every is None and any(value is not None for value in fault):
        parser.error("the --fault-* options need --fault-every")
    if args.playback_period is not None and args.playback is None:
        parser.error("--playback-period needs --playback")


# --- pcap -------------------------------------------------------------------


def _write_pcap_file(args: argparse.Namespace, parser: argparse.ArgumentParser, publisher: Publisher) -> int:
    frames_per_second = publisher.rate // publisher.asdus_per_frame
    if args.frames is not None:
        periods = args.frames
    else:
        periods = math.ceil(args.duration * frames_per_second)
    last = publisher.start_second + (periods - 1) // frames_per_second
    if publisher.start_second < 0 or last > 0xFFFFFFFF:
        parser.error("a pcap file stamps frames with UNIX seconds from 0 to 4294967295: choose another --start")
    try:
        with open(args.pcap, "wb") as out:
            written = write_pcap(out, publisher, periods)
    except OSError as error:
        raise _Failure(f"cannot write {args.pcap}: {error.strerror}") from None
    print(f"wrote {written} frames ({len(publisher.streams)} streams x {periods} periods) to {args.pcap}")
    return 0


# --- live publishing ----------------------------------------------------------


@dataclass
class _Meter:
    """Frames per second between two readings of the counters."""

    frames: int = 0
    at: float = 0.0

    def rate(self, frames: int, at: float) -> float:
        elapsed = at - self.at
        per_second = (frames - self.frames) / elapsed if elapsed > 0 else 0.0
        self.frames, self.at = frames, at
        return per_second


def _stats_line(stats: dict[str, int], per_second: float) -> str:
    return (
        f"frames {stats['frames_sent']}  {per_second:.0f}/s  send errors {stats['send_errors']}  "
        f"late {stats['late_frames']}  max lateness {stats['max_lateness_ns'] / 1000:.1f} µs"
    )


def _publish_live(args: argparse.Namespace, publisher: Publisher) -> int:
    stop = threading.Event()

    def on_signal(signum: int, frame: object) -> None:
        stop.set()

    previous = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    tty = sys.stdout.isatty()
    try:
        try:
            publisher.start()
        except (OSError, RuntimeError) as error:
            raise _Failure(str(error)) from None
        begin = publisher.start_second
        end = None if args.duration is None else begin + float(args.duration)
        count = len(publisher.streams)
        print(
            f"publishing {count} stream{'s' if count != 1 else ''} on {publisher.iface} at {publisher.rate} "
            f"samples/s, {publisher.asdus_per_frame} ASDU{'s' if publisher.asdus_per_frame != 1 else ''} per frame, "
            f"from UNIX second {begin}"
            + ("" if end is None else f" for {float(args.duration):g} s")
            + "; Ctrl-C stops",
            flush=True,
        )
        # Statistics once a second, on whole seconds, from one second after the first frame.
        now = time.time()
        meter = _Meter(0, time.monotonic() + max(0.0, begin - now))
        tick = max(math.floor(now), begin) + 1
        try:
            while True:
                wake = tick if end is None else min(tick, end)
                if stop.wait(max(0.0, wake - time.time())):
                    break
                if end is not None and time.time() >= end:
                    break
                stats = publisher.stats()
                line = _stats_line(stats, meter.rate(stats["frames_sent"], time.monotonic()))
                print(f"\r{line}\033[K" if tty else line, end="" if tty else "\n", flush=True)
                tick += 1
        finally:
            publisher.stop()
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    stats = publisher.stats()
    elapsed = max(0.0, time.time() - begin)
    if end is not None:
        elapsed = min(elapsed, float(args.duration))
    if tty:
        print()
    print(
        f"sent {stats['frames_sent']} frames in {elapsed:.2f} s: {stats['send_errors']} send errors, "
        f"{stats['late_frames']} late frames, max lateness {stats['max_lateness_ns'] / 1000:.1f} µs",
        flush=True,
    )
    return 0


def _publish(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    _check_usage(args, parser)
    start_second = args.start if args.start is not None else int(time.time()) + 1
    streams = _streams(args, parser, start_second)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            publisher = Publisher(
                args.iface or "",
                streams,
                args.rate,
                args.asdus_per_frame,
                start_second=start_second,
                rt_priority=None if args.pcap else args.rt_priority,
                cpu=None if args.pcap else args.cpu,
            )
        except (TypeError, ValueError) as error:
            parser.error(str(error))
    for warning in caught:
        print(f"valdrin: warning: {warning.message}", file=sys.stderr)
    if args.pcap is not None:
        return _write_pcap_file(args, parser, publisher)
    late = time.time() - start_second
    if late > 1:
        print(
            f"valdrin: warning: --start is {late:.0f} s in the past: the frames due since then go out back to back",
            file=sys.stderr,
        )
    return _publish_live(args, publisher)


# --- decoding captures --------------------------------------------------------


_BTIME_EPOCH = datetime(1984, 1, 1)  # IEC 61850 TimeOfDay counts days from 1984-01-01
_SMP_SYNCH = {0: "none", 1: "local", 2: "global"}
_SMP_MOD = {0: "samples per nominal period", 1: "samples per second", 2: "seconds per sample"}
_CHANNEL = struct.Struct(">iI")  # one SV channel: INT32 value, Quality as 32 bits


def _iso_ns(nanoseconds: int | None) -> str:
    """UTC time with nanoseconds, like 2023-11-14T22:13:20.000250000Z."""
    if nanoseconds is None:
        return "(no time)"
    seconds, rest = divmod(nanoseconds, 1_000_000_000)
    try:
        text = (datetime(1970, 1, 1) + timedelta(seconds=seconds)).isoformat()
    except OverflowError:
        return f"{seconds}.{rest:09d} s"
    return f"{text}.{rest:09d}Z"


def _utc(seconds: int, fraction: int, quality: int) -> str:
    """A UtcTime: the fraction counts 2**-24 s; the quality octet's flags spelled out."""
    nanoseconds = seconds * 1_000_000_000 + ((fraction & 0xFFFFFF) * 1_000_000_000 + (1 << 23) >> 24)
    flags = [name for bit, name in ((0x80, "leap seconds known"), (0x40, "clock failure"),
                                    (0x20, "clock not synchronised")) if quality & bit]
    accuracy = quality & 0x1F
    flags.append("accuracy unspecified" if accuracy == 31 else f"{accuracy}-bit accuracy")
    return f"{_iso_ns(nanoseconds)} quality 0x{quality:02x} ({', '.join(flags)})"


def _utc_octets(octets: bytes) -> str:
    return _utc(int.from_bytes(octets[:4], "big"), int.from_bytes(octets[4:7], "big"), octets[7])


def _btime(octets: bytes) -> str:
    """A 6-octet TimeOfDay: milliseconds since midnight, then days since 1984-01-01."""
    milliseconds, days = int.from_bytes(octets[:4], "big"), int.from_bytes(octets[4:], "big")
    try:
        moment = _BTIME_EPOCH + timedelta(days=days, milliseconds=milliseconds)
    except OverflowError:
        return octets.hex()
    return f"{moment.isoformat(timespec='milliseconds')}Z ({octets.hex()})"


def _text(octets: bytes) -> str:
    """Octets of a VisibleString, quoted, with anything outside printable ASCII as \\xNN."""
    if octets.isascii():
        text = octets.decode("ascii")
        if text.isprintable() and '"' not in text and "\\" not in text:
            return f'"{text}"'
    out = []
    for octet in octets:
        if octet in (0x22, 0x5C):
            out.append("\\" + chr(octet))
        elif 0x20 <= octet <= 0x7E:
            out.append(chr(octet))
        else:
            out.append(f"\\x{octet:02x}")
    return '"' + "".join(out) + '"'


def _unicode(octets: bytes) -> str:
    """An MMSString: UTF-8 when it is printable, else as _text."""
    try:
        text = octets.decode("utf-8")
    except UnicodeDecodeError:
        return _text(octets)
    if not text.isprintable():
        return _text(octets)
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _f32(pattern: int) -> str:
    """An IEEE single: the shortest decimal that reads back to the same single."""
    (value,) = struct.unpack(">f", pattern.to_bytes(4, "big"))
    if math.isnan(value):
        return f"nan (0x{pattern:08x})"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    for digits in range(1, 10):
        candidate = float(f"{value:.{digits}g}")
        try:
            if struct.unpack(">f", struct.pack(">f", candidate))[0] == value:
                return repr(candidate)  # the same digits, written as Python writes floats
        except OverflowError:  # rounded past the largest single
            continue
    return repr(value)  # never reached: 9 significant digits tell every single apart


def _bits(octets: bytes, unused: int) -> str:
    """A BIT STRING as its bits, bit 0 (the first octet's top bit) first."""
    count = len(octets) * 8 - unused
    if not 0 <= unused <= 7 or count < 0:
        return f"{octets.hex() or '(empty)'} ({unused} unused bits)"
    bits = bin(int.from_bytes(octets, "big"))[2:].zfill(len(octets) * 8)[:count] if octets else ""
    return bits or "(empty)"


def _members(item: tuple) -> str:
    noun = "member" if item[0] == "struct" else "element"
    return f"of {item[1]} {noun}{'' if item[1] == 1 else 's'}"


# What follows the kind in the text of each Data tuple of decode_goose_frame.
_VALUE_TEXTS = {
    "bool": lambda item: "true" if item[1] else "false",
    "int": lambda item: repr(item[1]),
    "uint": lambda item: repr(item[1]),
    "f64": lambda item: repr(item[1]),
    "f32": lambda item: _f32(item[1]),
    "bits": lambda item: _bits(item[1], item[2]),
    "visible": lambda item: _text(item[1]),
    "mms": lambda item: _unicode(item[1]),
    "octets": lambda item: item[1].hex() or "(empty)",
    "utc": lambda item: _utc_octets(item[1]),
    "btime": lambda item: _btime(item[1]),
    "struct": _members,
    "array": _members,
    "raw": lambda item: f"tag 0x{item[1]:X} {item[2].hex() or '(empty)'}",
}


def _value(item: tuple) -> str:
    """One Data tuple of decode_goose_frame as text."""
    text = _VALUE_TEXTS.get(item[0])
    return repr(item) if text is None else f"{item[0]} {text(item)}"


def _all_data(values: list[tuple]) -> list[str]:
    """The flat pre-order Data tuples as indented lines, top-level values numbered."""
    lines, open_members, index = [], [], 0  # open_members: members still due per open container
    for item in values:
        if open_members:
            lines.append("    " + "  " * len(open_members) + _value(item))
            open_members[-1] -= 1
        else:
            lines.append(f"    [{index}] {_value(item)}")
            index += 1
        if item[0] in ("struct", "array") and item[1] > 0:
            open_members.append(item[1])
        while open_members and open_members[-1] == 0:
            open_members.pop()
    return lines


def _mac_octets(octets: bytes) -> str:
    return octets.hex(":")


def _heading(number: int, time_ns: int | None, kind: str, frame: dict) -> str:
    parts = [f"frame {number}", _iso_ns(time_ns), kind,
             f"{_mac_octets(frame['src_mac'])} > {_mac_octets(frame['dst_mac'])}"]
    if frame["vlan_id"] is not None:
        parts.append(f"VLAN {frame['vlan_id']} priority {frame['vlan_priority']}")
    parts.append(f"APPID 0x{frame['app_id']:04x}")
    if frame["reserved1"] or frame["reserved2"]:
        parts.append(f"reserved1 0x{frame['reserved1']:04x} reserved2 0x{frame['reserved2']:04x}")
    return "  ".join(parts)


def _goose_lines(pdu: dict) -> list[str]:
    entries = pdu["num_dat_set_entries"]
    count = f"{entries}" if entries == pdu["entries"] else f"{entries} (allData holds {pdu['entries']})"
    t = pdu["t"]
    lines = [
        f"  gocbRef {_text(pdu['gocb_ref'])}",
        f"  datSet {_text(pdu['dat_set'])}",
        f"  goID {'(absent)' if pdu['go_id'] is None else _text(pdu['go_id'])}",
        f"  t {_utc_octets(t)}",
        f"  stNum {pdu['st_num']}  sqNum {pdu['sq_num']}  timeAllowedtoLive {pdu['time_allowed_to_live']} ms"
        f"  confRev {pdu['conf_rev']}",
        f"  simulation {'true' if pdu['simulation'] else 'false'}  ndsCom {'true' if pdu['nds_com'] else 'false'}",
        f"  numDatSetEntries {count}",
        "  allData" + ("" if pdu["all_data"] else " (empty)"),
    ]
    return lines + _all_data(pdu["all_data"])


def _channels(sample: bytes) -> list[tuple[int, int]] | None:
    """The (value, quality) pairs of an ASDU's sample field, or None when it is not whole channels."""
    if len(sample) % _CHANNEL.size:
        return None
    return list(_CHANNEL.iter_unpack(sample))


def _sv_lines(security: bytes | None, asdus: list[dict]) -> list[str]:
    lines = [] if security is None else [f"  security {security.hex() or '(empty)'}"]
    for n, asdu in enumerate(asdus, start=1):
        synch = asdu["smp_synch"]
        head = (f"  ASDU {n}/{len(asdus)}  svID {_text(asdu['sv_id'])}  smpCnt {asdu['smp_cnt']}"
                f"  confRev {asdu['conf_rev']}  smpSynch {synch}" + (f" ({_SMP_SYNCH[synch]})" if synch in _SMP_SYNCH else ""))
        if asdu["smp_rate"] is not None:
            head += f"  smpRate {asdu['smp_rate']}"
        if asdu["smp_mod"] is not None:
            mod = asdu["smp_mod"]
            head += f"  smpMod {mod}" + (f" ({_SMP_MOD[mod]})" if mod in _SMP_MOD else "")
        lines.append(head)
        if asdu["dat_set"] is not None:
            lines.append(f"    datSet {_text(asdu['dat_set'])}")
        if asdu["refr_tm"] is not None:
            lines.append(f"    refrTm {_utc(*asdu['refr_tm'])}")
        if asdu["gm_identity"] is not None:
            lines.append(f"    gmIdentity {asdu['gm_identity'].hex()}")
        channels = _channels(asdu["sample"])
        if channels is None:
            lines.append(f"    sample of {len(asdu['sample'])} octets, not whole channels: {asdu['sample'].hex()}")
        else:
            lines.append("    samples " + (" ".join(f"({v}, 0x{q:04x})" for v, q in channels) or "(none)"))
    return lines


def _hex(value: object) -> str:
    """json.dumps default: octets as hex (tuples already become arrays)."""
    if isinstance(value, bytes):
        return value.hex()
    raise TypeError(f"{type(value).__name__} is not JSON serializable")


@dataclass
class _Tally:
    frames: int = 0
    goose: int = 0
    sv: int = 0
    other: int = 0
    errors: int = 0
    not_conformant: int = 0

    def line(self, strict: bool) -> str:
        text = (f"{self.frames} frames: {self.goose} GOOSE, {self.sv} SV, {self.other} other, "
                f"{self.errors} error{'' if self.errors == 1 else 's'}")
        return text + (f", {self.not_conformant} not conformant" if strict else "")

    def json(self, strict: bool) -> str:
        counts = {"frames": self.frames, "goose": self.goose, "sv": self.sv, "other": self.other, "errors": self.errors}
        if strict:
            counts["not_conformant"] = self.not_conformant
        return json.dumps({"summary": counts})


def _decode_packet(number: int, packet: Packet, strict: bool, as_json: bool, tally: _Tally) -> str | None:
    """The listing of one captured packet, or None for a frame that is neither GOOSE nor SV."""
    import valdrin_rt

    time_ns, linktype, raw = packet
    if linktype != LINKTYPE_ETHERNET:
        tally.other += 1
        return None
    kind = "GOOSE"
    try:
        goose = valdrin_rt.decode_goose_frame(raw)
        sv = None
        if goose is None:
            kind = "SV"
            sv = valdrin_rt.decode_sv_frame(raw)
            if sv is None:
                tally.other += 1
                return None
    except ValueError as error:
        tally.errors += 1
        if as_json:
            return json.dumps({"frame": number, "time_ns": time_ns, "kind": kind, "error": str(error)})
        return f"frame {number}  {_iso_ns(time_ns)}  {kind} not decoded: {error}"
    deviation = None
    if goose is not None and strict:
        try:
            valdrin_rt.decode_goose_frame(raw, strict=True)
        except ValueError as error:  # the lenient pass succeeded: this is a deviation
            deviation = str(error)
            tally.not_conformant += 1
    frame, body = goose if goose is not None else sv
    if goose is not None:
        tally.goose += 1
    else:
        tally.sv += 1
    if as_json:
        record: dict = {"frame": number, "time_ns": time_ns, "kind": kind, "header": frame}
        if goose is not None:
            record["pdu"] = body
            if strict:
                record["deviation"] = deviation
        else:
            security, asdus = body
            record["security"] = security
            record["asdus"] = [dict(asdu, channels=_channels(asdu["sample"])) for asdu in asdus]
        return json.dumps(record, default=_hex)
    lines = [_heading(number, time_ns, kind, frame)]
    if deviation is not None:
        lines.append(f"  {deviation}")
    lines += _goose_lines(body) if goose is not None else _sv_lines(*body)
    return "\n".join(lines)


def _decode(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    packets = read_pcap(sys.stdin.buffer if args.file == "-" else args.file)
    tally = _Tally()
    try:
        while True:
            try:
                packet = next(packets)
            except StopIteration:
                break
            except (OSError, ValueError) as error:
                if tally.frames:
                    print(tally.json(args.strict) if args.json else tally.line(args.strict), flush=True)
                reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
                raise _Failure(f"cannot read {args.file}: {reason}") from None
            tally.frames += 1
            text = _decode_packet(tally.frames, packet, args.strict, args.json, tally)
            if text is not None:
                sys.stdout.write(text + "\n")
        print(tally.json(args.strict) if args.json else tally.line(args.strict), flush=True)
    except BrokenPipeError:
        # Whoever read the listing went away (valdrin decode ... | head): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    command = args.command_parser
    try:
        return args.run(args, command)
    except _Failure as error:
        print(f"valdrin: {error}", file=sys.stderr)
        return 1
    except ValueError as error:  # a stream option out of range
        command.error(str(error))
    except KeyboardInterrupt:  # Ctrl-C before publishing began
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
