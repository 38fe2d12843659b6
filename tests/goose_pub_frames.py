"""What the GOOSE publisher tests share: a template block, a receiver on the
peer of the veth that keeps every GOOSE frame with its kernel timestamp, and
the schedule computed independently of the publisher."""

import socket
import struct
import threading

from valdrin import goose
from valdrin.data import BoolData, IntData

DST = bytes.fromhex("010ccd010001")
SO_TIMESTAMPNS = 35


def block(min_ms=4.0, max_ms=64.0, st_num=1, **kwargs):
    pdu = goose.GoosePDU("IED1LD0/LLN0$GO$gcb1", "IED1LD0/LLN0$DS1", "gcb1", st_num=st_num, conf_rev=3,
                         time_quality=0x0A, all_data=[BoolData(False), IntData(7)])
    return goose.GooseBlock(pdu, DST, 0x0001, min_time_ms=min_ms, max_time_ms=max_ms, **kwargs)


def schedule(min_ms, max_ms, count, factor=2):
    """(offset_ms, tal_ms) of frames 0..count-1 after a change: gaps T1, 2 T1, 4 T1 ... capped at T0."""
    out, offset, gap = [], 0.0, float(min_ms)
    for _ in range(count):
        g = min(gap, float(max_ms))
        out.append((offset, round(factor * g)))
        offset += g
        gap *= 2
    return out


class Receiver(threading.Thread):
    """Every GOOSE frame arriving on `iface`, decoded, with its kernel timestamp (ns)."""

    def __init__(self, iface):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x88B8))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind((iface, 0))
        self.sock.settimeout(0.1)
        self.frames, self.running = [], True
        self.start()

    def run(self):
        while self.running:
            try:
                data, ancillary, _, address = self.sock.recvmsg(2048, 64)
            except socket.timeout:
                continue
            if address[2] == socket.PACKET_OUTGOING:
                continue
            stamp = None
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    sec, nsec = struct.unpack("qq", payload[:16])
                    stamp = sec * 1_000_000_000 + nsec
            self.frames.append((stamp, goose.decode_frame(data, strict=True)))

    def stop(self):
        self.running = False
        self.join()
        return self.frames
