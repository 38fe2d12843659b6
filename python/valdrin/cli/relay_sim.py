"""``valdrin relay-sim``: a small definite-time overcurrent relay on an
interface, subscribing to one SV stream and publishing its trip by GOOSE; a
device under test for ``valdrin trip-test``.
"""

from __future__ import annotations

import argparse
import json
import sys

from ..relay_sim import Block, Decision, RelaySimulator
from .app import Failure, StopSignals, integer, mac_address, seconds


def _non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be zero or more, got {text}")
    return value


def _positive(text: str) -> float:
    value = _non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin relay-sim`` to the top-level parser's ``commands``."""
    p = commands.add_parser(
        "relay-sim",
        help="simulate an overcurrent relay: SV in, GOOSE trip out (a device to run trip-test against)",
        description=(
            "Subscribe to the SV stream --sv-id on an interface and run a definite-time overcurrent "
            "element over one current channel: the RMS of the last nominal cycle of samples against "
            "--pickup amperes (1 mA a count), a trip --delay ms (counted in samples) after the RMS "
            "rose above it, a reset at the first sample whose RMS is back at or below it. The "
            "element runs in the capture thread on every sample; each trip and reset becomes a "
            "state change of the GOOSE control block --gocb-ref (its data set: one BOOLEAN, true "
            "while tripped), sent at once, then retransmitted. Every decision is logged with the "
            "deciding SV frame's kernel receive stamp, the instant it was acted on and the instant "
            "the first GOOSE frame of the new state was handed to the kernel and the kernel's stamp of it "
            "leaving (the capture sees the frames this host sends). Needs CAP_NET_RAW."
        ),
        epilog="Ctrl-C (or SIGTERM) stops. Exit status: 0 after --duration or Ctrl-C, 1 when the interface "
        "cannot be used, 2 for usage errors.",
    )
    p.add_argument("--iface", required=True, metavar="IFACE", help="network interface to subscribe and publish on")
    p.add_argument("--sv-id", required=True, metavar="ID", help="svID of the stream to protect")
    p.add_argument("--pickup", type=_positive, required=True, metavar="A", help="RMS pickup current in amperes")
    p.add_argument("--delay", type=_non_negative, required=True, metavar="MS", help="definite-time delay in ms")
    p.add_argument("--gocb-ref", required=True, metavar="REF", help="gocbRef of the trip's GOOSE control block")
    p.add_argument("--channel", type=integer, default=0, metavar="N",
                   help="channel of the sample to watch, from 0 (default 0: Ia in the 9-2LE order)")
    p.add_argument("--rate", type=integer, default=4000, help="samples per second of the stream (default 4000)")
    p.add_argument("--nominal-hz", type=_positive, default=50.0, metavar="HZ",
                   help="nominal frequency: the RMS window is rate / HZ samples (default 50)")
    p.add_argument("--app-id", type=integer, default=0x0001, metavar="ID", help="APPID of the GOOSE frames (default 0x0001)")
    p.add_argument("--dst-mac", type=mac_address, default="01:0c:cd:01:00:01", metavar="MAC",
                   help="destination MAC of the GOOSE frames (default 01:0c:cd:01:00:01)")
    supervise = p.add_argument_group(
        "supervision", "As a relay blocks on samples it cannot trust: each blocking empties the RMS window, and "
        "the element decides again once a full window of good samples has come; every block and release is logged.")
    supervise.add_argument("--ignore-invalid", action="store_true",
                           help="leave out samples whose quality is invalid (validity 01 on the watched channel)")
    supervise.add_argument("--ignore-test", action="store_true",
                           help="leave out samples whose quality has the test bit")
    supervise.add_argument("--block-unsynchronised", action="store_true",
                           help="leave out samples while smpSynch is 0 (no clock)")
    supervise.add_argument("--block-after-lost", type=integer, default=0, metavar="N",
                           help="block after N or more consecutive lost samples (default 0: never)")
    p.add_argument("--duration", type=seconds, metavar="S", help="run for S seconds (default: until Ctrl-C)")
    p.add_argument("--json", action="store_true", help="print each decision as one JSON object per line")
    return p


def decision_line(d: Decision) -> str:
    """One decision for people."""
    sent = "its GOOSE not seen leaving" if d.sent_ns is None else (
        f"stNum {d.st_num} left {(d.sent_ns - d.frame_ns) / 1e3:.1f} µs after the deciding frame")
    return (f"{d.kind.upper():5}  smpCnt {d.smp_cnt:5}  RMS {d.rms_a:10.1f} A  frame {d.frame_ns}  "
            f"acted +{(d.decided_ns - d.frame_ns) / 1e3:.1f} µs  {sent}")


def block_line(b: Block) -> str:
    """One block or release for people."""
    if b.kind == "release":
        return f"RELEASE  smpCnt {b.smp_cnt:5}  frame {b.frame_ns}  a full window of good samples again"
    what = f"{b.lost} samples lost" if b.reason == "samples lost" else f"{b.reason}: samples ignored"
    return f"BLOCK  smpCnt {b.smp_cnt:5}  frame {b.frame_ns}  {what}"


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Runs ``valdrin relay-sim``; returns the exit status."""
    if not 0 <= args.channel <= 255:
        parser.error(f"--channel must be between 0 and 255, got {args.channel}")
    if not 1 <= args.rate <= 65536:
        parser.error(f"--rate must be between 1 and 65536, got {args.rate}")
    if not args.gocb_ref:  # else the publisher refuses its template with a text that names no option
        parser.error("--gocb-ref is empty: give the gocbRef of the trip's control block")
    if args.block_after_lost < 0:
        parser.error(f"--block-after-lost must be zero or more, got {args.block_after_lost}")

    def on_decision(d: Decision) -> None:
        print(json.dumps(d.to_json()) if args.json else decision_line(d), flush=True)

    def on_block(b: Block) -> None:
        print(json.dumps(b.to_json()) if args.json else block_line(b), flush=True)

    try:
        sim = RelaySimulator(args.iface, args.sv_id, args.pickup, args.delay, args.gocb_ref, channel=args.channel,
                             rate=args.rate, nominal_hz=args.nominal_hz, app_id=args.app_id,
                             dst_mac=args.dst_mac.to_bytes(6, "big"), on_decision=on_decision,
                             ignore_invalid=args.ignore_invalid, ignore_test=args.ignore_test,
                             block_unsynchronised=args.block_unsynchronised, block_after_lost=args.block_after_lost,
                             on_block=on_block)
    except OSError as error:
        raise Failure(str(error)) from None
    with StopSignals() as stop:
        try:
            sim.start()
        except (OSError, RuntimeError) as error:
            raise Failure(str(error)) from None
        if not args.json:
            e = sim.element
            print(f"relay on {args.iface}: {args.sv_id} channel {e.channel}, pickup {args.pickup:g} A "
                  f"({e.pickup} counts RMS over {e.window} samples), delay {args.delay:g} ms "
                  f"({e.delay_samples} samples); trip on {args.gocb_ref}; Ctrl-C stops", flush=True)
        try:
            sim.serve(None if args.duration is None else float(args.duration), stop.is_set)
        finally:
            sim.stop()
    if not sim.stream_seen:
        print(f"valdrin: warning: no frame of SV stream {args.sv_id!r} arrived on {args.iface}", file=sys.stderr)
    if not args.json:
        trips = sum(d.kind == "trip" for d in sim.log)
        print(f"{trips} trip{'s' if trips != 1 else ''}, {len(sim.log) - trips} reset{'s' if len(sim.log) - trips != 1 else ''}")
    return 0
