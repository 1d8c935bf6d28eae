"""One figure per benchmark of a Google Benchmark JSON file, keyed by its name without
the iteration and timing suffixes ("zorvsock_send/64"): the median when the benchmark
ran with repetitions (mean, stddev and cv are left out), else its single run."""
import json


def figures(path):
    runs = {}
    for b in json.load(open(path))["benchmarks"]:
        name = b["name"].split("/iterations")[0]
        if b.get("aggregate_name") == "median":
            runs[name] = b
        elif b.get("run_type") != "aggregate":
            runs.setdefault(name, b)
    return runs
