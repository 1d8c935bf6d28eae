#!/usr/bin/python3
"""Programs of the descriptor tests: the Linux side in the peer namespace, and a forking
server on ours.

  descriptor_programs.py collect ADDR PORT      accept connections for ever; for each,
                                                when it ends, print its bytes (or their
                                                length and sha256 when long) and "eof" or
                                                "reset"
  descriptor_programs.py read-two ADDR PORT     make two connections, then read each
                                                to its end
  descriptor_programs.py ask ADDR PORT          send "hello", end our side, print the reply
  descriptor_programs.py forking-echo ADDR PORT socketserver.ForkingTCPServer echoing one
                                                connection in a child, then ending
  descriptor_programs.py epoll-ends ADDR PORT N an event loop (selectors) serving N
                                                connections, each read to its end and
                                                closed; prints how many opened and ended
  descriptor_programs.py open-use-close ADDR PORT N
                                                N clients, 20 at a time: each connects,
                                                sends 3000 bytes, reads the reply, closes
"""
import hashlib
import selectors
import socket
import socketserver
import sys
import threading


def read_to_end(conn):
    data = b""
    try:
        while True:
            chunk = conn.recv(1 << 16)
            if not chunk:
                return data, "eof"
            data += chunk
    except ConnectionResetError:
        return data, "reset"


def shown(data):
    if len(data) <= 64:
        return data.decode(errors="replace")
    return "%d bytes sha256 %s" % (len(data), hashlib.sha256(data).hexdigest())


# The connections end on their own threads; a print writes its line and its newline
# apart, so without the lock two lines ending together run into each other.
print_lock = threading.Lock()


def serve(conn):
    data, end = read_to_end(conn)
    with print_lock:
        print("got", shown(data), end, flush=True)
    conn.close()


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        try:
            data = self.request.recv(100)
            self.request.sendall(data)
            print("child echoed", data.decode(), flush=True)
        except OSError as e:
            print("child:", e.strerror, flush=True)


def epoll_ends(addr, port, n):
    sel = selectors.DefaultSelector()
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((addr, port))
    listener.listen(256)
    listener.setblocking(False)
    sel.register(listener, selectors.EVENT_READ)
    print("listening", flush=True)
    opened = ended = 0
    while ended < n:
        events = sel.select(10)
        if not events:
            break  # a connection whose end was never reported
        for key, _ in events:
            conn = key.fileobj
            if conn is listener:
                while True:
                    try:
                        c, _ = listener.accept()
                    except BlockingIOError:
                        break
                    c.setblocking(False)
                    sel.register(c, selectors.EVENT_READ)
                    opened += 1
                continue
            try:
                data = conn.recv(1 << 16)
            except BlockingIOError:
                continue
            except ConnectionResetError:
                data = b""
            if data:
                try:
                    conn.send(data[:16])
                except OSError:
                    pass  # the client has closed after its reply: the next recv ends it
                continue
            sel.unregister(conn)
            conn.close()
            ended += 1
    print("opened", opened, "ended", ended, flush=True)


def open_use_close(addr, port, n):
    def one():
        conn = socket.create_connection((addr, port), timeout=30)
        conn.sendall(b"x" * 3000)
        conn.recv(16)
        conn.close()
    for _ in range(n // 20):
        clients = [threading.Thread(target=one) for _ in range(20)]
        for c in clients:
            c.start()
        for c in clients:
            c.join()


def main():
    mode, addr, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "collect":
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((addr, port))
        s.listen(64)
        print("listening", flush=True)
        while True:
            conn, _ = s.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()
    elif mode == "forking-echo":
        socketserver.ForkingTCPServer.allow_reuse_address = True
        with socketserver.ForkingTCPServer((addr, port), Echo) as server:
            print("listening", flush=True)
            server.handle_request()
            server.collect_children(blocking=True)
    elif mode == "ask":
        conn = socket.create_connection((addr, port), timeout=30)
        conn.sendall(b"hello")
        conn.shutdown(socket.SHUT_WR)
        serve(conn)
    elif mode == "epoll-ends":
        epoll_ends(addr, port, int(sys.argv[4]))
    elif mode == "open-use-close":
        open_use_close(addr, port, int(sys.argv[4]))
    elif mode == "read-two":
        conns = [socket.create_connection((addr, port), timeout=30) for _ in range(2)]
        for conn in conns:
            serve(conn)


main()
