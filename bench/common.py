"""Comparisons that hold on a shared machine: the sides run in interleaved rounds (A, B, A, B,
...), so that a change of machine load hits both alike, and each side reports its median.

The spread of a comparison is the range of its per-round ratios around their median, in
percent: how far one round's ratio strays from the reported one. The spread of a single
measurement is the range of its per-round values around their median.

Two clocks: wall time (images per second, which a pipeline's parallelism raises) and CPU time
of the process (milliseconds per image, all threads together), which other work on the machine
disturbs far less.
"""
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import tensorflow as tf


# Iterator comparisons: passes per measured round (one pass may run at either of two rates:
# tf.data's autotuning now and then runs a pipeline's calls one at a time) and measured rounds.
# With seven rounds a ratio moved by up to 13 % between runs; resampling the rounds of one long
# run put eleven within about ±4 %.
ITERATOR_EPOCHS, ITERATOR_ROUNDS = 3, 11


# Windows (fresh processes, one after the other) of the comparisons run by in_fresh_processes.
FRESH_PROCESSES = 5


def without_collection(measure):
    """Runs `measure()` with Python's cyclic garbage collector off after a full collection, as
    timeit does: a collection's cost grows with every object the process holds (TensorFlow's
    and the earlier benchmarks'), not with the code measured, and would land in one side's
    round or the other's by chance."""
    gc.collect()
    gc.disable()
    try:
        return measure()
    finally:
        gc.enable()


def interleave(sides, rounds=5, warmup=1):
    """Runs each side's measurement `rounds` times, alternating sides; returns
    {name: [value per round]}. A side is a function returning one number for one round."""
    for _ in range(warmup):
        for measure in sides.values():
            measure()
    values = {name: [] for name in sides}
    for _ in range(rounds):
        for name, measure in sides.items():
            values[name].append(without_collection(measure))
    return values


def autotuning_off(dataset):
    """`dataset` with tf.data's autotuning off, as the library's training iterators run: the
    TensorFlow-ops pipelines are measured both ways, as users write them and set up alike."""
    options = tf.data.Options()
    options.autotune.enabled = False
    return dataset.with_options(options)


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


def iterator_pass(dataset, count_of=lambda element: int(element[0].shape[0]), epochs=1):
    """One measurement over a tf.data iterator, `epochs` passes long (a short pass is mostly
    its start and end): (elements per wall second, CPU ms per element)."""
    def measure():
        count, start, cpu = 0, time.perf_counter(), time.process_time()
        for _ in range(epochs):
            for element in dataset:
                count += count_of(element)
        return count / (time.perf_counter() - start), (time.process_time() - cpu) / count * 1e3
    return measure


def serial_pass(fn, items):
    """One serial pass of `fn` over `items` in the calling thread, timed as an iterator pass is:
    (items per wall second, CPU ms per item)."""
    def measure():
        start, cpu = time.perf_counter(), time.process_time()
        for item in items:
            fn(item)
        return len(items) / (time.perf_counter() - start), (time.process_time() - cpu) / len(items) * 1e3
    return measure


def passes(sides, rounds=5):
    """Interleaved passes: `sides` maps a name to a measure returning (per second, CPU ms per
    item); one pass of each per round after a warm-up round (which also traces the graph
    functions). Returns {name: [(per second, CPU ms), ...]}, one pair per round."""
    results = {name: [] for name in sides}

    def side(name, measure):
        def run():
            results[name].append(measure())
            return 0.0
        return run

    interleave({name: side(name, measure) for name, measure in sides.items()}, rounds=rounds)
    return {name: values[1:] for name, values in results.items()}  # the warm-up pass is not counted


def pass_rows(label, results, ours, baseline, baseline_label):
    """Images/s and CPU ms per image of side `ours` against side `baseline` of `passes`."""
    speed = ratio_row(f"{label} vs {baseline_label} (images/s)", "images/s",
                      [r[0] for r in results[ours]], [r[0] for r in results[baseline]])
    cpu = ratio_row(f"{label} CPU per image vs {baseline_label} (ms)", "ms",
                    [r[1] for r in results[ours]], [r[1] for r in results[baseline]])
    return [speed, cpu]


def iterator_rows(label, ours, baseline, baseline_label, rounds=5):
    """Images/s and CPU ms per image of two iterators, interleaved pass by pass."""
    results = passes({"ours": iterator_pass(ours), "base": iterator_pass(baseline)}, rounds=rounds)
    return pass_rows(label, results, "ours", "base", baseline_label)


def per_item_ms(items, fns, rounds=9, settle=0.05):
    """CPU time of the process per call, in ms, per round, for each function of `fns` (name ->
    function of one item). Each round runs every item through one function after the other,
    every function in turn, so that they are compared in the same machine state. The process
    clock also counts the helper threads some steps use (OpenCV's resize): they spin for a
    while after a call, which one function's calls in a row pay themselves, as a pipeline's
    do. Between two functions the process waits `settle` seconds, untimed, so that one
    function's helpers do not spin on the next one's clock (item by item, the decode after a
    letterbox took twice its own thread's time). Returns {name: [ms per round]}."""
    for fn in fns.values():
        fn(items[0])
    series = {name: [] for name in fns}

    def one_round():
        for name, fn in fns.items():
            time.sleep(settle)
            start = time.process_time()
            for item in items:
                fn(item)
            series[name].append((time.process_time() - start) / len(items) * 1e3)

    for _ in range(rounds):
        without_collection(one_round)
    return series


def in_fresh_processes(module_file, function, *args, count=FRESH_PROCESSES):
    """Calls `function(*args)` (the name of a function of the benchmark module `module_file`;
    JSON arguments and result) in `count` fresh Python processes, one after the other; returns
    what each returned.

    This machine has phases, from seconds to minutes long, in which some code runs
    slower than in others, and not all code alike: Pillow's JPEG decode of a 450 x 450 face took
    0.8 ms of its own thread's user time in one phase and 1.0-1.1 ms in the next, with no page
    faults, while the library's own decode moved by less or not at all. Interleaved rounds
    cancel a slowdown that hits both sides alike, not this one, and a single window's median
    lands in whichever phase the window fell. So the comparisons against such code run in
    several windows spread over a minute or more, each a fresh process (so that they share no
    heap either), and each side is taken from its best window (`lowest_medians`, or the best
    rates of the dataset check). A slow phase longer than all the windows together still moves
    such a comparison."""
    run_py = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run.py")
    results = []
    for _ in range(count):
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "result.json")
            subprocess.run([sys.executable, run_py, "--call", os.path.abspath(module_file), function, out,
                            json.dumps(args)], check=True)
            with open(out) as f:
                results.append(json.load(f))
    return results


def lowest_medians(results):
    """For every name of the {name: [value per round]} dicts in `results` (one per window of
    `in_fresh_processes`), the series of the window where its median was lowest: the cost in
    the quietest phase the windows met. Two sides' rounds then pair up by number across
    windows, so a ratio row's spread tells the rounds' noise, not the phases'."""
    return {name: min((result[name] for result in results), key=statistics.median) for name in results[0]}
