"""The ``valdrin`` command line: ``valdrin publish`` sends IEC 61850-9-2 SV streams,
``valdrin decode`` prints the GOOSE and SV frames of a capture.

``valdrin publish --iface IFACE`` publishes one or more streams of sine waves
(with an optional recurring fault or a recorded playback) until Ctrl-C or for
``--duration`` seconds, printing live statistics once a second.
``valdrin publish --pcap FILE`` writes the same frames, stamped with their
scheduled send times, to a pcap file instead (no privileges needed).
``valdrin decode FILE`` reads a pcap or pcapng capture and prints every GOOSE
and SV frame in it for a human (or as JSON lines with ``--json``), optionally
checking GOOSE PDUs against the standard encoding with ``--strict``.
``valdrin monitor --iface IFACE`` shows the health of the SV streams and GOOSE
control blocks on an interface live; ``valdrin analyze FILE`` reports the same
for a capture file. ``valdrin goose publish`` publishes a GOOSE control block
with its retransmission schedule (or writes its frames to a pcap file).
``valdrin trip-test`` injects faults by SV into a relay and reports the
operate time of its GOOSE trip, shot after shot; ``valdrin relay-sim`` is a
small overcurrent relay to run it against; ``valdrin sequence FILE`` plays a
state sequence (phasors per state, states ended by time or by the relay's
GOOSE) and judges the measured times. ``valdrin export FILE --comtrade
OUT`` writes one SV stream of a capture as a COMTRADE record, ``valdrin plot
FILE -o PICTURE`` draws it. ``valdrin scl FILE`` lists the GOOSE and SV
control blocks an SCL file designs.
"""

from __future__ import annotations

from importlib import import_module
from typing import Any, Sequence

from . import app

# The commands, in the order ``valdrin --help`` lists them: a module each (see
# valdrin.cli.app), named as typed with "_" for "-", so a new command is one
# more module and its entry here. A command line imports only the module of
# the command it names (``valdrin --help`` all of them).
COMMANDS = ("publish", "decode", "monitor", "analyze", "goose", "trip_test", "sequence", "relay_sim", "export", "plot", "scl")

# Names this module has long offered, from the modules that own them, imported
# on first use rather than by every command line.
_REEXPORTS = {
    "__version__": "..",
    **dict.fromkeys(("LINKTYPE_ETHERNET", "PCAP_MAGIC_NS", "PCAP_SNAPLEN", "Packet", "read_pcap", "write_pcap"),
                    "..pcap"),
    **dict.fromkeys(("Fault", "Playback", "Publisher", "Stream", "Wave"), "..sv"),
    **dict.fromkeys(("CURRENT_PEAK_A", "CURRENT_SCALE", "NOMINAL_HZ", "VOLTAGE_PEAK_V", "VOLTAGE_SCALE",
                     "default_waves"), ".publish"),
}


def __getattr__(name: str) -> Any:
    if name in _REEXPORTS:
        value = getattr(import_module(_REEXPORTS[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_REEXPORTS})


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    return app.run(COMMANDS, argv)
