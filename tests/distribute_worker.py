"""Child process of tests/test_distribute.py: trainings under tf.distribute that need a fresh
TensorFlow (logical devices are configured before TensorFlow starts; a cluster is joined once).

    python distribute_worker.py mirrored OUT   one device, then MirroredStrategy over two logical
                                               CPU devices, with the same global batch
    python distribute_worker.py worker OUT I   worker I of the MultiWorkerMirroredStrategy
                                               cluster in TF_CONFIG; writes to OUT/worker<I>

Each run writes its weights (run.npz) and what its callbacks saw (run.json) into OUT.
"""
import contextlib
import json
import os
import sys

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import vireo  # noqa: E402,F401  (Keras 2 before TensorFlow loads)

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from vireo.quillon.callbacks import QuillonTrainingCallback  # noqa: E402
from vireo.quillon.callbacks.tensorboard import TensorBoard  # noqa: E402
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay  # noqa: E402
from vireo.quillon.trainer.detection import DetectionTrainer  # noqa: E402

LOSS_KEYS = ["total-loss", "head-a", "L2-loss", "step-time (seconds)", "learning-rate"]
SUMMARY_KEYS = ["mAP@0.5", "mACC@0.5", "mAR@0.5"]
GLOBAL_BATCH, SAMPLES, EPOCHS = 4, 11, 2  # batches of 4, 4 and 3: the last one splits unevenly


def make_model(batch_norm):
    """Two training heads, then two inference outputs; L2 on the first convolution. The
    synchronized BatchNormalization normalises with the global batch's statistics (and makes a
    bias before it pointless: its gradient is rounding noise, which Adam would amplify)."""
    tf.keras.utils.set_random_seed(7)
    inp = tf.keras.Input((8, 8, 3))
    x = tf.keras.layers.Conv2D(4, 3, padding="same", use_bias=not batch_norm,
                               kernel_regularizer=tf.keras.regularizers.L2(0.01))(inp)
    if batch_norm:
        x = tf.keras.layers.BatchNormalization(synchronized=True)(x)
    x = tf.keras.layers.ReLU()(x)
    pooled = tf.keras.layers.GlobalAveragePooling2D()(x)
    outputs = [tf.keras.layers.Conv2D(2, 1)(x), tf.keras.layers.Dense(2)(pooled),
               tf.keras.layers.Conv2D(3, 1)(x), tf.keras.layers.Dense(2)(pooled)]
    return tf.keras.Model(inp, outputs)


class Loss:
    """Means over the batch's samples, as detection losses are."""

    def compute_loss(self, targets, outputs):
        ta, tb = targets
        head_a = tf.reduce_mean(tf.square(outputs[0] - ta))
        rest = tf.reduce_mean(tf.square(outputs[1] - tb)) + 0.01 * sum(tf.reduce_mean(o * o) for o in outputs[2:])
        return {"total-loss": head_a + rest, "head-a": head_a}


def train_data(samples=SAMPLES, batch=GLOBAL_BATCH):
    rng = np.random.default_rng(0)
    images = rng.integers(0, 256, (samples, 8, 8, 3), dtype=np.uint8)
    targets = rng.random((samples, 8, 8, 2), dtype=np.float32), rng.random((samples, 2), dtype=np.float32)
    return tf.data.Dataset.from_tensor_slices((images, *targets)).batch(batch)


def val_data():
    images = np.arange(2 * 192, dtype=np.uint8).reshape(2, 8, 8, 3)
    boxes = np.array([[[0.1, 0.1, 0.5, 0.5, 1]]] * 2, np.float32)
    return tf.data.Dataset.from_tensor_slices((images, boxes, [b"a.png", b"b.png"])).batch(1)


class Runner:
    """Runs the model on the image, as a real runner does: under a multi-worker strategy this
    reads the BatchNormalization statistics, a collective operation."""

    def __init__(self, model):
        self.model = model

    def run_single_instance(self, image):
        scores = self.model(image[None].astype(np.float32) / 255.0, training=False)[3].numpy()[0]
        return np.zeros((1, 4), np.float32), np.array(["cat"]), scores[:1]


class Evaluator:
    def __init__(self, model, values):
        self.runner, self.values = Runner(model), list(values)
        self.current_plots, self.current_summary = {}, ""

    def __call__(self, val_messenger=None, labels=None):
        self.val_messenger = val_messenger

    def single_evaluation(self, instances, epoch, add_image):
        if add_image:
            self.val_messenger.write_image("sample", instances["gt_instance"]["image"], epoch)
        return 1

    def conclude(self, truth_values, epoch=None):
        value = self.values.pop(0)
        self.current_summary = f"epoch {epoch}: {value}\n"
        return {"OP": value, "OR": value, "OA": value,
                **{family: {t: value for t in ("0.5", "0.75", "0.5:0.95")} for family in ("mAP", "mAR", "mACC")}}

    def save_plots_disk(self, plots=None, path=None):
        with open(os.path.join(path, "plot.txt"), "w") as f:
            f.write(self.current_summary)


class Recorder(QuillonTrainingCallback):
    """What the callbacks see of every step."""

    def __init__(self):
        self.steps = []

    def on_step_end(self, losses=None, lr=None):
        self.steps.append({**{k: float(v) for k, v in losses.items()}, "lr": float(lr.numpy())})


def build_trainer(folder, strategy, batch_norm=True):
    """A trainer of a model and optimizer built in `strategy`'s scope (None: one device)."""
    with strategy.scope() if strategy else contextlib.nullcontext():
        model = make_model(batch_norm)
        optimizer = tf.keras.optimizers.Adam(WarmUpCosineDecay(0.001, 0.01, 2, 6, 0))
    logger = TensorBoard(os.path.join(folder, "logs"), LOSS_KEYS + SUMMARY_KEYS)
    return DetectionTrainer(model, None, optimizer, Loss(), logger, checkpoint=os.path.join(folder, "ckpt"),
                            classes=["background", "cat"], display=1, info={"run": os.path.basename(folder)})


def train_run(folder, strategy):
    trainer, recorder = build_trainer(folder, strategy), Recorder()
    trainer.train(EPOCHS, train_data(), val_data(), Evaluator(trainer.model, [0.2, 0.5, 0.4]),
                  callback_handler=recorder)
    return trainer, recorder


def save_results(out, name, trainer, recorder, **extra):
    np.savez(os.path.join(out, f"{name}.npz"), *[w.numpy() for w in trainer.model.weights])
    with open(os.path.join(out, f"{name}.json"), "w") as f:
        json.dump({"steps": recorder.steps, "best_value": trainer.best_value,
                   "iterations": int(trainer.optimizer.iterations.numpy()), **extra}, f)


def refused(call):
    try:
        call()
    except (TypeError, ValueError) as error:
        return f"{type(error).__name__}: {error}"
    return "nothing raised"


def mirrored(out):
    cpu = tf.config.list_physical_devices("CPU")[0]
    tf.config.set_logical_device_configuration(cpu, [tf.config.LogicalDeviceConfiguration()] * 2)
    trainer, recorder = train_run(os.path.join(out, "one"), None)
    save_results(out, "one", trainer, recorder)

    strategy = tf.distribute.MirroredStrategy(["/cpu:0", "/cpu:1"])
    trainer, recorder = train_run(os.path.join(out, "mirrored"), strategy)
    save_results(out, "mirrored", trainer, recorder, replicas=strategy.num_replicas_in_sync)
    # What a refused dataset looks like: a list, and a last batch of one sample for two replicas.
    trainer = build_trainer(os.path.join(out, "refusing"), strategy)
    errors = {"list": refused(lambda: trainer.train(1, list(train_data()))),
              "one sample for two replicas": refused(lambda: trainer.train(1, train_data(samples=5)))}
    with open(os.path.join(out, "errors.json"), "w") as f:
        json.dump(errors, f)


def worker(out, index):
    strategy = tf.distribute.MultiWorkerMirroredStrategy()
    trainer, recorder = train_run(os.path.join(out, f"worker{index}"), strategy)
    save_results(out, f"worker{index}", trainer, recorder, replicas=strategy.num_replicas_in_sync,
                 chief=bool(strategy.extended.should_checkpoint))


if __name__ == "__main__":
    if sys.argv[1] == "mirrored":
        mirrored(sys.argv[2])
    else:
        worker(sys.argv[2], int(sys.argv[3]))
