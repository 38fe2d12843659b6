"""The PRP part of a report for people: a row per stream or control block
with its counts on LAN A and LAN B, a line per LAN and a row per node."""

from __future__ import annotations

from rich.table import Table
from rich.text import Text

from ..listen import Report
from .text import iso_ns


def _count(value: int) -> Text:
    """A problem count: red when not zero."""
    return Text(f"{value:,}", style="bold red" if value else "green")


def _skew(value: float | None) -> str:
    return "-" if value is None else f"{value:,.1f}"


def prp_table(report: Report) -> Table:
    """A row per SV stream and GOOSE block with PRP counts: frames per LAN, those that
    came on one LAN only, never on either, the skew B minus A, wrong LAN ids and sizes."""
    table = Table(title="PRP: LAN A and LAN B", title_justify="left", expand=False,
                  caption="lost A: came on LAN B only; lost both: the stream's own loss; skew: B's arrival minus A's",
                  caption_justify="left")
    for header, justify in (("stream", "left"), ("APPID", "left"), ("frames A", "right"), ("frames B", "right"),
                            ("lost A", "right"), ("lost B", "right"), ("lost both", "right"),
                            ("skew median µs", "right"), ("p99 µs", "right"), ("max µs", "right"),
                            ("wrong LAN", "right"), ("bad size", "right")):
        table.add_column(header, justify=justify, no_wrap=True)
    for items, name in ((report.sv, "sv_id"), (report.goose, "gocb_ref")):
        for item in items:
            counts = item.get("prp")
            if counts is None:
                continue
            skew = counts["skew_us"]
            table.add_row(item[name], f"0x{item['app_id']:04x}", f"{counts['frames_a']:,}", f"{counts['frames_b']:,}",
                          _count(counts["lost_a"]), _count(counts["lost_b"]), _count(counts["lost_both"]),
                          _skew(skew["median"]), _skew(skew["p99"]), _skew(skew["max"]),
                          _count(counts["wrong_lan"]), _count(counts["bad_size"]))
    return table


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


def node_table(report: Report) -> Table | None:
    """A row per node (source MAC): frames and supervision frames per LAN, the last of each."""
    assert report.prp is not None
    if not report.prp["nodes"]:
        return None
    table = Table(title="PRP nodes", title_justify="left", expand=False)
    for header in ("MAC", "frames A", "frames B", "supervision A", "supervision B", "last A", "last B"):
        table.add_column(header, justify="left" if header in ("MAC", "last A", "last B") else "right", no_wrap=True)
    for node in report.prp["nodes"]:
        last = [iso_ns(node[key]) if node[key] is not None else "-"
                for key in ("last_supervision_a_ns", "last_supervision_b_ns")]
        table.add_row(node["mac"], f"{node['frames_a']:,}", f"{node['frames_b']:,}",
                      _count_plain(node["supervision_a"]), _count_plain(node["supervision_b"]), *last)
    return table


def _count_plain(value: int) -> Text:
    """A count that should not be zero: red when it is."""
    return Text(f"{value:,}", style="bold red" if not value else None)


def prp_parts(report: Report) -> list:
    """What report_view shows of PRP: nothing unless the analysis was redundant."""
    if report.prp is None:
        return []
    parts: list = [*lan_lines(report), prp_table(report)]
    nodes = node_table(report)
    if nodes is not None:
        parts.append(nodes)
    return parts
