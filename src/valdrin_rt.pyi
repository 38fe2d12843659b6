"""Native core of valdrin: the Sampled Values publisher engine and the codecs."""

from collections.abc import Sequence
from typing import Any

__version__: str

class Engine:
    """The engine behind `valdrin.sv.Publisher(engine="native")`."""

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
