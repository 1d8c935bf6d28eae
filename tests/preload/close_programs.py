#!/usr/bin/python3
"""Ordinary blocking-socket programs that end their connections: a server that writes a
block and closes, a client that reads to end of stream, and the two sides of a request
ended by a half-close whose reply still arrives. The tests run one side under a preload
library and the other in the peer namespace.

  close_programs.py send-and-close ADDR PORT MIB   serve one client MIB MiB, then close
  close_programs.py read-to-eof ADDR PORT          read until end of stream, print hash
  close_programs.py reply-after-eof ADDR PORT      serve one request ended by the client's
                                                   half-close, then reply and close
  close_programs.py ask-and-half-close ADDR PORT   send a request, shut down writing,
                                                   read the reply to end of stream
"""
import hashlib
import random
import socket
import sys


def block(mib):
    return random.Random(7).randbytes(mib << 20)


def serve_one(addr, port):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((addr, port))
    s.listen(1)
    print("listening", flush=True)
    conn, _ = s.accept()
    return s, conn


def read_to_eof(conn):
    digest, total = hashlib.sha256(), 0
    while True:
        chunk = conn.recv(1 << 16)
        if not chunk:
            return digest.hexdigest(), total
        digest.update(chunk)
        total += len(chunk)


def main():
    mode, addr, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "send-and-close":
        data = block(int(sys.argv[4]))
        s, conn = serve_one(addr, port)
        conn.sendall(data)
        conn.close()
        s.close()
        print("sent", len(data), hashlib.sha256(data).hexdigest(), flush=True)
    elif mode == "read-to-eof":
        conn = socket.create_connection((addr, port), timeout=600)
        try:
            digest, total = read_to_eof(conn)
            print("read", total, digest, "eof", flush=True)
        except ConnectionResetError:
            print("connection reset", flush=True)
    elif mode == "reply-after-eof":
        s, conn = serve_one(addr, port)
        digest, total = read_to_eof(conn)
        conn.sendall(("request of %d bytes %s" % (total, digest)).encode())
        conn.close()
        s.close()
    elif mode == "ask-and-half-close":
        conn = socket.create_connection((addr, port), timeout=60)
        request = block(1)
        conn.sendall(request)
        conn.shutdown(socket.SHUT_WR)
        reply = b""
        while True:
            chunk = conn.recv(4096)
            if not chunk:
                break
            reply += chunk
        conn.close()
        print("asked", hashlib.sha256(request).hexdigest(), flush=True)
        print("reply:", reply.decode(), flush=True)


main()
