"""``valdrin export CAPTURE --comtrade OUT``: one SV stream of a capture file
written as a COMTRADE 2013 record (OUT.cfg + OUT.dat)."""

from __future__ import annotations

import argparse
import math
import os

from .app import file_failures, print_json, reading_progress


def _frequency(text: str) -> float:
    """A line frequency: a finite number of hertz above zero (the .cfg's readers divide by it)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a frequency in Hz: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of Hz, got {text}")
    return value


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin export`` to the top-level parser's ``commands``."""
    e = commands.add_parser(
        "export",
        help="write one SV stream of a capture file as a COMTRADE record",
        description=(
            "Write the samples of one Sampled Values stream of a capture file (classic pcap or pcapng) "
            "as a COMTRADE 2013 record: OUT.cfg and OUT.dat, which protection engineers' analysis tools "
            "open. Samples are placed by their smpCnt: a sample that never arrived is written as a "
            "missing value (BINARY32: 0x80000000; ASCII: 99999), never interpolated. 8-channel streams "
            "get the 9-2LE names and units (Ia Ib Ic In in A at 1 mA a count, Va Vb Vc Vn in V at "
            "10 mV a count), other streams raw counts (ch1, ch2, ...); a digital channel '<name> q' per "
            "channel is 1 where the sample's validity is invalid or questionable. The start time is "
            "the capture time of the first sample's frame, in UTC."
        ),
        epilog=(
            "Example: valdrin export capture.pcapng --sv-id MU01 --comtrade fault (writes fault.cfg "
            "and fault.dat). BINARY32 keeps every count; ASCII keeps values within -99999..99998, so "
            "a channel beyond that is written in steps of several counts (its multiplier says so). "
            "Exit status: 0 when written, 1 when the capture cannot be read or holds no such stream, "
            "2 for usage errors."
        ),
    )
    e.add_argument("file", metavar="CAPTURE", help="the capture: classic pcap or pcapng")
    e.add_argument("--sv-id", metavar="ID", help="svID of the stream to export (default: the only SV stream)")
    e.add_argument("--comtrade", required=True, metavar="OUT",
                   help="the record to write: OUT.cfg and OUT.dat (a .cfg or .dat suffix is dropped)")
    e.add_argument("--format", choices=("binary32", "ascii"), default="binary32", type=str.lower,
                   help="data file format: binary32 (default, exact) or ascii")
    e.add_argument("--station", default="valdrin", metavar="NAME",
                   help="station name written in the .cfg (default valdrin); the device id is the svID")
    e.add_argument("--nominal-hz", type=_frequency, default=50.0, metavar="HZ",
                   help="line frequency written in the .cfg (default 50)")
    e.add_argument("--json", action="store_true",
                   help="print one JSON object {cfg, dat, sv_id, rate, samples, lost, channels, start} and nothing else")
    return e


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from ..sv_capture import export_comtrade

    # OUT names the record's two files: an empty name or a directory would write "/tmp.cfg" for
    # "/tmp/", or fail deep inside with a path's repr.
    if not args.comtrade or args.comtrade.endswith(os.sep) or os.path.isdir(args.comtrade):
        parser.error(f"--comtrade takes the name of the record's files (OUT for OUT.cfg and OUT.dat), "
                     f"not a directory: {args.comtrade!r}")
    options = dict(file_type=args.format.upper(), station=args.station, frequency=args.nominal_hz)
    with file_failures(args.file), reading_progress("reading", args.json) as progress:
        summary = export_comtrade(args.file, args.comtrade, args.sv_id, **options, progress=progress)
    if args.json:
        print_json(summary)
        return 0
    print(
        f"wrote {summary['cfg']} and {summary['dat']}: {summary['samples']} samples of "
        f"{len(summary['channels'])} channels of {summary['sv_id']} at {summary['rate']}/s "
        f"from {summary['start']}, {summary['lost']} lost (written as missing values)"
    )
    return 0
