"""The module valdrin_rt as the interpreter sees it: import, surface, calling
convention and internal faults."""

import importlib
import importlib.machinery
import importlib.metadata
import importlib.util
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import valdrin_rt
from valdrin_rt import Engine

ROOT = Path(__file__).resolve().parent.parent


def engine_args(**overrides):
    return dict(iface="lo", rate=4000, asdus_per_frame=1, streams=[], start_second=0) | overrides


ENGINE = Engine(**engine_args())


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("valdrin_rt")
    try:
        again = importlib.import_module("valdrin_rt")
        assert again is first and again.Engine is first.Engine
    finally:
        sys.modules["valdrin_rt"] = first


def test_surface():
    names = [n for n in vars(valdrin_rt) if n == "__version__" or not n.startswith("__")]
    assert names == ["Engine", "decode_sv_pdu", "decode_sv_frame", "encode_goose_pdu", "encode_goose_frame",
                     "decode_goose_pdu", "decode_goose_frame", "__version__", "Analyzer", "Monitor",
                     "GoosePublisher", "SvCounter", "CaptureReader", "DEFAULT_SV_STREAMS", "DEFAULT_GOOSE_BLOCKS", "MOST_TRACKED",
                     "MAX_CPU", "MAX_BLOCK_TIMEOUT_MS", "COUNTS_PER_AMPERE", "COUNTS_PER_VOLT", "parse_sv_profile",
                     "SV_PROFILES", "prp_trailer", "prp_supervision", "PRP_SUPERVISION_INTERVAL_NS",
                     "SV_FAULT_KNOBS", "SV_QUALITY_BITS"]
    limits = ("DEFAULT_SV_STREAMS", "DEFAULT_GOOSE_BLOCKS", "MOST_TRACKED", "MAX_CPU", "MAX_BLOCK_TIMEOUT_MS",
              "COUNTS_PER_AMPERE", "COUNTS_PER_VOLT")
    assert [getattr(valdrin_rt, name) for name in limits] == [256, 256, 65536, 1023, 1000, 1000, 100]
    assert valdrin_rt.__version__ == importlib.metadata.version("valdrin")  # pyproject.toml's
    assert (Engine.__module__, Engine.__name__) == ("valdrin_rt", "Engine")
    assert not hasattr(valdrin_rt, "PanicException")
    assert valdrin_rt.__doc__ is None or valdrin_rt.__doc__ == ""


FOR_TESTS = " (for tests)."


@pytest.mark.parametrize("obj, signature, doc", [
    (Engine, "(iface, rate, asdus_per_frame, streams, start_second, rt_priority=None, cpu=None, periods=None, "
             "prp_b=None, sequence=None)",
     'The engine behind `valdrin.sv.Publisher(engine="native")`.\n\n'
     "`Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority, cpu, periods)`,\n"
     "`streams` being the dicts built by `valdrin.sv_publisher._native_streams`; with `periods`\n"
     "the thread sends that many frame periods from `start_second`, then ends on its own; with `prp_b`\n"
     "(LAN B's interface) every frame goes out on `iface` and `prp_b` with its PRP trailer.\n"
     "With `sequence` (built by `valdrin.sequence`) one stream follows a state sequence."),
    (Engine.render, "($self, stream, second, first_smp)",
     "Frame of stream `stream` carrying samples `first_smp`... of UNIX second `second`" + FOR_TESTS),
    (Engine.start, "($self)", "Open the socket, then send from a thread of its own until `stop()`."),
    (Engine.stop, "($self)", None),
    (Engine.stats, "($self)", None),
    (valdrin_rt.decode_sv_pdu, "(apdu)",
     "`(security, [asdu dicts])` of a SavPdu; ValueError when it is invalid" + FOR_TESTS),
    (valdrin_rt.decode_sv_frame, "(raw)",
     "`None` for a frame that is not SV, else `(frame dict, security, [asdu dicts])`" + FOR_TESTS),
    (valdrin_rt.encode_goose_pdu, "(pdu)", "The IECGoosePdu of an `valdrin.goose.GoosePDU`" + FOR_TESTS),
    (valdrin_rt.encode_goose_frame, "(pdu, dst_mac, src_mac, app_id, vlan_id=None, vlan_priority=None)",
     "The Ethernet frame of an `valdrin.goose.GoosePDU`" + FOR_TESTS),
    (valdrin_rt.decode_goose_pdu, "(apdu, strict=False)",
     "The fields of an IECGoosePdu as a dict; ValueError when it is invalid, or\n"
     "not conformant with `strict`" + FOR_TESTS),
    (valdrin_rt.decode_goose_frame, "(raw, strict=False)",
     "`None` for a frame that is not GOOSE, else `(frame dict, pdu dict)`" + FOR_TESTS),
    (valdrin_rt.Analyzer, "(sv_streams=256, goose_blocks=256, nominal_hz=50.0, max_events=100000, expect_conf_rev=None, "
     "prp=False)",
     "Stream analysis of GOOSE and SV frames in arrival order (behind `valdrin.listen.analyze`); with prp=True "
     'the frames of two LANs go through a PRP receiving node first and the report has a "prp" member.'),
    (valdrin_rt.Analyzer.add, "($self, frame, time_ns, lan=None)",
     "Analyse one Ethernet frame received at `time_ns` (ns since the epoch); with prp=True through the receiving "
     "node, as received on `lan` ('A', the default, or 'B')."),
    (valdrin_rt.Monitor, "(iface, sv_streams=256, goose_blocks=256, nominal_hz=50.0, promiscuous=False, "
     "outgoing=False, hardware_timestamps=False, rt_priority=None, cpu=None, ring='v3', block_timeout_ms=1, "
     "coalesce_us=0, watch=None, expect_conf_rev=None, prp_b=None, trigger=None)",
     "A live capture of GOOSE and SV analysed in a native thread (behind `valdrin.listen.Monitor`); with "
     "prp_b, `iface` is a PRP network's LAN A and `prp_b` its LAN B, both LANs' frames go through a receiving "
     'node\'s duplicate discard and the report has a "prp" member.\n'
     "`trigger` is `(engine, conditions, rules)`: the capture thread ends the states of the engine's\n"
     "sequence on the rise of their GOOSE conditions `(gocb_ref, member, value)`, one rule\n"
     "`(condition index | None, delay_ns)` per state."),
    (valdrin_rt.Monitor.events, "($self, timeout=0.0)",
     "The waiting events as dicts, waiting up to `timeout` seconds for one."),
    (valdrin_rt.GoosePublisher, "(iface, blocks, rt_priority=None, cpu=None, prp_b=None)",
     "The native GOOSE publisher behind `valdrin.goose.Publisher`; each block a tuple\n"
     "(frame, min_time_ns, max_time_ns, tal_factor, fixed_tal_ms, capacity). With `prp_b`\n"
     "(LAN B's interface) every frame goes out on `iface` and `prp_b` with its PRP trailer."),
    (valdrin_rt.GoosePublisher.publish, "($self, block, pdu)",
     "A state change of block `block`: the allData of the encoded PDU `pdu`."),
    (valdrin_rt.GoosePublisher.last_change, "($self, block)",
     "`(st_num, sent_ns)` of block `block`'s last state change whose first frame was handed to the kernel "
     "(the clock just before the send call), None before the first."),
    (valdrin_rt.GoosePublisher.fault, "($self, block, knob, value)",
     "Set fault knob `knob` of block `block` to `value`."),
    (valdrin_rt.GoosePublisher.render, "($self, block, pdu, st_num, sq_num, k, change_ns)",
     "`(time_ns, frame)` of frame `k` after a change at `change_ns`, as the thread sends it (for pcap files)."),
    (valdrin_rt.SvCounter, "()",
     "The smpCnt rule of one SV stream, the stream analysis's own: the wrap learnt from the\n"
     "counters, each sample's place on the unwrapped counter, lost, duplicated and late samples."),
])
def test_docstrings_and_text_signatures(obj, signature, doc):
    assert (obj.__text_signature__, obj.__doc__) == (signature, doc)
    if not isinstance(obj, type) and obj.__qualname__ == obj.__name__:
        assert obj.__module__ == "valdrin_rt"


@pytest.mark.parametrize("method", ["start", "stop", "stats"])
def test_methods_without_arguments_take_none(method):
    with pytest.raises(TypeError):
        getattr(ENGINE, method)(1)


def test_engine_is_closed():
    with pytest.raises(AttributeError):
        Engine(**engine_args()).anything = 1
    with pytest.raises(TypeError):
        type("Sub", (Engine,), {})


E, R = "Engine.__new__()", "Engine.render()"
rt = valdrin_rt


# Engine.__new__ binds a tuple and a dict, every other callable a vector and
# keyword names; each callable has its own table of names and required count.
@pytest.mark.parametrize("call, message", [
    (lambda: Engine(), f"{E} missing 5 required positional arguments: "
     "'iface', 'rate', 'asdus_per_frame', 'streams', and 'start_second'"),
    (lambda: Engine("lo", 4000, 1), f"{E} missing 2 required positional arguments: 'streams' and 'start_second'"),
    (lambda: Engine("lo", 4000, 1, []), f"{E} missing 1 required positional argument: 'start_second'"),
    (lambda: Engine("lo", 4000, 1, [], 0, None, None, None, None, None, 11),
     f"{E} takes from 5 to 10 positional arguments but 11 were given"),
    (lambda: Engine(**engine_args(extra=1)), f"{E} got an unexpected keyword argument 'extra'"),
    (lambda: Engine("lo", 4000, 1, [], 0, rate=4000), f"{E} got multiple values for argument 'rate'"),
    (lambda: Engine("lo", 4000, 1, [], 0, None, cpu=1, rt_priority=2),
     f"{E} got multiple values for argument 'rt_priority'"),
    (lambda: ENGINE.render(), f"{R} missing 3 required positional arguments: 'stream', 'second', and 'first_smp'"),
    (lambda: ENGINE.render(0, 0), f"{R} missing 1 required positional argument: 'first_smp'"),
    (lambda: ENGINE.render(0, 0, 0, 0), f"{R} takes 3 positional arguments but 4 were given"),
    (lambda: ENGINE.render(0, 0, first=0), f"{R} got an unexpected keyword argument 'first'"),
    (lambda: ENGINE.render(0, 0, 0, second=0), f"{R} got multiple values for argument 'second'"),
    (lambda: rt.decode_sv_pdu(), "decode_sv_pdu() missing 1 required positional argument: 'apdu'"),
    (lambda: rt.decode_sv_pdu(raw=b""), "decode_sv_pdu() got an unexpected keyword argument 'raw'"),
    (lambda: rt.decode_sv_frame(b"", b""), "decode_sv_frame() takes 1 positional arguments but 2 were given"),
    (lambda: rt.decode_sv_frame(b"", raw=b""), "decode_sv_frame() got multiple values for argument 'raw'"),
    (lambda: rt.encode_goose_pdu(), "encode_goose_pdu() missing 1 required positional argument: 'pdu'"),
    (lambda: rt.encode_goose_pdu(1, 2), "encode_goose_pdu() takes 1 positional arguments but 2 were given"),
    (lambda: rt.encode_goose_frame(1), "encode_goose_frame() missing 3 required positional arguments: "
     "'dst_mac', 'src_mac', and 'app_id'"),
    (lambda: rt.encode_goose_frame(1, 2, 3, 4, 5, 6, 7),
     "encode_goose_frame() takes from 4 to 6 positional arguments but 7 were given"),
    (lambda: rt.encode_goose_frame(1, 2, 3, 4, 5, vlan_id=3),
     "encode_goose_frame() got multiple values for argument 'vlan_id'"),
    (lambda: rt.decode_goose_pdu(b"", extra=1), "decode_goose_pdu() got an unexpected keyword argument 'extra'"),
    (lambda: rt.decode_goose_pdu(b"", False, strict=True),
     "decode_goose_pdu() got multiple values for argument 'strict'"),
    (lambda: rt.decode_goose_frame(), "decode_goose_frame() missing 1 required positional argument: 'raw'"),
    (lambda: rt.decode_goose_frame(b"", False, 1),
     "decode_goose_frame() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError and str(caught.value) == message


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


def raise_(error):
    def action():
        raise error
    return action


def test_conversion_type_error_gets_the_argument_prefix_and_keeps_its_cause():
    with pytest.raises(TypeError) as caught:
        Engine(**engine_args(rate=Index(raise_chained)))
    assert type(caught.value) is TypeError and str(caught.value) == "argument 'rate': not today"
    assert isinstance(caught.value.__cause__, KeyError)


@pytest.mark.parametrize("error", [MyTypeError("mine"), ValueError("bad value")])
def test_other_conversion_errors_pass_unchanged(error):
    with pytest.raises(type(error)) as caught:
        Engine(**engine_args(start_second=Index(raise_(error))))
    assert caught.value is error and str(caught.value) == error.args[0]


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
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("fault_probe", out, loader=loader))
    loader.exec_module(module)
    return module


@pytest.mark.parametrize("kind, message, place", [
    (0, "stream index past the end", "fault_probe.cpp:"),
    (1, "vector too long", "in fault()"),
    (2, "unexpected failure in native code", "in fault()"),
])
def test_internal_fault_raises_panic_exception(fault_probe, capsys, kind, message, place):
    try:
        fault_probe.fault(kind)
    except Exception:  # noqa: BLE001 - must not be reached
        pytest.fail("an internal fault was caught by `except Exception`")
    except BaseException as panic:  # noqa: BLE001
        caught = panic
    else:
        pytest.fail("no exception")
    panic_type = type(caught)
    assert (panic_type.__name__, panic_type.__bases__) == ("PanicException", (BaseException,))
    assert panic_type.__module__ != "valdrin_rt" and "BaseException" in panic_type.__doc__
    assert caught.args == (message,)
    err = capsys.readouterr().err
    assert message in err and place in err


def test_failure_without_exception_is_a_system_error(fault_probe):
    with pytest.raises(SystemError) as caught:
        fault_probe.fault(3)
    assert str(caught.value) == "attempted to fetch exception but none was set"


def test_panic_exception_type_is_created_once(fault_probe):
    assert len({pytest.raises(BaseException, fault_probe.fault, kind).type for kind in (0, 1)}) == 1


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
