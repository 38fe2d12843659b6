"""fitted_table draws what rich draws: its table's own line-per-row layout, taken when every cell is
one line that fits, is compared with rich's Table on the same columns and rows, and its lines below
the table with rich's Text (as text with every style, as a terminal gets it), over chosen rows and
random ones. LiveView writes to a terminal what rich's Live wrote, byte for byte, for tables and
for whole reports of captures; and a small screen model replays what it writes: the view in place,
gone at the end."""

from __future__ import annotations

import io
import random
import re

import pytest
from rich.console import Console, Group
from rich.live import Live
from rich.text import Text

from valdrin.cli import main
from valdrin.cli.health import report_view
from valdrin.cli.tables import Ansi, Column, LiveView, count_cell, drawn_lines, fitted_table, styled
from valdrin.listen import analyze
from valdrin.pcap import write_header, write_record

from listen_frames import SECOND, goose_frame, sv_frames, sv_publisher

COLUMNS = (
    Column("svID", key=True, fold=True), Column("APPID", key=True), Column("lost", "right", key=True),
    Column("state", key=True), Column("p99 µs", "right"), Column("dst"), Column("values"),
)


def drawn(renderable: object, width: int) -> str:
    out = io.StringIO()
    Console(file=out, width=width, force_terminal=True, color_system="truecolor").print(renderable)
    return out.getvalue()


def both(rows: list[tuple], width: int, caption: str | None = None) -> tuple[str, str]:
    """fitted_table drawn, and the same with its table drawn by rich's Table."""
    group = fitted_table("Streams (n)", COLUMNS, rows, width, caption)
    table, *below = group.renderables
    reference = type(group)(table.rich_table(), *(Text(line.plain) for line in below))
    return drawn(group, width), drawn(reference, width)


def row(sv_id: str | Text = "MU01", lost: int = 0, dst: str = "01:0c:cd:04:00:01", values: str | Text = "I 1.0/2.0 A"):
    return (sv_id, "0x4000", Text(f"{lost:,}", style="bold red" if lost else "green"),
            Text("ok", style="green"), "208", dst, values)


@pytest.mark.parametrize("rows, width, why", [
    ([row()], 150, "one row, every column shown"),
    ([row(), row("MU02", lost=1234)], 150, "a red count beside a green one, right-justified"),
    ([row()], 40, "the table leaves columns below it"),
    ([row("a long svID that folds onto more lines")], 60, "a folding cell of several lines: rich's layout"),
    ([row("MU[/x]", values="[bold]not markup[/bold] :smile:")], 150, "string cells are shown as they are"),
    ([row("MU01", values="trailing spaces   ")], 150, "trailing spaces"),
    ([row("MU01", values="tab\there")], 150, "a tab"),
    ([row("流量計", values="wide 字")], 150, "double-width characters"),
    ([row("MU01", values=Text.assemble(("I ", "blue"), "1.0"))], 150, "a cell of several styles"),
    ([row("MU01", values=Text("right", justify="right"))], 150, "a cell with its own justification"),
    ([row("", values="")], 150, "empty cells"),
    ([row(f"MU{i:02d}", lost=i * 1000) for i in range(40)], 150, "forty rows"),
    ([row("x" * 200)], 150, "key columns wider than the console: rich shrinks them"),
])
def test_drawn_as_rich_draws_it(rows, width, why):
    fast, reference = both(rows, width, caption="p99 within 0.1%")
    assert fast == reference, why


def random_rows(rng: random.Random, least: int = 1) -> list[tuple]:
    """Rows of words of ASCII, wide characters, markup, blanks and tabs, their last cell a plain,
    styled or Text one."""
    def word() -> str:
        return "".join(rng.choice("abcXYZ019 :_-.µ/[]字\t") for _ in range(rng.randrange(0, 14)))

    return [row(word(), rng.choice([0, 1, 99999]), word(),
                rng.choice([Text(word(), style=rng.choice(["", "green", "bold red"])), word(),
                            styled(rng.choice(["green", "bold red", "none"]))(word())]))
            for _ in range(rng.randrange(least, 6))]


def test_random_tables_are_drawn_as_rich_draws_them():
    rng = random.Random(23)
    for case in range(300):
        rows = random_rows(rng)
        width = rng.randrange(30, 160)
        fast, reference = both(rows, width, caption=rng.choice([None, "a caption"]))
        assert fast == reference, (case, rows, width)


@pytest.mark.parametrize("cell, shown, why", [
    ("true, 3 [sim ndsCom]", "true, 3 [sim ndsCom]", "a GOOSE state's flags (rich took them for a style)"),
    ("MU[/x]", "MU[/x]", "an svID that is a closing tag (rich raised MarkupError)"),
    ("LD:smile:", "LD:smile:", "an emoji code"),
])
def test_string_cells_are_shown_as_they_are(cell, shown, why):
    for width in (150, 30):  # the table's own layout, and rich's when the values fold below
        text = drawn(fitted_table("t", (Column("id", key=True), Column("state")), [(cell, cell)], width), width)
        assert shown in text, why


@pytest.mark.parametrize("cell, text, style, why", [
    (count_cell(0), "0", "green", "no problem"),
    (count_cell(1234567), "1,234,567", "bold red", "a problem, grouped by thousands"),
    (styled("bold red")("[b]x[/b]"), "[b]x[/b]", "bold red", "a styled cell is no markup either"),
])
def test_a_styled_cell_is_its_text(cell, text, style, why):
    assert (cell, len(cell), f"{cell:>10}", cell.style) == (text, len(text), f"{text:>10}", style), why
    drawn_text = drawn(fitted_table("t", (Column("id", key=True), Column("n", "right")), [("a", cell)], 80), 80)
    assert text in drawn_text, why


def test_random_tables_are_written_out_as_the_console_writes_them():
    """drawn_lines, the lines a live view writes, against console.print of the same table."""
    rng = random.Random(61850)
    for case in range(300):
        rows = random_rows(rng, least=0)
        width = rng.randrange(30, 160)
        group = Group(Text("totals"), fitted_table("Streams (n)", COLUMNS, rows, width,
                                                   caption=rng.choice([None, "a caption"])))
        console = Console(file=io.StringIO(), width=width, force_terminal=True,
                          color_system=rng.choice(["truecolor", "256", "standard", None]))
        console.print(group)
        lines = drawn_lines(group, console, console.options, Ansi(console))
        assert "".join(line + "\n" for line in lines) == console.file.getvalue(), (case, rows, width)
        limit = rng.randrange(0, 12)
        assert drawn_lines(group, console, console.options, Ansi(console), limit)[:limit] == lines[:limit], case


# --- live views -------------------------------------------------------------------


def write_capture(path, records):
    with open(path, "wb") as out:
        write_header(out)
        for time_ns, frame in sorted(records, key=lambda record: record[0]):
            write_record(out, time_ns, frame)
    return path


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """Reports of captures: 32 streams as `valdrin publish` writes them; two streams with lost
    samples (one with a long svID), GOOSE blocks with a broken publishing rule; PRP's two LANs."""
    where = tmp_path_factory.mktemp("captures")
    assert main(["publish", "--pcap", str(where / "s32.pcap"), "--streams", "32", "--rate", "4800",
                 "--duration", "0.02"]) == 0
    t0 = SECOND * 1_000_000_000
    records = sv_frames([n for n in range(400) if n not in (5, 6, 300)])
    records += sv_frames(list(range(0, 400, 2)), publisher=sv_publisher(sv_id="a long svID that is folded " * 2,
                                                                         app_id=0x4002))
    records += [(t0 + 1000 * n, goose_frame(1, n, value=n < 2)) for n in range(4)]
    records += [(t0 + 1000 * n + 1, goose_frame(3, n, gocb_ref="IED2LD0/LLN0$GO$gcb2")) for n in range(2)]
    faults = analyze(write_capture(where / "faults.pcap", records))
    assert main(["publish", "--pcap", str(where / "red.pcap"), "--prp", "--streams", "3", "--rate", "4800",
                 "--duration", "0.02"]) == 0
    prp = analyze(where / "red-A.pcap", prp_b=where / "red-B.pcap")
    return {"32 streams": analyze(where / "s32.pcap"), "faults": faults, "prp": prp}


def terminal(width: int, height: int, color_system: str | None = "truecolor", **options) -> Console:
    """A console that takes itself for an interactive terminal of that size, whatever runs the test."""
    return Console(**{"file": io.StringIO(), "width": width, "height": height, "force_terminal": True,
                      "force_interactive": True, "color_system": color_system, "_environ": {}, **options})


def written(live_type: str, console: Console, steps: list[tuple]) -> str:
    """What a live view writes: started, then each step (("update", view), ("print", text),
    ("size", width, height)), then stopped; by rich's Live or by LiveView."""
    if live_type == "rich":
        live = Live(console=console, auto_refresh=False, transient=True, redirect_stdout=False,
                    redirect_stderr=False)
    else:
        live = LiveView(console)
    live.start()
    for step in steps:
        if step[0] == "update":
            live.update(step[1], refresh=True) if live_type == "rich" else live.update(step[1])
        elif step[0] == "print":
            console.print(step[1], highlight=False, markup=False)
        else:
            console.width, console.height = step[1], step[2]
    live.stop()
    return console.file.getvalue()


def table_view(width: int, rows: int = 6, fold: bool = False) -> Group:
    cells = [row(f"MU{i:02d}" if not fold or i != 2 else "a long svID that folds", lost=i % 3 * 1000)
             for i in range(rows)]
    return Group(Text("1,234 frames, "), fitted_table("Streams (n)", COLUMNS, cells, width, "p99 within 0.1%"))


# The view of a case: a report of the `reports` fixture, or a table.
def view_of(reports, what, width):
    if what in reports:
        return report_view(reports[what], SECOND * 1_000_000_000 + 10**10, width, None)
    rows, fold = {"table": (6, False), "long table": (40, False), "folded table": (6, True)}[what]
    return table_view(width, rows, fold)


@pytest.mark.parametrize("what, size, steps, options, why", [
    ("table", (150, 60), [("update", 150)] * 3, {}, "a view that fits, redrawn in place"),
    ("long table", (150, 20), [("update", 150)] * 2, {}, "a terminal shorter than the view: rich's ellipsis"),
    ("table", (150, 12), [("update", 150)] * 2, {}, "as tall as the terminal: no ellipsis"),
    ("table", (150, 11), [("update", 150)] * 2, {}, "a line taller than the terminal: the ellipsis"),
    ("table", (150, 60), [("update", 150), ("size", 50, 60), ("update", 50), ("size", 200, 7), ("update", 200)],
     {}, "the terminal changes its size between updates"),
    ("table", (150, 60), [("update", 150), ("size", 60, 60), ("update", 150)], {},
     "a view wider than the terminal (made before it shrank): rich's Table"),
    ("folded table", (150, 60), [("update", 150)] * 2, {}, "a folded cell: rich's Table inside the view"),
    ("table", (150, 60), [("print", "event 1"), ("update", 150), ("print", "event 2"), ("print", "event 3"),
                          ("update", 150)], {}, "events printed above the view, before its first update too"),
    ("table", (150, 60), [("update", 150)], {"color_system": "standard"}, "16 colours"),
    ("table", (150, 60), [("update", 150)], {"color_system": None}, "no colour system"),
    ("table", (150, 60), [("update", 150)], {"no_color": True}, "NO_COLOR: styles without their colours"),
    ("table", (150, 60), [("update", 150)], {"force_interactive": False}, "a terminal that is not interactive"),
    ("table", (150, 60), [], {}, "started and stopped without a view"),
    ("32 streams", (150, 50), [("update", 150)] * 2, {}, "32 streams on a terminal of 50 lines"),
    ("32 streams", (80, 200), [("update", 80)] * 2, {}, "32 streams on a narrow terminal: columns below"),
    ("32 streams", (200, 100), [("update", 200), ("print", "event"), ("update", 200)], {},
     "32 streams, all of them shown"),
    ("faults", (150, 60), [("update", 150)] * 2, {}, "red counts, a folded svID, GOOSE blocks and findings"),
    ("faults", (70, 60), [("update", 70)] * 2, {}, "faults on a narrow terminal"),
    ("prp", (150, 60), [("update", 150)] * 2, {}, "PRP: the LANs, the table of both, the nodes"),
    ("prp", (60, 60), [("update", 60)] * 2, {}, "PRP on a narrow terminal"),
])
def test_a_live_view_writes_what_rich_live_wrote(reports, what, size, steps, options, why):
    def steps_for() -> list[tuple]:
        return [("update", view_of(reports, what, step[1])) if step[0] == "update" else step for step in steps]

    settings = {"color_system": "truecolor", **options}
    expected = written("rich", terminal(*size, **settings), steps_for())
    assert written("ours", terminal(*size, **settings), steps_for()) == expected, why


class Screen:
    """A terminal of ``height`` lines as far as a live view uses one: text, carriage return, new
    line (scrolling at the bottom), cursor up, erase line; styles and cursor visibility."""

    _TOKEN = re.compile(r"\x1b\[(\??)(\d*(?:;\d+)*)([A-Za-z])|\r|\n|[^\x1b\r\n]+")

    def __init__(self, height: int) -> None:
        self.lines = [""] * height
        self.row = self.column = 0
        self.cursor_shown = True

    def feed(self, data: str) -> None:
        for token in self._TOKEN.finditer(data):
            text = token.group(0)
            if text == "\r":
                self.column = 0
            elif text == "\n":
                self.column = 0
                if self.row == len(self.lines) - 1:
                    self.lines = self.lines[1:] + [""]
                else:
                    self.row += 1
            elif token.group(3) == "A":
                self.row = max(0, self.row - int(token.group(2) or 1))
            elif token.group(3) == "K":
                assert token.group(2) == "2", text
                self.lines[self.row] = ""
            elif token.group(3) in ("h", "l"):
                assert (token.group(1), token.group(2)) == ("?", "25"), text
                self.cursor_shown = token.group(3) == "h"
            elif token.group(3) != "m":
                line = self.lines[self.row].ljust(self.column)
                self.lines[self.row] = line[:self.column] + text + line[self.column + len(text):]
                self.column += len(text)
            else:
                assert token.group(1) == "", text

    def shown(self) -> list[str]:
        return [line.rstrip() for line in self.lines]


def plain_lines(view, width: int) -> list[str]:
    out = io.StringIO()
    Console(file=out, width=width, color_system=None, _environ={}).print(view)
    return [line.rstrip() for line in out.getvalue().splitlines()]


def test_the_screen_shows_the_last_view_in_place_and_nothing_once_stopped():
    console = terminal(150, 30)
    screen = Screen(30)
    live = LiveView(console)

    def step(action) -> list[str]:
        start = len(console.file.getvalue())
        action()
        screen.feed(console.file.getvalue()[start:])
        return screen.shown()

    def lines(*shown: str) -> list[str]:
        return [*shown] + [""] * (30 - len(shown))

    assert step(live.start) == lines() and not screen.cursor_shown
    six, three = table_view(150, 6), table_view(150, 3)
    assert step(lambda: live.update(six)) == lines(*plain_lines(six, 150))
    assert step(lambda: live.update(three)) == lines(*plain_lines(three, 150)), "a shorter view leaves nothing"
    assert step(lambda: console.print("event")) == lines("event", *plain_lines(three, 150))
    long = table_view(150, 40)
    cut = [*plain_lines(long, 150)[:29], " " * 73 + "..."]  # the event scrolled out
    assert step(lambda: live.update(long)) == cut, "cut to the terminal, an ellipsis in the middle of the last line"
    assert step(live.stop) == lines() and screen.cursor_shown, "gone, the cursor back"
