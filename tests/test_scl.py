"""valdrin.scl and the commands that use SCL files: the model of a station
the tests write themselves (every address quirk, whole data objects with
sub data objects, a data set in another logical device, what does not
resolve), safe parsing, and the publish / analyze round trip against the
same file."""

import json
import shutil
import subprocess

import pytest

from scl_files import station
from valdrin import scl
from valdrin.cli import main

GCB1 = "IED1LD0/LLN0$GO$gcb1"
SVCB = "IED1LD0/LLN0$MS$msvcb1"


def write(tmp_path, name="station.scd", **kwargs):
    path = tmp_path / name
    path.write_text(station(**kwargs))
    return path


def block(model, ref):
    return next(cb for cb in model.control_blocks if cb.ref == ref)


def test_goose_block_as_the_wire_carries_it(tmp_path):
    model = scl.load(write(tmp_path))
    assert model.edition == "2.1" and model.ieds == ["IED1", "IED2"]
    assert [cb.ref for cb in model.control_blocks] == [GCB1, "IED1LD0/LLN0$GO$gcb2", "IED1LD0/LLN0$GO$gcb3", SVCB]
    assert block(model, GCB1).to_json() == {
        "kind": "goose", "ied": "IED1", "access_point": "AP1", "ld_inst": "LD0", "name": "gcb1", "ref": GCB1,
        "id": "IED1_GO1", "dat_set": "IED1LD0/LLN0$GooseDs", "conf_rev": 3, "dst": "01:0c:cd:01:00:01",
        "app_id": 1, "vlan_id": 10, "vlan_priority": 4, "min_time_ms": 4.0, "max_time_ms": 1000.0,
        "subscribers": ["IED2"],
        "members": [
            {"ref": "IED1LD0/XCBR1.Pos.stVal", "fc": "ST", "type": "Dbpos"},
            {"ref": "IED1LD0/XCBR1.Pos.q", "fc": "ST", "type": "Quality"},
            # in another logical device than the data set
            {"ref": "IED1LD1/GGIO1.Ind1.stVal", "fc": "ST", "type": "BOOLEAN"},
            {"ref": "IED1LD0/XCBR1.Beh.stVal", "fc": "ST", "type": "Enum"},
        ],
    }
    assert block(model, GCB1).members[3].type.enum_name(5) == "off"


def test_sv_block_whole_data_objects_and_leaves(tmp_path):
    cb = block(scl.load(write(tmp_path)), SVCB)
    out = cb.to_json()
    assert {k: out[k] for k in ("id", "dst", "app_id", "vlan_id", "vlan_priority", "conf_rev", "smp_rate", "smp_mod",
                                "nof_asdu", "subscribers")} == {
        "id": "IED1MU01", "dst": "01:0c:cd:04:00:01", "app_id": 0x4000, "vlan_id": 5, "vlan_priority": 4,
        "conf_rev": 2, "smp_rate": 80, "smp_mod": "SmpPerPeriod", "nof_asdu": 1, "subscribers": ["IED2"]}
    # Whole DO: the MX attributes only (not sVC, fc CF), instMag a structure of one INT32.
    assert out["members"][0] == {"ref": "IED1LD0/ITCTR1.Amp", "fc": "MX", "type": [["INT32"], "Quality"]}
    assert out["members"][4:6] == [{"ref": "IED1LD0/UTVTR1.Vol.instMag.i", "fc": "MX", "type": "INT32"},
                                   {"ref": "IED1LD0/UTVTR1.Vol.q", "fc": "MX", "type": "Quality"}]
    assert len(out["members"]) == 9
    assert out["sample_octets"] == 64   # eight INT32 + Quality pairs, the 9-2LE layout
    assert cb.samples_per_second() == 4000 and cb.samples_per_second(60.0) == 4800


def test_whole_data_object_with_sub_data_objects(tmp_path):
    cb = block(scl.load(write(tmp_path)), "IED1LD0/LLN0$GO$gcb2")
    # WYE.A: SDOs phsA and phsB (CMV: cVal.mag.f and q), not d (fc DC), in declaration order.
    assert cb.to_json()["members"] == [
        {"ref": "IED1LD0/MMXU1.A", "fc": "MX", "type": [[[["FLOAT32"]], "Quality"], [[["FLOAT32"]], "Quality"]]}]


def test_what_does_not_resolve_is_a_finding(tmp_path):
    model = scl.load(write(tmp_path))
    assert model.findings == [
        "IED1LD0/LLN0$BadDs: FCDA IED1LD0/XCBR9.Pos.stVal (ST): no LN XCBR9 in LD0",
        "IED1LD0/LLN0$BadDs: FCDA IED1LD0/XCBR1.Nope.stVal (ST): no DO 'Nope' in 'XCBR_T'",
        "IED1LD0/LLN0$BadDs: FCDA IED1LD0/PTOC1.Op.general (ST): LNodeType 'PTOC_UNDECLARED' is not declared",
        "IED1LD0/LLN0$GO$gcb2: no GSE address in Communication",
    ]
    bad = block(model, "IED1LD0/LLN0$GO$gcb3")
    assert [m.type is None for m in bad.members] == [True, True, True, False]
    assert bad.app_id == 3 and bad.vlan_id is None


@pytest.mark.parametrize("vlan, expected, reason", [
    ("0", 0, "priority tag only"),
    ("00A", 10, "hex, three digits"),
    ("1", 1, "one digit"),
    ("100", 256, "hex, not decimal"),
    ("fab", 4011, "lower-case hex"),
    (None, None, "no VLAN-ID at all"),
])
def test_vlan_id_is_hex_of_one_to_three_digits(tmp_path, vlan, expected, reason):
    cb = block(scl.load(write(tmp_path, vlan=vlan)), GCB1)
    assert cb.vlan_id == expected, reason
    assert cb.vlan_priority == (None if vlan is None else 4)


@pytest.mark.parametrize("vlan, finding", [
    ("1000", "IED1LD0/LLN0$GO$gcb1 address: VLAN-ID '1000' is not hexadecimal in range"),
    ("x1", "IED1LD0/LLN0$GO$gcb1 address: VLAN-ID 'x1' is not hexadecimal in range"),
])
def test_bad_vlan_id_is_a_finding(tmp_path, vlan, finding):
    model = scl.load(write(tmp_path, vlan=vlan))
    assert block(model, GCB1).vlan_id is None
    assert finding in model.findings


@pytest.mark.parametrize("mac, app_id, dst, number", [
    ("01-0c-cd-01-00-0a", "ff", "01:0c:cd:01:00:0a", 0xFF),     # lower case, two-digit APPID
    ("01-0C-CD-01-00-0A", "3FFF", "01:0c:cd:01:00:0a", 0x3FFF),
])
def test_mac_and_appid(tmp_path, mac, app_id, dst, number):
    cb = block(scl.load(write(tmp_path, mac=mac, app_id=app_id)), GCB1)
    assert (cb.dst, cb.app_id) == (dst, number)


@pytest.mark.parametrize("element, min_time_ms, finding", [
    ('<MinTime unit="s" multiplier="m">4</MinTime>', 4.0, None),
    ("<MinTime>4</MinTime>", 4.0, None),                                  # the schema's unit: ms
    ('<MinTime unit="s" multiplier="">0.004</MinTime>', 4.0, None),       # seconds
    ('<MinTime unit="ms">4</MinTime>', None,
     "IED1LD0/LLN0$GO$gcb1 address: MinTime '4' (unit 'ms', multiplier None) is not a time"),
    ('<MinTime unit="s" multiplier="m">soon</MinTime>', None,
     "IED1LD0/LLN0$GO$gcb1 address: MinTime 'soon' (unit 's', multiplier 'm') is not a time"),
])
def test_min_time_unit_and_multiplier(tmp_path, element, min_time_ms, finding):
    path = tmp_path / "t.scd"
    path.write_text(station().replace('<MinTime unit="s" multiplier="m">4</MinTime>', element))
    model = scl.load(path)
    assert block(model, GCB1).min_time_ms == min_time_ms
    assert (finding in model.findings) if finding else not any("MinTime" in f for f in model.findings)


def test_edition_1_file(tmp_path):
    model = scl.load(write(tmp_path, root="", smp_mod=""))
    assert model.edition == "1"
    cb = block(model, SVCB)
    assert cb.smp_mod is None and cb.samples_per_second() == 4000
    assert len(model.control_blocks) == 4


def test_byte_order_mark_and_2006_namespace(tmp_path):
    path = tmp_path / "bom.cid"
    text = station().replace("http://www.iec.ch/61850/2003/SCL", "http://www.iec.ch/61850/2006/SCL")
    path.write_bytes(b"\xef\xbb\xbf" + text.encode())
    assert block(scl.load(path), GCB1).app_id == 1


BILLION_LAUGHS = """<?xml version="1.0"?>
<!DOCTYPE SCL [
 <!ENTITY lol "lol">
 <!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
 <!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">
 <!ENTITY lol4 "&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;">
]>
<SCL xmlns="http://www.iec.ch/61850/2003/SCL"><Header id="&lol4;"/></SCL>
"""


def test_billion_laughs_is_refused(tmp_path, capsys):
    path = tmp_path / "laughs.scd"
    path.write_text(BILLION_LAUGHS)
    with pytest.raises(scl.SclError, match="refused: the file declares a DOCTYPE or entities"):
        scl.load(path)
    assert main(["scl", str(path)]) == 1
    err = capsys.readouterr().err
    assert err == f"valdrin: {path}: refused: the file declares a DOCTYPE or entities, which SCL files do not use\n"


def test_external_entity_is_refused_and_nothing_read(tmp_path):
    # A FIFO: reading it would block, so a refusal that returns proves it was not opened.
    secret = tmp_path / "secret"
    import os
    os.mkfifo(secret)
    path = tmp_path / "xxe.scd"
    path.write_text(f'<?xml version="1.0"?>\n<!DOCTYPE SCL [<!ENTITY x SYSTEM "file://{secret}">]>\n'
                    '<SCL xmlns="http://www.iec.ch/61850/2003/SCL"><Header id="&x;"/></SCL>\n')
    with pytest.raises(scl.SclError, match="refused"):
        scl.load(path)
    # Also an entity without a DOCTYPE first in the prolog (after a comment) and a parameter entity.
    path.write_text(f'<!-- c --><!DOCTYPE SCL [<!ENTITY % p SYSTEM "file://{secret}"> %p;]>'
                    '<SCL xmlns="http://www.iec.ch/61850/2003/SCL"/>')
    with pytest.raises(scl.SclError, match="refused"):
        scl.load(path)


@pytest.mark.parametrize("text, message", [
    ("<SCL", "not well-formed XML"),
    ('<Other xmlns="http://www.iec.ch/61850/2003/SCL"/>', "not an SCL file (its root element is <Other>)"),
    ('<SCL xmlns="urn:x"/>', "not an SCL file (namespace 'urn:x')"),
])
def test_not_scl(tmp_path, text, message):
    path = tmp_path / "x.scd"
    path.write_text(text)
    with pytest.raises(scl.SclError, match=message.replace("(", r"\(").replace(")", r"\)")):
        scl.load(path)


def test_scl_command_json(tmp_path, capsys):
    path = write(tmp_path)
    assert main(["scl", str(path), "--json"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert set(out) == {"control_blocks", "findings"} and len(out["findings"]) == 4
    sv = out["control_blocks"][3]
    for key in ("kind", "ied", "ld_inst", "name", "ref", "id", "dat_set", "conf_rev", "dst", "app_id", "vlan_id",
                "vlan_priority", "smp_rate", "smp_mod", "nof_asdu", "subscribers", "members"):
        assert key in sv
    assert main(["scl", str(path)]) == 0
    text = capsys.readouterr().out
    assert "4 findings:" in text and "no GSE address in Communication" in text


# --- publishing from the file, and checking the wire against it ----------------------

tshark = pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark not installed")


def fields(pcap, *names, kind):
    out = subprocess.run(["tshark", "-r", str(pcap), "-Y", kind, "-T", "fields", "-E", "separator=|",
                          *[a for n in names for a in ("-e", n)]], capture_output=True, text=True, check=True).stdout
    return [line.split("|") for line in out.splitlines()]


@tshark
def test_goose_published_from_the_file_field_by_field(tmp_path, capsys):
    path, pcap = write(tmp_path), tmp_path / "g.pcap"
    assert main(["goose", "publish", "--scl", str(path), "--gocb", GCB1, "--value", "XCBR1.Pos.stVal=on",
                 "--value", "Beh.stVal=blocked", "--pcap", str(pcap), "--duration", "1"]) == 0
    assert capsys.readouterr().err == f"from {path}: {GCB1}\n"
    rows = fields(pcap, "eth.dst", "vlan.id", "vlan.priority", "goose.appid", "goose.gocbRef", "goose.datSet",
                  "goose.goID", "goose.confRev", "goose.numDatSetEntries", kind="goose")
    # T1 4 ms doubling to T0 1000 ms within one second: 0, 4, 12, 28, 60, 124, 252, 508 ms.
    assert len(rows) == 8
    assert set(map(tuple, rows)) == {("01:0c:cd:01:00:01", "10", "4", "0x0001", GCB1, "IED1LD0/LLN0$GooseDs",
                                      "IED1_GO1", "3", "4")}


@tshark
def test_sv_published_from_the_file_field_by_field(tmp_path, capsys):
    path, pcap = write(tmp_path), tmp_path / "sv.pcap"
    assert main(["publish", "--scl", str(path), "--sv", "IED1MU01", "--pcap", str(pcap), "--frames", "4"]) == 0
    assert capsys.readouterr().out.splitlines()[0] == f"from {path}: {SVCB}"
    rows = fields(pcap, "eth.dst", "vlan.id", "vlan.priority", "sv.appid", "sv.svID", "sv.confRev", "sv.smpRate",
                  "sv.smpCnt", kind="sv")
    assert rows == [["01:0c:cd:04:00:01", "5", "4", "0x4000", "IED1MU01", "2", "80", str(n)] for n in range(4)]


def analyze_scl(capsys, pcap, path):
    assert main(["analyze", str(pcap), "--scl", str(path), "--json"]) == 0
    return json.loads(capsys.readouterr().out)["scl"]


def publish_both(tmp_path, capsys, path):
    g, s = tmp_path / "g.pcap", tmp_path / "s.pcap"
    assert main(["goose", "publish", "--scl", str(path), "--gocb", GCB1, "--value", "XCBR1.Pos.stVal=on",
                 "--pcap", str(g), "--duration", "1"]) == 0
    assert main(["publish", "--scl", str(path), "--sv", SVCB, "--pcap", str(s), "--frames", "100"]) == 0
    capsys.readouterr()
    merged = tmp_path / "both.pcap"
    merged.write_bytes(g.read_bytes() + s.read_bytes()[24:])   # one header, then both files' records
    return merged


def test_publish_then_analyze_with_the_same_file_matches(tmp_path, capsys):
    path = write(tmp_path)
    result = analyze_scl(capsys, publish_both(tmp_path, capsys, path), path)
    statuses = {b["ref"]: (b["status"], b["differences"]) for b in result["control_blocks"]}
    assert statuses[GCB1] == ("matched", {}) and statuses[SVCB] == ("matched", {})
    assert statuses["IED1LD0/LLN0$GO$gcb2"][0] == "missing"
    assert result["unexpected"] == []
    goose = next(b for b in result["control_blocks"] if b["ref"] == GCB1)
    assert [(m["ref"], m["value"]) for m in goose["members"]] == [
        ("IED1LD0/XCBR1.Pos.stVal", "on"), ("IED1LD0/XCBR1.Pos.q", {"bits": "0000000000000"}),
        ("IED1LD1/GGIO1.Ind1.stVal", False), ("IED1LD0/XCBR1.Beh.stVal", "on")]


# Changes to the SCL text of the copy, by name.
EDITS = {
    "confRev": ('smvID="IED1MU01" datSet="SvDs" confRev="2"', 'smvID="IED1MU01" datSet="SvDs" confRev="7"'),
    "priority": ('<P type="VLAN-ID">005</P>\n            <P type="VLAN-PRIORITY">4</P>',
                 '<P type="VLAN-ID">005</P>\n            <P type="VLAN-PRIORITY">6</P>'),
    "member": ('<FCDA ldInst="LD0" prefix="U" lnClass="TVTR" lnInst="4" doName="Vol" fc="MX"/>', ""),
    # Another name: matched by its address, not one missing and one unexpected.
    "name": ('cbName="gcb1"', 'cbName="gcbX"'),
}


@pytest.mark.parametrize("change, ref, differences", [
    ({"app_id": "0002"}, GCB1, {"app_id": {"expected": 2, "seen": 1}}),
    ("confRev", SVCB, {"conf_rev": {"expected": 7, "seen": 2}}),
    ("priority", SVCB, {"vlan_priority": {"expected": 6, "seen": 4}}),
    ("member", SVCB, {"sample_octets": {"expected": 56, "seen": 64}}),
    ("name", "IED1LD0/LLN0$GO$gcbX", {"ref": {"expected": "IED1LD0/LLN0$GO$gcbX", "seen": GCB1}}),
    ({"ind": "cnt"}, GCB1, {"types": {"expected": ["bit-string", "bit-string", "integer", "integer"],
                                      "seen": ["bit-string", "bit-string", "boolean", "integer"]}}),
])
def test_one_field_changed_in_a_copy_is_exactly_that_field(tmp_path, capsys, change, ref, differences):
    published = publish_both(tmp_path, capsys, write(tmp_path))
    if isinstance(change, str):
        copy = tmp_path / "copy.scd"
        text = station()
        assert EDITS[change][0] in text
        copy.write_text(text.replace(*EDITS[change]).replace('GSEControl name="gcb1"', 'GSEControl name="gcbX"')
                        if change == "name" else text.replace(*EDITS[change]))
    else:
        copy = write(tmp_path, "copy.scd", **change)
    result = analyze_scl(capsys, published, copy)
    statuses = {b["ref"]: (b["status"], b["differences"]) for b in result["control_blocks"]}
    assert statuses[ref] == ("mismatch", differences)
    other = GCB1 if ref == SVCB else SVCB
    assert statuses[other] == ("matched", {})
    assert result["unexpected"] == []


@pytest.mark.parametrize("argv, message", [
    (["--value", "XCBR1.Pos.stVal=maybe"],
     "XCBR1.Pos.stVal (Dbpos): 'maybe' is not one of intermediate, off, on, bad"),
    (["--value", "Beh.stVal=sleeping"],
     "XCBR1.Beh.stVal (Enum): 'sleeping' is not one of on, blocked, test, test/blocked, off"),
    (["--value", "stVal=on"], "'stVal' names several data set members: XCBR1.Pos.stVal, GGIO1.Ind1.stVal, "
                              "XCBR1.Beh.stVal; give more of the reference"),
    (["--value", "XCBR1.Pos.t=now"], "no data set member named 'XCBR1.Pos.t'"),
])
def test_goose_value_refused_before_anything_is_sent(tmp_path, capsys, argv, message):
    path, pcap = write(tmp_path), tmp_path / "g.pcap"
    assert main(["goose", "publish", "--scl", str(path), "--gocb", GCB1, "--pcap", str(pcap), "--duration", "1",
                 *argv]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == f"valdrin: {message}"
    assert not pcap.exists()


def test_sv_data_set_the_engine_cannot_carry_is_refused(tmp_path, capsys):
    text = station().replace('smvID="IED1MU01" datSet="SvDs"', 'smvID="IED1MU01" datSet="WholeDs"')
    path = tmp_path / "f.scd"
    path.write_text(text)
    assert main(["publish", "--scl", str(path), "--sv", SVCB, "--pcap", str(tmp_path / "s.pcap"),
                 "--frames", "1"]) == 1
    assert capsys.readouterr().err == ("valdrin: IED1LD0/LLN0$MS$msvcb1: member MMXU1.A is FLOAT32: the SV publisher "
                                       "carries INT32 values each followed by its Quality\n")


@tshark
def test_command_line_overrides_the_file_and_says_so(tmp_path, capsys):
    path, pcap = write(tmp_path), tmp_path / "sv.pcap"
    assert main(["publish", "--scl", str(path), "--ied", "IED1", "--app-id", "0x4001", "--conf-rev", "9",
                 "--pcap", str(pcap), "--frames", "1"]) == 0
    assert capsys.readouterr().out.splitlines()[0] == (
        f"from {path}: {SVCB}; overridden on the command line: --conf-rev, --app-id")
    assert fields(pcap, "sv.appid", "sv.confRev", "sv.svID", kind="sv") == [["0x4001", "9", "IED1MU01"]]


def test_monitor_checks_live_traffic_against_the_file(tmp_path):
    import netns

    path = write(tmp_path)
    result = netns.in_netns(f"""
import json, subprocess, sys
subprocess.run("ip link add va type veth peer name vb && ip link set va up && ip link set vb up", shell=True, check=True)
""", f"""
# The monitor listens 4 s; the publisher's heartbeats (T0 1 s) reach it even if it starts late.
monitor = subprocess.Popen([sys.executable, "-m", "valdrin", "monitor", "--iface", "vb", "--duration", "4",
                            "--scl", {str(path)!r}, "--json"], stdout=subprocess.PIPE, text=True)
publish = subprocess.run([sys.executable, "-m", "valdrin", "goose", "publish", "--iface", "va", "--scl",
                          {str(path)!r}, "--gocb", "IED1_GO1", "--value", "XCBR1.Beh.stVal=test",
                          "--duration", "3", "--json"], capture_output=True, text=True, timeout=30)
out, _ = monitor.communicate(timeout=30)
print(json.dumps({{"publish": publish.returncode, "scl": json.loads(out)["scl"]}}))
""", timeout=90)
    assert result["publish"] == 0
    statuses = {b["ref"]: b for b in result["scl"]["control_blocks"]}
    assert statuses[GCB1]["status"] == "matched" and statuses[GCB1]["differences"] == {}
    assert statuses[GCB1]["members"][3] == {"ref": "IED1LD0/XCBR1.Beh.stVal", "value": "test"}
    assert statuses[SVCB]["status"] == "missing"
    assert result["scl"]["unexpected"] == []


@pytest.mark.parametrize("argv, message", [
    (["goose", "publish", "--scl", "s.scd", "--pcap", "x", "--duration", "1"], "--scl needs --gocb REF"),
    (["goose", "publish", "--pcap", "x", "--duration", "1"],
     "--gocb-ref, --app-id, --dst-mac required (or --scl FILE --gocb REF)"),
    (["goose", "publish", "--gocb-ref", "G", "--app-id", "1", "--dst-mac", "01:0c:cd:01:00:01", "--pcap", "x",
      "--duration", "1", "--value", "XCBR1.Pos.stVal=on"], "--gocb and --value MEMBER=VALUE need --scl"),
    (["goose", "publish", "--scl", "s.scd", "--gocb", GCB1, "--pcap", "x", "--duration", "1", "--value", "bool:true"],
     "with --scl, --value takes MEMBER=VALUE"),
    (["publish", "--sv", "X", "--pcap", "x", "--frames", "1"], "--sv and --ied need --scl"),
    (["publish", "--scl", "s.scd", "--pcap", "x", "--frames", "1"], "--scl needs --sv REF or --ied NAME"),
])
def test_usage_errors(tmp_path, monkeypatch, capsys, argv, message):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, "s.scd")
    with pytest.raises(SystemExit) as caught:
        main(argv)
    assert caught.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1].endswith(f"error: {message}")
    assert not (tmp_path / "x").exists()


@pytest.mark.parametrize("argv, message", [
    (["goose", "publish", "--scl", "s.scd", "--gocb", "nope", "--pcap", "x", "--duration", "1"],
     "s.scd has no GSEControl 'nope' (its GOOSE blocks: IED1LD0/LLN0$GO$gcb1, IED1LD0/LLN0$GO$gcb2, "
     "IED1LD0/LLN0$GO$gcb3)"),
    (["goose", "publish", "--scl", "s.scd", "--gocb", "IED1_GO2", "--pcap", "x", "--duration", "1"],
     "IED1LD0/LLN0$GO$gcb2 has no MAC-Address in the file: give it on the command line"),
    (["goose", "publish", "--scl", "s.scd", "--gocb", "IED1_GO3", "--pcap", "x", "--duration", "1"],
     "IED1LD0/LLN0$GO$gcb3: data set member IED1LD0/XCBR9.Pos.stVal does not resolve in the file"),
    (["publish", "--scl", "s.scd", "--ied", "IED2", "--pcap", "x", "--frames", "1"],
     "s.scd has no SV control block of an IED 'IED2'"),
    (["analyze", "none.pcap", "--scl", "missing.scd"], "cannot read missing.scd: No such file or directory"),
    (["publish", "--scl", "fast.scd", "--sv", SVCB, "--pcap", "x", "--frames", "1"],
     f"{SVCB}: smpRate 4000 (SmpPerPeriod) makes 200000 samples/s, above 65536: give --rate "
     "(and --nominal-hz or --smp-rate)"),
])
def test_failures_name_what_is_wrong(tmp_path, monkeypatch, capsys, argv, message):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, "s.scd")
    # smpRate meant per second, as some files write it
    (tmp_path / "fast.scd").write_text(station().replace('smpRate="80"', 'smpRate="4000"'))
    assert main(argv) == 1
    assert capsys.readouterr().err.splitlines()[-1] == f"valdrin: {message}"
    assert not (tmp_path / "x").exists()


def ied_of_a_kind(name, ggio_type="GGIO_T", extra=""):
    """An IED as a station instantiates one ICD: LD0 with LLN0 and GGIO1, a data set, a GOOSE block."""
    return (f'<IED name="{name}"><AccessPoint name="AP1"><Server><LDevice inst="LD0">'
            f'<LN0 lnClass="LLN0" inst="" lnType="LLN0_T"><DataSet name="ds">'
            f'<FCDA ldInst="LD0" lnClass="GGIO" lnInst="1" doName="Ind1" daName="stVal" fc="ST"/>{extra}</DataSet>'
            f'<GSEControl name="gcb" appID="{name}_G" datSet="ds" confRev="1"/></LN0>'
            f'<LN lnClass="GGIO" inst="1" lnType="{ggio_type}"/></LDevice></Server></AccessPoint></IED>')


def test_ieds_of_one_kind_resolve_each_on_its_own(tmp_path):
    # IEDs with the same logical devices share what their FCDAs resolve to, and from the third one on whole
    # data sets: an IED whose data set differs, or whose LN has another type, still gets its own.
    missing = '<FCDA ldInst="LD0" lnClass="GGIO" lnInst="2" doName="Ind1" daName="stVal" fc="ST"/>'
    path = tmp_path / "kinds.scd"
    path.write_text(
        '<SCL xmlns="http://www.iec.ch/61850/2003/SCL" version="2007" revision="B">'
        + ied_of_a_kind("A") + ied_of_a_kind("B") + ied_of_a_kind("C") + ied_of_a_kind("D", extra=missing)
        + ied_of_a_kind("E", ggio_type="GGIO_X") + ied_of_a_kind("F") +
        '<DataTypeTemplates><LNodeType id="LLN0_T" lnClass="LLN0"/>'
        '<LNodeType id="GGIO_T" lnClass="GGIO"><DO name="Ind1" type="SPS_T"/></LNodeType>'
        '<LNodeType id="GGIO_X" lnClass="GGIO"><DO name="Ind1" type="INS_T"/></LNodeType>'
        '<DOType id="SPS_T" cdc="SPS"><DA name="stVal" bType="BOOLEAN" fc="ST"/></DOType>'
        '<DOType id="INS_T" cdc="INS"><DA name="stVal" bType="INT32" fc="ST"/></DOType>'
        '</DataTypeTemplates></SCL>')
    model = scl.load(path)
    assert [[m.to_json() for m in cb.members] for cb in model.control_blocks] == [
        [{"ref": "ALD0/GGIO1.Ind1.stVal", "fc": "ST", "type": "BOOLEAN"}],
        [{"ref": "BLD0/GGIO1.Ind1.stVal", "fc": "ST", "type": "BOOLEAN"}],
        [{"ref": "CLD0/GGIO1.Ind1.stVal", "fc": "ST", "type": "BOOLEAN"}],
        [{"ref": "DLD0/GGIO1.Ind1.stVal", "fc": "ST", "type": "BOOLEAN"},
         {"ref": "DLD0/GGIO2.Ind1.stVal", "fc": "ST", "type": None}],
        [{"ref": "ELD0/GGIO1.Ind1.stVal", "fc": "ST", "type": "INT32"}],
        [{"ref": "FLD0/GGIO1.Ind1.stVal", "fc": "ST", "type": "BOOLEAN"}],
    ]
    assert [f for f in model.findings if "FCDA" in f] == [
        "DLD0/LLN0$ds: FCDA DLD0/GGIO2.Ind1.stVal (ST): no LN GGIO2 in LD0"]
