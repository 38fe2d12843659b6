"""Loading a large SCD: valdrin.scl.load beside lxml's bare parse of the same
file, time and memory, in the same run.

A station of --ieds IEDs (default 400), each with two GOOSE and two SV
control blocks, their data sets (ten and sixteen members) and a Communication
address, is generated to a temporary file. The figures printed: the file's
size, the best of --runs runs for the bare parse (lxml.etree.fromstring of
the bytes) and for load (parse, model, data sets resolved), their ratio (the
target is at most 2), and the peak memory each adds (tracemalloc does not see
lxml's C allocations, so memory is the process's peak RSS growth measured in
a child process per case).

    python bench/scl_bench.py [--ieds N] [--runs N] [FILE ...]

Files given are measured the same way, one row each (real station files
carry far more than control blocks and data sets: DOI/DAI values, the
substation section, vendor sections, which the bare parse reads and the
model skips; the generated station is the dense worst case).
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

HEADER = """<?xml version="1.0" encoding="UTF-8"?>
<SCL xmlns="http://www.iec.ch/61850/2003/SCL" version="2007" revision="B" release="4"><Header id="bench"/>
"""

TEMPLATES = """<DataTypeTemplates>
<LNodeType id="LLN0_T" lnClass="LLN0"><DO name="Beh" type="ENS_T"/></LNodeType>
<LNodeType id="GGIO_T" lnClass="GGIO"><DO name="Ind1" type="SPS_T"/><DO name="Ind2" type="SPS_T"/>
<DO name="Ind3" type="SPS_T"/><DO name="Ind4" type="SPS_T"/><DO name="Ind5" type="SPS_T"/></LNodeType>
<LNodeType id="TCTR_T" lnClass="TCTR"><DO name="Amp" type="SAV_T"/></LNodeType>
<LNodeType id="TVTR_T" lnClass="TVTR"><DO name="Vol" type="SAV_T"/></LNodeType>
<DOType id="ENS_T" cdc="ENS"><DA name="stVal" bType="Enum" type="Beh" fc="ST"/><DA name="q" bType="Quality" fc="ST"/></DOType>
<DOType id="SPS_T" cdc="SPS"><DA name="stVal" bType="BOOLEAN" fc="ST"/><DA name="q" bType="Quality" fc="ST"/>
<DA name="t" bType="Timestamp" fc="ST"/></DOType>
<DOType id="SAV_T" cdc="SAV"><DA name="instMag" bType="Struct" type="AV_T" fc="MX"/><DA name="q" bType="Quality" fc="MX"/></DOType>
<DAType id="AV_T"><BDA name="i" bType="INT32"/></DAType>
<EnumType id="Beh"><EnumVal ord="1">on</EnumVal><EnumVal ord="5">off</EnumVal></EnumType>
</DataTypeTemplates>
"""


def station(ieds: int) -> str:
    out = [HEADER, '<Communication><SubNetwork name="PB">']
    for n in range(ieds):
        out.append(f'<ConnectedAP iedName="IED{n}" apName="AP1">')
        for k in range(2):
            out.append(f'<GSE ldInst="LD0" cbName="gcb{k}"><Address><P type="MAC-Address">01-0C-CD-01-{n >> 8 & 255:02X}-'
                       f'{n & 255:02X}</P><P type="APPID">{(n * 4 + k) & 0x3FFF:04X}</P><P type="VLAN-ID">00A</P>'
                       f'<P type="VLAN-PRIORITY">4</P></Address><MinTime unit="s" multiplier="m">4</MinTime>'
                       f'<MaxTime unit="s" multiplier="m">1000</MaxTime></GSE>')
            out.append(f'<SMV ldInst="LD0" cbName="msv{k}"><Address><P type="MAC-Address">01-0C-CD-04-{n >> 8 & 255:02X}-'
                       f'{n & 255:02X}</P><P type="APPID">{0x4000 + ((n * 4 + k) & 0x3FFF):04X}</P>'
                       f'<P type="VLAN-ID">005</P></Address></SMV>')
        out.append("</ConnectedAP>")
    out.append("</SubNetwork></Communication>")
    for n in range(ieds):
        out.append(f'<IED name="IED{n}"><AccessPoint name="AP1"><Server><LDevice inst="LD0">'
                   f'<LN0 lnClass="LLN0" inst="" lnType="LLN0_T">')
        for k in range(2):
            out.append(f'<DataSet name="gds{k}">' + "".join(
                f'<FCDA ldInst="LD0" lnClass="GGIO" lnInst="{k + 1}" doName="Ind{i}" daName="{da}" fc="ST"/>'
                for i in range(1, 6) for da in ("stVal", "q")) + "</DataSet>")
            out.append(f'<DataSet name="sds{k}">' + "".join(
                f'<FCDA ldInst="LD0" prefix="{k}" lnClass="{ln}" lnInst="{i}" doName="{do}" daName="{da}" fc="MX"/>'
                for ln, do in (("TCTR", "Amp"), ("TVTR", "Vol")) for i in range(1, 5) for da in ("instMag.i", "q"))
                + "</DataSet>")
            out.append(f'<GSEControl name="gcb{k}" appID="IED{n}_G{k}" datSet="gds{k}" confRev="1"/>')
            out.append(f'<SampledValueControl name="msv{k}" smvID="IED{n}MU{k}" datSet="sds{k}" confRev="1" '
                       f'smpRate="80" nofASDU="1" smpMod="SmpPerPeriod"/>')
        out.append("</LN0>")
        for k in range(2):
            out.append(f'<LN lnClass="GGIO" inst="{k + 1}" lnType="GGIO_T"/>')
            out += [f'<LN prefix="{k}" lnClass="{ln}" inst="{i}" lnType="{ln}_T"/>' for ln in ("TCTR", "TVTR")
                    for i in range(1, 5)]
        out.append("</LDevice></Server></AccessPoint></IED>")
    out.append(TEMPLATES)
    out.append("</SCL>\n")
    return "".join(out)


def child(case: str, path: str, runs: int) -> None:
    """In a child process: the best time of ``case`` and the peak RSS it added, printed as two numbers."""
    data = open(path, "rb").read()
    from lxml import etree

    from valdrin import scl

    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    best = float("inf")
    for _ in range(runs):
        t = time.perf_counter()
        result = etree.fromstring(data, etree.XMLParser(resolve_entities=False, no_network=True)) if case == "bare" \
            else scl.parse(data, path)
        best = min(best, time.perf_counter() - t)
        del result
    print(best, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ieds", type=int, default=400)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("files", nargs="*", metavar="FILE", help="SCL files to measure as well")
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], args.runs)
        return
    generated(args)
    for path in args.files:
        figures = {case: measure(case, path, args.runs) for case in ("bare", "load")}
        (bare_s, _), (load_s, _) = figures["bare"], figures["load"]
        print(f"{os.path.basename(path)[:48]:48} {os.path.getsize(path) / 1e3:7.0f} kB  bare {bare_s * 1000:7.1f} ms  "
              f"load {load_s * 1000:7.1f} ms  ratio {load_s / bare_s:.2f}x")


def measure(case: str, path: str, runs: int) -> tuple[float, int]:
    """(best seconds, peak RSS growth in KiB) of ``case`` on ``path``, in a child process."""
    out = subprocess.run([sys.executable, __file__, "--runs", str(runs), "--child", case, path],
                         capture_output=True, text=True, check=True).stdout.split()
    return float(out[0]), int(out[1])


def generated(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "station.scd")
        with open(path, "w") as f:
            f.write(station(args.ieds))
        size = os.path.getsize(path)
        figures = {case: measure(case, path, args.runs) for case in ("bare", "load")}
        from valdrin import scl
        model = scl.load(path)
    blocks = len(model.control_blocks)
    members = sum(len(cb.members) for cb in model.control_blocks)
    (bare_s, bare_kb), (load_s, load_kb) = figures["bare"], figures["load"]
    print(f"station: {args.ieds} IEDs, {blocks} control blocks, {members} data set members, {size / 1e6:.1f} MB, "
          f"{len(model.findings)} findings")
    print(f"lxml bare parse: {bare_s * 1000:8.1f} ms   peak RSS +{bare_kb / 1024:7.1f} MiB")
    print(f"valdrin.scl:     {load_s * 1000:8.1f} ms   peak RSS +{load_kb / 1024:7.1f} MiB")
    print(f"ratio: time {load_s / bare_s:.2f}x, memory {load_kb / max(bare_kb, 1):.2f}x (target: at most 2x)")


if __name__ == "__main__":
    main()
