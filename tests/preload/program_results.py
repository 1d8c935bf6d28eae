"""Reduces the results of one iperf3 or sockperf run to lines that a sound run prints
whatever its speed, so that a run over the card can be compared with one over kernel
sockets. Usage:
  program_results.py iperf3 CLIENT_JSON ASKED_BYTES OVERFLOWS
  program_results.py sockperf CLIENT_OUT SERVER_OUT pp|tp udp|tcp [CLOSED FIELD]
(CLOSED: the peer kernel's reports of the run's TCP connections as they ended, `ss -EHtni`;
FIELD: bytes_received or bytes_acked, whichever measures the stream on the peer's side.)
"""
import json
import re
import sys


def iperf3(client_json, asked, overflows):
    run = json.load(open(client_json))
    print("client error:", run.get("error", "none"))
    end = run.get("end", {})
    sent = end.get("sum_sent", {}).get("bytes", 0)
    received = end.get("sum_received", {}).get("bytes", 0)
    # UDP rounds the size up to whole datagrams.
    print("sent all asked:", sent >= int(asked))
    # The receiving side stops counting at the test's end, with data still on the way.
    print("received some, no more than sent:", 0 < received <= sent)
    if "sum" in end and "lost_packets" in end["sum"]:
        # A busy program may leave its kernel's socket buffer to overflow, which that
        # kernel counts; the card's ring holds all the datagrams: any other loss is ours.
        lost = end["sum"]["lost_packets"] - int(overflows)
        print("datagrams lost other than by a kernel's full socket buffer:", max(lost, 0))


def count(pattern, text):
    found = re.findall(pattern, text)
    return int(found[-1]) if found else None


MESSAGE_BYTES = 14  # sockperf's default message size


def stream_bytes(closed, field):
    """The payload of each connection that the report shows ended: the field counts the
    FIN too (the sockperf client ends every connection with one)."""
    return [int(n) - 1 for n in re.findall(field + r":(\d+)", open(closed).read())]


def sockperf(client_out, server_out, mode, kind, closed=None, field=None):
    client, server = open(client_out).read(), open(server_out).read()
    print("client summary:", "Summary:" in client)
    handled = count(r"Total (\d+) messages received and handled", server)
    print("server handled some:", bool(handled))
    if mode == "pp":
        valid = re.search(r"\[Valid Duration\].*SentMessages=(\d+); ReceivedMessages=(\d+)",
                          client)
        print("every ping answered:", bool(valid) and valid.group(1) == valid.group(2))
        print(re.search(r"# dropped messages = .*", client).group(0)
              if "# dropped messages" in client else "no loss figures")
        print("integrity failures:", client.count("data integrity test failed"))
    elif kind == "tcp":
        # The client counts the message whose send its end-of-run timer interrupts as
        # sent, whether that send ended in EINTR or in part of the message: its single
        # thread leaves at most that one message unsent. The streams show the rest.
        sent = count(r"Total of (\d+) messages sent", client) or 0
        streams = stream_bytes(closed, field)
        print("the peer's kernel measured both streams:", len(streams) == 2)
        whole = sum(n // MESSAGE_BYTES for n in streams)
        print("server handled every whole message of the streams:", handled == whole)
        print("the streams hold every message sent but the one the run's end may cut:",
              MESSAGE_BYTES * (sent - 1) <= sum(streams) <= MESSAGE_BYTES * sent)


{"iperf3": iperf3, "sockperf": sockperf}[sys.argv[1]](*sys.argv[2:])
