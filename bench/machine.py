"""The machine's state at a point of a benchmark run: how long a load from the L2 cache takes
and how long a step of a plain integer loop takes (bench/machine_probe.cpp, built by
`make setup`).

On this shared 2-core machine the first moves in phases from seconds to many minutes long
(about 5.5 ns in a quiet phase, 6.5-7 ns in a busy one), as other tenants of the host contend
for the cores' caches, while the second hardly moves: the clock speed stays, the caches do not.
Code with a large footprint (Pillow's decoder, TensorFlow's eager Python path) slows by some
20-30 % in a busy phase, compact native code by less. Rows that compare the two move with the
phase, which these rows let a reader see module by module.

`python bench/machine.py OUT` samples the state every few seconds until it is stopped, a line
"seconds since the epoch,l2 load ns,integer step ns" each: bench/run.py runs it beside the
benchmarks (about 10 ms of one core every 5 s). A sample above BUSY times the run's 10th
percentile counts as a busy phase: the quiet samples lie within some ±6 % of each other.
"""
import ctypes
import os
import statistics
import sys
import time

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_machine_probe.so")
L2_CHAIN_BYTES = 512 << 10  # half of one core's L2 cache, many times its L1
LOADS, STEPS = 500_000, 1_000_000  # about 2.5 ms each
SAMPLE_EVERY = 5.0
BUSY = 1.2


def _probe():
    lib = ctypes.CDLL(PROBE)
    lib.chain_new.restype = ctypes.c_void_p
    lib.chain_new.argtypes = [ctypes.c_long]
    lib.chain_free.argtypes = [ctypes.c_void_p]
    lib.chain_load_ns.restype = ctypes.c_double
    lib.chain_load_ns.argtypes = [ctypes.c_void_p, ctypes.c_long]
    lib.integer_step_ns.restype = ctypes.c_double
    lib.integer_step_ns.argtypes = [ctypes.c_long]
    return lib


def state(samples=3, pause=0.001):
    """Medians over `samples` short measurements, `pause` seconds apart (some 15 ms in all):
    {"l2 load ns": ..., "integer step ns": ...}."""
    lib = _probe()
    chain = lib.chain_new(L2_CHAIN_BYTES)
    try:
        loads, steps = [], []
        for _ in range(samples):
            loads.append(lib.chain_load_ns(chain, LOADS))
            steps.append(lib.integer_step_ns(STEPS))
            time.sleep(pause)
    finally:
        lib.chain_free(chain)
    return {"l2 load ns": statistics.median(loads), "integer step ns": statistics.median(steps)}


def sample(out_path, every=SAMPLE_EVERY):
    """Samples until stopped, or until the process that started it is gone."""
    parent = os.getppid()
    with open(out_path, "a") as out:
        while os.getppid() == parent:
            point = state()
            out.write("%.3f,%.4f,%.4f\n" % (time.time(), point["l2 load ns"], point["integer step ns"]))
            out.flush()
            time.sleep(every)


if __name__ == "__main__":
    sample(sys.argv[1])
