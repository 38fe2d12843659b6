"""The trip test and the relay simulator under the name they were first published as.

The trip test lives in :mod:`valdrin.trip_test`, the relay simulator in
:mod:`valdrin.relay_sim`, the trip test's figure in :mod:`valdrin.figures`;
this module keeps ``valdrin.testing`` working for the code that imports them
from here.
"""

from __future__ import annotations

from .figures import plot_trip_test as plot
from .figures import trip_test_figure as figure
from .relay_sim import Decision, RelaySimulator
from .trip_test import (  # noqa: F401
    NO_TRIP,
    NOT_RESET,
    TRIPPED,
    TRIPPED_BEFORE_FAULT,
    Shot,
    TripTestError,
    TripTestResult,
    _judge,
    _Watch,
    trip_test,
)

__all__ = [
    "Decision",
    "RelaySimulator",
    "Shot",
    "TripTestError",
    "TripTestResult",
    "figure",
    "plot",
    "trip_test",
]
