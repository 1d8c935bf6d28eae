"""The far end of the card benchmarks, run in the peer namespace at 198.18.0.2.

A TCP sink on port 9100 reads and drops everything; a TCP source on 9101 and, with --udp,
a UDP source on 9102 answer an 8-byte request:
  --ask total       a little-endian u64 byte count, answered with that many bytes;
  --ask count_size  u32 count and u32 size, little-endian, answered with count messages
                    of size bytes, one segment (TCP_NODELAY) or datagram each.
Each TCP connection is served by a thread of its own.
"""
import argparse
import socket
import struct
import threading

ADDR = "198.18.0.2"
CHUNK = memoryview(bytes(1 << 20))


def recv_exactly(conn, n):
    data = b""
    while len(data) < n:
        more = conn.recv(n - len(data))
        if not more:
            return None
        data += more
    return data


def sink(conn):
    buf = bytearray(1 << 20)
    while conn.recv_into(buf):
        pass
    conn.close()


def send_total(conn, ask):
    left = int.from_bytes(ask, "little")
    while left:
        n = min(left, len(CHUNK))
        conn.sendall(CHUNK[:n])
        left -= n


def send_messages(conn, ask):
    count, size = struct.unpack("<II", ask)
    for _ in range(count):
        conn.sendall(CHUNK[:size])


def source(answer, conn):
    if answer is send_messages:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    while (ask := recv_exactly(conn, 8)) is not None:
        answer(conn, ask)
    conn.close()


def serve(port, handler):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((ADDR, port))
    s.listen(8)
    while True:
        conn, _ = s.accept()
        threading.Thread(target=handler, args=(conn,), daemon=True).start()


def udp_source():
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind((ADDR, 9102))
    while True:
        ask, src = u.recvfrom(64)
        if len(ask) == 8:
            count, size = struct.unpack("<II", ask)
            for _ in range(count):
                u.sendto(CHUNK[:size], src)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--ask", choices=("total", "count_size"), required=True)
    p.add_argument("--udp", action="store_true")
    args = p.parse_args()
    answer = send_total if args.ask == "total" else send_messages
    threading.Thread(target=serve, args=(9100, sink), daemon=True).start()
    if args.udp:
        threading.Thread(target=udp_source, daemon=True).start()
    serve(9101, lambda conn: source(answer, conn))


main()
