"""Runs every benchmark (bench/bench_*.py), prints a table and writes build/bench.json.

Each benchmark module defines ``run()`` returning a list of rows:
``{"name": str, "value": float, "unit": str, "baseline": float or None}``, optionally with
``"spread"`` (percent: how far one interleaved round's ratio strays from the median ratio) and
``"rounds"``; the ratio is value / baseline. Comparisons use bench/common.py.

Each benchmark module runs in a fresh Python process of its own, so that what an earlier
benchmark left in the process (its heap, TensorFlow's thread pools and caches) does not reach
the next one's measurements. Before each module and after the last, bench/machine.py records
the machine's state (its "machine:" rows).
"""
import glob
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile

import machine

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))


def call_in_module(path, function, out, args=()):
    """Calls `function(*args)` of the benchmark module at `path` here and writes what it returns
    to `out` as JSON: a module's ``run`` gives its rows; bench/common.py's
    ``in_fresh_processes`` calls other functions this way."""
    import vireo  # noqa: F401
    name = os.path.splitext(os.path.basename(path))[0]
    module_spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    result = getattr(module, function)(*args)
    with open(out, "w") as f:
        json.dump(result, f)


def machine_rows(states):
    """Rows of the machine's state at each point of the run ({point: machine.state()})."""
    rows = [{"name": f"machine: L2 cache load {point} (ns)", "value": state["l2 load ns"], "unit": "ns",
             "baseline": None} for point, state in states.items()]
    steps = [state["integer step ns"] for state in states.values()]
    median = statistics.median(steps)
    rows.append({"name": "machine: integer loop step, median of the run's points (ns)", "value": median, "unit": "ns",
                 "baseline": None, "spread": max(abs(s - median) for s in steps) / median * 100,
                 "rounds": len(steps)})
    return rows


def main(selected):
    rows, states = [], {}
    for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        if selected and name[len("bench_"):] not in selected:
            continue
        states[f"before {name}"] = machine.state()
        print("running %s ..." % name, flush=True)
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "rows.json")
            # This script again, so the benchmark's folder (for common.py) and the checkout are
            # on the child's path as they are on this one's.
            subprocess.run([sys.executable, os.path.abspath(__file__), "--module", path, out], check=True)
            with open(out) as f:
                rows.extend(json.load(f))
    states["after the last benchmark"] = machine.state()
    rows.extend(machine_rows(states))
    results = {}
    print("\n%-70s %12s %-9s %12s %7s %8s" % ("benchmark", "value", "unit", "baseline", "ratio", "spread"))
    for row in rows:
        baseline = row.get("baseline")
        ratio = row["value"] / baseline if baseline else None
        spread = row.get("spread")
        results[row["name"]] = {"value": row["value"], "unit": row["unit"], "baseline": baseline, "ratio": ratio,
                                "spread_percent": spread, "rounds": row.get("rounds")}
        print("%-70s %12.4g %-9s %12s %7s %8s" % (row["name"], row["value"], row["unit"],
                                                 "-" if baseline is None else "%.4g" % baseline,
                                                 "-" if ratio is None else "%.3f" % ratio,
                                                 "-" if spread is None else "±%.1f%%" % spread))
    os.makedirs("build", exist_ok=True)
    with open(os.path.join("build", "bench.json"), "w") as f:
        json.dump(results, f, indent=2)
    print("\nwrote build/bench.json")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--module"]:
        call_in_module(sys.argv[2], "run", sys.argv[3])
    elif sys.argv[1:2] == ["--call"]:
        call_in_module(sys.argv[2], sys.argv[3], sys.argv[4], json.loads(sys.argv[5]))
    else:
        main(sys.argv[1:])
