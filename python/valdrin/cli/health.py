"""Stream health for people: the tables that ``valdrin monitor`` refreshes and
``valdrin analyze`` prints, drawn with rich."""

from __future__ import annotations

import math
import os

from rich.console import Console, Group
from rich.text import Text

from ..listen import Event, Report
from ..values import BitString, UtcTime
from .app import rich_console
from .prp_view import prp_parts
from .tables import BAD, GOOD, Column, Styled, count_cell, fitted_table
from .text import iso_ns


def _us(value: float | None) -> str:
    return "-" if value is None else f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def _rms(values: list, scale: float, form: str) -> str:
    """RMS values times ``scale``, each written as ``form`` says (e.g. ",.1f") and joined by "/"; "-" for none."""
    return "/".join(["-" if v is None or math.isnan(v) else format(v * scale, form) for v in values])


def _channels(item: dict) -> str:
    """RMS of the 9-2LE channels, currents in A and voltages in kV; raw values for other layouts."""
    if item["channels"]:
        rms = [channel["rms"] for channel in item["channels"]]
        return f"I {_rms(rms[:4], 1, ',.1f')} A  V {_rms(rms[4:], 0.001, ',.2f')} kV"
    if item["raw"]:
        return "raw " + " ".join(str(v) for v in item["raw"][:8]) + (" …" if len(item["raw"]) > 8 else "")
    return ""


# --- tables that fit ------------------------------------------------------------

# The width of the tables when standard output is no terminal (a pipe, a
# file) and COLUMNS does not say: wide enough for every column of a stream
# with a short svID, and the same whatever read the output.
PIPE_WIDTH = 120


def console(stderr: bool = False) -> Console:
    """A console on standard output (or error): a terminal's own width, else COLUMNS, else PIPE_WIDTH."""
    out = rich_console(stderr=stderr)
    if not out.is_terminal and "COLUMNS" not in os.environ:
        out = rich_console(stderr=stderr, width=PIPE_WIDTH)
    return out


def stream_key(item: dict) -> tuple:
    """What identifies an SV stream across reports: APPID, destination and svID."""
    return item["app_id"], item["dst"], item["sv_id"]


def _latency(item: dict) -> str:
    latency = item["latency_us"]
    return "-" if latency is None else f"{_us(latency['median'])}/{_us(latency['p99'])}"


_SILENT, _OK, _EXPIRED = BAD("silent"), GOOD("ok"), BAD("expired")


def _state(item: dict) -> Styled:
    return _SILENT if item["silent"] else _OK


_SV_COLUMNS = (
    Column("svID", key=True, fold=True), Column("APPID", key=True), Column("ASDU/s", "right", key=True),
    Column("state", key=True), Column("lost", "right", key=True), Column("dup", "right", key=True),
    Column("ooo", "right", key=True), Column("outages", "right", key=True),
    Column("ASDUs", "right"), Column("p99 µs", "right"), Column("max µs", "right"),
    Column("latency µs", "right"), Column("profile"), Column("dst"), Column("RMS a/b/c/n"),
)


def sv_table(report: Report, width: int, rates: dict | None = None) -> Group:
    """A row per SV stream, in order of first appearance, fitted to ``width``; the rate from
    ``rates`` (by stream_key: the last second's) where given, else the average."""
    errors = {item["interval_us"]["quantile_error"] for item in report.sv}
    caption = f"p99 within {max(errors):.1%} (min and max exact); latency µs median/p99" if errors else None
    rows = []
    for item in report.sv:
        rate = item["rate"] if rates is None else rates.get(stream_key(item), item["rate"])
        interval = item["interval_us"]
        rows.append((
            item["sv_id"], f"0x{item['app_id']:04x}", "-" if rate is None else f"{rate:,.0f}", _state(item),
            count_cell(item["lost"]), count_cell(item["duplicated"]), count_cell(item["out_of_order"]),
            count_cell(item["outages"]),
            f"{item['asdus']:,}", _us(interval["p99"]), _us(interval["max"]), _latency(item),
            item["profile"] or "-", item["dst"], _channels(item),
        ))
    return fitted_table(f"Sampled Values streams ({len(report.sv)})", _SV_COLUMNS, rows, width, caption)


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


def tal_status(item: dict, now_ns: int | None) -> Styled:
    """"ok", or "expired" when no frame came by `now_ns` within the last frame's timeAllowedToLive."""
    if now_ns is not None and now_ns > item["last_ns"] + item["time_allowed_to_live"] * 1_000_000:
        return _EXPIRED
    return _OK


_GOOSE_COLUMNS = (
    Column("gocbRef", key=True, fold=True), Column("APPID", key=True), Column("lost", "right", key=True),
    Column("dup", "right", key=True), Column("ooo", "right", key=True), Column("TAL", key=True),
    Column("expired", "right", key=True), Column("stNum", "right"), Column("sqNum", "right"),
    Column("changes", "right"), Column("state"),
)


def goose_table(report: Report, now_ns: int | None, width: int) -> Group:
    """A row per GOOSE control block, fitted to ``width``; the TAL status as of `now_ns` (a live
    clock, or the capture's end)."""
    rows = []
    for item in report.goose:
        flags = []
        if item["simulation"]:
            flags.append("sim")
        if item["nds_com"]:
            flags.append("ndsCom")
        state = state_text(item["values"]) + (f" [{' '.join(flags)}]" if flags else "")
        rows.append((
            item["gocb_ref"], f"0x{item['app_id']:04x}", count_cell(item["lost"]), count_cell(item["duplicated"]),
            count_cell(item["out_of_order"]), tal_status(item, now_ns), count_cell(item["tal_expired"]),
            str(item["st_num"]), str(item["sq_num"]), f"{item['state_changes']:,}", state,
        ))
    return fitted_table(f"GOOSE control blocks ({len(report.goose)})", _GOOSE_COLUMNS, rows, width)


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


_FINDING_COLUMNS = (
    Column("gocbRef", key=True, fold=True), Column("APPID", key=True), Column("frames", "right", key=True),
    Column("finding", key=True, fold=True), Column("first"),
)


def findings_table(report: Report, width: int) -> Group | None:
    """A row per GOOSE block and publishing rule it broke (per deviation text for strict
    decoding), with the count and the first frame's time, fitted to ``width``; None when none."""
    rows = []
    for item in report.goose:
        findings = item["findings"]
        for key, label in FINDING_TEXTS.items():
            first = item["findings_first_ns"].get(key)
            if first is None:
                continue
            found = [(label, findings[key], first)] if key != "strict_deviations" else [
                (f"{label}: {text}", count, first[text]) for text, count in findings[key].items()]
            for what, count, at in found:
                rows.append((item["gocb_ref"], f"0x{item['app_id']:04x}", count_cell(count), what, iso_ns(at)))
    return fitted_table("GOOSE findings", _FINDING_COLUMNS, rows, width) if rows else None


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
            if lan_b["merged_early"]:
                line.append(f", {lan_b['merged_early']:,} analysed out of stamp order (merge full)", style="bold red")
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


def report_view(report: Report, now_ns: int | None, width: int, rates: dict | None = None) -> Group:
    """The whole report fitted to ``width``: the totals, then the SV and GOOSE tables and the GOOSE
    findings (those that have rows); SV rates from ``rates`` (see sv_table) where given."""
    parts: list = [totals_line(report)]
    if report.sv:
        parts.append(sv_table(report, width, rates))
    if report.goose:
        parts.append(goose_table(report, now_ns, width))
        findings = findings_table(report, width)
        if findings is not None:
            parts.append(findings)
    parts.extend(prp_parts(report, width))
    return Group(*parts)


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
