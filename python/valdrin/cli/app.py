"""What every ``valdrin`` command shares: the top-level parser and the dispatch
to a command, the error that ends a command with one line, and the values of
options that several commands take.

A command is a module of this package with two functions, registered by name
in ``valdrin.cli.COMMANDS`` and imported only when a command line needs it: ``add_parser(commands)`` adds its subparser to the
top-level parser's ``commands`` and returns it; ``run(args, parser)`` runs
the command with the parsed arguments and that subparser and returns the
exit status. A problem met while running is a :class:`Failure` (one line on
standard error, exit status 1); a ``ValueError`` (an option value that the
package refuses) and ``parser.error`` are usage errors (exit status 2).
"""

from __future__ import annotations

import argparse
import errno
import functools
import json
import os
import select
import signal
import sys
from contextlib import contextmanager
from importlib import import_module
from types import ModuleType
from typing import TYPE_CHECKING, Any, Callable, Iterator, Sequence

import valdrin_rt

if TYPE_CHECKING:
    from fractions import Fraction


class Failure(Exception):
    """A problem met while running: printed as one line, exit status 1."""


@contextmanager
def file_failures(default: str) -> Iterator[None]:
    """Turns OSError and ValueError raised inside into a :class:`Failure` of one line.

    An OSError names the file it gives (``default`` when it gives none); a
    ValueError's text is the line.
    """
    try:
        yield
    except OSError as error:
        raise Failure(f"cannot read or write {error.filename or default}: {error.strerror or error}") from None
    except ValueError as error:
        raise Failure(str(error)) from None


def print_json(value: Any) -> None:
    """Writes ``value`` as one JSON object and a newline on standard output: a --json result."""
    json.dump(value, sys.stdout)
    sys.stdout.write("\n")


@contextmanager
def reading_progress(label: str, quiet: bool) -> Iterator[Callable[[int, int | None], None] | None]:
    """A progress bar labelled ``label`` on standard error while a file is read, gone when done.

    Yields the ``progress(done, total)`` callback the readers take, or None
    (no bar) when ``quiet`` or standard error is not a terminal.
    """
    if quiet:  # before importing rich, which the quiet commands need not load
        yield None
        return
    from rich.console import Console
    from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn

    err = Console(stderr=True)
    if not err.is_terminal:
        yield None
        return
    columns = (TextColumn(label), BarColumn(), DownloadColumn(), TimeRemainingColumn())
    with Progress(*columns, console=err, transient=True) as progress:
        task = progress.add_task(label, total=None)
        yield lambda done, total: progress.update(task, completed=done, total=total)


class StopSignals:
    """SIGINT and SIGTERM turned into a request to stop, for a command's main
    loop: ``with StopSignals() as stop:`` installs the handlers (the previous
    ones are back on exit), ``stop.wait(s)`` sleeps up to ``s`` seconds or
    until a request, ``stop.is_set()`` asks without waiting.

    The Python handler runs in the main thread at whatever point its code has
    reached, so it only sets a flag: it takes no lock (``threading.Event.set``
    takes the event's lock, which the main thread holds for a moment inside
    every ``Event.wait``: a signal handled there waits for it forever). And
    it may run late, after a wait has begun: the wait selects on the pipe the
    interpreter's C-level handler writes the signal's number to as the
    signal arrives (``signal.set_wakeup_fd``), so no signal is slept through.
    """

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self) -> None:
        self._requested = False
        self._read, self._write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._previous: dict = {}
        self._previous_fd = -1

    def __enter__(self) -> StopSignals:
        self._previous = {sig: signal.signal(sig, self._on_signal) for sig in self.SIGNALS}
        self._previous_fd = signal.set_wakeup_fd(self._write)
        return self

    def __exit__(self, *exc: object) -> None:
        signal.set_wakeup_fd(self._previous_fd)
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)
        os.close(self._read)
        os.close(self._write)

    def _on_signal(self, signum: int, frame: object) -> None:
        self._requested = True

    def is_set(self) -> bool:
        """Whether a stop was asked for."""
        return self._requested

    def wait(self, timeout: float) -> bool:
        """Sleeps until a stop is asked for or ``timeout`` seconds pass; returns :meth:`is_set`."""
        if not self._requested and select.select([self._read], [], [], max(0.0, timeout))[0]:
            try:
                arrived = os.read(self._read, 256)  # a number per signal
            except BlockingIOError:
                arrived = b""
            if any(number in self.SIGNALS for number in arrived):
                self._requested = True
        return self._requested


# --- option values ----------------------------------------------------------


def integer(text: str) -> int:
    """A decimal or 0x/0o/0b integer."""
    try:
        return int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None


def int_between(low: int, high: int) -> Callable[[str], int]:
    """An argparse type: a whole number from `low` to `high`."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be between {low} and {high}, got {value}")
        return value
    return parse


def positive_integer(text: str) -> int:
    value = integer(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def seconds(text: str) -> Fraction:
    """A positive number of seconds, kept exact (0.1 s is exactly 400 frames at 4000/s)."""
    from fractions import Fraction

    try:
        value = Fraction(text)
    except (ValueError, ZeroDivisionError):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def add_analysis_options(parser: argparse.ArgumentParser) -> None:
    """The analysis settings that ``valdrin monitor`` and ``valdrin analyze`` both take."""
    parser.add_argument("--nominal-hz", type=float, choices=(50.0, 60.0), default=50.0, metavar="HZ",
                        help="the power system's nominal frequency for RMS and phasors: 50 (default) or 60")
    parser.add_argument("--max-streams", type=int, default=valdrin_rt.DEFAULT_SV_STREAMS, metavar="N",
                        help=f"SV streams and GOOSE blocks tracked, each (default {valdrin_rt.DEFAULT_SV_STREAMS}); "
                             "more are counted as beyond the limits")


def mac_address(text: str) -> int:
    parts = text.replace("-", ":").split(":")
    if len(parts) != 6 or not all(len(p) == 2 for p in parts):
        raise argparse.ArgumentTypeError(f"not a MAC address like 01:0c:cd:04:00:01: {text!r}")
    try:
        return int("".join(parts), 16)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a MAC address like 01:0c:cd:04:00:01: {text!r}") from None


def interface_pair(text: str) -> tuple[str, str]:
    """IF_A,IF_B: a PRP network's two LANs, two different interface names."""
    names = text.split(",")
    if len(names) != 2 or not all(names) or names[0] == names[1]:
        raise argparse.ArgumentTypeError(f"expected two different interfaces IF_A,IF_B, got {text!r}")
    return names[0], names[1]


# --- the parser and the dispatch ----------------------------------------------


# The exit status after the reader of standard output went away (`| head`):
# a shell's status for a process that SIGPIPE ended.
READER_GONE = 141


def rich_console(**options: Any) -> Any:
    """A rich ``Console(**options)`` whose write to a reader that left raises BrokenPipeError, so
    that :func:`run` ends the command with READER_GONE as for any other write (rich would exit 1)."""
    return _quiet_console_type()(**options)


@functools.cache
def _quiet_console_type() -> type:
    from rich.console import Console

    class ReaderGoneConsole(Console):
        def on_broken_pipe(self) -> None:
            self.quiet = True
            raise BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE))

    return ReaderGoneConsole


def _reader_gone() -> int:
    """Standard output's reader left: what is still buffered goes nowhere, quietly (no message
    and no traceback at exit), and the command ends with READER_GONE."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return READER_GONE


SIOCGIFHWADDR = 0x8927


def interface_mac(iface: str | None) -> int:
    """The interface's own MAC address (asked of the kernel in this network namespace, where
    /sys may show another's), or 0 when there is none to ask (no interface, or none such)."""
    if iface:
        import fcntl
        import socket
        import struct

        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
                request = struct.pack("16s16x", iface.encode()[:15])
                reply = fcntl.ioctl(sock.fileno(), SIOCGIFHWADDR, request)
            return int.from_bytes(reply[18:24], "big")  # ifr_hwaddr's sa_data, after the name and sa_family
        except (OSError, UnicodeError):
            pass
    return 0


# The source MAC of GOOSE frames written with --pcap and no interface to take
# one from (what earlier versions wrote, and files made then carry).
GOOSE_PCAP_SRC_MAC = 0x02_00_00_00_00_01


def goose_source_mac(args: argparse.Namespace) -> int:
    """--src-mac, else the interface's own address, else (--pcap with no interface) GOOSE_PCAP_SRC_MAC."""
    if args.src_mac is not None:
        return args.src_mac
    return interface_mac(args.iface) or GOOSE_PCAP_SRC_MAC


class _Version(argparse.Action):
    """--version: the package's version, looked up only when asked for (it reads the installed metadata)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str = "show program's version number and exit") -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        from .. import __version__

        print(f"valdrin {__version__}")
        parser.exit()


def build_parser(commands: Sequence[ModuleType]) -> argparse.ArgumentParser:
    """The ``valdrin`` parser with a subparser of every command, in the order given."""
    parser = argparse.ArgumentParser(
        prog="valdrin",
        description="IEC 61850 process-bus messaging: publish Sampled Values (IEC 61850-9-2), decode GOOSE and SV captures.",
    )
    parser.add_argument("--version", action=_Version)
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in commands:
        subparser = command.add_parser(subparsers)
        subparser.set_defaults(run=command.run, command_parser=subparser)
    return parser


def needed(names: Sequence[str], argv: Sequence[str]) -> Sequence[str]:
    """The command modules (of ``names``) that parsing ``argv`` needs: the one its
    first word names, or all of them (for --help, --version, a word that names none)."""
    word = next((arg for arg in argv if not arg.startswith("-")), None)
    name = word.replace("-", "_") if word is not None else None
    return [name] if name in names else names


def run(names: Sequence[str], argv: Sequence[str] | None) -> int:
    """Parses ``argv`` (default: the process's arguments) and runs the command it names
    (a module of this package by name, from ``names``); returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    commands = [import_module(f".{name}", __package__) for name in needed(names, argv)]
    args = build_parser(commands).parse_args(argv)
    command = args.command_parser
    try:
        status = args.run(args, command)
        sys.stdout.flush()  # a reader that left shows here rather than at exit
        return status
    except BrokenPipeError:
        return _reader_gone()
    except Failure as error:
        print(f"valdrin: {error}", file=sys.stderr)
        return 1
    except ValueError as error:  # a stream option out of range
        command.error(str(error))
    except KeyboardInterrupt:  # Ctrl-C before publishing began
        return 130
    return 0
