"""The module valdrin_rt as the interpreter sees it: import, surface, calling
convention and internal faults."""

import importlib
import importlib.machinery
import importlib.util
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import valdrin_rt

ROOT = Path(__file__).resolve().parent.parent


def engine_args(**overrides):
    args = dict(iface="lo", rate=4000, asdus_per_frame=1, streams=[], start_second=0)
    args.update(overrides)
    return args


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("valdrin_rt")
    try:
        again = importlib.import_module("valdrin_rt")
        assert again is first
        assert again.Engine is first.Engine
    finally:
        sys.modules["valdrin_rt"] = first


def test_surface():
    assert valdrin_rt.__version__ == "0.8.1"
    assert valdrin_rt.Engine.__module__ == "valdrin_rt"
    assert valdrin_rt.Engine.__name__ == "Engine"
    assert not hasattr(valdrin_rt, "PanicException")
    assert valdrin_rt.__doc__ is None or valdrin_rt.__doc__ == ""


@pytest.mark.parametrize(
    "obj, signature, doc",
    [
        (
            valdrin_rt.Engine,
            "(iface, rate, asdus_per_frame, streams, start_second, rt_priority=None, cpu=None)",
            'The engine behind `valdrin.sv.Publisher(engine="native")`.\n'
            "\n"
            "`Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority, cpu)`,\n"
            "`streams` being the dicts built by `valdrin.sv_publisher._native_streams`.",
        ),
        (
            valdrin_rt.Engine.render,
            "($self, stream, second, first_smp)",
            "Frame of stream `stream` carrying samples `first_smp`... "
            "of UNIX second `second` (for tests).",
        ),
        (valdrin_rt.Engine.start, "($self)",
         "Open the socket, then send from a thread of its own until `stop()`."),
        (valdrin_rt.Engine.stop, "($self)", None),
        (valdrin_rt.Engine.stats, "($self)", None),
    ],
)
def test_docstrings_and_text_signatures(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


@pytest.mark.parametrize("method", ["start", "stop", "stats"])
def test_methods_without_arguments_take_none(method):
    with pytest.raises(TypeError):
        getattr(ENGINE, method)(1)


def test_engine_is_closed():
    engine = valdrin_rt.Engine(**engine_args())
    with pytest.raises(AttributeError):
        engine.anything = 1
    with pytest.raises(TypeError):
        type("Sub", (valdrin_rt.Engine,), {})


E = "Engine.__new__()"
R = "Engine.render()"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: valdrin_rt.Engine(), f"{E} missing 5 required positional arguments: "
         "'iface', 'rate', 'asdus_per_frame', 'streams', and 'start_second'"),
        (lambda: valdrin_rt.Engine("lo", 4000, 1), f"{E} missing 2 required positional "
         "arguments: 'streams' and 'start_second'"),
        (lambda: valdrin_rt.Engine("lo", 4000, 1, []), f"{E} missing 1 required positional "
         "argument: 'start_second'"),
        (lambda: valdrin_rt.Engine("lo", 4000, 1, [], 0, None, None, 8),
         f"{E} takes from 5 to 7 positional arguments but 8 were given"),
        (lambda: valdrin_rt.Engine(**engine_args(extra=1)),
         f"{E} got an unexpected keyword argument 'extra'"),
        (lambda: valdrin_rt.Engine("lo", 4000, 1, [], 0, rate=4000),
         f"{E} got multiple values for argument 'rate'"),
        (lambda: valdrin_rt.Engine("lo", 4000, 1, [], 0, None, cpu=1, rt_priority=2),
         f"{E} got multiple values for argument 'rt_priority'"),
        (lambda: ENGINE.render(), f"{R} missing 3 required positional arguments: "
         "'stream', 'second', and 'first_smp'"),
        (lambda: ENGINE.render(0, 0), f"{R} missing 1 required positional argument: "
         "'first_smp'"),
        (lambda: ENGINE.render(0, 0, 0, 0),
         f"{R} takes 3 positional arguments but 4 were given"),
        (lambda: ENGINE.render(0, 0, 0, 0, 0),
         f"{R} takes 3 positional arguments but 5 were given"),
        (lambda: ENGINE.render(0, 0, first=0), f"{R} got an unexpected keyword argument 'first'"),
        (lambda: ENGINE.render(0, 0, 0, second=0),
         f"{R} got multiple values for argument 'second'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


ENGINE = valdrin_rt.Engine(**engine_args())


class Index:
    """An integer-like object whose __index__ does what the test asks."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def raise_chained():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        raise TypeError("not today") from inner


class MyTypeError(TypeError):
    pass


def raise_subclass():
    raise MyTypeError("mine")


def test_conversion_type_error_gets_the_argument_prefix_and_keeps_its_cause():
    with pytest.raises(TypeError) as caught:
        valdrin_rt.Engine(**engine_args(rate=Index(raise_chained)))
    assert type(caught.value) is TypeError
    assert str(caught.value) == "argument 'rate': not today"
    assert isinstance(caught.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "action, kind, message",
    [
        (raise_subclass, MyTypeError, "mine"),
        (lambda: (_ for _ in ()).throw(ValueError("bad value")), ValueError, "bad value"),
        (lambda: 7, None, None),
    ],
)
def test_other_conversion_errors_pass_unchanged(action, kind, message):
    if kind is None:
        assert valdrin_rt.Engine(**engine_args(rate=Index(action), asdus_per_frame=1))
        return
    with pytest.raises(kind) as caught:
        valdrin_rt.Engine(**engine_args(start_second=Index(action)))
    assert type(caught.value) is kind
    assert str(caught.value) == message


# --- internal faults ------------------------------------------------------------------------


@pytest.fixture(scope="module")
def fault_probe(tmp_path_factory):
    """A tiny extension module built from the module's own call boundary."""
    compiler = shutil.which("g++") or shutil.which("c++")
    include = sysconfig.get_paths()["include"]
    if compiler is None or not (Path(include) / "Python.h").exists():
        pytest.skip("needs a C++ compiler and the Python headers")
    out = tmp_path_factory.mktemp("probe") / "fault_probe.abi3.so"
    subprocess.run(
        [compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-fvisibility=hidden",
         "-DPy_LIMITED_API=0x030A0000", f"-I{include}", f"-I{ROOT / 'src'}",
         str(ROOT / "tests" / "fault_probe.cpp"), str(ROOT / "src" / "py.cpp"), "-o", str(out)],
        check=True,
    )
    loader = importlib.machinery.ExtensionFileLoader("fault_probe", str(out))
    location = importlib.util.spec_from_file_location("fault_probe", out, loader=loader)
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    "kind, message, place",
    [
        (0, "stream index past the end", "fault_probe.cpp:"),
        (1, "vector too long", "in fault()"),
        (2, "unexpected failure in native code", "in fault()"),
    ],
)
def test_internal_fault_raises_panic_exception(fault_probe, capsys, kind, message, place):
    try:
        fault_probe.fault(kind)
    except Exception:  # noqa: BLE001 - must not be reached
        pytest.fail("an internal fault was caught by `except Exception`")
    except BaseException as panic:  # noqa: BLE001
        caught = panic
    else:
        pytest.fail("no exception")
    kind_ = type(caught)
    assert kind_.__name__ == "PanicException"
    assert kind_.__bases__ == (BaseException,)
    assert kind_.__module__ != "valdrin_rt"
    assert "BaseException" in kind_.__doc__
    assert caught.args == (message,)
    err = capsys.readouterr().err
    assert message in err and place in err


def test_failure_without_exception_is_a_system_error(fault_probe):
    with pytest.raises(SystemError) as caught:
        fault_probe.fault(3)
    assert str(caught.value) == "attempted to fetch exception but none was set"


def test_panic_exception_type_is_created_once(fault_probe):
    kinds = set()
    for kind in (0, 1):
        try:
            fault_probe.fault(kind)
        except BaseException as panic:  # noqa: BLE001
            kinds.add(type(panic))
    assert len(kinds) == 1


def test_second_interpreter_is_refused():
    interpreters = None
    for name in ("_xxsubinterpreters", "_interpreters"):
        try:
            interpreters = importlib.import_module(name)
            break
        except ImportError:
            continue
    if interpreters is None or sys.version_info >= (3, 12):
        pytest.skip("this interpreter cannot run a legacy sub-interpreter from Python")
    interp = interpreters.create()
    try:
        with pytest.raises(Exception) as caught:
            interpreters.run_string(interp, "import valdrin_rt")
        assert "ImportError" in str(caught.value) or isinstance(caught.value, ImportError)
        assert "sub-interpreters" in str(caught.value)
    finally:
        interpreters.destroy(interp)
