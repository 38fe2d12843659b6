"""Native core of valdrin: the Sampled Values publisher engine and the codecs."""

from collections.abc import Sequence
from typing import Any, TypedDict, final

__version__: str

class Stats(TypedDict):
    frames_sent: int
    send_errors: int
    late_frames: int
    max_lateness_ns: int

@final
class Engine:
    """The engine behind `valdrin.sv.Publisher(engine="native")`.

    `Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority, cpu)`,
    `streams` being the dicts built by `valdrin.sv_publisher._native_streams`.
    """

    def __new__(
        cls,
        iface: str,
        rate: int,
        asdus_per_frame: int,
        streams: Sequence[dict[str, Any]],
        start_second: int,
        rt_priority: int | None = None,
        cpu: int | None = None,
    ) -> Engine: ...
    def render(self, stream: int, second: int, first_smp: int) -> bytes:
        """Frame of stream `stream` carrying samples `first_smp`... of UNIX second `second` (for tests)."""
    def start(self) -> None:
        """Open the socket, then send from a thread of its own until `stop()`."""
    def stop(self) -> None: ...
    def stats(self) -> Stats: ...
