"""Detection trainer: what `train()` costs per step on top of the compiled `train_step`, and
what tf.distribute adds per step.

For two models (a step of about 5 ms and one of about 50 ms on this machine) the same data is
run through `train_step` in a plain loop and through `train()` (tqdm bar, callbacks, the
learning-rate refresh and the TensorBoard logger write per batch), the learning rate coming
from a WarmUpCosineDecay schedule as in real training. Per-step times are the intervals
between consecutive step starts within an epoch (for `train()`, at `on_step_start`), so the
epoch-end checkpoint save is left out (it is reported on its own); each round's median interval
is taken, which keeps bursts of load from other processes out of the result, and the overhead is
the median over rounds of the ratio of the two sides' intervals in the same round. The work
between steps is also timed directly (from a step's end to the next one's start, less the plain
loop's own gap), which the step's noise does not reach; it leaves out one cost the intervals
hold: the step itself runs slower inside `train()` (its code and data are colder after the work
between steps), reported as its own row.

Where the overhead goes: the per-step work of the loop besides the step, timed on its own in
interleaved rounds: the progress bar (the postfix text with the loss and learning rate read
back from their tensors, set without a redraw, as the trainer does; tqdm redraws every 0.1 s), the logger's write and flush, and the
learning-rate read from the schedule; the rest is the loop's own glue.
"""
import os
import statistics
import tempfile
import time
import warnings

import numpy as np
import tensorflow as tf
from tqdm import tqdm

from vireo.quillon.callbacks import QuillonTrainingCallback
from vireo.quillon.callbacks.tensorboard import TensorBoard
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay
from vireo.quillon.trainer.detection import DetectionTrainer

from common import interleave, ratio_row, value_row

STEPS, ROUNDS, BATCH = 40, 20, 8
# The ~5 ms step runs more rounds: a round costs a tenth of the ~50 ms one, and its overhead,
# a few tenths of a millisecond against a step whose own round-to-round noise is some ±5 %,
# needs them to hold from run to run.
SHORT_STEP_ROUNDS = 60
LOSS_KEYS = ["total-loss", "L2-loss", "step-time (seconds)", "learning-rate"]
BAR_FORMAT = "{l_bar}{bar:15}{r_bar}{bar:-15b}"  # the trainer's


def make_model(size, filters, layers):
    inp = tf.keras.Input((size, size, 3))
    x = inp
    for _ in range(layers):
        x = tf.keras.layers.Conv2D(filters, 3, padding="same", activation="relu",
                                   kernel_regularizer=tf.keras.regularizers.L2(1e-4))(x)
    pooled = tf.keras.layers.GlobalAveragePooling2D()(x)
    outputs = [tf.keras.layers.Conv2D(2, 1)(x), tf.keras.layers.Dense(2)(pooled),
               tf.keras.layers.Conv2D(3, 1)(x)]
    return tf.keras.Model(inp, outputs)


class Loss:
    def compute_loss(self, targets, outputs):
        (target,) = targets
        return {"total-loss": tf.reduce_mean(tf.square(outputs[0] - target)) + tf.reduce_mean(outputs[1] ** 2)}


class StepClock(QuillonTrainingCallback):
    """Notes the time at every step start, the trainer's only per-step hook before the step,
    and at every step end (the hook right after the step and the learning-rate read)."""

    def __init__(self):
        self.starts = []
        self.ends = []

    def on_epoch_start(self, epoch=None):
        self.starts.append([])
        self.ends.append([])

    def on_step_start(self, step=None):
        self.starts[-1].append(time.perf_counter())

    def on_step_end(self, losses=None, lr=None):
        self.ends[-1].append(time.perf_counter())


def intervals(times):
    return [b - a for a, b in zip(times, times[1:])]


def gaps(starts, ends):
    """From each step's end to the next step's start: the loop's own work between steps."""
    return [start - end for end, start in zip(ends, starts[1:])]


def loop_parts(trainer, logger, losses):
    """Per-step milliseconds of the loop's work besides the step, each over STEPS steps, in
    interleaved rounds: {part: [ms per round]}."""
    optimizer = trainer.optimizer
    lr = trainer.current_lr

    def per_step(body):
        def measure():
            start = time.perf_counter()
            body()
            return (time.perf_counter() - start) / STEPS * 1e3
        return measure

    def progress_bar():
        loop = tqdm(range(STEPS), desc="Epoch 1", leave=False, bar_format=BAR_FORMAT, colour="green")
        for _ in loop:
            postfix = "loss: {:.3f}   lr: {:.6f} step-time: {:.6f}".format(losses["total-loss"], lr.numpy(), 0.005)
            loop.set_postfix(values=postfix, refresh=False)  # as the trainer: tqdm redraws on its own clock

    def logger_writes():
        for _ in range(STEPS):
            logger.update_metrics({}, losses)

    def learning_rate():
        # As the trainer reads it: a schedule is called at the step count, a variable taken as is.
        for _ in range(STEPS):
            rate = optimizer.lr
            if isinstance(rate, tf.keras.optimizers.schedules.LearningRateSchedule):
                rate(optimizer.iterations)

    return interleave({"progress bar": per_step(progress_bar), "logger": per_step(logger_writes),
                       "learning rate": per_step(learning_rate)}, rounds=ROUNDS)


def measure(label, nominal_ms, size, filters, layers, folder, rounds):
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (STEPS * BATCH, size, size, 3), dtype=np.uint8)
    targets = rng.random((STEPS * BATCH, size, size, 2), dtype=np.float32)
    data = tf.data.Dataset.from_tensor_slices((images, targets)).batch(BATCH).cache()
    logger = TensorBoard(os.path.join(folder, label, "logs"), LOSS_KEYS)
    schedule = WarmUpCosineDecay(1e-4, 1e-3, 50, 10000, 0)
    trainer = DetectionTrainer(make_model(size, filters, layers), None, tf.keras.optimizers.SGD(schedule), Loss(),
                               logger, checkpoint=os.path.join(folder, label, "ckpt"), classes=[])

    # Rounds alternate an epoch of the compiled step alone and an epoch of train(), over the
    # same data, so that load from elsewhere on the machine hits both alike.
    for batch in data:
        trainer.train_step(batch)
    alone, looped, alone_gaps, looped_gaps, alone_steps, looped_steps = [], [], [], [], [], []
    for _ in range(rounds):
        stamps, ends = [], []
        for batch in data:
            stamps.append(time.perf_counter())
            trainer.train_step(batch)
            ends.append(time.perf_counter())
        alone.append(statistics.median(intervals(stamps)))
        alone_gaps.append(statistics.median(gaps(stamps, ends)))
        alone_steps.append(statistics.median(b - a for a, b in zip(stamps, ends)))
        clock = StepClock()
        trainer.train(1, data, callback_handler=clock)
        looped.append(statistics.median(intervals(clock.starts[0])))
        looped_gaps.append(statistics.median(gaps(clock.starts[0], clock.ends[0])))
        looped_steps.append(statistics.median(b - a for a, b in zip(clock.starts[0], clock.ends[0])))
    overhead = ratio_row("", "", looped, alone)
    # The overhead from the rounds' paired ratios: a drift of the machine's speed between
    # rounds hits both sides of a round alike.
    paired = statistics.median(a / b for a, b in zip(looped, alone))
    step, looped = statistics.median(alone), statistics.median(looped)
    # The work train() adds between two steps, timed directly: the gap from a step's end to the
    # next step's start, less the plain loop's gap (fetching the next batch). Unlike the
    # intervals, it holds no step time, whose round-to-round noise is some ±5 % of the step.
    between = statistics.median(a - b for a, b in zip(looped_gaps, alone_gaps))

    losses = trainer.train_step(next(iter(data)))
    losses["step-time (seconds)"], losses["learning-rate"] = 0.005, trainer.current_lr
    parts = loop_parts(trainer, logger, losses)
    write = statistics.median(parts["logger"]) / 1e3
    rest = [(paired - 1) * step * 1e3 - sum(statistics.median(parts[k]) for k in parts)]

    saves = []
    for _ in range(3):
        t = time.perf_counter()
        trainer.save_model(-1.0)
        saves.append(time.perf_counter() - t)

    name = f"trainer [{label}]"
    return [
        {"name": f"{name} train_step alone", "value": step * 1e3, "unit": "ms/step", "baseline": None},
        {"name": f"{name} train() per step", "value": looped * 1e3, "unit": "ms/step", "baseline": step * 1e3,
         "spread": overhead["spread"], "rounds": rounds},
        {"name": f"{name} train() overhead", "value": 100 * (paired - 1), "unit": "% of step",
         "baseline": None},
        {"name": f"{name} train() work between steps", "value": 100 * between / step, "unit": "% of step",
         "baseline": None},
        value_row(f"{name} train() work between steps (ms)", "ms/step",
                  [(a - b) * 1e3 for a, b in zip(looped_gaps, alone_gaps)]),
        # The same work against the nominal step: this machine's step time varies from run to
        # run, the work between steps hardly (it is mostly cold-cache cost, which a step of 5 ms
        # or more leaves at its full height).
        {"name": f"{name} train() work between steps, % of a {nominal_ms:g} ms step",
         "value": 100 * between * 1e3 / nominal_ms, "unit": "%", "baseline": None},
        # The step itself inside train() (from on_step_start to on_step_end, which also holds
        # the learning-rate refresh): the work between steps leaves the step's own code and
        # data colder than a plain loop does.
        ratio_row(f"{name} train_step inside train() vs alone (ms)", "ms",
                  [t * 1e3 for t in looped_steps], [t * 1e3 for t in alone_steps]),
        value_row(f"{name} overhead part: progress bar postfix and redraw", "ms/step", parts["progress bar"]),
        value_row(f"{name} overhead part: logger write+flush", "ms/step", parts["logger"]),
        value_row(f"{name} overhead part: learning-rate read from the schedule", "ms/step", parts["learning rate"]),
        {"name": f"{name} overhead part: remainder (callbacks, timing, loop glue)", "value": rest[0], "unit": "ms/step",
         "baseline": None},
        {"name": f"{name} logger share of train() step", "value": 100 * write / looped, "unit": "%",
         "baseline": None},
        {"name": f"{name} save_model(-1.0) per epoch", "value": statistics.median(saves) * 1e3, "unit": "ms",
         "baseline": None},
    ]


def measure_strategy(size, filters, layers, folder):
    """train() per step of a model built in a one-device MirroredStrategy's scope (the
    distributed path: strategy.run, the replica's share, the reduced losses) against the same
    model without a strategy (the plain path, which the distributed code leaves as it was)."""
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (STEPS * BATCH, size, size, 3), dtype=np.uint8)
    targets = rng.random((STEPS * BATCH, size, size, 2), dtype=np.float32)
    data = tf.data.Dataset.from_tensor_slices((images, targets)).batch(BATCH).cache()

    def trainer(name, strategy):
        with strategy.scope():
            model, optimizer = make_model(size, filters, layers), tf.keras.optimizers.SGD(1e-3)
        logger = TensorBoard(os.path.join(folder, name, "logs"), LOSS_KEYS)
        return DetectionTrainer(model, None, optimizer, Loss(), logger, checkpoint=os.path.join(folder, name, "ckpt"),
                                classes=[])

    trainers = {"plain": trainer("plain", tf.distribute.get_strategy()),
                "mirrored": trainer("mirrored", tf.distribute.MirroredStrategy(["/cpu:0"]))}

    def epoch(name):
        def run():
            clock = StepClock()
            trainers[name].train(1, data, callback_handler=clock)
            return statistics.median(intervals(clock.starts[0]))
        return run

    times = interleave({name: epoch(name) for name in trainers}, rounds=ROUNDS)
    return [ratio_row("trainer [~5 ms step] train() per step, one-device MirroredStrategy vs none", "ms/step",
                      [t * 1e3 for t in times["mirrored"]], [t * 1e3 for t in times["plain"]])]


def run():
    warnings.filterwarnings("ignore", message="You are saving your model as an HDF5 file")
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        # Sized to take about 5 and 50 ms a step on the idle 2-core machine.
        rows += measure("~5 ms step", 5, 60, 16, 2, folder, SHORT_STEP_ROUNDS)
        rows += measure("~50 ms step", 50, 120, 32, 2, folder, ROUNDS)
        rows += measure_strategy(60, 16, 2, folder)
    return rows
