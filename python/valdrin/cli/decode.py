"""``valdrin decode FILE``: every GOOSE and SV frame of a pcap or pcapng
capture, for people or as JSON lines, with a summary of what it held."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass

from ..pcap import LINKTYPE_ETHERNET, Packet, open_capture
from .app import Failure
from ..goose import message_from_native
from ..sv_frames import asdu_from_native
from ..values import FrameHeader, to_json
from .text import frame_heading, goose_lines, iso_ns, sv_lines


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin decode`` to the top-level parser's ``commands``."""
    d = commands.add_parser(
        "decode",
        help="print the GOOSE and SV frames of a capture file (pcap or pcapng)",
        description=(
            "Print every GOOSE (IEC 61850-8-1) and Sampled Values (IEC 61850-9-2) frame of a "
            "capture file, classic pcap or pcapng, one block per frame: time, MAC addresses, "
            "VLAN, APPID and the decoded PDU, Data values and samples in readable form. Frames "
            "that fail to decode are reported with their number and decoding goes on; other "
            "frames are only counted. A summary line ends the listing. Gzip-compressed captures and Linux "
            "cooked captures (tcpdump -i any; their destination MAC, which they do not keep, shows as "
            "00:00:00:00:00:00) are read too."
        ),
        epilog=(
            "Exit status: 0 when the capture was read to its end (whatever its frames hold), "
            "1 when it cannot be read (missing, not a capture, truncated), 2 for usage errors."
        ),
    )
    d.add_argument("file", metavar="FILE", help="the capture: classic pcap or pcapng, or - for standard input")
    d.add_argument(
        "--strict",
        action="store_true",
        help="also check every GOOSE PDU against the standard encoding and print its first deviation",
    )
    d.add_argument(
        "--json",
        action="store_true",
        help=("print one JSON object per GOOSE or SV frame and a summary object, one per line: text as text, "
              "Data values nested, times as ISO text with their quality, other octets as hex"),
    )
    return d


_BATCH = 4096


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
        return f"frame {number}  {iso_ns(time_ns)}  {kind} not decoded: {error}"
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
        # The frame as Python values (text as text, Data nested, UtcTime as
        # ISO time and quality), then plain JSON.
        record: dict = {"frame": number, "time_ns": time_ns, "kind": kind,
                        "header": to_json(FrameHeader.from_native(frame))}
        if goose is not None:
            pdu = to_json(message_from_native(frame, body))
            del pdu["header"]
            record["pdu"] = pdu
            if strict:
                record["deviation"] = deviation
        else:
            security, asdus = body
            record["security"] = to_json(security)
            record["asdus"] = [to_json(asdu_from_native(asdu)) for asdu in asdus]
        return json.dumps(record)
    lines = [frame_heading(number, time_ns, kind, frame)]
    if deviation is not None:
        lines.append(f"  {deviation}")
    lines += goose_lines(body) if goose is not None else sv_lines(*body)
    return "\n".join(lines)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Runs ``valdrin decode``; returns the exit status."""
    tally = _Tally()

    def fail(error: OSError | ValueError) -> Failure:
        if tally.frames:
            print(tally.json(args.strict) if args.json else tally.line(args.strict), flush=True)
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        return Failure(f"cannot read {args.file}: {reason}")

    try:
        reader = open_capture(sys.stdin.buffer if args.file == "-" else args.file)
    except OSError as error:
        raise fail(error) from None
    while True:
        try:
            # Linux cooked captures come as Ethernet frames; frames of other link types count as other.
            batch = reader.read(_BATCH, ethernet=True)
        except (OSError, ValueError) as error:
            raise fail(error) from None
        if not batch:
            break
        for packet in batch:
            tally.frames += 1
            text = _decode_packet(tally.frames, packet, args.strict, args.json, tally)
            if text is not None:
                sys.stdout.write(text + "\n")
    print(tally.json(args.strict) if args.json else tally.line(args.strict), flush=True)
    # A reader that goes away (valdrin decode ... | head) ends the command as every command's does.
    return 0
