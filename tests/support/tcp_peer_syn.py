#!/usr/bin/env python3
"""The Linux side of the TCP control-segment card test, run in the peer namespace.

  synack IFACE ADDR PORT CLIENT_PORT READY_FILE TIMEOUT
      Listens on ADDR:PORT and captures on IFACE until the peer's kernel sends a SYN-ACK
      from PORT to CLIENT_PORT; prints "synack ACK" (its acknowledgement number), or
      "none" after TIMEOUT seconds.
  syn IFACE ADDR PORT CLIENT_PORT READY_FILE TIMEOUT
      The same, waiting for the SYN from CLIENT_PORT to PORT instead; prints
      "syn vlan VLAN seq SEQ" (VLAN 0 for an untagged frame).
"""
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
SOL_PACKET = 263
PACKET_AUXDATA = 8
TP_STATUS_VLAN_VALID = 0x10


def received(raw):
    """A frame and the VLAN id that the kernel took out of it into the aux data."""
    frame, ancdata, _, _ = raw.recvmsg(65536, socket.CMSG_SPACE(20))
    for level, kind, data in ancdata:
        if level == SOL_PACKET and kind == PACKET_AUXDATA and len(data) >= 20:
            status, _, _, _, _, tci, _ = struct.unpack("IIIHHHH", data[:20])
            if status & TP_STATUS_VLAN_VALID:
                return frame, tci & 0x0FFF
    return frame, 0


def tcp_of(frame, vlan):
    """(sport, dport, seq, ack, flags, vlan) of an IPv4 TCP frame, tagged or not."""
    off = 12
    ethertype = struct.unpack_from("!H", frame, off)[0]
    if ethertype == 0x8100:
        vlan = struct.unpack_from("!H", frame, off + 2)[0] & 0x0FFF
        off += 4
        ethertype = struct.unpack_from("!H", frame, off)[0]
    ip = off + 2
    if ethertype != 0x0800 or len(frame) < ip + 20 or frame[ip + 9] != 6:
        return None
    tcp = ip + (frame[ip] & 0x0F) * 4
    if len(frame) < tcp + 20:
        return None
    sport, dport, seq, ack = struct.unpack_from("!HHII", frame, tcp)
    return sport, dport, seq, ack, frame[tcp + 13], vlan


def wanted(mode, seg, port, client_port):
    if mode == "synack":
        return seg[0] == port and seg[1] == client_port and seg[4] & 0x12 == 0x12
    return seg[0] == client_port and seg[1] == port and seg[4] & 0x12 == 0x02


def report(mode, seg):
    if mode == "synack":
        return "synack %d" % seg[3]
    return "syn vlan %d seq %d" % (seg[5], seg[2])


def main():
    mode = sys.argv[1]
    iface, addr, port, client_port, ready, timeout = sys.argv[2:8]
    port, client_port, timeout = int(port), int(client_port), float(timeout)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((addr, port))
    listener.listen(4)
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    raw.bind((iface, 0))
    raw.setsockopt(SOL_PACKET, PACKET_AUXDATA, 1)
    raw.settimeout(0.2)
    open(ready, "w").close()
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            frame, vlan = received(raw)
        except socket.timeout:
            continue
        seg = tcp_of(frame, vlan)
        if seg and wanted(mode, seg, port, client_port):
            print(report(mode, seg), flush=True)
            return
    print("none", flush=True)


if __name__ == "__main__":
    main()
