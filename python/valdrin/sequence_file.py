"""State sequence files: the TOML a protection tester writes, read into checked objects.

A file holds ``shots`` (how often the whole sequence runs), a ``[stream]``
table (the stream options of ``valdrin publish`` by name), ``[[state]]``
tables in order, ``[[assess]]`` tables that judge measured times and
``[[goose]]`` tables for the control blocks the test set publishes (a
simulated breaker's position). Every mistake is a :class:`SequenceFileError`
whose message is one line naming the file, the line, the table and the key.
"""

from __future__ import annotations

import math
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - Python 3.10
    import tomli as tomllib

__all__ = ["Assessment", "Condition", "GooseBlockSpec", "Harmonic", "SequenceFile", "SequenceFileError", "StateSpec"]

# The channels of a 9-2LE stream: Ia Ib Ic In, then Va Vb Vc Vn.
PHASES = 4
DEFAULT_TAU_MS = 40.0
NOMINAL_HZ = 50.0


class SequenceFileError(ValueError):
    """A mistake in a sequence file; ``str()`` is one line: ``FILE:LINE: TABLE, key KEY: PROBLEM``."""


@dataclass(frozen=True)
class Condition:
    """A GOOSE member condition: member ``member`` of control block ``gocb_ref`` equal to ``value``."""

    gocb_ref: str
    member: int
    value: bool | int | float = True

    _PATTERN = re.compile(r"^\s*(?P<ref>[^#=!\s]+)#(?P<member>\d+)\s*(?:==\s*(?P<value>\S+))?\s*$")

    @classmethod
    def parse(cls, text: str) -> Condition:
        """``GOCB_REF#N [== VALUE]`` (VALUE true, false or a number; default true); ValueError otherwise."""
        match = cls._PATTERN.match(text)
        if match is None:
            raise ValueError(f'expected "GOCB_REF#N == VALUE" (as trip-test\'s --watch names a member), got {text!r}')
        value = match["value"]
        parsed: bool | int | float = True
        if value is not None:
            if value in ("true", "false"):
                parsed = value == "true"
            else:
                try:
                    parsed = int(value)
                except ValueError:
                    try:
                        parsed = float(value)
                    except ValueError:
                        raise ValueError(f"the value must be true, false or a number, got {value!r}") from None
        return cls(match["ref"], int(match["member"]), parsed)

    @property
    def ref(self) -> str:
        """``GOCB_REF#N``."""
        return f"{self.gocb_ref}#{self.member}"

    def __str__(self) -> str:
        value = str(self.value).lower() if isinstance(self.value, bool) else repr(self.value)
        return f"{self.ref} == {value}"


@dataclass(frozen=True)
class Harmonic:
    """A harmonic of every channel: ``percent`` of its fundamental, at ``order`` × its angle + ``angle_deg``."""

    order: float
    percent: float
    angle_deg: float = 0.0


@dataclass(frozen=True)
class StateSpec:
    """One ``[[state]]``: its phasors ([rms, degrees]: A for currents, V for voltages) and how it ends."""

    name: str
    currents: tuple[tuple[float, float], ...]
    voltages: tuple[tuple[float, float], ...]
    frequency_hz: float = NOMINAL_HZ
    duration_s: float | None = None
    until: Condition | None = None
    timeout_s: float | None = None
    after_trigger_ms: float = 0.0
    dc_offset: bool = False
    tau_ms: float = DEFAULT_TAU_MS
    inception_deg: float | None = None
    harmonics: tuple[Harmonic, ...] = ()
    goose: dict[str, tuple] = field(default_factory=dict)

    @property
    def ends(self) -> str:
        """How the state ends, for people."""
        if self.until is None:
            return f"after {self.duration_s:g} s"
        timeout = "" if self.timeout_s is None else f" (timeout {self.timeout_s:g} s)"
        return f"when {self.until}{timeout}"


@dataclass(frozen=True)
class Assessment:
    """One ``[[assess]]``: the time from ``from_state``'s start to ``event``, judged against [min_ms, max_ms]."""

    name: str
    event: Condition
    from_state: str
    min_ms: float
    max_ms: float


@dataclass(frozen=True)
class GooseBlockSpec:
    """One ``[[goose]]``: a control block the test set publishes, with its first values."""

    gocb_ref: str
    values: tuple
    dat_set: str | None = None
    go_id: str | None = None
    app_id: int = 0x0002
    dst_mac: str = "01:0c:cd:01:00:02"


@dataclass
class SequenceFile:
    """A loaded sequence: ``stream`` holds the Stream keywords, ``rate`` and ``asdus_per_frame`` apart."""

    path: str
    shots: int
    stream: dict[str, Any]
    rate: int
    asdus_per_frame: int
    states: list[StateSpec]
    assessments: list[Assessment]
    goose: list[GooseBlockSpec]

    def state(self, name: str) -> StateSpec:
        return next(s for s in self.states if s.name == name)


# --- where each key is ---------------------------------------------------------

_HEADER = re.compile(r"^\s*\[(\[)?\s*([A-Za-z0-9_.\-]+)\s*\]")
_KEY = re.compile(r'^\s*("(?:[^"\\]|\\.)*"|[A-Za-z0-9_\-]+)\s*=')


class _Lines:
    """Line numbers of tables and keys: ``(table, index)`` for ``[[table]]`` number ``index``
    (None for plain tables and the root ""), each key's line in it."""

    def __init__(self, text: str) -> None:
        self.tables: dict[tuple[str, int | None], int] = {("", None): 1}
        self.keys: dict[tuple[str, int | None], dict[str, int]] = {("", None): {}}
        counts: dict[str, int] = {}
        current: tuple[str, int | None] = ("", None)
        for number, line in enumerate(text.splitlines(), start=1):
            header = _HEADER.match(line)
            if header:
                name = header[2]
                if header[1]:
                    counts[name] = counts.get(name, -1) + 1
                    current = (name, counts[name])
                elif "." in name and name.split(".")[0] in counts:
                    # [state.goose]: a sub-table of the last [[state]]; its keys are the state's "goose".
                    parent = name.split(".")[0]
                    current = (parent, counts[parent])
                    self.keys.setdefault(current, {}).setdefault(name.split(".", 1)[1], number)
                    continue
                else:
                    current = (name, None)
                self.tables.setdefault(current, number)
                self.keys.setdefault(current, {})
                continue
            key = _KEY.match(line)
            if key:
                self.keys.setdefault(current, {}).setdefault(key[1].strip('"'), number)

    def of(self, table: str, index: int | None, key: str | None) -> int:
        where = (table, index)
        if key is not None and key in self.keys.get(where, {}):
            return self.keys[where][key]
        return self.tables.get(where, 1)


class _Table:
    """One table of the file being read, and how to report a mistake in it."""

    def __init__(self, path: str, lines: _Lines, table: str, index: int | None, items: dict, label: str) -> None:
        self.path, self.lines, self.table, self.index, self.items, self.label = path, lines, table, index, items, label
        self.used: set[str] = set()

    def error(self, key: str | None, problem: str, *, at: str | None = None) -> SequenceFileError:
        """The mistake ``problem`` in ``key`` (None: the table), on the line of key ``at`` when it has one."""
        line = self.lines.of(self.table, self.index, key)
        if at is not None:
            line = self.lines.keys.get((self.table, self.index), {}).get(at, line)
        where = self.label if key is None else f"{self.label}, key {key}"
        return SequenceFileError(f"{self.path}:{line}: {where}: {problem}")

    def get(self, key: str, check: Callable[[Any], Any], default: Any = None, *, required: bool = False) -> Any:
        self.used.add(key)
        if key not in self.items:
            if required:
                raise self.error(None, f"missing key {key}")
            return default
        try:
            return check(self.items[key])
        except (TypeError, ValueError) as error:
            raise self.error(key, str(error)) from None

    def no_other_keys(self, allowed: tuple[str, ...]) -> None:
        for key in self.items:
            if key not in allowed:
                raise self.error(key, f"unknown key (expected one of: {', '.join(allowed)})")


# --- value checks --------------------------------------------------------------


def _number(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"expected a number, got {value!r}")
    return float(value)


def _positive(value: Any) -> float:
    number = _number(value)
    if number <= 0:
        raise ValueError(f"expected a positive number, got {value!r}")
    return number


def _not_negative(value: Any) -> float:
    number = _number(value)
    if number < 0:
        raise ValueError(f"expected zero or a positive number, got {value!r}")
    return number


def _integer(low: int, high: int) -> Callable[[Any], int]:
    def check(value: Any) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise ValueError(f"expected an integer from {low} to {high}, got {value!r}")
        return value

    return check


def _text(value: Any) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(f"expected a non-empty string, got {value!r}")
    return value


def _flag(value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"expected true or false, got {value!r}")
    return value


def _condition(value: Any) -> Condition:
    return Condition.parse(_text(value))


def _phasors(value: Any) -> tuple[tuple[float, float], ...]:
    if not isinstance(value, list) or len(value) != PHASES:
        raise ValueError(f"expected {PHASES} phasors [rms, degrees] (phases a, b, c, n), got {value!r}")
    out = []
    for pair in value:
        if not isinstance(pair, list) or len(pair) != 2:
            raise ValueError(f"expected a phasor [rms, degrees], got {pair!r}")
        rms, angle = _number(pair[0]), _number(pair[1])
        if rms < 0:
            raise ValueError(f"a phasor's rms must not be negative, got {pair!r}")
        out.append((rms, angle))
    return tuple(out)


def _harmonics(value: Any) -> tuple[Harmonic, ...]:
    if not isinstance(value, list):
        raise ValueError(f"expected a list of [order, percent, degrees], got {value!r}")
    out = []
    for item in value:
        if not isinstance(item, list) or len(item) not in (2, 3):
            raise ValueError(f"expected a harmonic [order, percent of the fundamental, degrees], got {item!r}")
        order, percent = _number(item[0]), _number(item[1])
        if order <= 1 or percent < 0:
            raise ValueError(f"a harmonic's order must be above 1 and its percent not negative, got {item!r}")
        out.append(Harmonic(order, percent, _number(item[2]) if len(item) == 3 else 0.0))
    return tuple(out)


def _goose_values(value: Any) -> tuple:
    if not isinstance(value, list) or not value:
        raise ValueError(f"expected a list of member values (true, false, numbers), got {value!r}")
    for member in value:
        if not isinstance(member, (bool, int, float)):
            raise ValueError(f"a member value must be true, false or a number, got {member!r}")
    return tuple(value)


def _mac(value: Any) -> str:
    text = _text(value)
    parts = text.replace("-", ":").split(":")
    if len(parts) != 6 or not all(re.fullmatch(r"[0-9A-Fa-f]{2}", p) for p in parts):
        raise ValueError(f"expected a MAC address like 01:0c:cd:04:00:01, got {text!r}")
    return text


def _table(value: Any) -> dict:
    if not isinstance(value, dict):
        raise ValueError(f"expected a table, got {value!r}")
    return value


# The [stream] keys: the stream options of `valdrin publish`, by name.
_STREAM_KEYS: dict[str, Callable[[Any], Any]] = {
    "sv_id": _text,
    "app_id": _integer(0, 0xFFFF),
    "dst_mac": _mac,
    "src_mac": _mac,
    "vlan_id": _integer(0, 4095),
    "vlan_priority": _integer(0, 7),
    "conf_rev": _integer(0, 2**32 - 1),
    "smp_synch": _integer(0, 255),
    "smp_rate": _integer(0, 0xFFFF),
    "dat_set": _text,
    "rate": _integer(1, 0x10000),
    "asdus_per_frame": _integer(1, 0x10000),
}
_STATE_KEYS = ("name", "duration_s", "until", "timeout_s", "after_trigger_ms", "frequency_hz", "currents",
               "voltages", "dc_offset", "tau_ms", "inception_deg", "harmonics", "goose")
_ASSESS_KEYS = ("name", "event", "from_state", "min_ms", "max_ms")
_GOOSE_KEYS = ("gocb_ref", "values", "dat_set", "go_id", "app_id", "dst_mac")
_ROOT_KEYS = ("shots", "stream", "state", "assess", "goose")


def _array_of_tables(root: _Table, key: str) -> list[dict]:
    value = root.items.get(key, [])
    if not isinstance(value, list) or not all(isinstance(item, dict) for item in value):
        raise root.error(key, f"expected [[{key}]] tables")
    root.used.add(key)
    return value


def loads(text: str, path: str = "<string>") -> SequenceFile:
    """Reads a sequence from TOML ``text``; :class:`SequenceFileError` names the first mistake."""
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        found = re.search(r"\(at line (\d+), column \d+\)", message)
        line = found[1] if found else "1"
        raise SequenceFileError(f"{path}:{line}: not TOML: {re.sub(r' [(]at line.*', '', message)}") from None
    lines = _Lines(text)
    root = _Table(path, lines, "", None, document, "top level")
    root.no_other_keys(_ROOT_KEYS)
    shots = root.get("shots", _integer(1, 1_000_000), 1)

    stream_items = root.get("stream", _table, {})
    stream_table = _Table(path, lines, "stream", None, stream_items, "[stream]")
    stream_table.no_other_keys(tuple(_STREAM_KEYS))
    stream = {key: stream_table.get(key, check) for key, check in _STREAM_KEYS.items() if key in stream_items}
    rate = stream.pop("rate", 4000)
    asdus_per_frame = stream.pop("asdus_per_frame", 1)
    if rate % asdus_per_frame:
        raise stream_table.error("asdus_per_frame", f"must divide rate {rate}, got {asdus_per_frame}")
    stream.setdefault("sv_id", "MU01")

    goose = [_goose_block(path, lines, i, items) for i, items in enumerate(_array_of_tables(root, "goose"))]
    blocks = {block.gocb_ref: block for block in goose}
    raw_states = _array_of_tables(root, "state")
    if not raw_states:
        raise root.error(None, "no [[state]] tables: a sequence needs at least one state")
    states: list[StateSpec] = []
    for i, items in enumerate(raw_states):
        states.append(_state(path, lines, i, items, states, blocks))
    assessments = [_assessment(path, lines, i, items, states)
                   for i, items in enumerate(_array_of_tables(root, "assess"))]
    return SequenceFile(path, shots, stream, rate, asdus_per_frame, states, assessments, goose)


def load(path: str | Path) -> SequenceFile:
    """Reads the sequence file ``path``; :class:`SequenceFileError` names the first mistake, OSError
    when it cannot be read."""
    path = Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError as error:
        raise SequenceFileError(f"{path}:1: not UTF-8 text: {error.reason}") from None
    return loads(text, str(path))


def _goose_block(path: str, lines: _Lines, i: int, items: dict) -> GooseBlockSpec:
    table = _Table(path, lines, "goose", i, items, f"[[goose]] {i + 1}")
    table.no_other_keys(_GOOSE_KEYS)
    return GooseBlockSpec(
        gocb_ref=table.get("gocb_ref", _text, required=True),
        values=table.get("values", _goose_values, required=True),
        dat_set=table.get("dat_set", _text),
        go_id=table.get("go_id", _text),
        app_id=table.get("app_id", _integer(0, 0xFFFF), 0x0002),
        dst_mac=table.get("dst_mac", _mac, "01:0c:cd:01:00:02"),
    )


def _state(path: str, lines: _Lines, i: int, items: dict, before: list[StateSpec],
           blocks: dict[str, GooseBlockSpec]) -> StateSpec:
    name = items.get("name")
    label = f"[[state]] {i + 1}" + (f' ("{name}")' if isinstance(name, str) and name else "")
    table = _Table(path, lines, "state", i, items, label)
    table.no_other_keys(_STATE_KEYS)
    name = table.get("name", _text, required=True)
    if any(s.name == name for s in before):
        raise table.error("name", f"another state is named {name!r}")
    previous = before[-1] if before else None
    duration = table.get("duration_s", _positive)
    until = table.get("until", _condition)
    if (duration is None) == (until is None):
        raise table.error(None, "give duration_s or until (a state ends after a time or on a GOOSE condition)")
    timeout = table.get("timeout_s", _positive)
    if timeout is not None and until is None:
        raise table.error("timeout_s", "only a state ended by until has a timeout")
    after = table.get("after_trigger_ms", _not_negative, 0.0)
    if "after_trigger_ms" in items and (previous is None or previous.until is None):
        raise table.error("after_trigger_ms", "the state before this one does not end on a trigger")
    # Phasors and frequency carry over from the state before; the first state must give them.
    currents = table.get("currents", _phasors, None if previous is None else previous.currents)
    voltages = table.get("voltages", _phasors, None if previous is None else previous.voltages)
    for key, value in (("currents", currents), ("voltages", voltages)):
        if value is None:
            raise table.error(None, f"missing key {key} (the first state gives every phasor)")
    goose = table.get("goose", _table, {})
    checked: dict[str, tuple] = {}
    for ref, values in goose.items():
        try:
            values = _goose_values(values)
        except ValueError as error:
            raise table.error("goose", f"{ref}: {error}", at=ref) from None
        block = blocks.get(ref)
        if block is None:
            raise table.error("goose", f"no [[goose]] table publishes {ref}", at=ref)
        if [type(v) for v in values] != [type(v) for v in block.values]:
            raise table.error("goose", f"{ref}: {list(values)!r} do not have the kinds of its [[goose]] values "
                                       f"{list(block.values)!r}", at=ref)
        checked[ref] = values
    return StateSpec(
        name=name,
        currents=currents,
        voltages=voltages,
        frequency_hz=table.get("frequency_hz", _positive, NOMINAL_HZ if previous is None else previous.frequency_hz),
        duration_s=duration,
        until=until,
        timeout_s=timeout,
        after_trigger_ms=after,
        dc_offset=table.get("dc_offset", _flag, False),
        tau_ms=table.get("tau_ms", _positive, DEFAULT_TAU_MS),
        inception_deg=table.get("inception_deg", _number),
        harmonics=table.get("harmonics", _harmonics, ()),
        goose=checked,
    )


def _assessment(path: str, lines: _Lines, i: int, items: dict, states: list[StateSpec]) -> Assessment:
    table = _Table(path, lines, "assess", i, items, f"[[assess]] {i + 1}")
    table.no_other_keys(_ASSESS_KEYS)
    name = table.get("name", _text, required=True)
    event = table.get("event", _condition, required=True)
    from_state = table.get("from_state", _text, required=True)
    if all(s.name != from_state for s in states):
        raise table.error("from_state", f"no state is named {from_state!r}")
    min_ms = table.get("min_ms", _not_negative, required=True)
    max_ms = table.get("max_ms", _not_negative, required=True)
    if max_ms < min_ms:
        raise table.error("max_ms", f"{max_ms:g} is below min_ms {min_ms:g}")
    return Assessment(name, event, from_state, min_ms, max_ms)
