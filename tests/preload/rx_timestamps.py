#!/usr/bin/python3
"""Receive time stamps as a Python program reads them: a UDP socket connected to
data_peer.py's UDP server, one datagram per case read with recvmsg, and what the control
messages held, printed one line per case. A stamp is "near" when it lies within 10 s of
the clock the program reads (the kernel and the card both stamp on CLOCK_REALTIME).
The hardware slot of SO_TIMESTAMPING goes on lines of its own that begin with
"hardware slot": a kernel socket on an interface without hardware stamps leaves it
empty.

usage: rx_timestamps.py ADDR PORT
"""
import socket
import struct
import sys
import time

# The socket module names only some of them.
SO_TIMESTAMP, SO_TIMESTAMPNS, SO_TIMESTAMPING = 29, 35, 37
SOF_RX_HARDWARE, SOF_RX_SOFTWARE, SOF_SOFTWARE, SOF_RAW_HARDWARE = 0x4, 0x8, 0x10, 0x40


def near(sec, frac, per_sec):
    return "near" if abs(sec + frac / per_sec - time.time()) < 10 else "far"


def one(s, ancbufsize):
    s.send(b"N\x01\x00\x20")
    return s.recvmsg(100, ancbufsize)


def describe(msgs, flags):
    parts = ["%d/%d/%d" % (level, kind, len(data)) for level, kind, data in msgs]
    ctrunc = " MSG_CTRUNC" if flags & socket.MSG_CTRUNC else ""
    return (" ".join(parts) or "none") + ctrunc


def main(addr, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.connect((addr, port))
    s.settimeout(5)

    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    data, msgs, flags, _ = one(s, socket.CMSG_SPACE(16))
    print("SO_TIMESTAMPNS", len(data), describe(msgs, flags),
          near(*struct.unpack("qq", msgs[0][2]), 1e9) if msgs else "-")
    _, msgs, flags, _ = one(s, socket.CMSG_LEN(4))
    print("SO_TIMESTAMPNS short buffer", describe(msgs, flags))
    _, msgs, flags, _ = one(s, 0)
    print("SO_TIMESTAMPNS no buffer", describe(msgs, flags))
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 0)
    _, msgs, flags, _ = one(s, 64)
    print("time stamps off", describe(msgs, flags))

    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)
    _, msgs, flags, _ = one(s, 64)
    print("SO_TIMESTAMP", describe(msgs, flags),
          near(*struct.unpack("qq", msgs[0][2]), 1e6) if msgs else "-")
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 0)

    every = SOF_RX_HARDWARE | SOF_RX_SOFTWARE | SOF_SOFTWARE | SOF_RAW_HARDWARE
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPING, every)
    # The kernel switches its software stamps on in the background: datagrams that
    # arrive at once may come unstamped.
    time.sleep(0.5)
    _, msgs, flags, _ = one(s, socket.CMSG_SPACE(48))
    print("SO_TIMESTAMPING", describe(msgs, flags))
    if msgs:
        t = struct.unpack("qqqqqq", msgs[0][2])
        print("software slot", near(t[0], t[1], 1e9), "second slot", t[2], t[3])
        print("hardware slot", near(t[4], t[5], 1e9) if t[4] else "empty")
    _, msgs, flags, _ = one(s, socket.CMSG_LEN(32))
    print("SO_TIMESTAMPING short buffer", describe(msgs, flags))
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPING, SOF_RX_HARDWARE | SOF_RAW_HARDWARE)
    _, msgs, flags, _ = one(s, socket.CMSG_SPACE(48))
    hw = struct.unpack("qqqqqq", msgs[0][2]) if msgs else None
    print("hardware slot only:", describe(msgs, flags),
          near(hw[4], hw[5], 1e9) if hw and hw[4] else "empty")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
