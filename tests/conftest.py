"""Skips that cannot pass a run unnoticed.

A test skips when this machine cannot run it (no root, no network namespace,
a tool missing). In a run that must run everything -- VALDRIN_REQUIRE_ALL=1
(scripts/test as root, .ci/run), or CI=true when VALDRIN_REQUIRE_ALL is not
set -- such a skip is a failure with its reason: a CI machine without
namespaces must not turn the live half of the suite green. The only skips
allowed there are the ones listed in ALLOWED_SKIPS, each with its condition
and the reason it means nothing is hidden. Every run ends with the number of
skipped tests and their reasons.
"""

import os
import re
import sys

import pytest


def require_all() -> bool:
    """Whether a skip is a failure in this run (the rule io/tests/netns.hpp
    applies to the native tests too)."""
    required = os.environ.get("VALDRIN_REQUIRE_ALL")
    if required is not None:
        return required == "1"
    return os.environ.get("CI") == "true"


UNDER_SANITIZERS = os.environ.get("VALDRIN_ASAN") == "1"

# (test id pattern, skip reason pattern, when it applies, why it hides nothing).
# A test that means nothing under AddressSanitizer skips with a reason that
# begins "under the sanitizers" (an RSS or heap budget measures ASan's
# quarantine; a probe extension built without instrumentation); the plain run
# of the same suite runs it.
ALLOWED_SKIPS = [
    (r"", r"^under the sanitizers", UNDER_SANITIZERS,
     "the plain run of the suite, which CI makes too, runs it"),
    (r"tests/test_module\.py::test_second_interpreter_is_refused", r"legacy sub-interpreter",
     sys.version_info >= (3, 12),
     "from 3.12 on CPython offers Python code no legacy sub-interpreter; the check runs on 3.10 and 3.11"),
]


def allowed(nodeid: str, reason: str):
    """Why this skip hides nothing in a run that must run everything, or None."""
    for test, pattern, applies, why in ALLOWED_SKIPS:
        if applies and re.match(test, nodeid) and re.search(pattern, reason):
            return why
    return None


def skip_reason(report) -> str:
    longrepr = report.longrepr
    if isinstance(longrepr, tuple) and len(longrepr) == 3:  # (file, line, "Skipped: reason")
        return str(longrepr[2]).removeprefix("Skipped: ")
    return str(longrepr)


def fail_skip(report, where: str):
    if report.skipped and not hasattr(report, "wasxfail") and require_all():
        reason = skip_reason(report)
        if allowed(report.nodeid, reason) is None:
            report.outcome = "failed"
            report.longrepr = (f"{where} skipped in a run that must run everything "
                               f"(VALDRIN_REQUIRE_ALL=1 or CI=true): {reason}")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    fail_skip(outcome.get_result(), "test")


@pytest.hookimpl(hookwrapper=True)
def pytest_make_collect_report(collector):
    outcome = yield
    fail_skip(outcome.get_result(), "module")


def pytest_terminal_summary(terminalreporter):
    skipped = [r for r in terminalreporter.stats.get("skipped", []) if not hasattr(r, "wasxfail")]
    mode = "skips fail this run" if require_all() else "skips allowed in this run"
    terminalreporter.write_sep("=", f"{len(skipped)} skipped ({mode})")
    for report in skipped:
        reason = skip_reason(report)
        why = allowed(report.nodeid, reason)
        terminalreporter.write_line(f"SKIPPED {report.nodeid}: {reason}" + (f" [allowed: {why}]" if why else ""))
