"""The PRP part of a report for people: a row per stream or control block
with its counts on LAN A and LAN B, a line per LAN and a row per node."""

from __future__ import annotations

from rich.console import Group
from rich.text import Text

from ..listen import Report
from .tables import BAD, Column, count_cell, fitted_table
from .text import iso_ns


def _skew(value: float | None) -> str:
    return "-" if value is None else f"{value:,.1f}"


# The columns of prp_table: the stream and its counts kept, the skew's figures while they fit.
_STREAM_COLUMNS = (Column("stream", key=True, fold=True), Column("APPID", key=True),
                   *(Column(h, "right", key=True) for h in ("frames A", "frames B", "lost A", "lost B", "lost both")),
                   *(Column(h, "right") for h in ("skew median µs", "p99 µs", "max µs", "wrong LAN", "bad size")))


def prp_table(report: Report, width: int) -> Group:
    """A row per SV stream and GOOSE block with PRP counts: frames per LAN, those that
    came on one LAN only, never on either, the skew B minus A, wrong LAN ids and sizes;
    fitted to ``width``."""
    rows = []
    for items, name in ((report.sv, "sv_id"), (report.goose, "gocb_ref")):
        for item in items:
            counts = item.get("prp")
            if counts is None:
                continue
            skew = counts["skew_us"]
            rows.append((item[name], f"0x{item['app_id']:04x}", f"{counts['frames_a']:,}", f"{counts['frames_b']:,}",
                         count_cell(counts["lost_a"]), count_cell(counts["lost_b"]), count_cell(counts["lost_both"]),
                         _skew(skew["median"]), _skew(skew["p99"]), _skew(skew["max"]),
                         count_cell(counts["wrong_lan"]), count_cell(counts["bad_size"])))
    return fitted_table("PRP: LAN A and LAN B", _STREAM_COLUMNS, rows, width,
                        caption="lost A: came on LAN B only; lost both: the stream's own loss; "
                                "skew: B's arrival minus A's")


def lan_lines(report: Report) -> list[Text]:
    """A line per LAN: frames, those without a trailer, HSR frames, supervision frames."""
    assert report.prp is not None
    lines = []
    for lan, t in report.prp["lans"].items():
        line = Text(f"LAN {lan}: {t['frames']:,} frames, ")
        line.append(f"{t['untrailed']:,} without a trailer", style="bold red" if t["untrailed"] else None)
        line.append(f", {t['supervision']:,} supervision")
        if t["bad_supervision"]:
            line.append(f", {t['bad_supervision']:,} malformed supervision", style="bold red")
        if t["hsr"]:
            line.append(f", {t['hsr']:,} HSR-tagged")
            if t["hsr_bad_size"]:
                line.append(f" ({t['hsr_bad_size']:,} of a wrong LSDU size)", style="bold red")
        lines.append(line)
    return lines


# The columns of node_table: the node and its supervision counts kept, the rest while they fit.
_NODE_COLUMNS = (Column("MAC", key=True), *(Column(h, "right", key=True) for h in ("supervision A", "supervision B")),
                 Column("frames A", "right"), Column("frames B", "right"), Column("last A"), Column("last B"))


def node_table(report: Report, width: int) -> Group | None:
    """A row per node (source MAC): supervision frames and frames per LAN, the last
    supervision frame of each; fitted to ``width``."""
    assert report.prp is not None
    if not report.prp["nodes"]:
        return None
    rows = []
    for node in report.prp["nodes"]:
        last = [iso_ns(node[key]) if node[key] is not None else "-"
                for key in ("last_supervision_a_ns", "last_supervision_b_ns")]
        rows.append((node["mac"], _count_plain(node["supervision_a"]), _count_plain(node["supervision_b"]),
                     f"{node['frames_a']:,}", f"{node['frames_b']:,}", *last))
    return fitted_table("PRP nodes", _NODE_COLUMNS, rows, width)


def _count_plain(value: int) -> str:
    """A count that should not be zero: red when it is."""
    return f"{value:,}" if value else _ZERO


_ZERO = BAD("0")


def prp_parts(report: Report, width: int) -> list:
    """What report_view shows of PRP, fitted to ``width``: nothing unless the analysis was redundant."""
    if report.prp is None:
        return []
    parts: list = [*lan_lines(report), prp_table(report, width)]
    nodes = node_table(report, width)
    if nodes is not None:
        parts.append(nodes)
    return parts
