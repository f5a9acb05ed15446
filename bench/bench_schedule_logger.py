"""The schedule and the logger against what Keras and tf.summary offer directly.

Rows (per call, microseconds; baseline measured in the same run):
- eager ``schedule(step)`` against ``CosineDecay`` with warm-up;
- one compiled train step (SGD on one variable) whose learning rate comes from the schedule,
  against the same step with ``CosineDecay``;
- ``update_metrics`` with four keys against four ``tf.summary.scalar`` calls and a flush, by
  the wall clock and by CPU time, and its absolute wall time per call.
"""
import os
import tempfile
import time

import tensorflow as tf

from vireo.quillon.callbacks.tensorboard import TensorBoard
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay

from common import interleave, ratio_row, value_row

START, TARGET, WARMUP, TOTAL = 0.0001, 0.01, 100, 10000


def per_call_us(fn, baseline, calls, repeats=7, clock=time.perf_counter):
    """Microseconds per call of each side, per round: `repeats` rounds of `calls` calls, the two
    sides timed alternately so that a change in machine load affects both alike. `clock` is
    the wall clock or the process's CPU clock."""
    for _ in range(10):
        fn()
        baseline()

    def timed(f):
        def measure():
            begin = clock()
            for _ in range(calls):
                f()
            return (clock() - begin) / calls * 1e6
        return measure

    values = interleave({"ours": timed(fn), "base": timed(baseline)}, rounds=repeats, warmup=0)
    return values["ours"], values["base"]


def schedules():
    ours = WarmUpCosineDecay(START, TARGET, WARMUP, TOTAL, 0)
    keras = tf.keras.optimizers.schedules.CosineDecay(
        initial_learning_rate=0.0, decay_steps=TOTAL - WARMUP, warmup_target=TARGET, warmup_steps=WARMUP,
        alpha=START / TARGET)
    return ours, keras


def eager_call(ours, keras):
    step = tf.constant(500, tf.int64)
    return per_call_us(lambda: ours(step), lambda: keras(step), 300)


def compiled_step(schedule):
    optimizer = tf.keras.optimizers.legacy.SGD(learning_rate=schedule)
    variable = tf.Variable(1.0)

    @tf.function
    def step():
        with tf.GradientTape() as tape:
            loss = variable * variable
        optimizer.apply_gradients([(tape.gradient(loss, variable), variable)])

    return step


def train_step(ours, keras):
    return per_call_us(compiled_step(ours), compiled_step(keras), 300)


def logger_update(folder):
    """update_metrics with the four per-batch keys against four tf.summary.scalar and a flush:
    per-call wall and CPU microseconds, each in its own interleaved rounds."""
    names = ["total-loss", "L2-loss", "step-time (seconds)", "learning-rate"]
    losses = {name: tf.constant(0.5 + i) for i, name in enumerate(names)}
    losses["step-time (seconds)"] = 0.004  # as the trainer passes it: a Python float
    logger = TensorBoard(os.path.join(folder, "logger"), names)

    writer = tf.summary.create_file_writer(os.path.join(folder, "direct"))
    counter = [0]

    def direct():
        for name in names:
            with writer.as_default():
                tf.summary.scalar(name, losses[name], step=counter[0])
        writer.flush()
        counter[0] += 1

    def ours():
        logger.update_metrics({}, losses)

    return per_call_us(ours, direct, 200), per_call_us(ours, direct, 200, clock=time.process_time)


def run():
    ours, keras = schedules()
    rows = []
    rows.append(ratio_row("schedule: eager schedule(step), vs CosineDecay(warm-up)", "us/call",
                          *eager_call(ours, keras)))
    rows.append(ratio_row("schedule: compiled SGD train step, vs CosineDecay(warm-up)", "us/step",
                          *train_step(ours, keras)))
    with tempfile.TemporaryDirectory() as folder:
        wall, cpu = logger_update(folder)
    rows.append(ratio_row("logger: update_metrics(4 keys), vs 4 tf.summary.scalar + flush", "us/call", *wall))
    rows.append(ratio_row("logger: update_metrics(4 keys) CPU, vs 4 tf.summary.scalar + flush", "us/call", *cpu))
    rows.append(value_row("logger: update_metrics(4 keys) write + flush, wall", "us/call", wall[0]))
    return rows
