"""Many clients connecting at once to a redis-server, run in the peer namespace.

connect_storm.py HOST PORT CLIENTS: starts CLIENTS non-blocking connects together, sends
each connection a PING once it is connected and prints, in seconds from the first
connect, when the last connection was established and when the last PONG came back.
Exits 1 when a connection fails or a PONG does not come within 30 s.
"""
import selectors
import socket
import sys
import time

TIMEOUT = 30


def main():
    host, port, clients = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    sel = selectors.DefaultSelector()
    t0 = time.monotonic()
    for _ in range(clients):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((host, port))
        sel.register(s, selectors.EVENT_WRITE)
    connected = answered = 0
    last_connect = last_answer = None
    while answered < clients:
        left = TIMEOUT - (time.monotonic() - t0)
        events = sel.select(left) if left > 0 else []
        if not events:
            print("connect_storm: %d of %d connected, %d answered after %d s"
                  % (connected, clients, answered, TIMEOUT), file=sys.stderr)
            return 1
        for key, mask in events:
            s = key.fileobj
            if mask & selectors.EVENT_WRITE:
                err = s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if err:
                    print("connect_storm: connect failed: errno %d" % err, file=sys.stderr)
                    return 1
                connected += 1
                last_connect = time.monotonic()
                s.send(b"PING\r\n")
                sel.modify(s, selectors.EVENT_READ)
            elif s.recv(64).startswith(b"+PONG"):
                answered += 1
                last_answer = time.monotonic()
                sel.unregister(s)
                s.close()
    print("%.4f %.4f" % (last_connect - t0, last_answer - t0))
    return 0


sys.exit(main())
