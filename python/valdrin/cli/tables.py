"""Tables that fit a width: key columns always, folding ones folded, the
others while there is room and below the table otherwise (the health tables
of ``monitor`` and ``analyze`` and their PRP part); and LiveView, which
redraws such a view in place on a terminal as rich's Live does, from lines
written out once per update."""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Sequence

from rich import box
from rich.cells import cell_len
from rich.console import COLOR_SYSTEMS, Console, ConsoleOptions, Group, RenderableType, RenderHook, RenderResult
from rich.control import Control
from rich.segment import ControlType, Segment
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


class Styled(str):
    """A cell of plain text shown in a style: measured, compared and formatted as the text it is,
    never read as markup; its type (see styled) carries the style. A live table makes some
    thousand cells a second: a Text each would cost more than the rest of the table."""

    __slots__ = ()
    style: str = ""


@functools.cache
def styled(style: str) -> type[Styled]:
    """The type of the cells shown in ``style`` (a rich style definition, such as "bold red")."""
    return type(f"Styled[{style}]", (Styled,), {"__slots__": (), "style": style})


# The cells of a problem, and of its absence.
BAD, GOOD = styled("bold red"), styled("green")
_NONE = GOOD("0")


def count_cell(value: int) -> Styled:
    """A problem count: red when not zero, green when zero."""
    return BAD(f"{value:,}") if value else _NONE


# A cell: a string is shown as it is (an svID or a GOOSE value is no markup).
Cell = str | Text

# A folding column keeps at least this many characters a line.
FOLD_WIDTH = 10
# Between two columns: a space of padding and the separator.
_GAP = 2


def _width(text: str) -> int:
    """``text``'s width in terminal cells."""
    return len(text) if text.isascii() and text.isprintable() else cell_len(text)


def _simple(plain: str) -> bool:
    """Whether rich shows ``plain`` as it is: printable, without trailing whitespace (which right
    justification strips)."""
    return plain.isprintable() and not plain[-1:].isspace()


def _simple_text(text: Text) -> bool:
    """Whether rich lays out ``text`` in a column as its plain text in its one style."""
    return (not text.spans and text.justify is None and text.overflow is None and text.no_wrap is None
            and text.end == "\n" and _simple(text.plain))


def _measured(cells: Sequence[Cell], plains: list[str]) -> tuple[int, bool, bool]:
    """The widest of a column's ``cells`` (whose plain texts are ``plains``) in terminal cells,
    whether rich shows each as its text in its one style (a column of such cells is drawn a line
    per row without rich's layout), and whether the texts are all ASCII."""
    simple = all(map(_simple_text, [cell for cell in cells if isinstance(cell, Text)]))
    joined = "".join(plains)
    if joined.isascii() and joined.isprintable():  # the common column: a character is a cell, a space the only blank
        return max(map(len, plains), default=0), simple and " \n" not in "\n".join(plains) + "\n", True
    return max(map(cell_len, plains), default=0), simple and all(map(_simple, plains)), joined.isascii()


def fitted_table(title: str, columns: Sequence[Column], rows: Sequence[Sequence[Cell]], width: int,
                 caption: str | None = None) -> Group:
    """A table of ``rows`` at most ``width`` characters wide where the table allows (its key columns
    at their full width, its folding ones at FOLD_WIDTH or more); the other columns that do not fit
    follow it, a line per row, named by the row's first cell."""
    cells = list(zip(*rows)) if rows else [()] * len(columns)  # a column at a time from here on
    plains = [[cell if isinstance(cell, str) else cell.plain for cell in column] for column in cells]
    measured = [_measured(column, texts) for column, texts in zip(cells, plains)]
    natural = [max(cell_len(c.header), measured[i][0]) for i, c in enumerate(columns)]
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
    # Every cell one line of its column: each is simple and none wider than its column.
    one_line = all(measured[i][1] and widths[i] >= natural[i] for i in shown)
    table = _Table(title, caption, [(columns[i], widths[i]) for i in shown],
                   [(cells[i], plains[i], measured[i][2]) for i in shown], one_line)
    parts: list = [table]
    for r in range(len(rows) if below else 0):
        details = [f"{columns[i].header} {plains[i][r]}" for i in below if plains[i][r] not in ("", "-")]
        if details:
            parts.append(_Line(f"  {plains[0][r]}: " + "; ".join(details)))
    return Group(*parts)


class _Line:
    """A line of plain text drawn as rich draws ``Text(line)``: written out as it is when it
    fits (a live table has one below it per row), by Text otherwise."""

    def __init__(self, line: str) -> None:
        self.line = line

    @property
    def plain(self) -> str:
        return self.line

    def fits(self, options: ConsoleOptions) -> bool:
        """Whether rich draws the line as it is with ``options``."""
        return (options.justify in (None, "default") and self.line.isprintable()
                and _width(self.line) <= options.max_width)

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> RenderResult:
        if self.fits(options):
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
                 cells: list[tuple[Sequence[Cell], list[str], bool]], one_line: bool) -> None:
        """``cells``: per column, its cells, their plain texts and whether these are all ASCII."""
        self.title, self.caption, self.columns, self.cells = title, caption, columns, cells
        self.count = len(cells[0][0]) if cells else 0  # rows
        self.width = sum(width for _, width in columns) + _GAP * (len(columns) - 1)
        self._one_line = one_line and all(c.justify in ("left", "right") for c, _ in columns)

    def rich_table(self) -> Table:
        """The same table as a rich Table."""
        table = Table(title=self.title, title_justify="left", caption=self.caption, caption_justify="left",
                      expand=False, box=self._BOX, show_edge=False, pad_edge=False, collapse_padding=True)
        for c, width in self.columns:
            table.add_column(c.header, justify=c.justify, width=width, no_wrap=not c.fold,
                             overflow="fold" if c.fold else "ellipsis")
        for row in zip(*(column for column, _, _ in self.cells)):
            table.add_row(*(_text(cell) for cell in row))
        return table

    def _frame(self, console: Console, options: ConsoleOptions) -> tuple[list[Segment], list[Segment]] | None:
        """The segments of the lines above the rows (title, header, rule) and below them (the
        caption), or None when rich's Table draws the table (a cell of more than a line, a
        table wider than ``options``)."""
        if not self._one_line or self.width > options.max_width:
            return None
        header_style = console.get_style("table.header")
        new_line = Segment.line()
        header: list[Segment] = []
        last = len(self.columns) - 1
        for i, (column, width) in enumerate(self.columns):
            text = console.render_str(column.header, highlight=False)
            if not _simple_text(text) or _width(text.plain) > width:
                return None
            style = console.get_style(text.style) if text.style else None
            header.append(Segment(_padded(text.plain, width, column.justify), header_style + style))
            if i < last:
                header += [Segment(" ", header_style), Segment(" ")]
        rule = self._BOX.get_row([w + (i < last) for i, (_, w) in enumerate(self.columns)], "head", edge=False)
        annotation = options.update(width=self.width, highlight=False, height=None, justify="left")
        above = [*console.render(console.render_str(self.title, style="table.title", highlight=False), annotation),
                 *header, new_line, Segment(rule), new_line]
        below = [] if not self.caption else list(
            console.render(console.render_str(self.caption, style="table.caption", highlight=False), annotation))
        return above, below

    def _padded_columns(self, count: int) -> list[tuple[list[str], list | None]]:
        """Per column, its first ``count`` cells padded to its width, and their styles (None when
        it has none); a column at a time, as a live table is redrawn every second."""
        out = []
        for (column, width), (cells, texts, ascii) in zip(self.columns, self.cells):
            if count < len(texts):
                cells, texts = cells[:count], texts[:count]
            left = column.justify == "left"
            if ascii:
                padded = [text.ljust(width) for text in texts] if left else [text.rjust(width) for text in texts]
            else:
                padded = [_padded(text, width, column.justify) for text in texts]
            styles = None
            if any(type(cell) is not str for cell in cells):
                styles = [None if type(cell) is str else cell.style for cell in cells]
            out.append((padded, styles))
        return out

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> RenderResult:
        frame = self._frame(console, options)
        if frame is None:
            yield self.rich_table()
            return
        above, below = frame
        yield from above
        columns = [[Segment(text, console.get_style(style, default=Style.null()) if style else None)
                    for text, style in zip(padded, styles or [None] * len(padded))]
                   for padded, styles in self._padded_columns(self.count)]
        divider, new_line = Segment("  "), Segment.line()
        for row in zip(*columns):
            for i, segment in enumerate(row):
                if i:
                    yield divider
                yield segment
            yield new_line
        yield from below

    def drawn_lines(self, console: Console, options: ConsoleOptions, ansi: Ansi, limit: int | None) -> list[str] | None:
        """What __rich_console__ draws, as drawn_lines does (the first ``limit`` lines or more), or
        None when rich's Table draws the table. The lines above and below the rows are drawn once
        for each title, caption, columns and console."""
        if not self._one_line or self.width > options.max_width:
            return None
        key = (self.title, self.caption, *self.columns)
        frame = ansi.frames.get(key, False)
        if frame is False:
            if len(ansi.frames) >= _FRAMES:
                ansi.frames.clear()
            segments = self._frame(console, options)
            frame = ansi.frames[key] = None if segments is None else (
                [ansi.line(line) for line in Segment.split_lines(segments[0])],
                [ansi.line(line) for line in Segment.split_lines(segments[1])])
        if frame is None:
            return None
        above, below = frame
        count = self.count if limit is None else min(self.count, max(0, limit - len(above)))
        text = ansi.text
        columns = [padded if styles is None else [text(cell, style) for cell, style in zip(padded, styles)]
                   for padded, styles in self._padded_columns(count)]
        lines = [*above, *("  ".join(row) for row in zip(*columns))]
        return lines + below if count == self.count else lines


# The frames of tables an Ansi keeps (a live view has a few, one more when its width changes).
_FRAMES = 64


def _text(cell: Cell) -> Text:
    """A cell as rich's Table takes it."""
    if isinstance(cell, Text):
        return cell
    return Text(str(cell), style=cell.style) if isinstance(cell, Styled) else Text(cell)


def _padded(text: str, width: int, justify: str) -> str:
    """``text`` (one line that fits) padded to ``width`` terminal cells, on the right when left-justified."""
    if text.isascii():
        return text.ljust(width) if justify == "left" else text.rjust(width)
    padding = " " * (width - cell_len(text))
    return text + padding if justify == "left" else padding + text


# --- drawing in place -----------------------------------------------------------


class Ansi:
    """Segments written out as ``console`` writes them to a terminal: each style's codes rendered
    once (rich renders them again for every segment)."""

    def __init__(self, console: Console) -> None:
        self._console = console
        self._system = COLOR_SYSTEMS.get(console.color_system or "")
        self._codes: dict[str | Style, tuple[str, str]] = {}
        # The lines above and below the rows of each table drawn (see _Table.drawn_lines).
        self.frames: dict[tuple, tuple[list[str], list[str]] | None] = {}

    def _codes_of(self, style: str | Style) -> tuple[str, str]:
        console = self._console
        resolved = console.get_style(style, default=Style.null())
        if console.no_color and self._system:
            resolved = resolved.without_color
        if not resolved:
            return "", ""
        before, _, after = resolved.render("\0", color_system=self._system,
                                           legacy_windows=console.legacy_windows).partition("\0")
        return before, after

    def text(self, text: str, style: str | Style | None) -> str:
        """``text`` in ``style`` (None: no style)."""
        if not style or not text:
            return text
        codes = self._codes.get(style)
        if codes is None:
            codes = self._codes[style] = self._codes_of(style)
        return codes[0] + text + codes[1]

    def line(self, segments: list[Segment]) -> str:
        """A line of segments."""
        text = self.text
        return "".join([text(segment.text, segment.style) for segment in segments])


def drawn_lines(renderable: RenderableType, console: Console, options: ConsoleOptions, ansi: Ansi,
                limit: int | None = None) -> list[str]:
    """The lines of ``console.render_lines(renderable, options, pad=False)``, each as ``ansi``
    writes it, the tables of fitted_table and the lines below them written out directly; with a
    ``limit``, only its first ``limit`` lines or some more (all when fewer). A part of a Group
    ends its last line (as rich's tables and texts do)."""
    out: list[str] = []
    _draw(renderable, console, options, ansi, out, limit)
    return out


def _draw(renderable: RenderableType, console: Console, options: ConsoleOptions, ansi: Ansi, out: list[str],
          limit: int | None) -> None:
    if limit is not None and len(out) >= limit:
        return
    if isinstance(renderable, Group):
        for part in renderable.renderables:
            _draw(part, console, options, ansi, out, limit)
        return
    if isinstance(renderable, _Line) and renderable.fits(options):
        out.append(renderable.line)
        return
    if isinstance(renderable, _Table):
        lines = renderable.drawn_lines(console, options, ansi, None if limit is None else limit - len(out))
        if lines is not None:
            out += lines
            return
    out += [ansi.line(line) for line in console.render_lines(renderable, options, pad=False)]


# What marks a segment that is written as it is: rich neither splits, crops nor measures a
# control segment (the code itself is read on legacy Windows consoles only).
_AS_IS = ((ControlType.BELL,),)


@functools.lru_cache(maxsize=16)
def _back(height: int | None) -> Control:
    """To the first line of a drawing of ``height`` lines, each erased (rich's LiveRender.position_cursor)."""
    if height is None:
        return Control()
    return Control(ControlType.CARRIAGE_RETURN, (ControlType.ERASE_IN_LINE, 2),
                   *((ControlType.CURSOR_UP, 1), (ControlType.ERASE_IN_LINE, 2)) * (height - 1))


def _erased(height: int | None) -> Control:
    """Above a drawing of ``height`` lines, each erased (rich's LiveRender.restore_cursor)."""
    if height is None:
        return Control()
    return Control(ControlType.CARRIAGE_RETURN, *((ControlType.CURSOR_UP, 1), (ControlType.ERASE_IN_LINE, 2)) * height)


class LiveView(RenderHook):
    """A view redrawn in place on a terminal, byte for byte as rich's ``Live(console=console,
    auto_refresh=False, transient=True, redirect_stdout=False, redirect_stderr=False)`` draws it
    (``start``, ``update(view)``, what the console prints meanwhile above it, ``stop``), but
    its lines written out by drawn_lines, and only those a terminal shorter than the view shows:
    rich's Live lays out the whole view again for each update (some 4 ms for 32 streams)."""

    def __init__(self, console: Console) -> None:
        self.console = console
        self._view: RenderableType | None = None
        self._started = False
        self._every_line = False  # at the end: every line (then erased), as rich's Live does
        self._height: int | None = None  # the lines drawn last; None before the first drawing
        self._ansi = Ansi(console)

    def start(self) -> None:
        """Hides the cursor; from now on each update and each print of the console draws the view."""
        if self._started:
            return
        self._started = True
        self._every_line = False
        self.console.show_cursor(False)
        self.console.push_render_hook(self)

    def update(self, view: RenderableType) -> None:
        """Draws ``view`` in place of the last one."""
        self._view = view
        self._refresh()

    def stop(self) -> None:
        """Erases the view and shows the cursor again (nothing when not started)."""
        if not self._started:
            return
        self._started = False
        self._every_line = True
        console = self.console
        with console:
            try:
                self._refresh()
            finally:
                console.pop_render_hook()
                if console.is_terminal and self._height:
                    console.line()
                console.show_cursor(True)
                console.control(_erased(self._height))

    def _refresh(self) -> None:
        if self.console.is_terminal and not self.console.is_dumb_terminal:
            with self.console:
                self.console.print(Control())

    def process_renderables(self, renderables: list) -> list:
        """What the console prints, after the cursor goes back to the view's first line, then the view."""
        if not self.console.is_interactive:
            return renderables
        return [_back(self._height), *renderables, self]

    def __rich_console__(self, console: Console, options: ConsoleOptions) -> RenderResult:
        rows = options.size.height
        # Lines beyond the terminal's are not drawn: one more tells that the view is taller.
        lines = drawn_lines(self._view or "", console, options, self._ansi, None if self._every_line else rows + 1)
        if len(lines) > rows and not self._every_line:
            lines = lines[: rows - 1]
            ellipsis = Text("...", overflow="crop", justify="center", end="", style="live.ellipsis")
            lines.append(self._ansi.line(list(console.render(ellipsis))))
        self._height = len(lines)
        yield Segment("\n".join(lines), None, _AS_IS)
