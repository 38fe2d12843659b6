"""Fault injection from the command line: one grammar for every publisher.

An injection is ``KNOB[=VALUE][@AT][+FOR][/STREAMS]``:

- ``KNOB`` names one of the publisher's knobs (each publisher has its table
  of :class:`Knob`, e.g. :data:`valdrin.goose.INJECT_KNOBS`);
- ``VALUE`` is read as the knob's :class:`Kind` says: a count (``3``), a
  flag (``on`` / ``off``), a whole number (``5``, ``0x2000``), a span of time
  (``800ms``, ``0.8``, ``250us``), a bit mask on channels (``0x2000:0-3,7``;
  bits by name where the knob names them, ``invalid,test:0-3``), or nothing;
  a count defaults to 1 and a flag to ``on``;
- ``@AT`` is the offset from the start of publishing (``@2``, ``@1.5s``,
  ``@300ms``; default: at once);
- ``+FOR`` is how long a lasting knob holds before it is cleared again
  (default: to the end); a one-shot knob takes none;
- ``/STREAMS`` chooses the streams of a publisher of several, counted from 1
  (``/2``, ``/1,3-4``; default: all of them).

Times are seconds unless suffixed ``s``, ``ms``, ``us`` or ``µs``.
Examples: ``skip_sq=3@2``, ``silent=800ms@3s``, ``simulation@2+1``,
``quality=0x2000:0-3@1s+500ms``, ``quality=invalid@2+1/2``.
"""

from __future__ import annotations

import argparse
import enum
import re
import textwrap
from dataclasses import dataclass
from typing import Iterable, Mapping, Sequence


class Kind(enum.Enum):
    """How a knob's VALUE is written, and whether the knob lasts."""

    COUNT = "count"    # one-shot: a whole number from 1, default 1
    ACTION = "action"  # one-shot: no value
    SPAN = "span"      # one-shot: a span of time, required (e.g. a silence)
    FLAG = "flag"      # lasting: on or off, default on; cleared to off
    NUMBER = "number"  # lasting: a whole number, required; cleared to the publisher's own
    DELAY = "delay"    # lasting: a span of time, required; cleared to none
    MASK = "mask"      # lasting: a bit mask on channels (default all), required; cleared

    @property
    def lasting(self) -> bool:
        return self in (Kind.FLAG, Kind.NUMBER, Kind.DELAY, Kind.MASK)

    @property
    def form(self) -> str:
        """How VALUE is written, for help texts ("" when it takes none)."""
        return _FORMS[self]


_FORMS = {Kind.COUNT: "N", Kind.ACTION: "", Kind.SPAN: "TIME", Kind.FLAG: "on|off", Kind.NUMBER: "V",
          Kind.DELAY: "TIME", Kind.MASK: "MASK[:CH]"}


@dataclass(frozen=True)
class Knob:
    """A knob a publisher offers on the command line: its name, how its value is written, what it does."""

    name: str
    kind: Kind
    help: str
    bits: tuple[tuple[str, int], ...] = ()  # MASK: bits by name, e.g. ("invalid", 0x1)
    prp: bool = False  # acts on PRP's second LAN or trailer: only a publisher with --prp has it


@dataclass(frozen=True)
class Mask:
    """A bit mask and the channels it applies to (None: all)."""

    bits: int
    channels: tuple[int, ...] | None = None


Value = int | bool | Mask | None


@dataclass(frozen=True)
class Injection:
    """One injection: knob ``knob`` set to ``value`` at ``at_ns`` after the start, cleared
    ``for_ns`` later (lasting knobs; None: never), on ``streams`` (indices from 0; None: all).
    A span or delay ``value`` is in ns."""

    knob: Knob
    value: Value
    at_ns: int = 0
    for_ns: int | None = None
    streams: tuple[int, ...] | None = None


@dataclass(frozen=True)
class Step:
    """What to do at ``at_ns`` after the start: set ``knob`` to ``value``, or clear it (``clear``)."""

    at_ns: int
    knob: Knob
    value: Value
    clear: bool = False
    streams: tuple[int, ...] | None = None


class InjectError(ValueError):
    """An injection that cannot be read; its text is one line."""


_UNITS = {"": 1_000_000_000, "s": 1_000_000_000, "ms": 1_000_000, "us": 1_000, "µs": 1_000}
_TIME = re.compile(r"(\d+(?:\.\d*)?|\.\d+)(s|ms|us|µs)?")
_FORM = re.compile(r"(?P<name>[a-z_][a-z0-9_]*)(?:=(?P<value>[^@+/]*))?(?:@(?P<at>[^@+/]*))?"
                   r"(?:\+(?P<for>[^@+/]*))?(?:/(?P<streams>[^@+/]*))?")


def span_ns(text: str) -> int:
    """A span of time in ns from e.g. ``2``, ``1.5s``, ``800ms``, ``250us``; ValueError otherwise."""
    match = _TIME.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"not a time like 2, 1.5s, 800ms or 250us: {text!r}")
    number, unit = match.groups()
    whole, _, part = number.partition(".")
    scale = _UNITS[unit or ""]
    digits = len(part)
    return (int(whole or "0") * 10**digits + int(part or "0")) * scale // 10**digits


def _whole(text: str, low: int | None = None) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise ValueError(f"not a whole number: {text!r}") from None
    if low is not None and value < low:
        raise ValueError(f"must be at least {low}, got {value}")
    return value


def _channels(text: str) -> tuple[int, ...]:
    """``0-3,7`` as (0, 1, 2, 3, 7)."""
    out: list[int] = []
    for part in text.split(","):
        low, dash, high = part.partition("-")
        first, last = _whole(low, 0), _whole(high, 0) if dash else None
        if last is not None and last < first:
            raise ValueError(f"not a channel range: {part!r}")
        out.extend(range(first, (first if last is None else last) + 1))
    return tuple(sorted(set(out)))


def _bits(text: str, names: tuple[tuple[str, int], ...]) -> int:
    """A mask as a number, or as names of bits joined by commas when the knob names them."""
    known = dict(names)
    if names and text and not text[0].isdigit():
        mask = 0
        for name in text.split(","):
            if name not in known:
                raise ValueError(f"no quality bit {name!r} (one of {', '.join(known)}, or a number)")
            mask |= known[name]
        return mask
    return _whole(text, 0)


def _value(kind: Kind, text: str | None, names: tuple[tuple[str, int], ...] = ()) -> Value:
    if kind is Kind.ACTION:
        if text is not None:
            raise ValueError("takes no value")
        return None
    if text is None:
        if kind is Kind.COUNT:
            return 1
        if kind is Kind.FLAG:
            return True
        raise ValueError(f"needs a value ={kind.form}")
    if kind is Kind.COUNT:
        return _whole(text, 1)
    if kind is Kind.FLAG:
        if text.lower() not in ("on", "off", "true", "false", "1", "0"):
            raise ValueError(f"not on or off: {text!r}")
        return text.lower() in ("on", "true", "1")
    if kind is Kind.NUMBER:
        return _whole(text, 0)
    if kind in (Kind.SPAN, Kind.DELAY):
        return span_ns(text)
    bits, colon, channels = text.partition(":")
    return Mask(_bits(bits, names), _channels(channels) if colon else None)


def parse(text: str, knobs: Mapping[str, Knob], *, streams: bool = False) -> Injection:
    """The injection ``text`` (``KNOB[=VALUE][@AT][+FOR]``, with ``streams`` also ``[/STREAMS]``)
    over the publisher's ``knobs``; :class:`InjectError` with a one-line reason otherwise."""
    match = _FORM.fullmatch(text.strip())
    form = "KNOB[=VALUE][@AT][+FOR]" + ("[/STREAMS]" if streams else "")
    if match is None or (match["streams"] is not None and not streams):
        raise InjectError(f"not {form}: {text!r}")
    name = match["name"]
    knob = knobs.get(name)
    if knob is None:
        raise InjectError(f"{text!r}: no knob {name!r} (one of {', '.join(knobs)})")
    try:
        value = _value(knob.kind, match["value"], knob.bits)
        at_ns = 0 if match["at"] is None else span_ns(match["at"])
        for_ns = None if match["for"] is None else span_ns(match["for"])
        chosen = None if match["streams"] is None else tuple(n - 1 for n in _channels(match["streams"]))
    except ValueError as error:
        raise InjectError(f"{text!r}: {error}") from None
    if for_ns is not None and not knob.kind.lasting:
        raise InjectError(f"{text!r}: {name} happens once, it takes no +FOR")
    if for_ns == 0:
        raise InjectError(f"{text!r}: +FOR must be longer than 0")
    if chosen is not None and -1 in chosen:
        raise InjectError(f"{text!r}: streams count from 1")
    return Injection(knob, value, at_ns, for_ns, chosen)


def steps(injections: Iterable[Injection]) -> list[Step]:
    """The steps of ``injections`` in time order (a clear before a set at the same instant,
    so that back-to-back spans of one knob hold)."""
    out: list[Step] = []
    for injection in injections:
        out.append(Step(injection.at_ns, injection.knob, injection.value, streams=injection.streams))
        if injection.for_ns is not None:
            out.append(Step(injection.at_ns + injection.for_ns, injection.knob, injection.value, clear=True,
                            streams=injection.streams))
    return sorted(out, key=lambda step: (step.at_ns, not step.clear))


def argument_type(knobs: Mapping[str, Knob], *, streams: bool = False):
    """An argparse ``type`` that reads one injection over ``knobs`` (``streams``: with /STREAMS)."""
    def read(text: str) -> Injection:
        try:
            return parse(text, knobs, streams=streams)
        except InjectError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    return read


def check_prp(injections: Iterable[Injection], prp: bool) -> None:
    """:class:`InjectError` for the first injection of a PRP knob when the publisher is not a
    PRP node (``prp`` false)."""
    for injection in injections:
        if injection.knob.prp and not prp:
            raise InjectError(f"{injection.knob.name} acts on PRP's LANs: it needs --prp IF_A,IF_B")


def help_text(knobs: Sequence[Knob]) -> str:
    """The knobs as the --help of ``--inject`` lists them, one per line."""
    lines = []
    for knob in knobs:
        form = knob.name + (f"={knob.kind.form}" if knob.kind.form else "")
        lines.append(f"  {form:<24} {knob.help}")
        if knob.bits:
            names = "MASK: a number, or names joined by commas: " + ", ".join(n for n, _ in knob.bits)
            lines.extend(f"  {'':<24} {line}" for line in textwrap.wrap(names, 72))
    return "\n".join(lines)
