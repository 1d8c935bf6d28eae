"""Reduces the results of one iperf3 or sockperf run to lines that a sound run prints
whatever its speed, so that a run over the card can be compared with one over kernel
sockets. Usage:
  program_results.py iperf3 CLIENT_JSON ASKED_BYTES OVERFLOWS
  program_results.py sockperf CLIENT_OUT SERVER_OUT pp|tp udp|tcp
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


def sockperf(client_out, server_out, mode, kind):
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
        sent = count(r"Total of (\d+) messages sent", client)
        # The server also counts the warm-up messages.
        print("server handled every message sent:", bool(sent) and (handled or 0) >= sent)


{"iperf3": iperf3, "sockperf": sockperf}[sys.argv[1]](*sys.argv[2:])
