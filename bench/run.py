"""Runs every benchmark (bench/bench_*.py), prints a table and writes build/bench.json.

Each benchmark module defines ``run()`` returning a list of rows:
``{"name": str, "value": float, "unit": str, "baseline": float or None}``, optionally with
``"spread"`` (percent: how far one interleaved round's ratio strays from the median ratio) and
``"rounds"``; the ratio is value / baseline. Comparisons use bench/common.py.

Each benchmark module runs in a fresh Python process of its own, so that what an earlier
benchmark left in the process (its heap, TensorFlow's thread pools and caches) does not reach
the next one's measurements. Beside them bench/machine.py samples the machine's state; the
"machine:" rows give it during each module.
"""
import glob
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

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


def machine_rows(samples, spans):
    """Rows of the machine's state during each module: {module: (start, end)} in seconds since
    the epoch, against the (time, l2 load, integer step) samples of bench/machine.py: the
    median L2 load and the share of samples in a busy phase."""
    if not samples:
        return []
    quiet = statistics.quantiles([load for _, load, _ in samples], n=10)[0] if len(samples) > 1 else samples[0][1]
    rows = []
    for name, (start, end) in spans.items():
        loads = [load for when, load, _ in samples if start <= when <= end]
        if loads:
            busy = sum(load > machine.BUSY * quiet for load in loads) / len(loads) * 100
            rows += [{"name": f"machine: L2 cache load during {name}, median (ns)", "value": statistics.median(loads),
                      "unit": "ns", "baseline": None, "rounds": len(loads)},
                     {"name": f"machine: share of {name} in a busy phase", "value": busy, "unit": "%",
                      "baseline": None, "rounds": len(loads)}]
    steps = [step for _, _, step in samples]
    median = statistics.median(steps)
    rows.append({"name": "machine: integer loop step over the run (ns)", "value": median, "unit": "ns",
                 "baseline": None, "spread": max(abs(v - median) for v in steps) / median * 100,
                 "rounds": len(steps)})
    return rows


def main(selected):
    rows, spans = [], {}
    states = tempfile.NamedTemporaryFile(suffix=".csv", delete=False)
    states.close()
    sampler = subprocess.Popen([sys.executable, machine.__file__, states.name])
    try:
        for path in sorted(glob.glob(os.path.join(HERE, "bench_*.py"))):
            name = os.path.splitext(os.path.basename(path))[0]
            if selected and name[len("bench_"):] not in selected:
                continue
            started = time.time()
            print("running %s ..." % name, flush=True)
            with tempfile.TemporaryDirectory() as folder:
                out = os.path.join(folder, "rows.json")
                # This script again, so the benchmark's folder (for common.py) and the checkout
                # are on the child's path as they are on this one's.
                subprocess.run([sys.executable, os.path.abspath(__file__), "--module", path, out], check=True)
                with open(out) as f:
                    rows.extend(json.load(f))
            spans[name] = (started, time.time())
    finally:
        sampler.terminate()
        sampler.wait()
        with open(states.name) as f:
            samples = [tuple(float(v) for v in line.split(",")) for line in f if line.strip()]
        os.unlink(states.name)
    rows.extend(machine_rows(samples, spans))
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
