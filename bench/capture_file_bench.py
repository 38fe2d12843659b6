#!/usr/bin/env python3
"""Capture files at the speed of the disk: valdrin analyze beside tshark and capinfos.

The benchmark writes its own captures (under --dir, default build/capture_bench,
deleted at the end unless --keep):

  SV        16 streams x 4800 frames/s (valdrin publish --pcap), 3 s
  GOOSE     64 control blocks, each frame a new sqNum (the package's encoder)
  mixed     the two interleaved in time order
each without and with an 802.1Q tag, as classic pcap and as pcapng (written
here: one Interface Description with nanosecond if_tsresol, Enhanced Packet
Blocks). On every file, in one run:

  valdrin analyze F --json       the native reader feeding the core analysis
  tshark -r F -q -z io,stat,0    tshark's lightest pass (target: analyze >= 10x faster)
  capinfos -c F                  the cost of reading the file at all (target: analyze within 2x)

Times are wall clock and CPU (user + system of the child process); on a
shared machine the CPU time is the steadier figure, and the ratios are
given for both. Then, on the SV file: valdrin decode --json and valdrin
export beside analyze; and on a ~250 MB capture (valdrin publish --pcap
--streams 64 --rate 4800 --duration 6): analyze, capinfos and tshark, and
the peak resident memory of analyze.

Usage: python3 bench/capture_file_bench.py [--dir DIR] [--seconds S] [--no-big] [--keep]
(install the package first; tshark and capinfos are Wireshark's, skipped when missing)
"""

from __future__ import annotations

import argparse
import os
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

from valdrin.data import BoolData, IntData
from valdrin.goose import GoosePDU
from valdrin.pcap import read_pcap, write_header, write_record

VALDRIN = [sys.executable, "-m", "valdrin"]
GOOSE_DST = bytes.fromhex("010ccd010001")
SRC = bytes.fromhex("020000000001")
START = 1_700_000_000


def run(command: list[str]) -> tuple[float, float, int]:
    """(wall s, CPU s, peak RSS KiB, which counts the benchmark's own when forked) of one run of ``command``."""
    started = time.monotonic()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.monotonic() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    error = child.stderr.read().decode(errors="replace") if child.stderr else ""
    if child.stderr:
        child.stderr.close()
    if child.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({child.returncode}): {error.strip()}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


# Runs its arguments as a command and prints the command's peak RSS in KiB. The benchmark holds
# hundreds of MB of frames, and a child forked from it starts with that RSS as its peak, which
# exec keeps: the command measured is forked from this small process instead.
PEAK_RSS = """
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(child.pid, 0)
print(usage.ru_maxrss if os.waitstatus_to_exitcode(status) == 0 else -1)
"""


def peak_rss(command: list[str]) -> int:
    """The peak resident memory of ``command`` in KiB."""
    out = subprocess.run([sys.executable, "-c", PEAK_RSS, *command], capture_output=True, text=True, check=True)
    return int(out.stdout)


def best(command: list[str], repeat: int) -> tuple[float, float, int]:
    """The fastest of ``repeat`` runs by CPU time (wall time of that run), and the largest peak memory."""
    runs = [run(command) for _ in range(repeat)]
    wall, cpu, _ = min(runs, key=lambda r: r[1])
    return wall, cpu, max(r[2] for r in runs)


def sv_capture(path: Path, seconds: int, vlan: bool) -> None:
    command = VALDRIN + ["publish", "--pcap", str(path), "--streams", "16", "--rate", "4800",
                         "--duration", str(seconds), "--start", str(START)]
    subprocess.run(command + (["--vlan-id", "5"] if vlan else []), check=True, stdout=subprocess.DEVNULL)


def goose_records(count: int, vlan: bool) -> list[tuple[int, bytes]]:
    """``count`` GOOSE frames of 64 blocks, each frame its block's next sqNum, 100 µs apart."""
    records = []
    for k in range(count):
        block = k % 64
        pdu = GoosePDU(f"IED{block}LD0/LLN0$GO$gcb1", f"IED{block}LD0/LLN0$DS1", f"IED{block}",
                       time_allowed_to_live=2000, st_num=1, sq_num=k // 64, conf_rev=1, timestamp=START,
                       all_data=[BoolData(True), IntData(block)])
        frame = pdu.encode_frame(GOOSE_DST[:5] + bytes([block]), SRC, 0x0001 + block,
                                 vlan_id=5 if vlan else None, vlan_priority=4 if vlan else None)
        records.append((START * 10**9 + k * 100_000, frame))
    return records


def write_classic(path: Path, records) -> None:
    with open(path, "wb") as out:
        write_header(out)
        for time_ns, frame in records:
            write_record(out, time_ns, frame)


def write_pcapng(path: Path, records) -> None:
    def block(kind: int, body: bytes) -> bytes:
        body += b"\x00" * (-len(body) % 4)
        return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)

    with open(path, "wb") as out:
        out.write(block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)))
        options = struct.pack("<HHB3x", 9, 1, 9) + struct.pack("<HH", 0, 0)  # if_tsresol: nanoseconds
        out.write(block(1, struct.pack("<HHI", 1, 0, 0) + options))
        for time_ns, frame in records:
            out.write(block(6, struct.pack("<5I", 0, time_ns >> 32, time_ns & 0xFFFFFFFF, len(frame), len(frame))
                            + frame))


def merged(a, b):
    return sorted(a + b, key=lambda record: record[0])


def line(cells: list[str], widths: list[int]) -> str:
    return "  ".join(cell.rjust(width) if i else cell.ljust(width) for i, (cell, width) in enumerate(zip(cells, widths)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default="build/capture_bench", help="where the captures are written")
    parser.add_argument("--seconds", type=int, default=3, help="seconds of SV traffic per file (default 3)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per command; the best counts (default 3)")
    parser.add_argument("--no-big", action="store_true", help="leave out the ~250 MB capture")
    parser.add_argument("--keep", action="store_true", help="keep the captures")
    args = parser.parse_args()
    tshark, capinfos = shutil.which("tshark"), shutil.which("capinfos")
    work = Path(args.dir)
    work.mkdir(parents=True, exist_ok=True)
    try:
        return bench(work, args, tshark, capinfos)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def bench(work: Path, args, tshark: str | None, capinfos: str | None) -> int:
    print(f"writing captures under {work} ...", flush=True)
    files: list[tuple[str, Path, int]] = []
    goose_count = 64 * 1000 * args.seconds
    for vlan in (False, True):
        tag = "VLAN" if vlan else "untagged"
        sv_path = work / f"sv_{tag}.pcap"
        sv_capture(sv_path, args.seconds, vlan)
        sv = list(read_pcap(sv_path))
        sv_records = [(t, frame) for t, _, frame in sv]
        goose = goose_records(goose_count, vlan)
        for kind, records in (("SV", sv_records), ("GOOSE", goose), ("mixed", merged(sv_records, goose))):
            for form in ("pcap", "pcapng"):
                path = work / f"{kind}_{tag}.{form}"
                if not (kind == "SV" and form == "pcap"):
                    (write_classic if form == "pcap" else write_pcapng)(path, records)
                else:
                    path = sv_path
                files.append((f"{kind} {tag} {form}", path, len(records)))

    repeat = args.repeat
    empty = work / "empty.pcap"
    write_classic(empty, [])
    _, startup, _ = best(VALDRIN + ["analyze", str(empty), "--json"], repeat)
    widths = [22, 9, 5, 11, 8, 11, 8, 11, 8, 7]
    print()
    print("analyze vs tshark -q -z io,stat,0 vs capinfos -c; times in s (wall/CPU); Mframe/s by CPU time; "
          f"analyze's start-up alone (an empty capture) costs {startup:.2f} s CPU")
    print(line(["file", "frames", "MB", "analyze", "Mframe/s", "tshark", "x faster", "capinfos", "x CPU",
                "x wall"], widths))
    for name, path, frames in files:
        a_wall, a_cpu, _ = best(VALDRIN + ["analyze", str(path), "--json"], repeat)
        cells = [name, f"{frames:,}", f"{path.stat().st_size / 1e6:.0f}", f"{a_wall:.2f}/{a_cpu:.2f}",
                 f"{frames / a_cpu / 1e6:.2f}"]
        if tshark:
            t_wall, t_cpu, _ = best([tshark, "-r", str(path), "-q", "-z", "io,stat,0"], 1)
            cells += [f"{t_wall:.2f}/{t_cpu:.2f}", f"{t_cpu / a_cpu:.1f}"]
        else:
            cells += ["-", "-"]
        if capinfos:
            c_wall, c_cpu, _ = best([capinfos, "-c", str(path)], repeat)
            cells += [f"{c_wall:.2f}/{c_cpu:.2f}", f"{a_cpu / c_cpu:.2f}", f"{a_wall / c_wall:.2f}"]
        else:
            cells += ["-", "-", "-"]
        print(line(cells, widths), flush=True)

    sv_path = work / "sv_untagged.pcap"
    frames = files[0][2]
    print()
    print(f"on {sv_path.name} ({frames:,} frames of 16 SV streams): what each command costs beside analyze")
    a_wall, a_cpu, _ = best(VALDRIN + ["analyze", str(sv_path), "--json"], repeat)
    d_wall, d_cpu, _ = best(VALDRIN + ["decode", str(sv_path), "--json"], 1)
    e_wall, e_cpu, _ = best(VALDRIN + ["export", str(sv_path), "--sv-id", "MU01", "--comtrade",
                                       str(work / "export")], repeat)
    for name, wall, cpu in (("analyze --json", a_wall, a_cpu), ("decode --json", d_wall, d_cpu),
                            ("export --comtrade (one stream)", e_wall, e_cpu)):
        print(f"  {name:32} {wall:6.2f} s wall {cpu:6.2f} s CPU  {frames / cpu / 1e6:6.2f} Mframe/s  "
              f"{cpu / a_cpu:5.1f}x analyze")

    if not args.no_big:
        big = work / "big.pcap"
        subprocess.run(VALDRIN + ["publish", "--pcap", str(big), "--streams", "64", "--rate", "4800",
                                  "--duration", "6"], check=True, stdout=subprocess.DEVNULL)
        size = big.stat().st_size
        print()
        print(f"big capture: {size / 1e6:.0f} MB, 1,843,200 frames of 64 SV streams")
        a_wall, a_cpu, _ = best(VALDRIN + ["analyze", str(big), "--json"], repeat)
        a_rss = peak_rss(VALDRIN + ["analyze", str(big), "--json"])
        print(f"  valdrin analyze --json      {a_wall:6.2f} s wall {a_cpu:6.2f} s CPU  "
              f"{1_843_200 / a_cpu / 1e6:.2f} Mframe/s, peak RSS {a_rss / 1024:.0f} MiB")
        if capinfos:
            c_wall, c_cpu, _ = best([capinfos, "-c", str(big)], repeat)
            print(f"  capinfos -c                 {c_wall:6.2f} s wall {c_cpu:6.2f} s CPU  "
                  f"(analyze {a_cpu / c_cpu:.2f}x its CPU, {a_wall / c_wall:.2f}x its wall; target <= 2x)")
        if tshark:
            t_wall, t_cpu, _ = best([tshark, "-r", str(big), "-q", "-z", "io,stat,0"], 1)
            print(f"  tshark -q -z io,stat,0      {t_wall:6.2f} s wall {t_cpu:6.2f} s CPU  "
                  f"(analyze {t_cpu / a_cpu:.1f}x faster by CPU, {t_wall / a_wall:.1f}x by wall; target >= 10x)")
        big.unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
