"""A memcached client speaking the text protocol, run against a server at HOST.

  memcached_client.py HOST PORT THREADS

THREADS connections at once over TCP store, read back, count up and delete items of
sizes up to 512 KiB; then one UDP socket sets and gets small items, each request in a
datagram with memcached's 8-byte frame header. Prints one line per transport and ends
with status 1 on the first wrong answer.
"""
import socket
import struct
import sys
import threading
import time

SIZES = (1, 100, 1400, 10000, 100000, 524288)
UDP_ITEMS = 50


def value(tag, size):
    return bytes(ord("a") + (tag * 13 + k) % 26 for k in range(size))


class Conn:
    def __init__(self, host, port):
        for _ in range(100):  # until the server listens
            try:
                self.sock = socket.create_connection((host, port), timeout=30)
                break
            except OSError:
                time.sleep(0.1)
        else:
            raise SystemExit("memcached client: the server does not listen")
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            more = self.sock.recv(1 << 16)
            if not more:
                raise SystemExit("memcached client: the server closed the connection")
            self.buf += more
        text, self.buf = self.buf.split(b"\r\n", 1)
        return text

    def exactly(self, n):
        while len(self.buf) < n:
            more = self.sock.recv(1 << 16)
            if not more:
                raise SystemExit("memcached client: the server closed the connection")
            self.buf += more
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def ask(self, request, payload=b""):
        self.sock.sendall(request + b"\r\n" + (payload + b"\r\n" if payload else b""))
        return self.line()

    def get(self, keys):
        """The values of those of keys that the server holds, by key."""
        header = self.ask(b"get " + b" ".join(keys))
        found = {}
        while header != b"END":
            _, key, _, size = header.split()
            found[key] = self.exactly(int(size) + 2)[:-2]
            header = self.line()
        return found


def expect(what, got, want):
    if got != want:
        raise SystemExit(f"memcached client: {what}: {got[:60]!r} instead of {want[:60]!r}")


def tcp_session(host, port, tag, failures):
    try:
        c = Conn(host, port)
        keys = [b"t%d_%d" % (tag, size) for size in SIZES]
        for key, size in zip(keys, SIZES):
            expect("set", c.ask(b"set %s 0 0 %d" % (key, size), value(tag, size)), b"STORED")
        expect("get", c.get(keys), {k: value(tag, s) for k, s in zip(keys, SIZES)})
        counter = b"n%d" % tag
        expect("set counter", c.ask(b"set %s 0 0 1" % counter, b"7"), b"STORED")
        for step in range(1, 21):
            expect("incr", c.ask(b"incr %s %d" % (counter, step)), b"%d" % (7 + step * (step + 1) // 2))
        for key in keys:
            expect("delete", c.ask(b"delete " + key), b"DELETED")
        expect("get after delete", c.get(keys), {})
        c.sock.close()
    except SystemExit as e:
        failures.append(str(e))


def udp_ask(sock, request_id, request):
    """One request in one datagram; the reply's frames in order, headers stripped."""
    frame = struct.pack(">HHHH", request_id, 0, 1, 0) + request
    for _ in range(20):
        sock.send(frame)
        parts, total = {}, None
        try:
            while total is None or len(parts) < total:
                data = sock.recv(65536)
                rid, seq, total, _ = struct.unpack(">HHHH", data[:8])
                if rid == request_id:
                    parts[seq] = data[8:]
            return b"".join(parts[i] for i in range(total))
        except socket.timeout:
            continue
    raise SystemExit(f"memcached client: no UDP answer to request {request_id}")


def udp_session(host, port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(0.5)
    sock.connect((host, port))
    for i in range(UDP_ITEMS):
        data = value(i, 1 + i * 20)
        expect("udp set", udp_ask(sock, 2 * i, b"set u%d 0 0 %d\r\n%s\r\n" % (i, len(data), data)),
               b"STORED\r\n")
        expect("udp get", udp_ask(sock, 2 * i + 1, b"get u%d\r\n" % i),
               b"VALUE u%d 0 %d\r\n%s\r\nEND\r\n" % (i, len(data), data))
    sock.close()


def main():
    host, port, threads = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    failures = []
    workers = [threading.Thread(target=tcp_session, args=(host, port, t, failures))
               for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    if failures:
        raise SystemExit(failures[0])
    print(f"memcached tcp: {threads} connections stored, read, counted and deleted "
          f"{len(SIZES)} items each")
    udp_session(host, port)
    print(f"memcached udp: {UDP_ITEMS} items set and read back")


if __name__ == "__main__":
    main()
