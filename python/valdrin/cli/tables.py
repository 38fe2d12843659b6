"""Tables that fit a width: key columns always, folding ones folded, the
others while there is room and below the table otherwise (the health tables
of ``monitor`` and ``analyze`` and their PRP part)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

from rich import box
from rich.cells import cell_len
from rich.console import Group
from rich.table import Table
from rich.text import Text


@dataclass(frozen=True)
class Column:
    """A table column: ``key`` columns are always shown, ``fold`` ones (identifiers, texts) fold
    onto more lines rather than leave; the others are shown, in order, while the width allows, and
    below the table otherwise."""

    header: str
    justify: str = "left"
    key: bool = False
    fold: bool = False


# A folding column keeps at least this many characters a line.
FOLD_WIDTH = 10
# Between two columns: a space of padding and the separator.
_GAP = 2


def _plain(cell: str | Text) -> str:
    return cell.plain if isinstance(cell, Text) else cell


def fitted_table(title: str, columns: Sequence[Column], rows: Sequence[Sequence[str | Text]], width: int,
                 caption: str | None = None) -> Group:
    """A table of ``rows`` at most ``width`` characters wide where the table allows (its key columns
    at their full width, its folding ones at FOLD_WIDTH or more); the other columns that do not fit
    follow it, a line per row, named by the row's first cell."""
    natural = [max([cell_len(c.header)] + [cell_len(_plain(row[i])) for row in rows]) for i, c in enumerate(columns)]
    widths = {i: (min(natural[i], FOLD_WIDTH) if c.fold else natural[i])
              for i, c in enumerate(columns) if c.key or c.fold}

    def used() -> int:
        return sum(widths.values()) + _GAP * (len(widths) - 1)

    for i in widths:  # folding columns grow to their natural width first, as far as there is room
        widths[i] = max(widths[i], min(natural[i], widths[i] + width - used()))
    below = []
    for i, c in enumerate(columns):
        if i in widths:
            continue
        if used() + _GAP + natural[i] <= width:
            widths[i] = natural[i]
        else:
            below.append(i)
    table = Table(title=title, title_justify="left", caption=caption, caption_justify="left", expand=False,
                  box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False, collapse_padding=True)
    shown = sorted(widths)
    for i in shown:
        c = columns[i]
        table.add_column(c.header, justify=c.justify, width=widths[i], no_wrap=not c.fold,
                         overflow="fold" if c.fold else "ellipsis")
    for row in rows:
        table.add_row(*(row[i] for i in shown))
    parts: list = [table]
    for row in rows:
        details = [f"{columns[i].header} {_plain(row[i])}" for i in below if _plain(row[i]) not in ("", "-")]
        if details:
            parts.append(Text(f"  {_plain(row[0])}: " + "; ".join(details)))
    return Group(*parts)
