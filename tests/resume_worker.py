"""Child process of the resume tests: one deterministic training run of a tiny detector, fresh or
restored from its checkpoint folder, that can stop dead at a chosen point for the parent to kill.

    python resume_worker.py FOLDER EPOCHS fresh|restore [--stop-at EPOCH:POINT]

POINT is "batch" (epoch EPOCH has trained and logged its first batch), "plots" (its validation
is recorded in summary.csv, TensorBoard and DVC Live, last.h5 and the state are not yet written)
or "state" (the state's data files are written, the index naming the latest state is not yet
updated). The worker then prints STOPPED and waits. At the end it saves the model's weights to
FOLDER/weights.npz and prints DONE. The parts (model, data, evaluator) serve in-process tests too.
"""
import argparse
import os
import sys
import time

import numpy as np

import vireo  # noqa: F401  (Keras 2 before TensorFlow loads)
import tensorflow as tf

from vireo.quillon.callbacks import QuillonTrainingCallback
from vireo.quillon.callbacks.tensorboard import TensorBoard
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay
from vireo.quillon.trainer.detection import DetectionTrainer

BATCHES, BATCH = 3, 2
SUMMARY_KEYS = [f"{f}@{t}" for f in ("mAP", "mACC", "mAR") for t in ("0.5", "0.75", "0.5:0.95")] + [
    "Overall-ACC", "Overall-AP", "Overall-AR"]
LOGGED = ["total-loss", "head-a", "L2-loss", "learning-rate", "step-time (seconds)"] + SUMMARY_KEYS


def make_model(filters=4):
    """Two training heads, then two inference outputs; L2 on the shared convolution."""
    inp = tf.keras.Input((8, 8, 3))
    x = tf.keras.layers.Conv2D(filters, 3, padding="same", activation="relu",
                               kernel_regularizer=tf.keras.regularizers.L2(0.01))(inp)
    pooled = tf.keras.layers.GlobalAveragePooling2D()(x)
    outputs = [tf.keras.layers.Conv2D(2, 1)(x), tf.keras.layers.Dense(2)(pooled),
               tf.keras.layers.Conv2D(3, 1)(x), tf.keras.layers.Dense(2)(pooled)]
    return tf.keras.Model(inp, outputs)


class Loss:
    def compute_loss(self, targets, outputs):
        ta, tb = targets
        head_a = tf.reduce_mean(tf.square(outputs[0] - ta))
        rest = tf.reduce_mean(tf.square(outputs[1] - tb)) + 0.01 * sum(tf.reduce_mean(o * o) for o in outputs[2:])
        return {"total-loss": head_a + rest, "head-a": head_a}


def train_data():
    """Fixed, unshuffled batches: every run sees the same data in the same order."""
    rng = np.random.default_rng(0)
    n = BATCHES * BATCH
    images = rng.integers(0, 256, (n, 8, 8, 3), dtype=np.uint8)
    return tf.data.Dataset.from_tensor_slices(
        (images, rng.random((n, 8, 8, 2), dtype=np.float32), rng.random((n, 2), dtype=np.float32))).batch(BATCH)


def val_data():
    images = np.arange(2 * 192, dtype=np.uint8).reshape(2, 8, 8, 3)
    boxes = np.array([[[0.1, 0.1, 0.5, 0.5, 1]]] * 2, np.float32)
    return tf.data.Dataset.from_tensor_slices((images, boxes, [b"a.png", b"b.png"])).batch(1)


class Runner:
    def __init__(self, model):
        self.model = model

    def run_single_instance(self, image):
        if self.model is None:
            return np.zeros((1, 4), np.float32), np.array(["dog"]), np.array([0.9], np.float32)
        scores = self.model(image[None].astype(np.float32) / 255.0)[3]
        return np.zeros((1, 4), np.float32), np.array(["dog"]), tf.sigmoid(scores).numpy()[0]


class Evaluator:
    """mACC@0.5 is the mean detection score of `model` over the validation samples, so every
    summary row depends on the weights; `values`, when given, script it by epoch instead (the
    model may then be None)."""

    def __init__(self, model, values=None, stop_at=None):
        self.runner = Runner(model)
        self.values, self.stop_at = values, stop_at
        self.scores = []
        self.current_plots, self.current_summary = {}, ""

    def __call__(self, val_messenger=None, labels=None):
        pass

    def single_evaluation(self, instances, epoch, add_image):
        self.scores.append(float(np.mean(instances["dt_instance"]["scores"])))
        return len(self.scores)

    def conclude(self, truth_values, epoch=None):
        value = self.values[epoch] if self.values else float(np.mean(self.scores))
        self.scores = []
        self.current_summary = f"epoch {epoch}\n"
        metrics = {"OP": 0.61, "OR": 0.62, "OA": 0.63}
        for i, family in enumerate(("mAP", "mACC", "mAR")):
            metrics[family] = {"0.5": 0.1 * (i + 1), "0.75": 0.2, "0.5:0.95": 0.3}
        metrics["mACC"]["0.5"] = value
        return metrics

    def save_plots_disk(self, plots=None, path=None):
        stop_here(self.stop_at, getattr(self, "epoch_seen", None), "plots")


class StopAt(QuillonTrainingCallback):
    """Notes the epoch for the evaluator, and stops at the chosen batch."""

    def __init__(self, evaluator, stop_at):
        self.evaluator, self.stop_at = evaluator, stop_at

    def on_epoch_start(self, epoch=None):
        self.evaluator.epoch_seen = epoch

    def on_step_start(self, step=None):
        if step == 1:
            stop_here(self.stop_at, self.evaluator.epoch_seen, "batch")


def stop_here(stop_at, epoch, point):
    if stop_at == (epoch, point):
        print("STOPPED", flush=True)
        time.sleep(600)


def pause_before_state_index(stop_at):
    """Stops the state save of epoch stop_at[0] between its data files and its index update,
    through TensorFlow's own write callbacks (they run before the manager records the state)."""
    real_save = tf.train.CheckpointManager.save

    def save(manager, checkpoint_number=None, **kwargs):
        def pause(save_path):
            stop_here(stop_at, checkpoint_number, "state")

        options = tf.train.CheckpointOptions(experimental_write_callbacks=[pause])
        return real_save(manager, checkpoint_number=checkpoint_number, options=options)

    tf.train.CheckpointManager.save = save


def make_trainer(folder, optimizer=None, model=None, **kwargs):
    """The trainer of a run in `folder`: checkpoints in ckpt/, TensorBoard in logs/."""
    tf.keras.utils.set_random_seed(7)
    model = model or make_model()
    if optimizer is None:
        optimizer = tf.keras.optimizers.legacy.Adam(WarmUpCosineDecay(1e-4, 1e-2, 4, 4 * BATCHES, 0))
    logger = TensorBoard(os.path.join(folder, "logs"), LOGGED)
    kwargs.setdefault("classes", ["cat", "dog"])
    kwargs.setdefault("display", 0)
    return DetectionTrainer(model, None, optimizer, Loss(), logger, checkpoint=os.path.join(folder, "ckpt"), **kwargs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("epochs", type=int)
    parser.add_argument("mode", choices=["fresh", "restore"])
    parser.add_argument("--stop-at", default=None)
    args = parser.parse_args()
    stop_at = None
    if args.stop_at:
        epoch, point = args.stop_at.split(":")
        stop_at = (int(epoch), point)

    tf.config.experimental.enable_op_determinism()
    if stop_at and stop_at[1] == "state":
        pause_before_state_index(stop_at)
    trainer = make_trainer(args.folder, dvclive_output=os.path.join(args.folder, "live"), info={"run": "resume"})
    evaluator = Evaluator(trainer.model, stop_at=stop_at)
    start = trainer.restore() if args.mode == "restore" else 1
    trainer.train(args.epochs, train_data(), val_data(), evaluator, start=start,
                  callback_handler=StopAt(evaluator, stop_at))
    np.savez(os.path.join(args.folder, "weights.npz"), *trainer.model.get_weights())
    print("DONE", flush=True)


if __name__ == "__main__":
    sys.exit(main())
