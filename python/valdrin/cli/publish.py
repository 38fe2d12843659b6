"""``valdrin publish``: IEC 61850-9-2 SV streams of sine waves (with an
optional recurring fault, a recorded playback or a COMTRADE record) sent on
a network interface with live statistics, or written to a pcap file at
their scheduled send times.
"""

from __future__ import annotations

import argparse
import csv
import math
import sys
import time
import warnings
from dataclasses import dataclass, replace

import valdrin_rt

from .. import inject
from ..pcap import write_pcap, write_prp_pcaps
from ..sv import FAULT_KNOBS, Fault, Playback, Publisher, Stream, Wave
from .app import Failure, StopSignals, integer, interface_mac, mac_address, positive_integer, seconds
from .scl import _given, add_publish_options, publish_streams
from .text import mac

# Default channels, primary values of a 110 kV feeder at 500 A load, in the
# IEC 61850-9-2 LE arrangement: Ia Ib Ic In Va Vb Vc Vn. Currents are sent in
# 1 mA per count, voltages in 10 mV per count.
CURRENT_PEAK_A = 500.0 * math.sqrt(2.0)
VOLTAGE_PEAK_V = 110e3 / math.sqrt(3.0) * math.sqrt(2.0)
CURRENT_SCALE = float(valdrin_rt.COUNTS_PER_AMPERE)  # the core's 9-2LE scaling
VOLTAGE_SCALE = float(valdrin_rt.COUNTS_PER_VOLT)
NOMINAL_HZ = 50.0


def default_waves() -> list[Wave]:
    """Three balanced phases at 0/-120/120 degrees and a zero neutral, currents then voltages."""
    waves = []
    for peak, scale in ((CURRENT_PEAK_A, CURRENT_SCALE), (VOLTAGE_PEAK_V, VOLTAGE_SCALE)):
        waves += [Wave(peak, phase, NOMINAL_HZ, 0.0, scale) for phase in (0.0, -120.0, 120.0)]
        waves.append(Wave(0.0, 0.0, NOMINAL_HZ, 0.0, scale))
    return waves


def profile_waves(currents: int, voltages: int) -> list[Wave]:
    """The channels of a profile: currents then voltages, each group in sets of phases a, b, c
    (0/-120/120 degrees) and a zero neutral, at the default amplitudes and scaling."""
    waves = []
    for count, peak, scale in ((currents, CURRENT_PEAK_A, CURRENT_SCALE), (voltages, VOLTAGE_PEAK_V, VOLTAGE_SCALE)):
        for k in range(count):
            neutral = k % 4 == 3
            waves.append(Wave(0.0 if neutral else peak, 0.0 if neutral else (0.0, -120.0, 120.0)[k % 4], NOMINAL_HZ,
                              0.0, scale))
    return waves


# --- option values ----------------------------------------------------------


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


def _cpu_list(text: str) -> list[int]:
    """``N`` or ``N,M,...``: the CPUs of the engines, one engine per CPU."""
    cpus = [integer(part.strip()) for part in text.split(",")]
    for cpu in cpus:
        if cpus.count(cpu) > 1:
            raise argparse.ArgumentTypeError(f"CPU {cpu} is named twice in {text!r}")
    return cpus


def _smp_rate(text: str) -> int | str | None:
    if text in ("auto", "none"):
        return None if text == "none" else text
    return integer(text)


# --- the parser -------------------------------------------------------------


def add_stream_options(p: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """Adds the options that describe the streams (the "streams" group, and ``--wave`` in the
    "channels" group, which it returns for more); ``valdrin trip-test`` takes them too."""
    what = p.add_argument_group("streams")
    what.add_argument("--streams", type=positive_integer, default=1, metavar="N", help="number of streams (default 1)")
    what.add_argument("--rate", type=integer, default=4000, help="samples per second of every stream (default 4000, at most 65536)")
    what.add_argument(
        "--asdus-per-frame", type=integer, default=1, metavar="N", help="ASDUs (consecutive samples) per frame; must divide --rate (default 1)"
    )
    what.add_argument(
        "--sv-id",
        default="MU{n:02d}",
        metavar="PATTERN",
        help="svID of stream n (from 1), a Python format string with {n} (default MU{n:02d}: MU01, MU02, ...)",
    )
    what.add_argument("--app-id", type=integer, default=0x4000, metavar="ID", help="APPID of stream 1, +1 per stream (default 0x4000)")
    what.add_argument(
        "--dst-mac",
        type=mac_address,
        default="01:0c:cd:04:00:01",
        metavar="MAC",
        help="destination MAC of stream 1 (default 01:0c:cd:04:00:01); the address grows by 1 per stream",
    )
    what.add_argument(
        "--src-mac",
        type=mac_address,
        metavar="MAC",
        help="source MAC (default: the interface's own address, or 00:00:00:00:00:00)",
    )
    what.add_argument("--vlan-id", type=integer, metavar="ID", help="add an 802.1Q tag with this VLAN ID (0-4095)")
    what.add_argument(
        "--vlan-priority", type=integer, metavar="P", help="802.1Q priority (0-7; needs --vlan-id; default 4)"
    )
    what.add_argument("--conf-rev", type=integer, default=1, metavar="N", help="confRev of every ASDU (default 1)")
    what.add_argument(
        "--smp-synch", type=integer, default=0, metavar="N", help="smpSynch of every ASDU: 0 none, 1 local, 2 global clock (default 0)"
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
    return signal_


# The fault and playback options of the "channels" group, one row each: (flag, type, metavar, help).
_SIGNAL_OPTIONS = (
    ("--fault-every", positive_integer, "S",
     "add a fault that recurs every S seconds (the other --fault-* options need this)"),
    ("--fault-offset", integer, "S",
     "the fault starts in the UNIX seconds T where T - S is a multiple of --fault-every (default 0)"),
    ("--fault-start-smp", integer, "N", "sample within that second where the fault starts (default 0)"),
    ("--fault-duration", seconds, "S", "fault length in seconds (default: half of --fault-every)"),
    ("--fault-factor", float, "X", "during the fault every channel's amplitude is multiplied by X (default 10)"),
    ("--playback", None, "FILE.csv",
     "play recorded samples from the first published second on: CSV rows of integers "
     "(counts), one column per channel; samples past the end come from the waves"),
    ("--playback-period", positive_integer, "N", "repeat the recording every N samples (default: play it once)"),
)


class _Formatter(argparse.HelpFormatter):
    """Wraps text as usual, but keeps lines that begin with two spaces (a table) as they are."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        return "\n".join(indent + line if line.startswith("  ") else super(_Formatter, self)._fill_text(line, width, indent)
                         for line in text.splitlines())


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin publish`` to the top-level parser's ``commands``."""
    p = commands.add_parser(
        "publish",
        formatter_class=_Formatter,
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
    where = p.add_argument_group("output")
    where.add_argument("--iface", metavar="IFACE", help="network interface to publish on (required without --pcap)")
    where.add_argument(
        "--prp",
        nargs="?",
        const="",
        metavar="IF_A,IF_B",
        help="publish as a PRP (IEC 62439-3) node: every frame on LAN A's interface and on LAN B's with its "
        "redundancy control trailer (one sequence number per source MAC, the same on both copies), and a "
        "supervision frame per source MAC every 2 s; replaces --iface. With --pcap FILE: writes "
        "FILE-A.pcap and FILE-B.pcap (the interfaces may be left out)",
    )
    where.add_argument(
        "--pcap",
        metavar="FILE",
        help="write the frames to FILE (pcap, nanosecond timestamps of their scheduled send times) "
        "instead of sending them; needs --duration or --frames (with --comtrade: default the "
        "recording's length)",
    )
    where.add_argument(
        "--frames",
        type=positive_integer,
        metavar="N",
        help="with --pcap: write N frame periods (one frame of every stream each) instead of --duration",
    )
    when = p.add_argument_group("timing")
    when.add_argument(
        "--start",
        type=integer,
        metavar="SECOND",
        help="UNIX second whose sample 0 the first frame carries (default: the next whole second)",
    )
    when.add_argument(
        "--duration",
        type=seconds,
        metavar="S",
        help="publish for S seconds from --start, then stop (default: until Ctrl-C)",
    )
    signal_ = add_stream_options(p)
    for flag, kind, metavar, text in _SIGNAL_OPTIONS:
        signal_.add_argument(flag, type=kind, metavar=metavar, help=text)
    record = p.add_argument_group("COMTRADE playback")
    record.add_argument(
        "--comtrade",
        metavar="REC.cfg",
        help="play the analog channels of a COMTRADE record (any revision; ASCII, BINARY, BINARY32 or "
        "FLOAT32 data in the .dat beside it) from the first published second on: converted to primary "
        "values and to counts (1 mA, 10 mV a count), resampled to --rate by a band-limited polyphase "
        "filter. Without --wave the streams have exactly the chosen channels (zero after the recording)",
    )
    record.add_argument(
        "--channels",
        metavar="A,B,...",
        help="with --comtrade: the analog channels that feed the stream's channels in order, by name or "
        "by number from 1 (default: all of them)",
    )
    record.add_argument("--loop", action="store_true", help="with --comtrade: repeat the recording (default: play it once)")
    record.add_argument(
        "--counts-per-unit",
        metavar="X[,X...]",
        help="with --comtrade: counts per unit of the file (primary values) for every chosen channel, "
        "or one number for all; needed for channels whose unit is neither A nor V (default: 1000 "
        "per A, 100 per V, with the prefixes k, M, m, u)",
    )
    thread = p.add_argument_group("transmit thread")
    thread.add_argument(
        "--rt-priority", type=integer, metavar="P", help="run the transmit thread under SCHED_FIFO at priority P (1-99; ignored with --pcap)"
    )
    thread.add_argument(
        "--cpu",
        type=_cpu_list,
        metavar="N[,M...]",
        help="pin the transmit thread to CPU N; a list such as 1,2,3 shares the streams out over one "
        "transmit thread per CPU, all on the same schedule (ignored with --pcap)",
    )
    faults = p.add_argument_group(
        "fault injection",
        "Each --inject KNOB[=VALUE][@AT][+FOR][/STREAMS] sets a knob of the transmit thread AT after "
        "the first frame's second (default at once), on the streams STREAMS counted from 1 "
        "(default all); a lasting knob is cleared FOR later (default: never). Times are seconds "
        "unless suffixed s, ms, us. The knobs:\n" + inject.help_text(list(FAULT_KNOBS.values())),
    )
    faults.add_argument(
        "--inject",
        type=inject.argument_type(FAULT_KNOBS, streams=True),
        action="append",
        default=[],
        metavar="FAULT",
        help="inject a fault (repeatable), e.g. --inject drop=4@2 --inject quality=invalid:0-3@3+1/2 "
        "--inject smp_synch=0@5 --inject delay=2ms@6+1 --inject simulation@8+2; with --prp also "
        "--inject prp_drop_a=3@1 --inject prp_loss_b=10@2+1 --inject prp_delay_b=300us@4+1/2",
    )
    add_publish_options(p)
    profile = p.add_argument_group("61869-9 profile")
    profile.add_argument(
        "--profile",
        metavar="NAME",
        help="set --rate, --asdus-per-frame and the channels from a profile name F<rate>S<ASDUs>I<currents>U<voltages>: "
        "F4800S2I4U4 is 4800 samples/s, 2 ASDUs a frame, 4 currents then 4 voltages (phases a, b, c and a neutral); "
        f"preferred: {', '.join(valdrin_rt.SV_PROFILES)}",
    )
    return p


def _apply_profile(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Sets --rate, --asdus-per-frame and the profile's waves from --profile; a usage error for a
    name the grammar refuses or an option given that contradicts it."""
    if args.profile is None:
        return
    if args.scl is not None:
        parser.error("--profile and --scl exclude each other")
    try:
        rate, asdus, currents, voltages = valdrin_rt.parse_sv_profile(args.profile)
    except ValueError as error:
        parser.error(f"--profile {args.profile}: {error}")
    for dest, option, value in (("rate", "--rate", rate), ("asdus_per_frame", "--asdus-per-frame", asdus)):
        if _given(args, dest) and getattr(args, dest) != value:
            parser.error(f"--profile {args.profile} sets {option} {value}, not {getattr(args, dest)}")
        setattr(args, dest, value)
    if args.wave and len(args.wave) != currents + voltages:
        parser.error(f"--profile {args.profile} has {currents + voltages} channels ({currents} currents, "
                     f"{voltages} voltages), --wave gives {len(args.wave)}")
    if not args.wave:
        args.wave = profile_waves(currents, voltages)


# --- building the publisher ------------------------------------------------


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
                    raise Failure(f"{path} line {line}: expected integers, got {','.join(row)!r}") from None
    except OSError as error:
        raise Failure(f"cannot read {path}: {error.strerror}") from None
    if not rows:
        raise Failure(f"{path} holds no samples")
    return rows


def _comtrade_playback(args: argparse.Namespace, parser: argparse.ArgumentParser, start_second: int) -> Playback:
    from ..recording import read_comtrade

    try:
        recording = read_comtrade(args.comtrade)
    except ValueError as error:
        raise Failure(str(error)) from None
    channels = None if args.channels is None else [name.strip() for name in args.channels.split(",")]
    scales = None
    if args.counts_per_unit is not None:
        try:
            scales = [float(text) for text in args.counts_per_unit.split(",")]
        except ValueError:
            parser.error(f"--counts-per-unit takes numbers separated by commas, got {args.counts_per_unit!r}")
        if not all(math.isfinite(scale) and scale != 0 for scale in scales):  # 0 would publish only zeros
            parser.error(f"--counts-per-unit takes finite numbers other than 0, got {args.counts_per_unit!r}")
        if len(scales) == 1:
            scales = scales[0]
    try:
        playback = Playback.from_recording(recording, rate=args.rate, channels=channels, scales=scales,
                                           start=start_second * args.rate, loop=args.loop)
    except ValueError as error:
        parser.error(f"--comtrade: {error}")
    args.comtrade_hz = recording.frequency if recording.frequency > 0 else NOMINAL_HZ
    args.comtrade_rows = len(playback.values)
    return playback


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
    elif args.comtrade is not None:
        playback = _comtrade_playback(args, parser, start_second)
        if not args.wave:
            waves = [Wave(0.0, 0.0, args.comtrade_hz)] * playback.channels
    smp_rate = args.smp_rate
    if smp_rate == "auto":
        frequency = waves[0].frequency_hz if waves else 0.0
        per_cycle = args.rate / frequency if frequency > 0 else 0.0
        smp_rate = int(per_cycle) if per_cycle.is_integer() and 0 < per_cycle <= 0xFFFF else None
    src_mac = args.src_mac if args.src_mac is not None else interface_mac(args.iface)
    if args.dst_mac + args.streams - 1 >= 1 << 48:
        parser.error(f"--dst-mac {mac(args.dst_mac.to_bytes(6, 'big'))} leaves no room for {args.streams} streams")
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


def _prp_interfaces(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Sets args.iface and args.prp_b from --prp IF_A,IF_B (args.prp_b None without --prp)."""
    args.prp_b = None
    if args.prp is None:
        return
    if args.iface is not None:
        parser.error("--prp names both interfaces: leave out --iface")
    if not args.prp:
        if args.pcap is None:
            parser.error("--prp needs two interfaces, IF_A,IF_B (or --pcap FILE)")
        return
    names = args.prp.split(",")
    if len(names) != 2 or not all(names) or names[0] == names[1]:
        parser.error(f"--prp takes two different interfaces, IF_A,IF_B; got {args.prp!r}")
    args.iface, args.prp_b = names


def _check_usage(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    _prp_interfaces(args, parser)
    if args.pcap is None:
        if args.iface is None:
            parser.error("--iface is required (or --pcap FILE to write a file)")
        if args.frames is not None:
            parser.error("--frames needs --pcap")
    elif args.duration is None and args.frames is None and args.comtrade is None:
        parser.error("--pcap needs --duration or --frames")
    elif args.duration is not None and args.frames is not None:
        parser.error("--duration and --frames exclude each other")
    fault = (args.fault_offset, args.fault_start_smp, args.fault_duration, args.fault_factor)
    if args.fault_every is None and any(value is not None for value in fault):
        parser.error("the --fault-* options need --fault-every")
    if args.playback_period is not None and args.playback is None:
        parser.error("--playback-period needs --playback")
    if args.comtrade is not None and args.playback is not None:
        parser.error("--comtrade and --playback exclude each other")
    if args.comtrade is None and (args.channels is not None or args.loop or args.counts_per_unit is not None):
        parser.error("--channels, --loop and --counts-per-unit need --comtrade")
    if args.inject and args.pcap is not None:
        parser.error("--inject needs --iface: the knobs act on the publisher's thread")
    check_injections(args.inject, args.streams, args.prp is not None, parser)


def check_injections(injections: list[inject.Injection], streams: int, prp: bool,
                     parser: argparse.ArgumentParser) -> None:
    """A usage error for an injection on a stream beyond the ``streams`` published, or of a PRP
    knob on a publisher that is not a PRP node (``prp`` false)."""
    for injection in injections:
        if injection.streams and max(injection.streams) >= streams:
            parser.error(f"--inject {injection.knob.name}: stream {max(injection.streams) + 1} is not published "
                         f"(--streams {streams})")
    try:
        inject.check_prp(injections, prp)
    except inject.InjectError as error:
        parser.error(f"--inject {error}")


# --- pcap -------------------------------------------------------------------


def _write_pcap_file(args: argparse.Namespace, parser: argparse.ArgumentParser, publisher: Publisher) -> int:
    frames_per_second = publisher.rate // publisher.asdus_per_frame
    if args.frames is not None:
        periods = args.frames
    elif args.duration is not None:
        periods = math.ceil(args.duration * frames_per_second)
    else:  # a COMTRADE recording, played once
        periods = math.ceil(args.comtrade_rows / publisher.asdus_per_frame)
    # The file stamps frames with 32-bit UNIX seconds: the first and the last frame's must fit.
    last_ns = publisher.start_second * 1_000_000_000
    if periods:
        last_ns, _ = next(publisher.frames(1, first=periods - 1, stream=0))
    if publisher.start_second < 0 or last_ns // 1_000_000_000 > 0xFFFFFFFF:
        parser.error("a pcap file stamps frames with UNIX seconds from 0 to 4294967295: choose another --start")
    if args.prp is not None:
        return _write_prp_pcaps(args, publisher, periods)
    try:
        with open(args.pcap, "wb") as out:
            written = write_pcap(out, publisher, periods)
    except OSError as error:
        raise Failure(f"cannot write {args.pcap}: {error.strerror}") from None
    print(f"wrote {written} frames ({len(publisher.streams)} streams x {periods} periods) to {args.pcap}")
    return 0


def prp_pcap_names(path: str) -> tuple[str, str]:
    """LAN A's and LAN B's file of ``--pcap path --prp``: ``name-A.pcap`` and ``name-B.pcap``
    (the suffix of ``path``, when it has one, kept after the LAN)."""
    stem, dot, suffix = path.rpartition(".")
    if not dot or "/" in suffix:
        stem, suffix = path, "pcap"
    return f"{stem}-A.{suffix}", f"{stem}-B.{suffix}"


def _write_prp_pcaps(args: argparse.Namespace, publisher: Publisher, periods: int) -> int:
    name_a, name_b = prp_pcap_names(args.pcap)
    for name in (name_a, name_b):
        try:
            open(name, "wb").close()
        except OSError as error:
            raise Failure(f"cannot write {name}: {error.strerror}") from None
    with open(name_a, "wb") as out_a, open(name_b, "wb") as out_b:
        written = write_prp_pcaps(out_a, out_b, publisher, periods)
    print(f"wrote {written} frames ({len(publisher.streams)} streams x {periods} periods) with PRP trailers, "
          f"and supervision frames, to {name_a} and {name_b}")
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


def check_lasting_values(publisher: Publisher, injections: list[inject.Injection],
                         parser: argparse.ArgumentParser) -> None:
    """A usage error for a lasting injection whose value the publisher refuses (out of range, a
    field the stream's frame lacks): each is set and cleared again before the thread starts, so
    that the publisher's own checks answer."""
    for injection in injections:
        if injection.knob.kind.lasting:
            step = inject.Step(0, injection.knob, injection.value, streams=injection.streams)
            try:
                publisher.inject(step)
                publisher.inject(replace(step, clear=True))
            except ValueError as error:
                parser.error(f"--inject {injection.knob.name}: {error}")


def _streams_text(share: list[int]) -> str:
    """Stream numbers from 1, as the options count them: "streams 3-4" or "stream 3"."""
    first, last = share[0] + 1, share[-1] + 1
    return f"stream {first}" if first == last else f"streams {first}-{last}"


def _step_text(step: inject.Step) -> str:
    what = "cleared" if step.clear else "set"
    value = "" if step.clear or step.value is None else f"={step.value}"
    if step.knob.kind in (inject.Kind.SPAN, inject.Kind.DELAY) and value:  # ns, written as the grammar reads them
        ns = int(step.value)
        value = f"={ns / 1e6:g}ms" if ns % 1_000_000 == 0 else f"={ns / 1e3:g}us"
    if isinstance(step.value, inject.Mask) and not step.clear:
        chosen = "all channels" if step.value.channels is None else f"channels {','.join(map(str, step.value.channels))}"
        value = f"=0x{step.value.bits:04x} on {chosen}"
    numbers = "" if step.streams is None else ",".join(str(n + 1) for n in step.streams)
    streams = "every stream" if step.streams is None else f"stream{'s' if len(step.streams) > 1 else ''} {numbers}"
    return f"{what} {step.knob.name}{value} on {streams} at +{step.at_ns / 1e9:g} s"


def apply_due(publisher: Publisher, pending: list[inject.Step], origin: float, say=None) -> float | None:
    """Applies the steps of ``pending`` due by now (each AT from ``origin``, a time.time() instant),
    removing them, and tells ``say`` of each; returns the instant the next one is due, None when
    none is left."""
    now = time.time()
    while pending and origin + pending[0].at_ns / 1e9 <= now:
        step = pending.pop(0)
        publisher.inject(step)
        if say is not None:
            say(_step_text(step))
    return origin + pending[0].at_ns / 1e9 if pending else None


def _publish_live(args: argparse.Namespace, publisher: Publisher) -> int:
    tty = sys.stdout.isatty()
    with StopSignals() as stop:
        try:
            publisher.start()
        except (OSError, RuntimeError) as error:
            raise Failure(str(error)) from None
        begin = publisher.start_second
        end = None if args.duration is None else begin + float(args.duration)
        count = len(publisher.streams)
        where = publisher.iface if publisher.prp_b is None else f"{publisher.iface} (LAN A) and {publisher.prp_b} (LAN B)"
        print(
            f"publishing {count} stream{'s' if count != 1 else ''} on {where} at {publisher.rate} "
            f"samples/s, {publisher.asdus_per_frame} ASDU{'s' if publisher.asdus_per_frame != 1 else ''} per frame, "
            f"from UNIX second {begin}"
            + ("" if end is None else f" for {float(args.duration):g} s")
            + "; Ctrl-C stops",
            flush=True,
        )
        if len(publisher.cpus) > 1:
            shares = publisher.stats()["engines"]
            print(
                f"{len(shares)} engines: " + ", ".join(f"CPU {e['cpu']} {_streams_text(e['streams'])}" for e in shares),
                flush=True,
            )
        # A bounded run ends on its own after its last period: wait for the
        # engines to have sent (or failed to send) every frame of it.
        copies = 1 if publisher.prp_b is None else 2  # frames_sent counts the copies on both LANs
        expected = None if publisher.periods is None else publisher.periods * count * copies
        # Statistics once a second, on whole seconds, from one second after the first frame.
        now = time.time()
        meter = _Meter(0, time.monotonic() + max(0.0, begin - now))
        tick = max(math.floor(now), begin) + 1
        pending = inject.steps(args.inject)

        def say(text: str) -> None:
            print(f"\r{text}\033[K" if tty else text, flush=True)

        try:
            while True:
                next_step = apply_due(publisher, pending, begin, say)
                wake = min(t for t in (tick, end, next_step) if t is not None)
                if stop.wait(max(0.0, wake - time.time())):
                    break
                if end is not None and time.time() >= end:
                    _wait_for_the_last_period(publisher, expected, stop)
                    break
                if time.time() < tick:
                    continue  # woken for a fault
                stats = publisher.stats()
                line = _stats_line(stats, meter.rate(stats["frames_sent"], time.monotonic()))
                print(f"\r{line}\033[K" if tty else line, end="" if tty else "\n", flush=True)
                tick += 1
        finally:
            publisher.stop()
    stats = publisher.stats()
    elapsed = max(0.0, time.time() - begin)
    if end is not None:
        elapsed = min(elapsed, float(args.duration))
    if tty:
        print()
    for engine in stats.get("engines", ()):
        print(
            f"engine on CPU {engine['cpu']} ({_streams_text(engine['streams'])}): sent {engine['frames_sent']} frames, "
            f"{engine['send_errors']} send errors, {engine['late_frames']} late frames, "
            f"max lateness {engine['max_lateness_ns'] / 1000:.1f} µs",
            flush=True,
        )
    print(
        f"sent {stats['frames_sent']} frames in {elapsed:.2f} s: {stats['send_errors']} send errors, "
        f"{stats['late_frames']} late frames, max lateness {stats['max_lateness_ns'] / 1000:.1f} µs",
        flush=True,
    )
    return 0


# How long past the end of a bounded run the engines may still be catching up
# (a backlog goes out back to back) before they are stopped regardless.
_CATCH_UP_S = 5.0


def _wait_for_the_last_period(publisher: Publisher, expected: int | None, stop: StopSignals) -> None:
    if expected is None:
        return
    give_up = time.monotonic() + _CATCH_UP_S
    while time.monotonic() < give_up:
        stats = publisher.stats()
        if stats["frames_sent"] + stats["send_errors"] >= expected or stop.wait(0.005):
            return


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Runs ``valdrin publish``; returns the exit status."""
    _check_usage(args, parser)
    _apply_profile(args, parser)
    start_second = args.start if args.start is not None else int(time.time()) + 1
    streams = (publish_streams(args, parser, args.src_mac if args.src_mac is not None else interface_mac(args.iface),
                               default_waves()) or _streams(args, parser, start_second))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cpus = None if args.pcap or args.cpu is None else args.cpu
        if cpus is not None and len(cpus) > args.streams:
            parser.error(f"--cpu names {len(cpus)} CPUs for {args.streams} stream{'s' if args.streams != 1 else ''}: "
                         f"every engine needs a stream (give --streams {len(cpus)} or more, or fewer CPUs)")
        periods = None
        if args.pcap is None and args.duration is not None:
            # The periods whose scheduled instants lie in [start, start + duration).
            periods = math.ceil(args.duration * args.rate / args.asdus_per_frame) if args.asdus_per_frame > 0 else None
        try:
            publisher = Publisher(
                args.iface or "",
                streams,
                args.rate,
                args.asdus_per_frame,
                start_second=start_second,
                rt_priority=None if args.pcap else args.rt_priority,
                cpu=cpus[0] if cpus is not None and len(cpus) == 1 else None,
                cpus=cpus if cpus is not None and len(cpus) > 1 else None,
                periods=periods,
                prp_b=args.prp_b,
            )
        except (TypeError, ValueError) as error:
            parser.error(str(error))
        if args.pcap is None:
            check_lasting_values(publisher, args.inject, parser)
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
