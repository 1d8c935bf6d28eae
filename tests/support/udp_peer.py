#!/usr/bin/env python3
"""The Linux side of the UDP card tests and demos, run in the launcher's peer namespace.

  recv PORT COUNT [--group G --ifaddr A] [--raw IFACE] [--idle S] [--ready FILE]
      Receives datagrams on PORT (and, with --raw, captures their frames on IFACE) until
      COUNT have arrived or S seconds pass without one; prints "key value" lines.
  send DST PORT COUNT --sizes A,B,... [--sport P] [--mcast-if A] [--pace N]
      Sends COUNT datagrams: a 4-byte sequence number, then bytes (seq + i) & 255.
  rawsend IFACE DST_MAC SRC_IP SPORT DST_IP DPORT VLAN COUNT SIZE
      Sends COUNT hand-built frames (802.1Q-tagged unless VLAN is 0), payload as send.
  echo PORT COUNT [--ready FILE] [--idle S]
      Echoes COUNT datagrams back to their senders.
  client DST PORT COUNT SIZE
      Sends COUNT datagrams to an echo server, one at a time, and prints the round trips.

Payloads from the library side carry the pattern (len * 7 + i) & 255 at byte i, so that
every length, 0 included, can be checked.
"""
import argparse
import select
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
ETH_P_8021Q = 0x8100
SOL_PACKET = 263
PACKET_AUXDATA = 8
TP_STATUS_VLAN_VALID = 0x10
IP_RECVTTL = 12
SO_RCVBUFFORCE = 33
BIG_BUFFER = 16 << 20


def library_pattern(length):
    return bytes((length * 7 + i) & 0xFF for i in range(length))


def peer_payload(seq, size):
    return struct.pack("<I", seq) + bytes((seq + i) & 0xFF for i in range(4, size))


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def mac_text(raw):
    return ":".join("%02X" % b for b in raw)


def mac_bytes(text):
    return bytes(int(x, 16) for x in text.split(":"))


def big_buffer(sock):
    try:
        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, BIG_BUFFER)
    except OSError:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, BIG_BUFFER)


def touch(path):
    if path:
        open(path, "w").close()


class FrameLog:
    """What the captured frames of one UDP port looked like on the wire."""

    def __init__(self, iface, port):
        self.port = port
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        big_buffer(self.sock)
        self.sock.setsockopt(SOL_PACKET, PACKET_AUXDATA, 1)
        self.sock.bind((iface, 0))
        self.own_mac = mac_text(self.sock.getsockname()[4])
        self.frames = 0
        self.dst_macs, self.src_macs, self.vlans, self.ttls = set(), set(), set(), set()
        self.bad_ip_csum = self.bad_udp_csum = self.bad_payload = 0

    def take(self):
        frame, ancdata, _, addr = self.sock.recvmsg(65536, socket.CMSG_SPACE(20))
        if addr[2] == socket.PACKET_OUTGOING:
            return
        vlan = 0
        for level, kind, data in ancdata:
            if level == SOL_PACKET and kind == PACKET_AUXDATA and len(data) >= 20:
                status, _, _, _, _, tci, _ = struct.unpack("IIIHHHH", data[:20])
                if status & TP_STATUS_VLAN_VALID:
                    vlan = tci & 0xFFF
        ethertype = struct.unpack("!H", frame[12:14])[0]
        ip_at = 14
        if ethertype == ETH_P_8021Q:  # a tag the kernel left in place
            vlan = struct.unpack("!H", frame[14:16])[0] & 0xFFF
            ethertype = struct.unpack("!H", frame[16:18])[0]
            ip_at = 18
        if ethertype != ETH_P_IP or len(frame) < ip_at + 28:
            return
        ip = frame[ip_at:]
        ihl = (ip[0] & 0xF) * 4
        total = struct.unpack("!H", ip[2:4])[0]
        if ip[9] != socket.IPPROTO_UDP or struct.unpack("!H", ip[ihl + 2:ihl + 4])[0] != self.port:
            return
        self.frames += 1
        self.dst_macs.add(mac_text(frame[0:6]))
        self.src_macs.add(mac_text(frame[6:12]))
        self.vlans.add(vlan)
        self.ttls.add(ip[8])
        if checksum(ip[:ihl]) != 0xFFFF:
            self.bad_ip_csum += 1
        udp = ip[ihl:total]
        pseudo = ip[12:20] + struct.pack("!BBH", 0, socket.IPPROTO_UDP, len(udp))
        if udp[6:8] == b"\0\0" or checksum(pseudo + udp) != 0xFFFF:
            self.bad_udp_csum += 1
        if udp[8:] != library_pattern(len(udp) - 8):
            self.bad_payload += 1

    def report(self):
        print("frames", self.frames)
        print("own_mac", self.own_mac)
        for key, values in (("dst_mac", self.dst_macs), ("src_mac", self.src_macs),
                            ("vlan", self.vlans), ("frame_ttl", self.ttls)):
            print(key, " ".join(str(v) for v in sorted(values)))
        print("bad_ip_csum", self.bad_ip_csum)
        print("bad_udp_csum", self.bad_udp_csum)
        print("bad_frame_payload", self.bad_payload)


def recv(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    big_buffer(sock)
    sock.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
    sock.bind((args.group or "", args.port))
    if args.group:
        mreq = socket.inet_aton(args.group) + socket.inet_aton(args.ifaddr)
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    frames = FrameLog(args.raw, args.port) if args.raw else None
    touch(args.ready)
    sizes, sources, ttls, bad = [], set(), set(), 0
    watched = [sock] + ([frames.sock] if frames else [])
    last = time.monotonic()
    while len(sizes) < args.count and time.monotonic() - last < args.idle:
        ready, _, _ = select.select(watched, [], [], 0.05)
        if frames and frames.sock in ready:
            frames.take()
        if sock not in ready:
            continue
        data, ancdata, _, sender = sock.recvmsg(65536, socket.CMSG_SPACE(4))
        for level, kind, value in ancdata:
            if level == socket.IPPROTO_IP and kind == socket.IP_TTL:
                ttls.add(struct.unpack("i", value[:4])[0])
        sizes.append(len(data))
        sources.add("%s:%d" % sender)
        bad += data != library_pattern(len(data))
        last = time.monotonic()
    while frames and select.select([frames.sock], [], [], 0.2)[0]:
        frames.take()
    print("received", len(sizes))
    print("bad_payload", bad)
    print("distinct_sizes", len(set(sizes)))
    print("min_size", min(sizes) if sizes else -1)
    print("max_size", max(sizes) if sizes else -1)
    print("source", " ".join(sorted(sources)))
    print("ttl", " ".join(str(t) for t in sorted(ttls)))
    if frames:
        frames.report()


def send(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if args.sport:
        sock.bind(("", args.sport))
    if args.mcast_if:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(args.mcast_if))
    sizes = [int(s) for s in args.sizes.split(",")]
    for seq in range(args.count):
        sock.sendto(peer_payload(seq, sizes[seq % len(sizes)]), (args.dst, args.port))
        if args.pace and seq % args.pace == args.pace - 1:
            time.sleep(0.001)
    print("sent", args.count)


def rawsend(args):
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    sock.bind((args.iface, 0))
    src_mac = sock.getsockname()[4]
    src_ip, dst_ip = socket.inet_aton(args.src_ip), socket.inet_aton(args.dst_ip)
    for seq in range(args.count):
        payload = peer_payload(seq, args.size)
        udp = struct.pack("!HHHH", args.sport, args.dport, 8 + len(payload), 0) + payload
        pseudo = src_ip + dst_ip + struct.pack("!BBH", 0, socket.IPPROTO_UDP, len(udp))
        csum = (~checksum(pseudo + udp) & 0xFFFF) or 0xFFFF
        udp = udp[:6] + struct.pack("!H", csum) + udp[8:]
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), seq & 0xFFFF, 0x4000, 64,
                         socket.IPPROTO_UDP, 0, src_ip, dst_ip)
        ip = ip[:10] + struct.pack("!H", ~checksum(ip) & 0xFFFF) + ip[12:]
        tag = struct.pack("!HH", ETH_P_8021Q, args.vlan) if args.vlan else b""
        eth = mac_bytes(args.dst_mac) + src_mac + tag + struct.pack("!H", ETH_P_IP)
        sock.send(eth + ip + udp)
    print("sent", args.count)


def echo(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("", args.port))
    sock.settimeout(args.idle)
    touch(args.ready)
    print("echo server on port %d" % args.port, flush=True)
    done = 0
    try:
        while done < args.count:
            data, sender = sock.recvfrom(65536)
            sock.sendto(data, sender)
            done += 1
            print("echoed %d bytes to %s:%d" % ((len(data),) + sender), flush=True)
    except socket.timeout:
        print("echo server: idle, %d echoed" % done)
        sys.exit(1)


def client(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(1.0)
    good = 0
    for seq in range(args.count):
        payload = peer_payload(seq, args.size)
        for _ in range(5):  # the server may still be starting
            t0 = time.monotonic()
            sock.sendto(payload, (args.dst, args.port))
            try:
                while True:
                    data, _ = sock.recvfrom(65536)
                    if data[:4] == payload[:4]:
                        break
            except socket.timeout:
                continue
            rtt = (time.monotonic() - t0) * 1e6
            state = "intact" if data == payload else "CORRUPT"
            good += data == payload
            print("seq %d: %d bytes %s, rtt %.1f us" % (seq, len(data), state, rtt), flush=True)
            break
        else:
            print("seq %d: no echo" % seq, flush=True)
    print("python client: %d of %d echoes intact" % (good, args.count))
    sys.exit(0 if good == args.count else 1)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("recv")
    p.add_argument("port", type=int)
    p.add_argument("count", type=int)
    p.add_argument("--group")
    p.add_argument("--ifaddr", default="0.0.0.0")
    p.add_argument("--raw")
    p.add_argument("--idle", type=float, default=3.0)
    p.add_argument("--ready")
    p.set_defaults(run=recv)
    p = sub.add_parser("send")
    p.add_argument("dst")
    p.add_argument("port", type=int)
    p.add_argument("count", type=int)
    p.add_argument("--sizes", default="64")
    p.add_argument("--sport", type=int, default=0)
    p.add_argument("--mcast-if")
    p.add_argument("--pace", type=int, default=0)
    p.set_defaults(run=send)
    p = sub.add_parser("rawsend")
    for name in ("iface", "dst_mac", "src_ip"):
        p.add_argument(name)
    p.add_argument("sport", type=int)
    p.add_argument("dst_ip")
    for name in ("dport", "vlan", "count", "size"):
        p.add_argument(name, type=int)
    p.set_defaults(run=rawsend)
    p = sub.add_parser("echo")
    p.add_argument("port", type=int)
    p.add_argument("count", type=int)
    p.add_argument("--ready")
    p.add_argument("--idle", type=float, default=30.0)
    p.set_defaults(run=echo)
    p = sub.add_parser("client")
    p.add_argument("dst")
    p.add_argument("port", type=int)
    p.add_argument("count", type=int)
    p.add_argument("size", type=int)
    p.set_defaults(run=client)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
