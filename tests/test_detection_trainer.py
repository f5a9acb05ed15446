"""DetectionTrainer: construction, training step, the training loop, validation bookkeeping,
checkpoints, and the DVC Live and MLflow records, on a tiny real tf-keras model."""
import collections
import contextlib
import json
import logging
import math
import os
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest
import tensorflow as tf
import yaml

from vireo.quillon.callbacks import QuillonTrainingCallback
from vireo.quillon.callbacks.tensorboard import TensorBoard
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay
from vireo.quillon.trainer.detection import DetectionTrainer

FAMILIES = ("mAP", "mACC", "mAR")
THRESHOLDS = ("0.5", "0.75", "0.5:0.95")
HEADER = ("epoch,mAP@0.5,mAP@0.75,mAP@0.5:0.95,mACC@0.5,mACC@0.75,mACC@0.5:0.95,"
          "mAR@0.5,mAR@0.75,mAR@0.5:0.95,Overall-ACC,Overall-AP,Overall-AR")
LOSS_KEYS = ["total-loss", "head-a", "L2-loss", "step-time (seconds)", "learning-rate"]
SUMMARY_KEYS = [f"{f}@{t}" for f in FAMILIES for t in THRESHOLDS] + ["Overall-ACC", "Overall-AP", "Overall-AR"]


# --- collaborators -------------------------------------------------------------------------

def make_model(l2=0.0):
    """Two training heads, then a 4-D and a 2-D inference output."""
    reg = tf.keras.regularizers.L2(l2) if l2 else None
    inp = tf.keras.Input((8, 8, 3))
    x = tf.keras.layers.Conv2D(4, 3, padding="same", activation="relu", kernel_regularizer=reg)(inp)
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


def train_data(batches=2, batch=2, seed=0):
    rng = np.random.default_rng(seed)
    n = batches * batch
    images = rng.integers(0, 256, (n, 8, 8, 3), dtype=np.uint8)
    return tf.data.Dataset.from_tensor_slices(
        (images, rng.random((n, 8, 8, 2), dtype=np.float32), rng.random((n, 2), dtype=np.float32))).batch(batch)


def val_data(samples=2, batch=1, class_ids=(0, 1)):
    images = np.arange(samples * batch * 192, dtype=np.uint8).reshape(samples * batch, 8, 8, 3)
    boxes = np.array([[[0.1, 0.1, 0.5, 0.5, c] for c in class_ids]] * samples * batch, np.float32)
    names = [f"img{i}.png".encode() for i in range(samples * batch)]
    return tf.data.Dataset.from_tensor_slices((images, boxes, names)).batch(batch)


def metrics_for(value):
    """The evaluator's metrics layout; every family/threshold differs, mACC@0.5 is `value`."""
    metrics = {"OP": 0.61, "OR": 0.62, "OA": 0.63}
    for i, family in enumerate(FAMILIES):
        metrics[family] = {t: round(0.1 * (i + 1) + 0.01 * j, 2) for j, t in enumerate(THRESHOLDS)}
    metrics["mACC"]["0.5"] = value
    return metrics


class Runner:
    def __init__(self):
        self.images = []

    def run_single_instance(self, image):
        self.images.append(image)
        return np.zeros((1, 4), np.float32), np.array(["a"]), np.array([0.9], np.float32)


class Evaluator:
    """Scripted evaluator: `values` are the mACC@0.5 results of successive validations."""

    def __init__(self, values):
        self.values = list(values)
        self.runner = Runner()
        self.calls = []
        self.samples = []
        self.current_plots = {"pr-curve": object()}
        self.current_summary = ""

    def __call__(self, val_messenger=None, labels=None):
        self.calls.append(("__call__", val_messenger, labels))

    def single_evaluation(self, instances, epoch, add_image):
        gt = instances["gt_instance"]
        self.samples.append((epoch, add_image, gt["image_path"], list(gt["labels"]), gt["boxes"].shape,
                             gt["height"], gt["width"], sorted(instances["dt_instance"])))
        return len(self.samples)

    def conclude(self, truth_values, epoch=None):
        self.calls.append(("conclude", truth_values, epoch))
        self.current_summary = f"summary of epoch {epoch}\n"
        return metrics_for(self.values.pop(0))

    def save_plots_disk(self, plots=None, path=None):
        self.calls.append(("save_plots_disk", plots, path))


class Recorder(QuillonTrainingCallback):
    def __init__(self):
        self.calls = []

    def _add(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))

    def on_train_start(self, epochs=None): self._add("train_start", epochs=epochs)
    def on_evaluation_start(self): self._add("evaluation_start")
    def on_evaluaiton_end(self, metrics=None): self._add("evaluation_end", metrics=metrics)
    def on_epoch_start(self, epoch=None): self._add("epoch_start", epoch=epoch)
    def on_step_start(self, step=None): self._add("step_start", step=step)
    def on_step_end(self, losses=None, lr=None): self._add("step_end", keys=sorted(losses), losses=losses, lr=lr)
    def on_model_save(self, model=None): self._add("model_save", model)
    def on_epoch_end(self, losses=None, metrics=None): self._add("epoch_end", losses=losses, metrics=metrics)
    def on_train_end(self): self._add("train_end")

    def names(self):
        return [c[0] for c in self.calls]


def recording_logger(folder):
    """The real TensorBoard logger, recording what the trainer hands it."""
    class Recording(TensorBoard):
        def update_metrics(self, metrics=None, losses=None):
            self.calls.append((dict(metrics), dict(losses)))
            super().update_metrics(metrics, losses)

    logger = Recording(str(folder), LOSS_KEYS + SUMMARY_KEYS)
    logger.calls = []
    return logger


@pytest.fixture
def build(tmp_path):
    def build(model=None, optimizer=None, **kwargs):
        kwargs.setdefault("checkpoint", str(tmp_path / "ckpt"))
        kwargs.setdefault("classes", ["cat", "dog"])
        kwargs.setdefault("display", 1)
        logger = recording_logger(tmp_path / "logs")
        return DetectionTrainer(model or make_model(), None, optimizer or tf.keras.optimizers.SGD(0.01), Loss(),
                                logger, **kwargs)
    return build


def predictions(model, outputs=slice(None)):
    x = np.linspace(0, 255, 2 * 8 * 8 * 3).reshape(2, 8, 8, 3).astype(np.float32) / 255.0
    result = model(x)
    return [np.asarray(t) for t in (result if isinstance(result, list) else [result])[outputs]]


# --- construction and the training step -----------------------------------------------------

@pytest.mark.parametrize("classes, labels", [(["cat", "dog"], "cat\ndog\n"), ([], None)])
def test_construction_writes_config_labels_and_prints_paths(build, tmp_path, capsys, classes, labels):
    (tmp_path / "ckpt").mkdir()  # an existing folder is reused
    trainer = build(classes=classes, info={"epochs": 3, "name": "run"})
    ckpt = tmp_path / "ckpt"
    assert (ckpt / "config.json").read_text() == json.dumps({"epochs": 3, "name": "run"}, indent=4)
    assert (ckpt / "labels.txt").read_text() == labels if labels else not (ckpt / "labels.txt").exists()
    assert capsys.readouterr().out.split("\n", 1)[1] == (f"\t - Saving best iteration checkpoint at : {ckpt}/best.h5\n"
                                       f"\t - Saving last iteration checkpoint at : {ckpt}/last.h5\n")
    assert (trainer.best_value, trainer.NCHW, trainer.evaluator, trainer.summary_rows) == (0.0, False, None, [])


def test_construction_failures(tmp_path):
    with pytest.raises(AttributeError, match="writer"):
        DetectionTrainer(make_model(), None, tf.keras.optimizers.SGD(0.1), Loss(), checkpoint=str(tmp_path / "a"))
    assert not (tmp_path / "a").exists()
    with pytest.raises(TypeError, match="has no len"):
        DetectionTrainer(make_model(), None, tf.keras.optimizers.SGD(0.1), Loss(), recording_logger(tmp_path / "l"),
                         checkpoint=str(tmp_path / "b"))
    assert (tmp_path / "b" / "config.json").read_text() == "null"


@pytest.mark.parametrize("l2", [0.0, 0.05])
def test_train_step_adds_l2_and_applies_gradients(build, capfd, l2):
    trainer = build(model=make_model(l2))
    before = [w.numpy().copy() for w in trainer.model.trainable_variables]
    expected_l2 = float(tf.reduce_sum(trainer.model.losses))
    data = next(iter(train_data()))
    losses = trainer.train_step(data)
    assert sorted(losses) == ["L2-loss", "head-a", "total-loss"]
    assert float(losses["L2-loss"]) == pytest.approx(expected_l2, rel=1e-5) and (expected_l2 > 0) == (l2 > 0)
    assert not np.allclose(before[0], trainer.model.trainable_variables[0].numpy())  # the shared conv kernel
    trainer.train_step(data)
    traces = trainer.train_step.experimental_get_tracing_count()
    trainer.train_step(data)
    assert trainer.train_step.experimental_get_tracing_count() == traces
    assert int(trainer.optimizer.iterations) == 3
    np.testing.assert_allclose(trainer.preprocess_input(tf.constant([[0, 255]], tf.uint8)), [[0.0, 1.0]])
    captured = capfd.readouterr()
    assert "could not transform" not in captured.out + captured.err


def test_train_step_without_total_loss_fails(build):
    class NoTotal(Loss):
        def compute_loss(self, targets, outputs):
            return {"head-a": super().compute_loss(targets, outputs)["head-a"]}

    trainer = build()
    trainer.loss = NoTotal()
    with pytest.raises((TypeError, ValueError)):
        trainer.train_step(next(iter(train_data())))


def test_remove_training_outputs_and_to_nchw(build):
    trainer = build()
    inference = trainer.remove_training_outputs()
    assert inference.input is trainer.model.input and inference.outputs == trainer.model.outputs[2:]
    three = tf.keras.Model(trainer.model.input, trainer.model.outputs[:3])
    single = trainer.remove_training_outputs(three)
    assert len(single.outputs) == 1
    nchw = trainer.to_nchw(single)
    x = np.random.default_rng(1).random((2, 8, 8, 3), np.float32)
    np.testing.assert_allclose(nchw(np.transpose(x, (0, 3, 1, 2))), np.transpose(single(x), (0, 3, 1, 2)), rtol=1e-5)
    with pytest.raises(ValueError, match="unpack"):
        trainer.to_nchw(tf.keras.Sequential([tf.keras.Input((4, 3)), tf.keras.layers.Dense(2)]))


@pytest.mark.parametrize("legacy", [False, True])
@pytest.mark.parametrize("scheduled", [False, True])
def test_current_lr_rule(build, capsys, legacy, scheduled):
    schedule = WarmUpCosineDecay(0.0001, 0.01, 10, 100, 0)
    optimizers = tf.keras.optimizers.legacy if legacy else tf.keras.optimizers
    optimizer = optimizers.SGD(schedule if scheduled else 0.01)
    trainer = build(optimizer=optimizer)
    trainer.train(2, train_data(batches=3), callback_handler=(recorder := Recorder()))
    lrs = [c[2]["lr"] for c in recorder.calls if c[0] == "step_end"]
    if scheduled and legacy:  # the schedule, evaluated after each step at the advanced count
        assert all(isinstance(lr, tf.Tensor) for lr in lrs)
        assert [float(lr) for lr in lrs] == pytest.approx([float(schedule(k)) for k in range(1, 7)])
    else:  # the optimizer's variable itself (tf-keras' new optimizers hide the schedule)
        assert all(lr is optimizer.lr for lr in lrs) and trainer.current_lr is optimizer.lr
        expected = float(schedule(5)) if scheduled else 0.01
        assert float(trainer.current_lr.numpy()) == pytest.approx(expected)
    # Each epoch's bar ends showing the rate of its last step (the variable holds the rate the
    # step used, at the count before it).
    if scheduled:
        bar = capsys.readouterr().err
        for epoch, step in ((1, 3), (2, 6)) if legacy else ((1, 2), (2, 5)):
            assert "lr: {:.6f} ".format(float(schedule(step))) in bar.split("Epoch %d:" % epoch)[-1]



class FixedLossTrainer(DetectionTrainer):
    """Returns one scripted total loss from every step."""

    def train_step(self, data):
        return {"total-loss": self.scripted_loss}


@pytest.mark.parametrize("loss", [
    tf.constant(0.12345), tf.constant(0.98765, tf.float64), tf.constant(1.5, tf.bfloat16),
    tf.constant(2.2517, tf.float16), tf.constant(7, tf.int32), 0.25, np.float32(0.3333),
])
def test_bar_shows_the_loss_as_format_gives_it(tmp_path, capsys, loss):
    trainer = FixedLossTrainer(make_model(), None, tf.keras.optimizers.SGD(0.01), Loss(),
                               recording_logger(tmp_path / "logs"), checkpoint=str(tmp_path / "ckpt"),
                               classes=["cat", "dog"])
    trainer.scripted_loss = loss
    capsys.readouterr()
    trainer.train(1, train_data(batches=2))
    assert "loss: {:.3f}   lr: 0.010000 ".format(loss) in capsys.readouterr().err


# --- checkpoints ------------------------------------------------------------------------------

def test_save_model_rule_files_and_lines(build, tmp_path, capsys):
    trainer = build(metric="map")
    capsys.readouterr()
    ckpt = tmp_path / "ckpt"
    expected = predictions(trainer.model, slice(2, None))
    steps = [(0.0, "\t - [INFO] Saving model with improved map from 0.0 to 0.0\n", 0.0),
             (0.5, "\t - [INFO] Saving model with improved map from 0.0 to 0.5\n", 0.5),
             (0.3, "\t - [INFO] No improvement in map from 0.5 to 0.3 \n", 0.5),
             (-1.0, "", 0.5), (float("nan"), "", 0.5), (0.5, "\t - [INFO] Saving model with improved map from 0.5 to 0.5\n", 0.5)]
    for val, line, best in steps:
        for name in ("best.h5", "last.h5"):  # a rewritten file gets a new time stamp
            if (ckpt / name).exists():
                os.utime(ckpt / name, ns=(0, 0))
        trainer.save_model(val)
        assert capsys.readouterr().out == line and trainer.best_value == best
        assert (ckpt / "last.h5").stat().st_mtime_ns != 0
        assert ((ckpt / "best.h5").stat().st_mtime_ns != 0) == line.startswith("\t - [INFO] Saving")
    assert sorted(os.listdir(ckpt)) == ["best.h5", "config.json", "labels.txt", "last.h5"]
    for name in ("best.h5", "last.h5"):
        loaded = tf.keras.models.load_model(ckpt / name, compile=False)
        assert loaded.input.shape == trainer.model.input.shape and len(loaded.outputs) == 2
        for got, want in zip(predictions(loaded), expected):
            np.testing.assert_allclose(got, want, rtol=1e-5)
    with pytest.raises(TypeError):
        trainer.save_model("0.5")


def test_interrupted_save_keeps_previous_checkpoints(build, tmp_path, monkeypatch):
    trainer = build()
    trainer.save_model(0.5)
    before = predictions(trainer.model, slice(2, None))
    trainer.train_step(next(iter(train_data())))
    real_save = tf.keras.Model.save

    def save_then_fail(model, path, *args, **kwargs):  # a disk that fills up mid-write
        real_save(model, path, *args, **kwargs)
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) // 2)
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(tf.keras.Model, "save", save_then_fail)
    with pytest.raises(OSError, match="No space"):
        trainer.save_model(0.9)
    monkeypatch.undo()
    assert trainer.best_value == 0.5
    assert sorted(os.listdir(tmp_path / "ckpt")) == ["best.h5", "config.json", "labels.txt", "last.h5"]
    for name in ("best.h5", "last.h5"):
        loaded = tf.keras.models.load_model(tmp_path / "ckpt" / name, compile=False)
        for got, want in zip(predictions(loaded), before):
            np.testing.assert_allclose(got, want, rtol=1e-5)


def test_channels_first_export_of_a_multi_output_model(build, tmp_path):
    trainer = build()
    trainer.NCHW = True
    trainer.save_model(1.0)
    loaded = tf.keras.models.load_model(tmp_path / "ckpt" / "best.h5", compile=False)
    assert tuple(loaded.input.shape) == (None, 3, 8, 8)
    x = np.random.default_rng(2).random((2, 8, 8, 3), np.float32)
    feature_map, vector = loaded(np.transpose(x, (0, 3, 1, 2)))
    want = trainer.model(x)
    np.testing.assert_allclose(feature_map, np.transpose(want[2], (0, 3, 1, 2)), rtol=1e-5)
    np.testing.assert_allclose(vector, want[3], rtol=1e-5)


# --- the training loop ---------------------------------------------------------------------------

def test_whole_training_run(build, tmp_path, capsys):
    schedule = WarmUpCosineDecay(0.0001, 0.01, 2, 20, 0)
    trainer = build(optimizer=tf.keras.optimizers.legacy.SGD(schedule), model=make_model(0.01))
    evaluator, recorder = Evaluator([0.2, 0.5, 0.4]), Recorder()
    capsys.readouterr()
    assert trainer.train(2, train_data(), val_data(), evaluator, callback_handler=recorder) is None

    step = ["step_start", "step_end"] * 2
    epoch = ["epoch_start", *step, "evaluation_start", "evaluation_end", "model_save", "epoch_end"]
    assert recorder.names() == ["train_start", "evaluation_start", "evaluation_end", *epoch, *epoch, "train_end"]
    calls = recorder.calls
    assert calls[0][2] == {"epochs": 2} and calls[3][2] == {"epoch": 1}
    assert [c[2]["step"] for c in calls if c[0] == "step_start"] == [0, 1, 0, 1]
    ends = [c[2] for c in calls if c[0] == "step_end"]
    assert all(e["keys"] == ["L2-loss", "head-a", "total-loss"] for e in ends)  # before the loop adds its keys
    assert all(float(e["losses"]["L2-loss"]) > 0 for e in ends)
    assert [float(e["lr"]) for e in ends] == pytest.approx([float(schedule(k)) for k in range(1, 5)])
    assert all(c[1] == (trainer.model,) for c in calls if c[0] == "model_save")
    epoch_ends = [c[2] for c in calls if c[0] == "epoch_end"]
    assert epoch_ends[-1]["losses"] is ends[-1]["losses"] and epoch_ends[-1]["metrics"]["mACC"]["0.5"] == 0.4
    assert [c[2]["metrics"]["mACC"]["0.5"] for c in calls if c[0] == "evaluation_end"] == [0.2, 0.5, 0.4]

    # the evaluator's calls
    folder = str(tmp_path / "ckpt" / "validation")
    assert evaluator.calls[0] == ("__call__", trainer.val_messenger, ["cat", "dog"])
    assert [c[2] for c in evaluator.calls if c[0] == "conclude"] == [0, 1, 2]
    assert [c[2] for c in evaluator.calls if c[0] == "save_plots_disk"] == [folder] * 3
    assert (tmp_path / "ckpt" / "validation" / "results.txt").read_text() == "summary of epoch 2\n"
    assert evaluator.samples[0] == (0, True, "img0.png", ["cat", "dog"], (2, 4), 8, 8, ["boxes", "labels", "scores"])
    assert [s[1] for s in evaluator.samples] == [True, False] * 3

    # the logger: one write per batch, one per validation (initial one with the shared {})
    logged = trainer.logger.calls
    assert len(logged) == 3 + 4 and trainer.logger.global_step == 7
    assert logged[0] == (dict(zip(SUMMARY_KEYS, [0.1, 0.11, 0.12, 0.2, 0.21, 0.22, 0.3, 0.31, 0.32, 0.63, 0.61, 0.62])), {})
    assert logged[1][0] == {} and sorted(logged[1][1]) == sorted(LOSS_KEYS)
    assert logged[3][1].keys() == logged[2][1].keys()  # epoch validation gets the last batch's losses

    out, err = capsys.readouterr()
    assert out == ("\t - [INFO] Saving model with improved acc from 0.0 to 0.2\n"
                   "\t - [INFO] Saving model with improved acc from 0.2 to 0.5\n"
                   "\t - [INFO] No improvement in acc from 0.5 to 0.4 \n")
    for text in ("Epoch 1: 100%", "Epoch 2: 100%", "Running Validation: 100%", "values=loss: ", "   lr: 0.00",
                 " step-time: "):
        assert text in err

    rows = [HEADER] + [f"{e},0.1,0.11,0.12,{v},0.21,0.22,0.3,0.31,0.32,0.63,0.61,0.62"
                       for e, v in [(0, 0.2), (1, 0.5), (2, 0.4)]]
    assert (tmp_path / "ckpt" / "summary.csv").read_bytes() == ("\r\n".join(rows) + "\r\n").encode()
    assert sorted(os.listdir(tmp_path / "ckpt")) == ["best.h5", "config.json", "labels.txt", "last.h5", "state",
                                                      "summary.csv", "validation"]


@pytest.mark.parametrize("kwargs, train_args, validated", [
    ({"skip_validation_steps": 3}, {"epochs": 7}, [0, 3, 6]),
    ({"skip_validation_steps": 2, "skip_initial_validation": True}, {"epochs": 5, "start": 3}, [4]),
    ({}, {"epochs": 2, "start": 3}, [0]),
    ({}, {"epochs": 2, "evaluator": None}, []),
])
def test_validation_schedule(build, tmp_path, kwargs, train_args, validated):
    trainer = build(**kwargs)
    train_args.setdefault("evaluator", Evaluator([0.1] * 10))
    recorder = Recorder()
    trainer.train(train_ds=train_data(batches=1), val_ds=val_data(1), callback_handler=recorder, **train_args)
    assert [row["epoch"] for row in trainer.summary_rows] == validated
    epochs = list(range(train_args.get("start", 1), train_args["epochs"] + 1))
    assert [c[2]["epoch"] for c in recorder.calls if c[0] == "epoch_start"] == epochs
    assert recorder.names().count("evaluation_start") == len(validated)
    assert (tmp_path / "ckpt" / "last.h5").exists() == bool(epochs or validated)
    assert (tmp_path / "ckpt" / "best.h5").exists() == bool(validated)
    assert (tmp_path / "ckpt" / "validation" / "results.txt").exists() == bool(validated)


@pytest.mark.parametrize("kwargs, train_ds, error, match", [
    ({"skip_validation_steps": 0}, True, ZeroDivisionError, "skip_validation_steps is 0"),
    ({}, None, TypeError, "not iterable"),
])
def test_train_failures(build, kwargs, train_ds, error, match):
    recorder = Recorder()
    with pytest.raises(error, match=match):
        build(skip_initial_validation=True, **kwargs).train(
            1, train_data(batches=1) if train_ds else None, val_data(1), Evaluator([0.1]), callback_handler=recorder)
    assert "train_end" not in recorder.names()


def test_default_callback_handler_is_shared():
    handler = DetectionTrainer.train.__defaults__[-1]
    assert type(handler) is QuillonTrainingCallback
    metrics_default, losses_default = DetectionTrainer.update_metrics.__defaults__[:2]
    assert metrics_default == {} and metrics_default is not losses_default


# --- validation and metrics ---------------------------------------------------------------------

@pytest.mark.parametrize("display, shown", [(2, [True, True, False, False, False]), (0, [False] * 5), (-1, [True] * 5),
                                            (None, [False] * 5)])
def test_display_quota(build, display, shown):
    evaluator = Evaluator([0.3])
    trainer = build(display=display)
    trainer.run_validation_step(val_data(5), evaluator, 4)
    assert [s[1] for s in evaluator.samples] == shown


@pytest.mark.parametrize("metric, family", [("acc", "mACC"), ("map", "mAP"), ("mar", "mAR"), ("mAP", "mAR")])
def test_checkpoint_metric_and_batch_first_sample(build, metric, family):
    evaluator = Evaluator([0.9])
    trainer = build(metric=metric)
    metrics = trainer.run_validation_step(val_data(1, batch=4, class_ids=(1,)), evaluator, 3)
    assert trainer.best_value == metrics[family]["0.5"]
    assert len(evaluator.samples) == 1 and evaluator.samples[0][2:4] == ("img0.png", ["dog"])
    np.testing.assert_array_equal(evaluator.runner.images[0], next(iter(val_data(1, 4)))[0][0])


@pytest.mark.parametrize("loop, error", [
    ([], UnboundLocalError),
    ([(tf.zeros((1, 8, 8, 3)), tf.zeros((1, 1, 5)))], ValueError),
    (list(val_data(1, class_ids=(5,))), IndexError),
])
def test_validation_failures(build, loop, error):
    with pytest.raises(error):
        build().run_validation_step(loop, Evaluator([0.1]), 0)


def test_bad_metrics(build):
    trainer = build()
    broken = metrics_for(0.1)
    del broken["mAR"]
    with pytest.raises(AttributeError):
        trainer.update_metrics(broken)


@pytest.mark.parametrize("args, name, got", [
    ((collections.OrderedDict(),), "metrics", "collections.OrderedDict"),
    (({}, []), "losses", "list"),
    ((collections.OrderedDict(), ()), "metrics", "collections.OrderedDict"),
])
def test_update_metrics_type_rule(build, tmp_path, args, name, got):
    trainer = build()
    with pytest.raises(TypeError) as error:
        trainer.update_metrics(*args)
    assert str(error.value) == f"Argument '{name}' has incorrect type (expected dict, got {got})"
    assert trainer.summary_rows == [] and not (tmp_path / "ckpt" / "summary.csv").exists()


@contextlib.contextmanager
def locked(path):
    """Makes writing `path` fail with a real PermissionError: the immutable flag as root
    (which ignores file modes), a read-only folder otherwise."""
    if os.geteuid() == 0:
        if not shutil.which("chattr") or subprocess.run(["chattr", "+i", str(path)]).returncode:
            pytest.skip("no way to refuse a write to root here")
        try:
            yield
        finally:
            subprocess.run(["chattr", "-i", str(path)], check=True)
    else:
        os.chmod(path.parent, 0o555)
        try:
            yield
        finally:
            os.chmod(path.parent, 0o755)


def test_summary_permission_error_warns_and_keeps_rows(build, tmp_path, capsys):
    trainer = build()
    summary = tmp_path / "ckpt" / "summary.csv"
    trainer.update_metrics(metrics_for(0.1), epoch=0)
    first = summary.read_bytes()
    capsys.readouterr()
    with locked(summary):
        trainer.update_metrics(metrics_for(0.2), epoch=1)
    assert capsys.readouterr().out == ("\t - [WARNING]: Error writing evaluation summary. Please close the file to "
                                       "allow Quillon to write metrics\n")
    assert summary.read_bytes() == first and len(trainer.summary_rows) == 2
    assert sorted(os.listdir(summary.parent)) == ["config.json", "labels.txt", "summary.csv"]
    trainer.update_metrics(metrics_for(0.3), epoch=2)
    assert [line.split(",")[0] for line in summary.read_text().splitlines()] == ["epoch", "0", "1", "2"]


# --- DVC Live and MLflow ---------------------------------------------------------------------------

@pytest.mark.parametrize("env, report", [
    ({}, "html"), ({"CI": "false"}, "html"), ({"CI": "0"}, "html"), ({"CI": ""}, "md"), ({"CI": "False"}, "md"),
    ({"CI": "true", "DVC_REPORT": "html"}, "html"), ({"DVC_REPORT": "md"}, "md"),
])
def test_dvclive_report_format(build, tmp_path, monkeypatch, capsys, env, report):
    for key in ("CI", "DVC_REPORT"):
        monkeypatch.delenv(key, raising=False)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    monkeypatch.chdir(tmp_path)
    trainer = build(dvclive_output=str(tmp_path / "live"), info={"lr": 0.01})
    trainer.train(0)
    assert sorted(p for p in os.listdir(tmp_path / "live") if p.startswith("report.")) == [f"report.{report}"]
    assert yaml.safe_load((tmp_path / "live" / "params.yaml").read_text()) == {"lr": 0.01}
    assert capsys.readouterr().out.endswith("\t - [INFO] Ending DVCLive session\n")


def test_dvclive_records_thirteen_metrics_per_validation(build, tmp_path, monkeypatch):
    monkeypatch.delenv("CI", raising=False)
    monkeypatch.chdir(tmp_path)
    trainer = build(dvclive_output=str(tmp_path / "live"), info={"lr": 0.01})
    trainer.train(2, train_data(batches=1), val_data(1), Evaluator([0.2, 0.5, 0.4]))
    live = tmp_path / "live"
    summary = json.loads((live / "metrics.json").read_text())
    names = [f"{f} {t}" for f in ("mACC", "mAP", "mAR") for t in ("0.50", "0.75", "0.50-0.95")]
    assert sorted(summary) == sorted(names + ["Overall ACC", "Overall AP", "Overall AR", "Learning Rate", "step"])
    assert summary["mACC 0.50"] == 0.4 and summary["mAP 0.50-0.95"] == 0.12
    assert summary["Learning Rate"] == pytest.approx(0.01)
    for name, value in [("Overall ACC", 0.63), ("Overall AP", 0.61), ("Overall AR", 0.62), ("Learning Rate", 0.01)]:
        lines = (live / "plots" / "metrics" / f"{name}.tsv").read_text().splitlines()
        assert lines[0] == f"step\t{name}" and [line.split("\t")[0] for line in lines[1:]] == ["0", "0", "1"]
        assert all(float(line.split("\t")[1]) == pytest.approx(value) for line in lines[1:])


@pytest.fixture
def mlflow_store(tmp_path, monkeypatch):
    mlflow = pytest.importorskip("mlflow")
    monkeypatch.chdir(tmp_path)  # the default artifact root is relative to the working folder
    mlflow.set_tracking_uri(f"sqlite:///{tmp_path / 'mlflow.db'}")
    yield mlflow
    mlflow.set_tracking_uri("")


def test_mlflow_metrics_and_artifacts(build, mlflow_store):
    mlflow = mlflow_store
    trainer = build(optimizer=tf.keras.optimizers.SGD(0.01), activate_mlflow=True)  # constant rate: a variable
    with mlflow.start_run() as run:
        trainer.train(2, train_data(batches=1), val_data(1), Evaluator([0.2, 0.5, 0.4]))
    client = mlflow.tracking.MlflowClient()
    history = client.get_metric_history(run.info.run_id, "mACC 0.50")
    assert sorted((m.step, m.value) for m in history) == [(0, 0.2), (1, 0.5), (2, 0.4)]
    lrs = client.get_metric_history(run.info.run_id, "learning-rate")
    assert [m.value for m in lrs] == pytest.approx([0.01] * 3)
    assert len(client.get_run(run.info.run_id).data.metrics) == 13
    assert sorted(a.path for a in client.list_artifacts(run.info.run_id)) == ["best.h5", "last.h5"]


def test_without_mlflow_metrics_are_skipped_but_artifacts_fail(build, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "mlflow", None)
    trainer = build()
    trainer.update_metrics(metrics_for(0.1), epoch=0)
    assert len(trainer.summary_rows) == 1
    trainer.activate_mlflow = True
    with pytest.raises(ImportError):
        trainer.save_model(0.2)
    assert trainer.best_value == 0.0 and (tmp_path / "ckpt" / "last.h5").exists()


def test_nan_metric_is_recorded_but_not_saved_as_best(build, tmp_path):
    evaluator = Evaluator([math.nan])
    trainer = build()
    trainer.run_validation_step(val_data(1), evaluator, 0)
    assert trainer.best_value == 0.0 and not (tmp_path / "ckpt" / "best.h5").exists()


# --- models, arguments and runs that used to go wrong ----------------------------------------------

class Subclassed(tf.keras.Model):
    def __init__(self):
        super().__init__()
        self.dense = tf.keras.layers.Dense(2)

    def call(self, x):
        return self.dense(x)


def first_outputs(count):
    model = make_model()
    return tf.keras.Model(model.input, model.outputs[:count])


@pytest.mark.parametrize("model, outputs", [
    (lambda: first_outputs(1), 1),
    (lambda: first_outputs(2), 2),
    (Subclassed, 0),  # never called: no outputs yet
])
def test_model_with_fewer_than_three_outputs_is_refused(tmp_path, model, outputs):
    with pytest.raises(ValueError, match=f"at least three outputs, this one has {outputs}.*training-only heads"):
        DetectionTrainer(model(), None, tf.keras.optimizers.SGD(0.01), Loss(), recording_logger(tmp_path / "logs"),
                         checkpoint=str(tmp_path / "ckpt"), classes=[])
    assert not (tmp_path / "ckpt").exists()


@pytest.mark.parametrize("metric, warned", [("acc", False), ("map", False), ("mar", False), ("mAP", True),
                                            ("ACC", True), ("recall", True), (None, True)])
def test_unknown_metric_is_warned_about_once(build, metric, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        trainer = build(metric=metric)
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning) and "metric" in str(w.message)]
    assert len(messages) == int(warned)
    if warned:
        assert repr(metric) in messages[0] and "mAR@0.5" in messages[0]
    assert trainer.metric is metric


class RecordingTrainer(DetectionTrainer):
    """Records what reaches save_model, as a subclass overriding it would see it."""

    def save_model(self, val):
        self.saved_values.append(val)
        super().save_model(val)


@pytest.mark.parametrize("number", [np.float64, np.float32, float])
def test_summary_row_and_save_model_get_exact_floats(tmp_path, number):
    trainer = RecordingTrainer(make_model(), None, tf.keras.optimizers.SGD(0.01), Loss(),
                               recording_logger(tmp_path / "logs"), checkpoint=str(tmp_path / "ckpt"), classes=["a", "b"])
    trainer.saved_values = []

    class NumpyEvaluator(Evaluator):
        def conclude(self, truth_values, epoch=None):
            metrics = super().conclude(truth_values, epoch)
            return {k: ({t: number(x) for t, x in v.items()} if isinstance(v, dict) else number(v))
                    for k, v in metrics.items()}

    metrics = trainer.run_validation_step(val_data(1), NumpyEvaluator([0.25]), 0)
    trainer.update_metrics(metrics, epoch=0)
    [value] = trainer.saved_values
    assert type(value) is float and value == float(number(0.25))
    row = trainer.summary_rows[0]
    assert all(type(v) is float for k, v in row.items() if k != "epoch")
    assert row["mACC@0.5"] == float(number(0.25))


def test_model_outputs_reach_the_loss_as_a_plain_tuple(build):
    Outputs = collections.namedtuple("Outputs", "a b c d")
    seen = []

    class NamedOutputs:
        """A model whose call returns a namedtuple of its outputs."""

        def __init__(self, model):
            self.model = model
            self.losses, self.trainable_variables = model.losses, model.trainable_variables

        def __call__(self, x, training=False):
            return Outputs(*self.model(x, training=training))

    class TypeRecordingLoss(Loss):
        def compute_loss(self, targets, outputs):
            seen.append(type(outputs))
            return super().compute_loss(targets, outputs)

    trainer = build()
    trainer.model, trainer.loss = NamedOutputs(trainer.model), TypeRecordingLoss()
    trainer.train_step(next(iter(train_data())))
    assert seen and set(seen) == {tuple}  # traced once or twice, a tuple each time


def test_train_step_reports_a_shape_mismatch_and_a_released_trainer(build, tmp_path):
    wrong = (tf.zeros((2, 16, 16, 3), tf.uint8), tf.zeros((2, 16, 16, 2)), tf.zeros((2, 2)))
    trainer = build()
    with pytest.raises(ValueError, match=r"expected shape=\(None, 8, 8, 3\), found shape=\(2, 16, 16, 3\)"):
        trainer.train_step(wrong)
    # Graph-function methods hold their instance weakly: a trainer nobody keeps is gone by then.
    with pytest.raises(ReferenceError, match="released before this call.*Keep the trainer in a variable"):
        DetectionTrainer(make_model(), None, tf.keras.optimizers.SGD(0.01), Loss(), recording_logger(tmp_path / "l2"),
                         checkpoint=str(tmp_path / "other"), classes=[]).train_step(wrong)


def test_saving_logs_no_unbuilt_metrics_warning(build, caplog):
    def warned(text):
        return [r for r in caplog.records if r.name == "tensorflow" and text in r.getMessage()]

    marker = "compiled metrics have yet to be built"
    trainer = build()
    with caplog.at_level(logging.WARNING, logger="tensorflow"):
        trainer.remove_training_outputs().save(os.path.join(trainer.checkpoint, "plain.h5"))
        assert warned(marker)  # what Keras alone logs for an uncompiled model
        caplog.clear()
        filters = list(tf.get_logger().filters)
        trainer.train(2, train_data(batches=1), val_data(1), Evaluator([0.1, 0.2, 0.3]), callback_handler=Recorder())
        assert not warned(marker)
        assert tf.get_logger().filters == filters
        tf.get_logger().warning("another warning")  # the logger's other warnings pass
        assert warned("another warning")


@pytest.mark.parametrize("make_optimizer", [tf.keras.optimizers.SGD, tf.keras.optimizers.legacy.SGD,
                                            tf.keras.optimizers.Adam, tf.keras.optimizers.legacy.Adam])
def test_trainer_still_trains_after_a_failed_first_step(build, make_optimizer):
    trainer = build(optimizer=make_optimizer(0.01))
    with pytest.raises(ValueError, match="incompatible"):
        trainer.train_step((tf.zeros((2, 16, 16, 3), tf.uint8), tf.zeros((2, 16, 16, 2)), tf.zeros((2, 2))))
    before = trainer.model.trainable_variables[0].numpy().copy()
    trainer.train_step(next(iter(train_data())))
    assert int(trainer.optimizer.iterations) == 1
    assert not np.allclose(before, trainer.model.trainable_variables[0].numpy())


KILLED_SAVE = r"""
import os, sys, time
sys.path.insert(0, sys.argv[2])
import vireo
import tensorflow as tf
from test_detection_trainer import Loss, make_model, recording_logger
from vireo.quillon.trainer.detection import DetectionTrainer

real_save = tf.keras.Model.save

def slow_save(model, path, *args, **kwargs):  # a slow disk: the file is written, not yet renamed
    real_save(model, path, *args, **kwargs)
    print("saved", path, flush=True)
    time.sleep(60)

trainer = DetectionTrainer(make_model(), None, tf.keras.optimizers.SGD(0.01), Loss(),
                           recording_logger(os.path.join(sys.argv[1], "logs")), checkpoint=sys.argv[1], classes=[])
tf.keras.Model.save = slow_save
trainer.save_model(0.5)
"""


@pytest.fixture(scope="module")
def killed_save(tmp_path_factory):
    """Runs a trainer in a child process and kills it with SIGKILL in the middle of a save;
    returns the temporary file the save left behind."""
    folder = tmp_path_factory.mktemp("killed")
    child = subprocess.Popen([sys.executable, "-c", KILLED_SAVE, str(folder), os.path.dirname(__file__)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = next((line for line in child.stdout if line.startswith("saved ")), "")
    finally:
        child.kill()
        child.wait()
    assert line.startswith("saved "), "the child never reached the save"
    left = [name for name in os.listdir(folder) if ".tmp-" in name]
    assert left == [os.path.basename(line.split()[1])] and left[0].startswith(f"last.h5.tmp-{child.pid}-")
    assert tf.keras.models.load_model(folder / left[0], compile=False)  # a whole model, never renamed
    return folder / left[0]


@pytest.fixture
def live_process():
    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    yield sleeper.pid
    sleeper.kill()
    sleeper.wait()


@pytest.mark.parametrize("cleaner", ["next trainer", "next save"])
def test_temporaries_of_a_killed_save_are_removed(build, tmp_path, killed_save, live_process, cleaner):
    folder = tmp_path / "ckpt"
    folder.mkdir()
    trainer = build(checkpoint=str(folder)) if cleaner == "next save" else None
    shutil.copy(killed_save, folder)
    stale = [killed_save.name, f"summary.csv.tmp-{os.getpid()}-0123abcd", "best.h5.tmp-89abcdef.h5",
             "last.h5.tmp-4194305-00ff00ff.h5"]  # killed child; this process; an earlier form; a pid never used
    kept = [f"best.h5.tmp-{live_process}-0123abcd.h5",  # a save in progress in another process
            "last.h5.tmp-xyz.h5", "notes.tmp-1-0123abcd.h5", "last.h5.tmp-1-0123abcd.keras", "last.h5.bak"]
    for name in stale[1:] + kept:
        (folder / name).write_bytes(b"partial")
    if cleaner == "next trainer":
        build(checkpoint=str(folder))
    else:
        trainer.save_model(-1.0)
    left = set(os.listdir(folder))
    assert not left & set(stale)
    assert set(kept) <= left
