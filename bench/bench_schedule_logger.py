"""The schedule and the logger against what Keras and tf.summary offer directly.

Rows (per call, microseconds; baseline measured in the same run):
- eager ``schedule(step)`` against ``CosineDecay`` with warm-up;
- one compiled train step (SGD on one variable) whose learning rate comes from the schedule,
  against the same step with ``CosineDecay``;
- ``update_metrics`` with four keys against four ``tf.summary.scalar`` calls and a flush.
"""
import os
import tempfile
import time

import tensorflow as tf

from vireo.quillon.callbacks.tensorboard import TensorBoard
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay

START, TARGET, WARMUP, TOTAL = 0.0001, 0.01, 100, 10000


def per_call_us(fn, baseline, calls, repeats=7):
    """Best of `repeats` runs of `calls` calls of each, in microseconds per call. The two are
    timed alternately so that a change in machine load affects both alike."""
    for _ in range(10):
        fn()
        baseline()
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for i, f in enumerate((fn, baseline)):
            begin = time.perf_counter()
            for _ in range(calls):
                f()
            best[i] = min(best[i], time.perf_counter() - begin)
    return best[0] / calls * 1e6, best[1] / calls * 1e6


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
    names = ["total-loss", "L2-loss", "step-time (seconds)", "learning-rate"]
    losses = {name: tf.constant(0.5 + i) for i, name in enumerate(names)}
    logger = TensorBoard(os.path.join(folder, "logger"), names)

    writer = tf.summary.create_file_writer(os.path.join(folder, "direct"))
    counter = [0]

    def direct():
        for name in names:
            with writer.as_default():
                tf.summary.scalar(name, losses[name], step=counter[0])
        writer.flush()
        counter[0] += 1

    return per_call_us(lambda: logger.update_metrics({}, losses), direct, 200)


def run():
    ours, keras = schedules()
    rows = []
    value, baseline = eager_call(ours, keras)
    rows.append({"name": "schedule: eager schedule(step), vs CosineDecay(warm-up)", "value": value,
                 "unit": "us/call", "baseline": baseline})
    value, baseline = train_step(ours, keras)
    rows.append({"name": "schedule: compiled SGD train step, vs CosineDecay(warm-up)", "value": value,
                 "unit": "us/step", "baseline": baseline})
    with tempfile.TemporaryDirectory() as folder:
        value, baseline = logger_update(folder)
    rows.append({"name": "logger: update_metrics(4 keys), vs 4 tf.summary.scalar + flush", "value": value,
                 "unit": "us/call", "baseline": baseline})
    return rows
