"""fitted_table draws what rich draws: its table's own line-per-row layout, taken when every cell is
one line that fits, is compared with rich's Table on the same columns and rows, and its lines below
the table with rich's Text (as text with every style, as a terminal gets it), over chosen rows and
random ones."""

from __future__ import annotations

import io
import random

import pytest
from rich.console import Console
from rich.text import Text

from valdrin.cli.tables import Column, fitted_table

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


def test_random_tables_are_drawn_as_rich_draws_them():
    rng = random.Random(23)
    alphabet = "abcXYZ019 :_-.µ/[]字\t"
    for case in range(300):
        def word() -> str:
            return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 14)))

        rows = [row(word(), rng.choice([0, 1, 99999]), word(),
                    Text(word(), style=rng.choice(["", "green", "bold red"])) if rng.random() < 0.5 else word())
                for _ in range(rng.randrange(1, 6))]
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
