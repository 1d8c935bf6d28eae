#!/usr/bin/env python3
"""The Linux side of the TCP API card tests, run in the launcher's peer namespace.

  serve PORT [--recv N] [--send M] [--peer-fin] [--ready FILE]
      Accepts one connection on PORT; receives N bytes, then sends M bytes; with
      --peer-fin shuts its sending side down first, then reads until the other side's
      FIN (or a reset) and closes.
  connect HOST PORT [--recv N] [--send M] [--peer-fin]
      The same over a connection it opens to HOST:PORT.
  rawsyn SRC DST SPORT DPORT
      Sends one bare SYN from SRC:SPORT without a socket behind it: the kernel resets
      the SYN-ACK, so the handshake never completes.

Both directions carry the pattern (i * 7 + i // 256) & 255 at stream offset i. The
report has "key value" lines: received, bad (first wrong offset, -1 none), eof, reset.
"""
import argparse
import socket
import struct
import sys

from udp_peer import checksum  # the ones-complement sum, before inversion


def pattern(start, n):
    return bytes(((i * 7 + i // 256) & 255) for i in range(start, start + n))


def exchange(conn, args):
    got, bad = 0, -1
    while got < args.recv:
        data = conn.recv(min(65536, args.recv - got))
        if not data:
            break
        if bad < 0 and data != pattern(got, len(data)):
            exp = pattern(got, len(data))
            bad = got + next(i for i in range(len(data)) if data[i] != exp[i])
        got += len(data)
    if args.send:
        conn.sendall(pattern(0, args.send))
    if args.peer_fin:
        conn.shutdown(socket.SHUT_WR)
    eof, reset = 0, 0
    try:
        while True:
            data = conn.recv(65536)
            if not data:
                eof = 1
                break
            got += len(data)
    except ConnectionResetError:
        reset = 1
    conn.close()
    print("received", got)
    print("bad", bad)
    print("eof", eof)
    print("reset", reset)


def raw_syn(src, dst, sport, dport):
    hdr = struct.pack("!HHIIBBHHH", sport, dport, 12345, 0, 5 << 4, 0x02, 65535, 0, 0)
    pseudo = socket.inet_aton(src) + socket.inet_aton(dst) + struct.pack("!BBH", 0, 6, len(hdr))
    hdr = hdr[:16] + struct.pack("!H", ~checksum(pseudo + hdr) & 0xFFFF) + hdr[18:]
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_TCP)
    s.sendto(hdr, (dst, 0))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["serve", "connect", "rawsyn"])
    ap.add_argument("rest", nargs="+")
    ap.add_argument("--recv", type=int, default=0)
    ap.add_argument("--send", type=int, default=0)
    ap.add_argument("--peer-fin", action="store_true")
    ap.add_argument("--ready")
    args = ap.parse_args()
    if args.mode == "rawsyn":
        raw_syn(args.rest[0], args.rest[1], int(args.rest[2]), int(args.rest[3]))
        return 0
    if args.mode == "serve":
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("0.0.0.0", int(args.rest[0])))
        s.listen(1)
        s.settimeout(20)
        if args.ready:
            open(args.ready, "w").close()
        conn, _ = s.accept()
    else:
        conn = socket.create_connection((args.rest[0], int(args.rest[1])), timeout=20)
    conn.settimeout(20)
    exchange(conn, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
