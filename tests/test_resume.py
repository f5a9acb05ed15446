"""Resume: a run killed with SIGKILL at any moment goes on from its last training state exactly as
an uninterrupted run (weights, summary.csv, TensorBoard, DVC Live, checkpoints), and restore's
refusals, notices and records, on a tiny real tf-keras model."""
import os
import signal
import subprocess
import sys

import numpy as np
import pytest
import tensorflow as tf
from tensorboard.backend.event_processing.event_accumulator import EventAccumulator
from tensorboard.util import tensor_util

from resume_worker import BATCHES, Evaluator, make_model, make_trainer, train_data, val_data

WORKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "resume_worker.py")


def run_worker(folder, epochs, mode, stop_at=None):
    """Runs the worker in `folder` to its end; with `stop_at`, until it stops there, then kills
    it with SIGKILL. Returns what it printed."""
    args = [sys.executable, WORKER, str(folder), str(epochs), mode] + (["--stop-at", stop_at] if stop_at else [])
    lines = []
    # The with-block closes the child's pipe once it is done.
    with subprocess.Popen(args, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True) as child:
        try:
            for line in child.stdout:
                lines.append(line)
                if stop_at and line.startswith("STOPPED"):
                    child.send_signal(signal.SIGKILL)
                    break
        finally:
            child.wait(timeout=600)
    assert lines and lines[-1].startswith("STOPPED" if stop_at else "DONE"), "".join(lines)
    return "".join(lines)


def tensorboard_points(folder):
    """tag -> [(step, value)] of every scalar in the run's event files, read by TensorBoard."""
    events = EventAccumulator(str(folder / "logs"), size_guidance={"tensors": 0})
    events.Reload()
    return {tag: [(e.step, float(tensor_util.make_ndarray(e.tensor_proto))) for e in events.Tensors(tag)]
            for tag in events.Tags()["tensors"]}


def state_value(path, key):
    return tf.train.load_checkpoint(path).get_tensor(f"{key}/.ATTRIBUTES/VARIABLE_VALUE")


def outputs_of(path):
    x = np.linspace(0, 1, 2 * 8 * 8 * 3, dtype=np.float32).reshape(2, 8, 8, 3)
    return [np.asarray(y) for y in tf.keras.models.load_model(path, compile=False)(x)]


@pytest.fixture(scope="module")
def straight_run(tmp_path_factory):
    """Run A: four epochs without a stop."""
    folder = tmp_path_factory.mktemp("straight")
    run_worker(folder, 4, "fresh")
    return folder


# --- killed runs, continued in fresh processes ----------------------------------------------------

@pytest.mark.parametrize("stop_at", ["3:batch", "3:plots", "3:state"])
def test_a_killed_run_goes_on_exactly_as_an_uninterrupted_one(straight_run, tmp_path, stop_at):
    run_worker(tmp_path, 3, "fresh", stop_at)  # planned for three epochs, killed in the third
    state = tf.train.latest_checkpoint(str(tmp_path / "ckpt" / "state"))
    assert state.endswith("ckpt-2") and state_value(state, "epoch") == 2
    logged = tensorboard_points(tmp_path)
    assert max(step for step, _ in logged["total-loss"]) >= state_value(state, "logger_step")  # points past it

    out = run_worker(tmp_path, 4, "restore")  # a fresh process goes on, to four epochs
    assert (f"\t - [INFO] Restored the training state of epoch 2 from {state}: best acc " in out
            and "optimizer step 6, TensorBoard step 9; training continues at epoch 3" in out)

    want, got = np.load(straight_run / "weights.npz"), np.load(tmp_path / "weights.npz")
    for key in want:
        np.testing.assert_allclose(got[key], want[key], rtol=0, atol=1e-6)
    assert (tmp_path / "ckpt" / "summary.csv").read_bytes() == (straight_run / "ckpt" / "summary.csv").read_bytes()
    for name in ("best.h5", "last.h5"):
        for a, b in zip(outputs_of(straight_run / "ckpt" / name), outputs_of(tmp_path / "ckpt" / name)):
            np.testing.assert_allclose(b, a, rtol=0, atol=1e-6)

    want, got = tensorboard_points(straight_run), tensorboard_points(tmp_path)
    assert sorted(got) == sorted(want)
    for tag in want:
        steps = [step for step, _ in got[tag]]
        assert len(set(steps)) == len(steps), f"{tag}: a step number appears twice: {steps}"
        assert steps == [step for step, _ in want[tag]], tag
        if tag != "step-time (seconds)":
            np.testing.assert_allclose([v for _, v in got[tag]], [v for _, v in want[tag]], rtol=0, atol=1e-6)
    assert got["learning-rate"] == want["learning-rate"]  # per step, to the bit

    metrics = sorted(os.listdir(straight_run / "live" / "plots" / "metrics"))
    assert metrics and sorted(os.listdir(tmp_path / "live" / "plots" / "metrics")) == metrics
    for name in metrics:
        path = os.path.join("live", "plots", "metrics", name)
        assert (tmp_path / path).read_text() == (straight_run / path).read_text(), name
    assert sorted(os.listdir(tmp_path / "ckpt" / "state")) == sorted(os.listdir(straight_run / "ckpt" / "state"))


# --- restore in one process ------------------------------------------------------------------------

def test_restore_without_a_state_starts_at_epoch_1(tmp_path, capsys):
    trainer = make_trainer(tmp_path)
    weights = trainer.model.get_weights()
    capsys.readouterr()
    assert trainer.restore() == 1
    assert capsys.readouterr().out == (f"\t - [INFO] No training state in {tmp_path / 'ckpt' / 'state'}: "
                                       "training starts at epoch 1\n")
    assert (trainer.restored_epoch, trainer.best_value, trainer.summary_rows) == (0, 0.0, [])
    assert all(np.array_equal(a, b) for a, b in zip(weights, trainer.model.get_weights()))


@pytest.mark.parametrize("make_optimizer", [
    lambda: tf.keras.optimizers.SGD(0.05, momentum=0.9),
    lambda: tf.keras.optimizers.Adam(0.01),
    lambda: tf.keras.optimizers.legacy.RMSprop(0.01),
    None,  # legacy Adam on the warm-up cosine schedule
])
def test_slots_and_step_count_go_on_for_each_optimizer(tmp_path, make_optimizer):
    optimizer = make_optimizer or (lambda: None)
    straight = make_trainer(tmp_path / "a", optimizer())
    straight.train(3, train_data())
    make_trainer(tmp_path / "b", optimizer()).train(1, train_data())
    second = make_trainer(tmp_path / "b", optimizer())
    second.train(3, train_data(), start=second.restore())
    assert int(second.optimizer.iterations) == int(straight.optimizer.iterations) == 3 * BATCHES
    for got, want in zip(second.model.get_weights(), straight.model.get_weights()):
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-6)
    assert float(second.current_lr.numpy()) == pytest.approx(float(straight.current_lr.numpy()))


def three_outputs(model):
    return tf.keras.Model(model.input, model.outputs[:3])


@pytest.mark.parametrize("change, why", [
    ({"model": lambda: make_model(filters=5)}, "another architecture"),
    ({"model": lambda: three_outputs(make_model())}, "another architecture"),
    ({"optimizer": lambda: tf.keras.optimizers.SGD(0.01)}, "another architecture"),
    ({"metric": lambda: "map"}, "measures the metric 'acc', this trainer's metric is 'map'"),
])
def test_a_state_of_another_run_is_refused_and_changes_nothing(tmp_path, change, why):
    make_trainer(tmp_path, info=None).train(1, train_data(), val_data(), Evaluator(None, values=[0.3, 0.4]))
    trainer = make_trainer(tmp_path, **{key: make() for key, make in change.items()})
    weights = [w.copy() for w in trainer.model.get_weights()]
    state = os.path.join(tmp_path, "ckpt", "state", "ckpt-1")
    with pytest.raises(ValueError, match=rf"^\[ERROR\]: The training state {state} cannot be restored into "
                                         rf"this trainer: .*{why}"):
        trainer.restore()
    assert all(np.array_equal(a, b) for a, b in zip(weights, trainer.model.get_weights()))
    assert (int(trainer.optimizer.iterations), trainer.best_value, trainer.summary_rows) == (0, 0.0, [])
    assert trainer.restored_epoch == 0 and trainer.logger.global_step == 0


def test_after_restore_only_a_better_model_replaces_best(tmp_path, capsys):
    values = [0.2, 0.5, 0.4, 0.45, 0.7]  # by epoch
    make_trainer(tmp_path).train(2, train_data(), val_data(), Evaluator(None, values=values))
    best = (tmp_path / "ckpt" / "best.h5").read_bytes()
    trainer = make_trainer(tmp_path)
    capsys.readouterr()
    assert trainer.restore() == 3 and trainer.best_value == 0.5 and trainer.logger.global_step == 2 * (BATCHES + 1) + 1
    trainer.train(3, train_data(), val_data(), Evaluator(None, values=values), start=3)
    assert capsys.readouterr().out.endswith("\t - [INFO] No improvement in acc from 0.5 to 0.45 \n")
    assert (tmp_path / "ckpt" / "best.h5").read_bytes() == best
    trainer.train(4, train_data(), val_data(), Evaluator(None, values=values), start=4)
    assert "Saving model with improved acc from 0.5 to 0.7" in capsys.readouterr().out
    assert (tmp_path / "ckpt" / "best.h5").read_bytes() != best
    rows = (tmp_path / "ckpt" / "summary.csv").read_text().splitlines()
    assert [row.split(",")[0] for row in rows] == ["epoch", "0", "1", "2", "3", "4"]
    assert [row.split(",")[4] for row in rows[1:]] == [str(v) for v in values]
    assert trainer.logger.global_step == 4 * (BATCHES + 1) + 1


@pytest.mark.parametrize("earlier", ["state", "best only"])
def test_a_fresh_run_on_a_used_folder_says_what_it_overwrites(tmp_path, capsys, earlier):
    values = [0.2, 0.5, 0.4]
    make_trainer(tmp_path).train(2, train_data(), val_data(), Evaluator(None, values=values),
                                 start=1 if earlier == "state" else 3)  # start 3: validation, no epoch
    trainer = make_trainer(tmp_path)
    capsys.readouterr()
    trainer.train(1, train_data(), val_data(), Evaluator(None, values=values))
    out = capsys.readouterr().out.splitlines()
    folder = tmp_path / "ckpt"
    if earlier == "state":
        assert out[0] == (f"\t - [WARNING]: {folder} holds an earlier run (best.h5, last.h5, summary.csv and the "
                          "training state of epoch 2). This run starts anew at epoch 1 and overwrites them; to "
                          "continue that run instead, train with trainer.train(epochs, train_ds, val_ds, evaluator, "
                          "start=trainer.restore())")
        assert sorted(os.listdir(folder / "state"))[1:] == ["ckpt-1.data-00000-of-00001", "ckpt-1.index"]
    else:
        assert out[0] == (f"\t - [WARNING]: {folder} holds an earlier run (best.h5, last.h5 and summary.csv). This "
                          "run starts anew at epoch 1 and overwrites them; it has no training state to continue "
                          "from; to keep its files, use another checkpoint folder")
    assert out[1] == "\t - [INFO] Saving model with improved acc from 0.0 to 0.2"
    trainer.train(1, train_data(), val_data(), Evaluator(None, values=values))
    assert "[WARNING]" not in capsys.readouterr().out  # said once
    restored = make_trainer(tmp_path)
    assert restored.restore() == 2  # the fresh run's own state
    capsys.readouterr()
    restored.train(2, train_data(), val_data(), Evaluator(None, values=values), start=2)
    assert "[WARNING]" not in capsys.readouterr().out


class StandInOptimizer:
    """An optimizer by duck typing: what the trainer asks of one, nothing TensorFlow can track."""

    def __init__(self):
        self.inner = tf.keras.optimizers.legacy.SGD(0.01)
        self.lr, self.iterations = self.inner.lr, self.inner.iterations

    def apply_gradients(self, pairs):
        return self.inner.apply_gradients(pairs)


def test_an_untrackable_optimizer_trains_without_states_and_says_so_once(tmp_path, capsys):
    trainer = make_trainer(tmp_path, StandInOptimizer())
    capsys.readouterr()
    trainer.train(2, train_data())
    assert int(trainer.optimizer.iterations) == 2 * BATCHES
    out = capsys.readouterr().out
    assert out.count("\t - [WARNING]: No training state is written, so this run cannot be restored: ") == 1
    assert "trackable" in out and not (tmp_path / "ckpt" / "state").exists()
    assert make_trainer(tmp_path, StandInOptimizer()).restore() == 1


def test_mlflow_metrics_go_on_in_the_active_run(tmp_path, monkeypatch):
    mlflow = pytest.importorskip("mlflow")
    monkeypatch.chdir(tmp_path)
    mlflow.set_tracking_uri(f"sqlite:///{tmp_path / 'mlflow.db'}")
    try:
        values = [0.2, 0.5, 0.4, 0.6]
        with mlflow.start_run() as run:
            make_trainer(tmp_path).train(2, train_data(), val_data(), Evaluator(None, values=values))
        with mlflow.start_run(run_id=run.info.run_id):
            trainer = make_trainer(tmp_path)
            trainer.train(3, train_data(), val_data(), Evaluator(None, values=values), start=trainer.restore())
        history = mlflow.tracking.MlflowClient().get_metric_history(run.info.run_id, "mACC 0.50")
        assert sorted((m.step, m.value) for m in history) == list(enumerate(values))
    finally:
        mlflow.set_tracking_uri("")


def test_a_state_loads_into_a_model_outside_the_trainer(tmp_path):
    trainer = make_trainer(tmp_path)
    trainer.train(2, train_data(), val_data(), Evaluator(None, values=[0.2, 0.5, 0.4]))
    # What the README shows: the model alone, from the latest state, then an inference export.
    path = tf.train.latest_checkpoint(str(tmp_path / "ckpt" / "state"))
    model = make_model()
    tf.train.Checkpoint(model=model).read(path).expect_partial()
    for got, want in zip(model.get_weights(), trainer.model.get_weights()):
        np.testing.assert_array_equal(got, want)
    tf.keras.Model(model.input, model.outputs[2:]).save(tmp_path / "exported.h5")
    for got, want in zip(outputs_of(tmp_path / "exported.h5"), outputs_of(tmp_path / "ckpt" / "last.h5")):
        np.testing.assert_array_equal(got, want)
    assert (state_value(path, "epoch"), state_value(path, "best_value"), state_value(path, "metric")) == (2, 0.5, b"acc")
    assert state_value(path, "logger_step") == trainer.logger.global_step and state_value(path, "format") == 1
