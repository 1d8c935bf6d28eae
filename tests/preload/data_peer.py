#!/usr/bin/python3
"""The Linux far end of the data-call tests, run in the peer namespace.

tcp ADDR PORT: one connection at a time; each request is one opcode byte and a 4-byte
big-endian count n:
  S  send n bytes of the pattern in one write (one segment up to the MSS)
  H  read n bytes, answer their CRC-32 as 8 hex digits
  h  the same after a second's pause, so that the sender meets a full window
  C  send n bytes of the pattern, then end our side of the stream (FIN)
  R  read to the end of the other side's stream, then reset the connection
  X  send n bytes of the pattern, then reset the connection
  E  read to the end of the other side's stream and note how it ended
  W  answer how the last E's stream ended: "fin     " or "reset   " (waits for it)
  K  connect back to the requester's address on port n and wait for its end
udp ADDR PORT: datagrams on PORT and PORT+1; the first byte of one on PORT asks:
  N  (count byte, 2-byte size) send count datagrams of the pattern of that size back
  L  answer the lengths of the datagrams received since the last L, as text
  anything else is only counted, as is every datagram on PORT+1
Writes ADDR PORT to the file named by READY once it listens.
"""
import os
import socket
import struct
import sys
import threading
import time
import zlib


def pattern(n, start=0):
    return bytes((start + i) * 7 % 251 for i in range(n))


def read_exact(conn, n):
    chunks = []
    while n > 0:
        got = conn.recv(min(n, 1 << 20))
        if not got:
            raise EOFError
        chunks.append(got)
        n -= len(got)
    return b"".join(chunks)


last_end = []
ended = threading.Condition()


def note_end(conn):
    how = b"fin     "
    try:
        while conn.recv(1 << 20):
            pass
    except ConnectionResetError:
        how = b"reset   "
    with ended:
        last_end.append(how)
        ended.notify_all()


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def serve_tcp(conn):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    while True:
        try:
            op, n = struct.unpack("!cI", read_exact(conn, 5))
        except EOFError:
            return
        if op in (b"S", b"C"):
            conn.sendall(pattern(n))
            if op == b"C":
                conn.shutdown(socket.SHUT_WR)
        elif op in (b"H", b"h"):
            if op == b"h":
                time.sleep(1)
            crc = 0
            while n > 0:
                got = conn.recv(min(n, 1 << 20))
                if not got:
                    return
                crc = zlib.crc32(got, crc)
                n -= len(got)
            conn.sendall(b"%08x" % crc)
        elif op == b"R":
            while conn.recv(1 << 20):
                pass
            reset(conn)
            return
        elif op == b"X":
            conn.sendall(pattern(n))
            reset(conn)
            return
        elif op == b"E":
            note_end(conn)
            return
        elif op == b"K":
            back = socket.create_connection((conn.getpeername()[0], n), timeout=10)
            while back.recv(1 << 20):
                pass
            back.close()
        elif op == b"W":
            with ended:
                ended.wait_for(lambda: last_end, timeout=20)
                conn.sendall(last_end.pop() if last_end else b"none    ")


def tcp(addr, port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, port))
    s.listen(8)
    ready()
    while True:
        conn, _ = s.accept()
        threading.Thread(target=serve_tcp, args=(conn,), daemon=True).start()


def udp(addr, port):
    socks = []
    for p in (port, port + 1):
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.bind((addr, p))
        socks.append(u)
    lengths = []
    ready()
    u = socks[0]
    while True:
        data, src = u.recvfrom(70000)
        if data[:1] == b"N":
            count_, size = struct.unpack("!BH", data[1:4])
            for i in range(count_):
                u.sendto(pattern(size, i), src)
        elif data[:1] == b"L":
            # Datagrams to the second port were sent before this one: they are queued.
            while True:
                try:
                    lengths.append(len(socks[1].recv(70000, socket.MSG_DONTWAIT)))
                except BlockingIOError:
                    break
            u.sendto((" ".join(map(str, lengths)) or "-").encode(), src)
            lengths = []
        else:
            lengths.append(len(data))


def ready():
    with open(os.environ["READY"], "w") as f:
        f.write("ready\n")


if __name__ == "__main__":
    {"tcp": tcp, "udp": udp}[sys.argv[1]](sys.argv[2], int(sys.argv[3]))
