"""Stream health for people: the tables that ``valdrin monitor`` refreshes and
``valdrin analyze`` prints, drawn with rich."""

from __future__ import annotations

import argparse
import math

import valdrin_rt
from rich.console import Group
from rich.table import Table
from rich.text import Text

from ..listen import Event, Report
from ..values import BitString, UtcTime
from .prp_view import prp_parts
from .text import iso_ns


def add_analysis_options(parser: argparse.ArgumentParser) -> None:
    """The analysis settings that ``valdrin monitor`` and ``valdrin analyze`` both take."""
    parser.add_argument("--nominal-hz", type=float, choices=(50.0, 60.0), default=50.0, metavar="HZ",
                        help="the power system's nominal frequency for RMS and phasors: 50 (default) or 60")
    parser.add_argument("--max-streams", type=int, default=valdrin_rt.DEFAULT_SV_STREAMS, metavar="N",
                        help=f"SV streams and GOOSE blocks tracked, each (default {valdrin_rt.DEFAULT_SV_STREAMS}); "
                             "more are counted as beyond the limits")


def _us(value: float | None) -> str:
    return "-" if value is None else f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def _count(value: int) -> Text:
    """A problem count: red when not zero."""
    return Text(f"{value:,}", style="bold red" if value else "green")


def _channels(item: dict) -> str:
    """RMS of the 9-2LE channels, currents in A and voltages in kV; raw values for other layouts."""
    if item["channels"]:
        rms = [channel["rms"] for channel in item["channels"]]

        def group(values, scale, digits):
            return "/".join("-" if v is None or math.isnan(v) else f"{v * scale:,.{digits}f}" for v in values)

        return f"I {group(rms[:4], 1, 1)} A  V {group(rms[4:], 0.001, 2)} kV"
    if item["raw"]:
        return "raw " + " ".join(str(v) for v in item["raw"][:8]) + (" …" if len(item["raw"]) > 8 else "")
    return ""


def sv_table(report: Report) -> Table:
    """A row per SV stream, in order of first appearance."""
    errors = {item["interval_us"]["quantile_error"] for item in report.sv}
    caption = f"p99 within {max(errors):.1%} (min and max exact)" if errors else None
    table = Table(title=f"Sampled Values streams ({len(report.sv)})", title_justify="left", expand=False,
                  caption=caption, caption_justify="left")
    for header, justify in (("svID", "left"), ("APPID", "left"), ("dst", "left"), ("ASDU/s", "right"),
                            ("ASDUs", "right"), ("lost", "right"), ("dup", "right"), ("ooo", "right"),
                            ("p99 µs", "right"), ("max µs", "right"), ("RMS a/b/c/n", "left")):
        table.add_column(header, justify=justify, no_wrap=True)
    for item in report.sv:
        rate = item["rate"]
        interval = item["interval_us"]
        table.add_row(
            item["sv_id"], f"0x{item['app_id']:04x}", item["dst"],
            "-" if rate is None else f"{rate:,.0f}", f"{item['asdus']:,}",
            _count(item["lost"]), _count(item["duplicated"]), _count(item["out_of_order"]),
            _us(interval["p99"]), _us(interval["max"]), _channels(item),
        )
    return table


def value_text(value: object) -> str:
    """One GOOSE value, short."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return "{" + ", ".join(value_text(member) for member in value) + "}"
    if isinstance(value, float):
        return f"{value:g}"
    if isinstance(value, (bytes, bytearray)):
        return value.hex() or "''"
    if isinstance(value, UtcTime):
        return value.iso()
    if isinstance(value, BitString):
        return value.bits or "''"
    if isinstance(value, str):
        return repr(value)
    return str(value)


def state_text(values: list | None, most: int = 60) -> str:
    """The values of a control block, cut to `most` characters."""
    if values is None:
        return "(not decoded)"
    out = ", ".join(value_text(v) for v in values)
    return out if len(out) <= most else out[: most - 1] + "…"


def tal_status(item: dict, now_ns: int | None) -> Text:
    """"ok", or "expired" when no frame came by `now_ns` within the last frame's timeAllowedToLive."""
    if now_ns is not None and now_ns > item["last_ns"] + item["time_allowed_to_live"] * 1_000_000:
        return Text("expired", style="bold red")
    return Text("ok", style="green")


def goose_table(report: Report, now_ns: int | None) -> Table:
    """A row per GOOSE control block; the TAL status as of `now_ns` (a live clock, or the capture's end)."""
    table = Table(title=f"GOOSE control blocks ({len(report.goose)})", title_justify="left", expand=False)
    for header, justify in (("gocbRef", "left"), ("APPID", "left"), ("stNum", "right"), ("sqNum", "right"),
                            ("changes", "right"), ("lost", "right"), ("dup", "right"), ("ooo", "right"),
                            ("TAL", "left"), ("expired", "right"), ("state", "left")):
        table.add_column(header, justify=justify, no_wrap=header != "state")
    for item in report.goose:
        flags = []
        if item["simulation"]:
            flags.append("sim")
        if item["nds_com"]:
            flags.append("ndsCom")
        state = state_text(item["values"]) + (f" [{' '.join(flags)}]" if flags else "")
        table.add_row(
            item["gocb_ref"], f"0x{item['app_id']:04x}", str(item["st_num"]), str(item["sq_num"]),
            f"{item['state_changes']:,}", _count(item["lost"]), _count(item["duplicated"]),
            _count(item["out_of_order"]), tal_status(item, now_ns), _count(item["tal_expired"]), state,
        )
    return table


# The findings of a GOOSE block by key, as people read them.
FINDING_TEXTS = {
    "values_changed_without_state_change": "values changed, stNum did not",
    "state_changed_without_values_change": "stNum changed, values did not",
    "t_changed_without_state_change": "t changed, stNum did not",
    "t_unchanged_at_state_change": "stNum changed, t did not",
    "sq_restarts": "sqNum restarted within a state",
    "entries_mismatch": "numDatSetEntries is not the number of values",
    "strict_deviations": "not conformant",
    "type_changed_without_conf_rev": "a member's type changed, confRev did not",
    "entries_changed_without_conf_rev": "the number of values changed, confRev did not",
}


def findings_table(report: Report) -> Table | None:
    """A row per GOOSE block and publishing rule it broke (per deviation text for
    strict decoding), with the count and the first frame's time; None when none."""
    table = Table(title="GOOSE findings", title_justify="left", expand=False)
    for header, justify in (("gocbRef", "left"), ("APPID", "left"), ("finding", "left"), ("frames", "right"),
                            ("first", "left")):
        table.add_column(header, justify=justify, no_wrap=header != "finding")
    for item in report.goose:
        findings = item["findings"]
        for key, label in FINDING_TEXTS.items():
            first = item["findings_first_ns"].get(key)
            if first is None:
                continue
            rows = [(label, findings[key], first)] if key != "strict_deviations" else [
                (f"{label}: {text}", count, first[text]) for text, count in findings[key].items()]
            for what, count, at in rows:
                table.add_row(item["gocb_ref"], f"0x{item['app_id']:04x}", what, _count(count), iso_ns(at))
    return table if table.row_count else None


def totals_line(report: Report) -> Text:
    """Frames, malformed, other, and the capture's kernel drops when live."""
    parts = [f"{report.frames:,} frames", f"{report.other:,} other"]
    line = Text(", ".join(parts) + ", ")
    line.append(f"{report.malformed:,} malformed", style="bold red" if report.malformed else None)
    if report.malformed_reasons:
        line.append(" (" + "; ".join(f"{name}: {r['count']} - {r['last']}" for name, r in report.malformed_reasons.items()) + ")")
    if report.capture is not None:
        drops = report.capture["kernel_drops"]
        line.append(", ")
        lan_b = report.capture.get("lan_b")
        line.append(f"{drops:,} dropped by the kernel" + (" on LAN A" if lan_b else ""),
                    style="bold red" if drops else None)
        if lan_b:
            lost_b = lan_b["kernel_drops"] + lan_b["handover_drops"]
            line.append(", ")
            line.append(f"{lost_b:,} on LAN B", style="bold red" if lost_b else None)
        if report.events_dropped:
            line.append(f", {report.events_dropped:,} events not delivered", style="bold red")
    untracked = sum(report.untracked.values())
    if untracked:
        line.append(f", {untracked:,} beyond the stream limits", style="bold red")
    if report.file is not None:
        if report.file["cut"]:
            line.append(f", {report.file['cut']:,} cut by the snap length", style="bold red")
        if report.file["over_snaplen"]:
            line.append(f", {report.file['over_snaplen']:,} longer than the snap length", style="bold red")
        for link in report.file["other_links"]:
            name = f" ({link['name']})" if link["name"] else ""
            line.append(f", {link['frames']:,} of link type {link['linktype']}{name} not read", style="bold red")
    return line


def report_view(report: Report, now_ns: int | None) -> Group:
    """The whole report: the totals, then the SV and GOOSE tables and the GOOSE findings (those that have rows)."""
    parts: list = [totals_line(report)]
    if report.sv:
        parts.append(sv_table(report))
    if report.goose:
        parts.append(goose_table(report, now_ns))
        findings = findings_table(report)
        if findings is not None:
            parts.append(findings)
    parts.extend(prp_parts(report))
    return Group(*parts)


def conf_rev_lines(report: Report, expected: int | None) -> list[str]:
    """A line per SV stream and GOOSE block that carried a confRev other than `expected`
    (the analysis counted them against it): how many ASDUs or frames, the first such
    confRev and when it came, and the last confRev."""
    if expected is None:
        return []
    lines = []
    for kind, items, name, unit in (("SV", report.sv, "sv_id", "ASDUs"), ("GOOSE", report.goose, "gocb_ref", "frames")):
        for item in items:
            other = item["unexpected_conf_rev"]
            if other is not None:
                lines.append(f"{kind} {item[name]} (0x{item['app_id']:04x}): {other[unit.lower()]:,} {unit} of a "
                             f"confRev other than {expected}, the first {other['first']} at {iso_ns(other['first_ns'])}"
                             f" (last confRev {item['conf_rev']})")
    return lines


def event_line(event: Event) -> str:
    """One event as a line of text."""
    d = event.details
    what = {
        "sv_stream_seen": "new SV stream",
        "goose_block_seen": f"new GOOSE block, stNum {d.get('st_num')}: {state_text(d.get('values'))}",
        "goose_state_change": f"state change stNum {d.get('st_num')}: {state_text(d.get('values'))}",
        "tal_expired": f"timeAllowedToLive of {d.get('time_allowed_to_live')} ms ran out: the publisher went silent",
        "conf_rev_change": f"confRev {d.get('old')} -> {d.get('new')}",
        "simulation_change": f"simulation {bool(d.get('old'))} -> {bool(d.get('new'))}",
        "nds_com_change": f"ndsCom {bool(d.get('old'))} -> {bool(d.get('new'))}",
        "decode_failure": f"not decoded: {d.get('message')}",
        "goose_finding": f"{FINDING_TEXTS.get(d.get('finding'), d.get('finding'))}: {d.get('text')}",
    }.get(event.kind, event.kind)
    return f"{iso_ns(event.time_ns)}  {'GOOSE' if event.goose else 'SV'} {event.id or event.dst} (0x{event.app_id:04x}): {what}"
