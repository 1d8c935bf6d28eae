#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into tests/fuzz/corpus/<target>/: a few
well-formed inputs per target, and a few that stop half way, so that the fuzzer starts
from inside the code rather than at its first check. Each target's source file describes
its input layout."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

TCP_FIN, TCP_SYN, TCP_RST, TCP_ACK = 0x01, 0x02, 0x04, 0x10
MSS_WSCALE = bytes([2, 4, 0x05, 0xB4, 1, 3, 3, 7])
ALL_OPTIONS = MSS_WSCALE + bytes([4, 2, 8, 10]) + bytes(8) + bytes([1, 1])


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def tcp_header(flags, options=b"", payload=b"", seq=1000, ack=0, offset=None):
    options += bytes(-len(options) % 4)
    words = offset if offset is not None else 5 + len(options) // 4
    return (struct.pack("!HHIIBBHHH", 40000, 80, seq, ack, words << 4, flags, 65000, 0, 0)
            + options + payload)


def ones_sum(b, s=0):
    if len(b) % 2:
        b += b"\0"
    for i in range(0, len(b), 2):
        s += b[i] << 8 | b[i + 1]
    return s


def fold(s):
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def syn_frame(flags, options=b"", vlan=None, ip_options=b""):
    tcp = bytearray(tcp_header(flags, options))
    ihl = 5 + len(ip_options) // 4
    ip = bytearray(struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, ihl * 4 + len(tcp), 0, 0x4000, 64,
                               6, 0, bytes([198, 18, 0, 2]), bytes([198, 18, 0, 1])) + ip_options)
    ip[10:12] = struct.pack("!H", fold(ones_sum(bytes(ip))))
    pseudo = ones_sum(bytes(ip[12:20])) + 6 + len(tcp)
    tcp[16:18] = struct.pack("!H", fold(ones_sum(bytes(tcp), pseudo)))
    eth = bytes([2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2])
    if vlan is not None:
        eth += struct.pack("!HH", 0x8100, vlan)
    return eth + struct.pack("!H", 0x0800) + bytes(ip) + bytes(tcp)


def tcp_segment_seeds():
    write("tcp_segment", "syn_mss_wscale", tcp_header(TCP_SYN, MSS_WSCALE))
    write("tcp_segment", "syn_all_options", tcp_header(TCP_SYN, ALL_OPTIONS))
    write("tcp_segment", "ack_payload", tcp_header(TCP_ACK, payload=b"x" * 100))
    sack = bytes([1, 1, 5, 34]) + bytes(32) + bytes([1, 1, 1, 0])
    write("tcp_segment", "ack_sack_full_header", tcp_header(TCP_ACK, sack))
    write("tcp_segment", "option_length_zero", tcp_header(TCP_SYN, bytes([2, 0, 5, 0xB4])))
    write("tcp_segment", "option_past_header", tcp_header(TCP_SYN, bytes([1, 1, 3, 9])))
    write("tcp_segment", "offset_beyond", tcp_header(TCP_ACK, offset=15))
    write("tcp_segment", "offset_four", tcp_header(TCP_ACK, offset=4))


def syn_frame_seeds():
    # First byte 1: the target sets both checksums; 0: the frame carries its own.
    write("syn_frame", "syn", b"\0" + syn_frame(TCP_SYN, MSS_WSCALE))
    write("syn_frame", "syn_vlan", b"\0" + syn_frame(TCP_SYN, MSS_WSCALE, vlan=100))
    write("syn_frame", "syn_ip_options", b"\1" + syn_frame(TCP_SYN, ip_options=bytes([1] * 4)))
    write("syn_frame", "syn_all_options", b"\1" + syn_frame(TCP_SYN, ALL_OPTIONS))
    write("syn_frame", "syn_ack", b"\1" + syn_frame(TCP_SYN | TCP_ACK))
    write("syn_frame", "syn_cut", b"\1" + syn_frame(TCP_SYN)[:50])


# Engine steps (see tcp_engine_fuzz.cpp).
START = {"syn_sent": 0, "syn_recv": 1, "established": 2, "fin_wait1": 3, "fin_wait2": 4,
         "close_wait": 5, "last_ack": 6, "closing": 7, "time_wait": 8}


def seg(flags, seq=0, ack=0, window=4000, payload=0, options=b""):
    return struct.pack("<BbbHBB", flags, seq, ack, window, payload, len(options)) + options


def wide_seg(flags, seq, ack):
    return struct.pack("<BiiHBB", 0x40 | flags, seq, ack, 4000, 0, 0)


def consume(n):
    return struct.pack("<BH", 0x80, n)


DISCONNECT = b"\xc0"


def tcp_engine_seeds():
    runs = {
        "data_fin": [seg(TCP_ACK, payload=100), consume(100), seg(TCP_FIN | TCP_ACK)],
        "fin_before_data": [seg(TCP_FIN | TCP_ACK, payload=50), consume(50), seg(TCP_ACK)],
        "rst": [seg(TCP_RST)],
        "rst_outside": [wide_seg(TCP_RST, 1 << 30, 0)],
        "ack_beyond": [wide_seg(TCP_ACK, 0, 1 << 20), seg(TCP_ACK, ack=1)],
        "syn_ack_again": [seg(TCP_SYN | TCP_ACK, seq=-1, options=MSS_WSCALE)],
        "disconnect": [DISCONNECT, seg(TCP_ACK), seg(TCP_FIN | TCP_ACK)],
        "fin_repeated": [seg(TCP_FIN | TCP_ACK, seq=-1), seg(TCP_FIN | TCP_ACK, seq=-1)],
        "old_data": [seg(TCP_ACK, seq=-20, payload=40), seg(TCP_ACK, seq=30, payload=10)],
    }
    for state, code in START.items():
        for name, steps in runs.items():
            write("tcp_engine", f"{state}_{name}", bytes([code]) + b"".join(steps))
    write("tcp_engine", "syn_recv_ack_fin", bytes([1]) + seg(TCP_ACK | TCP_FIN))
    write("tcp_engine", "syn_sent_syn_ack", bytes([0]) + seg(TCP_SYN | TCP_ACK, options=MSS_WSCALE))


DELAYS = struct.pack("<II", 1500000, 2500000)


def ts_adjust_seeds():
    files = {
        "full": b"ts_adjustment_enable = true\nts_rx_internal_adjustment_ps = 1000\n"
                b"ts_rx_external_adjustment_ps = -250\nts_tx_internal_adjustment_ps = 900\n"
                b"ts_tx_external_adjustment_ps = 3000\n",
        "disabled": b"ts_adjustment_enable=False\nts_rx_internal_adjustment_ps=5\n",
        "comments": b"# corrections\n  \tts_tx_external_adjustment_ps = 12 # ps\n\n#x=1\n",
        "out_of_range": b"ts_rx_internal_adjustment_ps = 99999999999\n"
                        b"ts_tx_internal_adjustment_ps = -2147483648\n",
        "no_number": b"ts_rx_external_adjustment_ps = abc\nts_tx_internal_adjustment_ps\n",
        "crlf": b"ts_adjustment_enable = TRUE\r\nts_rx_internal_adjustment_ps = 7\r\n",
    }
    for name, text in files.items():
        write("ts_adjust", name, DELAYS + text)


def nl_message(kind, body):
    msg = struct.pack("=IHHII", 16 + len(body), kind, 2, 1, 0) + body
    return msg + bytes(-len(msg) % 4)


def rt_attr(kind, value):
    return struct.pack("=HHI", 8, kind, value)


def route(dst_len, attrs, rtype=1):
    return nl_message(24, struct.pack("BBBBBBBB", 2, dst_len, 0, 0, 254, 4, 0, rtype) + attrs)


def datagram(*messages):
    body = b"".join(messages)
    return struct.pack("<H", len(body)) + body


RTA_DST, RTA_OIF, RTA_GATEWAY, RTA_PRIORITY, RTA_TABLE = 1, 4, 5, 6, 15
LO = 1
DONE = nl_message(3, bytes(4))


def route_dump_seeds():
    default = route(0, rt_attr(RTA_TABLE, 254) + rt_attr(RTA_GATEWAY, 0x0200_12C6)
                    + rt_attr(RTA_PRIORITY, 100) + rt_attr(RTA_OIF, LO))
    net = route(16, rt_attr(RTA_DST, 0x0000_010A) + rt_attr(RTA_OIF, LO))
    local = route(32, rt_attr(RTA_DST, 0x0100_007F) + rt_attr(RTA_OIF, LO), rtype=2)
    write("route_dump", "one_datagram", b"\x1e" + datagram(default, local, net, DONE))
    write("route_dump", "two_datagrams", b"\x3e" + datagram(default, net) + datagram(net, DONE))
    write("route_dump", "table_of_two", b"\x01" + datagram(net, net, net, DONE))
    write("route_dump", "error", b"\x1e" + datagram(nl_message(2, bytes(20))))
    write("route_dump", "cut_attribute", b"\x1e" + datagram(net[:-2]))


ARP_HEAD = b"IP address       HW type     Flags       HW address            Mask     Device\n"


def arp_table_seeds():
    lo = b"127.0.0.1        0x1         0x2         02:00:00:00:00:07     *        lo\n"
    zero = b"198.18.0.2       0x1         0x0         00:00:00:00:00:00     *        kvel0\n"
    write("arp_table", "found", bytes([127, 0, 0, 1, 1]) + ARP_HEAD + lo)
    write("arp_table", "any_interface", bytes([127, 0, 0, 1, 0]) + ARP_HEAD + zero + lo)
    write("arp_table", "incomplete", bytes([198, 18, 0, 2, 2]) + ARP_HEAD + zero)
    write("arp_table", "malformed", bytes([127, 0, 0, 1, 0]) + ARP_HEAD + b"127.0.0.1 0x1\n" + lo)


if __name__ == "__main__":
    tcp_segment_seeds()
    syn_frame_seeds()
    tcp_engine_seeds()
    ts_adjust_seeds()
    route_dump_seeds()
    arp_table_seeds()
