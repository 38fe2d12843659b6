"""Tables that fit a width: key columns always, folding ones folded, the
others while there is room and below the table otherwise (the health tables
of ``monitor`` and ``analyze`` and their PRP part)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence

from rich import box
from rich.cells import cell_len
from rich.console import Console, ConsoleOptions, Group, RenderResult
from rich.segment import Segment
from rich.style import Style
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
    shown = sorted(widths)
    table = _Table(title, caption, [(columns[i], widths[i]) for i in shown], [[row[i] for i in shown] for row in rows])
    parts: list = [table]
    for row in rows:
        details = [f"{columns[i].header} {_plain(row[i])}" for i in below if _plain(row[i]) not in ("", "-")]
        if details:
            parts.append(_Line(f"  {_plain(row[0])}: " + "; ".join(details)))
    return Group(*parts)


class _Line:
    """A line of plain text drawn as rich draws ``Text(line)``: written out as it is when it
    fits (a live table has one below it per row), by Text otherwise."""

    def __init__(self, line: str) -> None:
        self.line = line

    @property
    def plain(self) -> str:
        return self.line

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> RenderResult:
        if (options.justify in (None, "default") and self.line.isprintable()
                and cell_len(self.line) <= options.max_width):
            yield Segment(self.line)
            yield Segment.line()
        else:
            yield Text(self.line)


class _Table:
    """The table of fitted_table: drawn as rich's Table draws it, a line per row straight from
    its cells when every cell fits its column on one line and the table fits the width (a live
    table is redrawn every second: rich's general layout costs some 30 ms for 32 streams), by
    rich's Table itself otherwise."""

    _BOX = box.SIMPLE_HEAD

    def __init__(self, title: str, caption: str | None, columns: list[tuple[Column, int]],
                 rows: list[list[str | Text]]) -> None:
        self.title, self.caption, self.columns = title, caption, columns
        # A string cell is shown as it is: an svID or a GOOSE value is no markup.
        self.rows = [[Text(cell) if isinstance(cell, str) else cell for cell in row] for row in rows]

    def rich_table(self) -> Table:
        """The same table as a rich Table."""
        table = Table(title=self.title, title_justify="left", caption=self.caption, caption_justify="left",
                      expand=False, box=self._BOX, show_edge=False, pad_edge=False, collapse_padding=True)
        for c, width in self.columns:
            table.add_column(c.header, justify=c.justify, width=width, no_wrap=not c.fold,
                             overflow="fold" if c.fold else "ellipsis")
        for row in self.rows:
            table.add_row(*row)
        return table

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> RenderResult:
        widths = [width for _, width in self.columns]
        table_width = sum(widths) + _GAP * (len(widths) - 1)
        lines = self._lines(console, widths) if table_width <= options.max_width else None
        if lines is None:
            yield self.rich_table()
            return
        annotation = options.update(width=table_width, highlight=False, height=None, justify="left")
        yield from console.render(console.render_str(self.title, style="table.title", highlight=False), annotation)
        new_line = Segment.line()
        for number, line in enumerate(lines):
            yield from line
            yield new_line
            if number == 0:
                yield Segment(self._BOX.get_row([w + (1 if i < len(widths) - 1 else 0) for i, w in enumerate(widths)],
                                                "head", edge=False))
                yield new_line
        if self.caption:
            yield from console.render(console.render_str(self.caption, style="table.caption", highlight=False),
                                      annotation)

    def _lines(self, console: Console, widths: list[int]) -> list[list[Segment]] | None:
        """The header and each row as a line of segments, or None when a cell would not be a
        single line of its column's width."""
        header_style = console.get_style("table.header")
        divider = Segment(" ", Style.null())
        out = []
        last = len(widths) - 1
        for row_number, cells in enumerate([[c.header for c, _ in self.columns], *self.rows]):
            line: list[Segment] = []
            for i, ((column, width), cell) in enumerate(zip(self.columns, cells)):
                segments = _cell(console, cell, width, column.justify)
                if segments is None:
                    return None
                if i < last:
                    segments.append(Segment(" ", Style.null()))
                if row_number == 0:
                    segments = list(Segment.apply_style(segments, header_style))
                line.extend(segments)
                if i < last:
                    line.append(divider)
            out.append(_joined(line))
        return out


def _joined(line: list[Segment]) -> list[Segment]:
    """``line`` with each run of unstyled segments as one: written the same, and a live table's
    every redraw handles a third as many."""
    out: list[Segment] = []
    for segment in line:
        if out and not segment.style and not out[-1].style:
            out[-1] = Segment(out[-1].text + segment.text)
        else:
            out.append(segment)
    return out


def _simple(plain: str) -> bool:
    """Whether rich shows ``plain`` as it is: printable, without trailing whitespace (which right
    justification strips)."""
    return plain.isprintable() and not plain[-1:].isspace()


def _cell(console: Console, cell: str | Text, width: int, justify: str) -> list[Segment] | None:
    """A cell's segments as rich lays out a single line of text in a column of ``width``, or None
    when the cell is not such a line. A string is markup (the headers)."""
    if (isinstance(cell, Text) and not cell.spans and cell.justify is None and cell.overflow is None
            and cell.no_wrap is None and cell.end == "\n" and _simple(cell.plain)):
        # The common cell: what rich's Text.wrap, justify and render make of it, written out.
        padding = width - cell_len(cell.plain)
        if padding < 0:
            return None
        style = console.get_style(cell.style) if cell.style else None
        if justify == "left":
            return [Segment(cell.plain + " " * padding, style)]
        if justify == "right":
            return [Segment(" " * padding + cell.plain, style)]
        return None
    text = console.render_str(cell, highlight=False) if isinstance(cell, str) else cell
    justify = text.justify or justify
    if (not isinstance(text, Text) or text.overflow is not None or text.no_wrap is not None or text.end != "\n"
            or justify not in ("left", "right") or "\n" in text.plain or "\t" in text.plain
            or cell_len(text.plain) > width):
        return None
    line = text.copy()
    if justify == "left":
        line.truncate(width, pad=True)
    else:
        line.rstrip()
        line.pad_left(width - cell_len(line.plain))
    return list(Text("\n").join([line]).render(console))
