"""``valdrin plot CAPTURE -o FILE``: a picture of one SV stream of a capture
file, with lost samples, quality flags and GOOSE state changes."""

from __future__ import annotations

import argparse
import math
from pathlib import Path

from .app import file_failures, print_json


def _time(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return value


def picture_format_error(path: str) -> str | None:
    """Why ``path``'s suffix names no picture format matplotlib writes (None: it does).

    Checked before the capture is read: without a suffix matplotlib would write a PNG under
    that name, and an unknown one fails only after the whole capture was read.
    """
    from matplotlib.figure import Figure

    formats = Figure().canvas.get_supported_filetypes()
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix in formats:
        return None
    known = ", ".join(f".{name}" for name in sorted(formats))
    if not suffix:
        return f"{path!r} has no suffix to choose the picture's format ({known})"
    return f"{path!r}: no picture format .{suffix} (formats: {known})"


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin plot`` to the top-level parser's ``commands``."""
    p = commands.add_parser(
        "plot",
        help="draw one SV stream of a capture file (PNG or SVG)",
        description=(
            "Draw the channels of one Sampled Values stream of a capture file (classic pcap or pcapng) "
            "over time into a PNG or SVG file: currents and voltages on separate axes in A and V "
            "(9-2LE layout: 1 mA and 10 mV a count), other streams in counts. Lost samples are shaded "
            "red, samples whose quality is not good (invalid or questionable) are marked with orange "
            "dots, and the GOOSE state changes of the capture are dashed vertical lines labelled with "
            "gocbRef and stNum. Needs no display."
        ),
        epilog=(
            "Example: valdrin plot capture.pcapng --sv-id MU01 --from 0.9 --to 1.2 -o fault.png. "
            "Exit status: 0 when drawn, 1 when the capture cannot be read, holds no such stream or "
            "the file cannot be written, 2 for usage errors."
        ),
    )
    p.add_argument("file", metavar="CAPTURE", help="the capture: classic pcap or pcapng")
    p.add_argument("-o", "--output", required=True, metavar="FILE.png|svg",
                   help="the picture to write; its suffix chooses the format (.png, .svg, .pdf)")
    p.add_argument("--sv-id", metavar="ID", help="svID of the stream (default: the only SV stream)")
    p.add_argument("--from", dest="start", type=_time, metavar="T",
                   help="first instant drawn, in seconds after the stream's first sample (default: its start)")
    p.add_argument("--to", dest="end", type=_time, metavar="T",
                   help="last instant drawn, in seconds after the stream's first sample (default: its end)")
    p.add_argument("--no-goose", action="store_true", help="leave out the GOOSE state changes")
    p.add_argument("--json", action="store_true",
                   help="print one JSON object {sv_id, file, samples, lost, flagged, events, from_s, to_s}")
    return p


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from ..figures import plot_capture

    if args.start is not None and args.end is not None and args.end <= args.start:
        parser.error(f"--to {args.end} must be after --from {args.start}")
    problem = picture_format_error(args.output)
    if problem is not None:
        parser.error(f"-o: {problem}")
    with file_failures(args.file):
        summary = plot_capture(args.file, args.output, args.sv_id, start_s=args.start, end_s=args.end,
                               goose=not args.no_goose)
    if args.json:
        print_json(summary)
        return 0
    print(
        f"drew {summary['samples']} samples of {summary['sv_id']} from {summary['from_s']:.6f} s to "
        f"{summary['to_s']:.6f} s into {summary['file']}: {summary['lost']} lost, {summary['flagged']} "
        f"with quality flags, {summary['events']} GOOSE state changes"
    )
    return 0
