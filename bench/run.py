"""Runs every benchmark (bench/bench_*.py), prints a table and writes build/bench.json.

Each benchmark module defines ``run()`` returning a list of rows:
``{"name": str, "value": float, "unit": str, "baseline": float or None}``, optionally with
``"spread"`` (percent: how far one interleaved round's ratio strays from the median ratio) and
``"rounds"``; the ratio is value / baseline. Comparisons use bench/common.py.
"""
import glob
import importlib.util
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import vireo  # noqa: E402,F401


def main(selected):
    here = os.path.dirname(os.path.abspath(__file__))
    rows = []
    for path in sorted(glob.glob(os.path.join(here, "bench_*.py"))):
        name = os.path.splitext(os.path.basename(path))[0]
        if selected and name[len("bench_"):] not in selected:
            continue
        module_spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
        print("running %s ..." % name, flush=True)
        rows.extend(module.run())
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
    main(sys.argv[1:])
