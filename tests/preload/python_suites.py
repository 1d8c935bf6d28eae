#!/usr/bin/python3
# python3's own test modules of sockets and their waits, run over loopback without a
# preload library and under each library named, each run in a network namespace of its
# own: every socket ends up the kernel's, so the interposer must not show. Prints the
# per-module counts and every test that fails only under a library, and exits 1 when
# there is one. A test that fails only under a library is run once more, with and
# without it, before it counts: python's own suites hold tests whose timing a loaded
# machine upsets either way.
#   python_suites.py PRELOAD_PREFIX ENV_EXTRA LIBRARY...
import concurrent.futures
import os
import shlex
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

PYTHON = "/usr/bin/python3"
TEST_DIR = "/usr/lib/python3.11/test"
MODULES = ["test_socket", "test_selectors", "test_select", "test_poll", "test_epoll",
           "test_socketserver"]
PACKAGE = "test_asyncio"  # run by its modules, side by side
UNIT_LIMIT_S = 1200
# Tests that never end in a whole run of their module here, with or without a library
# (each passes alone): a hang leaves the module without any result to compare.
HANGING = ["*test_sendall_interrupted*", "*ThreadedVSOCKSocketStreamTest*"]
SHOWN = 10  # tests named per module and library; the rest are counted
FAILED = ("failure", "error", "missing")


def units():
    found = MODULES + sorted(PACKAGE + "." + f[:-3]
                             for f in os.listdir(os.path.join(TEST_DIR, PACKAGE))
                             if f.startswith("test_") and f.endswith(".py"))
    # The longest first, so that none is left to run alone at the end.
    return sorted(found, key=lambda u: -os.path.getsize(
        os.path.join(TEST_DIR, u.replace(".", "/") + ".py")))


def run_unit(unit, library, prefix, extra, matches=None):
    """Runs one unit; returns ({test id: status}, log tail)."""
    with tempfile.TemporaryDirectory(prefix="zorvload_py.") as work:
        report = os.path.join(work, "report.xml")
        # The network resource is loopback's alone: the namespace has nothing else.
        args = [PYTHON, "-m", "test", "-u", "network", "--timeout", "600", "--junit-xml", report]
        for pattern in HANGING:
            args += ["--ignore", pattern]
        if matches:
            with open(os.path.join(work, "matches"), "w") as f:
                f.write("\n".join(matches) + "\n")
            args += ["--matchfile", os.path.join(work, "matches")]
        env = "NOTRACE=1 "
        if library:
            env += "LD_PRELOAD=" + shlex.quote(prefix + library) + " " + extra + " "
        script = ("ip link set lo up && cd " + shlex.quote(work) + " && exec env " + env +
                  " ".join(shlex.quote(a) for a in args + [unit]))
        try:
            done = subprocess.run(["unshare", "--net", "sh", "-c", script],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, timeout=UNIT_LIMIT_S)
            log = done.stdout.decode(errors="replace")
        except subprocess.TimeoutExpired as e:
            log = (e.stdout or b"").decode(errors="replace") + "\n(no end after %d s)" % UNIT_LIMIT_S
        return read_report(report), log[-3000:]


def read_report(path):
    results = {}
    try:
        tree = ET.parse(path)
    except (OSError, ET.ParseError):
        return results
    for case in tree.iter("testcase"):
        status = "ok"
        for child in case:
            if child.tag in ("failure", "error", "skipped"):
                status = child.tag
        results[case.get("name")] = status
    return results


def only_under(base, under):
    """Tests that pass or skip without the library and fail under it (or never ran)."""
    return sorted(t for t, s in base.items()
                  if s not in FAILED and under.get(t, "missing") in FAILED)


def module_of(unit):
    return unit.split(".")[0]


def counts(results):
    c = {"ok": 0, "failed": 0, "skipped": 0}
    for s in results.values():
        c["ok" if s == "ok" else "skipped" if s == "skipped" else "failed"] += 1
    return c


def main():
    if len(sys.argv) < 4:
        sys.exit("usage: python_suites.py PRELOAD_PREFIX ENV_EXTRA LIBRARY...")
    prefix, extra, libraries = sys.argv[1], sys.argv[2], sys.argv[3:]
    if not os.path.exists(os.path.join(TEST_DIR, "test_socket.py")):
        print("SKIP: python3's test modules are not installed (libpython3.11-testsuite)")
        return 77
    variants = [""] + libraries
    jobs = int(os.environ.get("ZL_PYTHON_JOBS", "6"))
    all_units = units()
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        runs = {(u, v): pool.submit(run_unit, u, v, prefix, extra)
                for u in all_units for v in variants}
        results = {key: f.result() for key, f in runs.items()}

        suspects = {}
        for u in all_units:
            for v in libraries:
                failed = only_under(results[(u, "")][0], results[(u, v)][0])
                if failed:
                    suspects[(u, v)] = failed
        again = {key: (pool.submit(run_unit, key[0], "", prefix, extra, failed),
                       pool.submit(run_unit, key[0], key[1], prefix, extra, failed))
                 for key, failed in suspects.items()}
        bad = 0
        for (u, v), (base_run, lib_run) in again.items():
            confirmed = only_under(base_run.result()[0], lib_run.result()[0])
            confirmed = [t for t in confirmed if t in suspects[(u, v)]]
            for t in confirmed[:SHOWN]:
                print("FAILS ONLY UNDER %s: %s" % (os.path.basename(v), t))
            if len(confirmed) > SHOWN:
                print("... and %d more of %s" % (len(confirmed) - SHOWN, u))
            if confirmed:
                bad += len(confirmed)
                print("--- %s under %s, end of its log:\n%s" % (u, os.path.basename(v),
                                                               results[(u, v)][1]))

    print("%-20s %s" % ("module", "  ".join("%-24s" % (os.path.basename(v) or "without")
                                           for v in variants)))
    for m in MODULES + [PACKAGE]:
        line = []
        for v in variants:
            merged = {}
            for u in all_units:
                if module_of(u) == m:
                    merged.update(results[(u, v)][0])
            c = counts(merged)
            line.append("%-24s" % ("%d ok %d failed %d skipped" % (c["ok"], c["failed"],
                                                                   c["skipped"])))
        print("%-20s %s" % (m, "  ".join(line)))
    if not any(results[(u, "")][0] for u in all_units):
        print("no results without a library: python3 -m test did not run")
        return 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
