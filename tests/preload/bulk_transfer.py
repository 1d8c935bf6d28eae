#!/usr/bin/python3
"""64 MiB each way between two ends, checked by hash; run on either side of the card.

  tcp-server ADDR PORT | tcp-client ADDR PORT | udp-server ADDR PORT | udp-client ADDR PORT

TCP: each end sends its own 64 MiB (from a thread, then ends its side with SHUT_WR) while
it reads the other's to the end of the stream. UDP: the client sends its 64 MiB as
datagrams of 1400 bytes, a window of 8 at a time, and the server echoes each one back.
Every end prints whether what it received is exactly what the other sent. Sockets are
blocking and nothing else is used, as an ordinary program's. The server writes READY
once it listens.
"""
import hashlib
import os
import random
import socket
import sys
import threading

SIZE = 64 << 20
DATAGRAM = 1400
WINDOW = 8


def data(seed):
    return random.Random(seed).randbytes(SIZE)


def digest(b):
    return hashlib.sha256(b).hexdigest()


def ready():
    if "READY" in os.environ:
        with open(os.environ["READY"], "w") as f:
            f.write("ready\n")


def exchange(conn, mine, theirs):
    def send():
        conn.sendall(mine)
        conn.shutdown(socket.SHUT_WR)

    sender = threading.Thread(target=send)
    sender.start()
    h, n = hashlib.sha256(), 0
    buf = bytearray(1 << 20)
    while True:
        got = conn.recv_into(buf)
        if got == 0:
            break
        h.update(memoryview(buf)[:got])
        n += got
    sender.join()
    conn.close()
    print("received %d bytes, %s" % (n, "same" if h.hexdigest() == digest(theirs) else "differs"))


def tcp_server(addr, port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, port))
    s.listen(1)
    ready()
    conn, _ = s.accept()
    exchange(conn, data(2), data(1))


def tcp_client(addr, port):
    exchange(socket.create_connection((addr, port)), data(1), data(2))


def udp_server(addr, port):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind((addr, port))
    ready()
    h, n = hashlib.sha256(), 0
    while True:
        d, src = u.recvfrom(2048)
        if d == b"END":
            break
        h.update(d)
        n += len(d)
        u.sendto(d, src)
    print("received %d bytes, %s" % (n, "same" if h.hexdigest() == digest(data(1)) else "differs"))


def udp_client(addr, port):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.connect((addr, port))
    mine = memoryview(data(1))
    h, n = hashlib.sha256(), 0
    for start in range(0, SIZE, DATAGRAM * WINDOW):
        end = min(start + DATAGRAM * WINDOW, SIZE)
        for at in range(start, end, DATAGRAM):
            u.send(mine[at:min(at + DATAGRAM, end)])
        for _ in range(start, end, DATAGRAM):
            d = u.recv(2048)
            h.update(d)
            n += len(d)
    u.send(b"END")
    print("received %d bytes, %s" % (n, "same" if h.hexdigest() == digest(mine) else "differs"))


if __name__ == "__main__":
    role, addr, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    {"tcp-server": tcp_server, "tcp-client": tcp_client,
     "udp-server": udp_server, "udp-client": udp_client}[role](addr, port)
