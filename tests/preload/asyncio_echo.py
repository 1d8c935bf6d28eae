"""asyncio echo servers and clients over TCP and UDP, one side of a scenario each.

  asyncio_echo.py tcp_server HOST PORT CONNS   echo each connection until its end of
                                               stream, exit after CONNS connections
  asyncio_echo.py tcp_client HOST PORT CONNS   CONNS connections at once, each sending
                                               messages of growing size and checking the echo
  asyncio_echo.py udp_server HOST PORT         echo every datagram until one says "end"
  asyncio_echo.py udp_client HOST PORT COUNT   COUNT datagrams, each sent until echoed

A mode prefixed "uvloop_" (uvloop_tcp_server) runs on uvloop's event loop, whose
library closes its descriptors with syscall(SYS_close, fd).

Each side prints a line a reader can compare between runs; a missing or damaged echo
ends the program with status 1.
"""
import asyncio
import sys

SIZES = (1, 100, 1460, 10000, 100000, 1000000)
END = b"end"


def message(conn, size):
    return bytes((conn * 7 + k) % 251 for k in range(size))


async def tcp_server(host, port, conns):
    done = asyncio.Event()
    served = []

    async def echo(reader, writer):
        total = 0
        while data := await reader.read(1 << 16):
            writer.write(data)
            await writer.drain()
            total += len(data)
        writer.close()
        await writer.wait_closed()
        served.append(total)
        if len(served) == conns:
            done.set()

    server = await asyncio.start_server(echo, host, port)
    async with server:
        await done.wait()
    print(f"tcp server: {len(served)} connections echoed {sum(served)} bytes")


async def tcp_connection(host, port, conn):
    reader, writer = await asyncio.open_connection(host, port)
    for size in SIZES:
        sent = message(conn, size)
        writer.write(sent)
        await writer.drain()
        if await reader.readexactly(size) != sent:
            raise SystemExit(f"tcp client: connection {conn}: echo of {size} bytes damaged")
    writer.write_eof()
    if await reader.read() != b"":
        raise SystemExit(f"tcp client: connection {conn}: data after the echoes")
    writer.close()
    await writer.wait_closed()


async def tcp_client(host, port, conns):
    await asyncio.gather(*(tcp_connection(host, port, c) for c in range(conns)))
    print(f"tcp client: {conns} connections, {len(SIZES)} echoes each intact, "
          f"{conns * sum(SIZES)} bytes")


class UdpEcho(asyncio.DatagramProtocol):
    def __init__(self, done):
        self.done, self.seen = done, set()

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        if data == END:
            self.done.set()
            return
        self.seen.add(data)
        self.transport.sendto(data, addr)


async def udp_server(host, port):
    done = asyncio.Event()
    transport, proto = await asyncio.get_running_loop().create_datagram_endpoint(
        lambda: UdpEcho(done), local_addr=(host, port))
    await done.wait()
    transport.close()
    print(f"udp server: {len(proto.seen)} distinct datagrams echoed")


class UdpReplies(asyncio.DatagramProtocol):
    def __init__(self):
        self.replies = asyncio.Queue()

    def datagram_received(self, data, addr):
        self.replies.put_nowait(data)


async def udp_client(host, port, count):
    loop = asyncio.get_running_loop()
    transport, proto = await loop.create_datagram_endpoint(
        UdpReplies, remote_addr=(host, port))
    intact = 0
    for i in range(count):
        sent = b"%d:" % i + message(i, 1 + (i * 97) % 1400)
        for _ in range(20):  # until the server listens, and past a lost datagram
            transport.sendto(sent)
            try:
                while await asyncio.wait_for(proto.replies.get(), 0.5) != sent:
                    pass  # a late echo of an earlier try
                intact += 1
                break
            except asyncio.TimeoutError:
                continue
    for _ in range(3):
        transport.sendto(END)
    transport.close()
    print(f"udp client: {intact} of {count} datagrams echoed intact")
    if intact != count:
        raise SystemExit(1)


def main():
    mode, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    extra = [int(a) for a in sys.argv[4:]]
    runs = {"tcp_server": tcp_server, "tcp_client": tcp_client,
            "udp_server": udp_server, "udp_client": udp_client}
    if mode.startswith("uvloop_"):
        import uvloop
        uvloop.install()
        mode = mode[len("uvloop_"):]
    asyncio.run(runs[mode](host, port, *extra))


if __name__ == "__main__":
    main()
