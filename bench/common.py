"""Comparisons that hold on a shared machine: the sides run in interleaved rounds (A, B, A, B,
...), so that a change of machine load hits both alike, and each side reports its median.

The spread of a comparison is the range of its per-round ratios around their median, in
percent: how far one round's ratio strays from the reported one.
"""
import statistics
import time


def interleave(sides, rounds=5, warmup=1):
    """Runs each side's measurement `rounds` times, alternating sides; returns
    {name: [value per round]}. A side is a function returning one number for one round."""
    for _ in range(warmup):
        for measure in sides.values():
            measure()
    values = {name: [] for name in sides}
    for _ in range(rounds):
        for name, measure in sides.items():
            values[name].append(measure())
    return values


def ratio_row(name, unit, ours, baseline):
    """A table row comparing two interleaved series (per-round values of the same rounds)."""
    ratios = [a / b for a, b in zip(ours, baseline)]
    median_ratio = statistics.median(ratios)
    spread = max(abs(r - median_ratio) for r in ratios) / median_ratio * 100
    return {"name": name, "value": statistics.median(ours), "unit": unit,
            "baseline": statistics.median(baseline), "spread": spread, "rounds": len(ratios)}


def value_row(name, unit, values):
    median = statistics.median(values)
    spread = max(abs(v - median) for v in values) / median * 100 if median else 0.0
    return {"name": name, "value": median, "unit": unit, "baseline": None, "spread": spread, "rounds": len(values)}


def iterator_pass(dataset, count_of=lambda element: int(element[0].shape[0])):
    """One pass over a tf.data iterator: (elements per wall second, CPU ms per element)."""
    def measure():
        count, start, cpu = 0, time.perf_counter(), time.process_time()
        for element in dataset:
            count += count_of(element)
        return count / (time.perf_counter() - start), (time.process_time() - cpu) / count * 1e3
    return measure


def iterator_rows(label, ours, baseline, baseline_label, rounds=5):
    """Images/s and CPU ms per image of two iterators, interleaved pass by pass."""
    results = {"ours": [], "base": []}

    def side(name, measure):
        def run():
            results[name].append(measure())
            return 0.0
        return run

    interleave({"ours": side("ours", iterator_pass(ours)), "base": side("base", iterator_pass(baseline))},
               rounds=rounds)
    results = {k: v[1:] for k, v in results.items()}  # the warm-up pass is not counted
    speed = ratio_row(f"{label} vs {baseline_label} (images/s)", "images/s",
                      [r[0] for r in results["ours"]], [r[0] for r in results["base"]])
    cpu = ratio_row(f"{label} CPU per image vs {baseline_label} (ms)", "ms",
                    [r[1] for r in results["ours"]], [r[1] for r in results["base"]])
    return [speed, cpu]
