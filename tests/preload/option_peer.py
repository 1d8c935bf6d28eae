#!/usr/bin/python3
"""The Linux far end of the socket option tests, run in the peer namespace.

sink ADDR PORT: accepts TCP connections and never reads nor writes, so a sender meets a
  full window and a reader waits for data that never comes.
ttl ADDR PORT GROUP LOG: receives datagrams on PORT, sent to ADDR or to the multicast
  GROUP (joined on ADDR's interface), and appends "PAYLOAD TTL" for each to LOG.
mcast ADDR PORT GROUP: sends "group datagram" to GROUP:PORT from ADDR's interface, every
  50 ms until killed.
Writes ADDR PORT to the file named by READY once it is ready.
"""
import os
import socket
import struct
import sys
import time

IP_RECVTTL = 12  # linux/in.h; the socket module does not name it


def ready(addr, port):
    with open(os.environ["READY"] + ".tmp", "w") as f:
        f.write(f"{addr} {port}\n")
    os.rename(os.environ["READY"] + ".tmp", os.environ["READY"])


def sink(addr, port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind((addr, port))
    s.listen(16)
    ready(addr, port)
    held = []
    while True:
        conn, _ = s.accept()
        held.append(conn)


def ttl(addr, port, group, log):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(group) + socket.inet_aton(addr))
    s.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    ready(addr, port)
    while True:
        data, anc, _, _ = s.recvmsg(2048, socket.CMSG_SPACE(4))
        hops = [struct.unpack("i", d[:4])[0] for lvl, typ, d in anc if typ == socket.IP_TTL]
        with open(log, "a") as f:
            f.write(f"{data.decode(errors='replace')} {hops[0] if hops else '?'}\n")


def mcast(addr, port, group):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(addr))
    ready(addr, port)
    while True:
        s.sendto(b"group datagram", (group, port))
        time.sleep(0.05)


if __name__ == "__main__":
    kind, addr, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    {"sink": lambda: sink(addr, port),
     "ttl": lambda: ttl(addr, port, sys.argv[4], sys.argv[5]),
     "mcast": lambda: mcast(addr, port, sys.argv[4])}[kind]()
