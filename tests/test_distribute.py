"""DetectionTrainer under tf.distribute: MirroredStrategy over two logical CPU devices trains to
the weights of one device with the same global batch; two MultiWorkerMirroredStrategy workers on
localhost end alike, and only the chief's folders hold files. Logical devices and clusters need
a fresh TensorFlow, so those runs are child processes (tests/distribute_worker.py)."""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest
import tensorflow as tf
from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

import distribute_worker as worker

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKER = os.path.join(ROOT, "tests", "distribute_worker.py")
CHILD_TIMEOUT = 900  # seconds; two cores shared with other work, TensorFlow starts slowly
STEPS = 6  # 2 epochs of 3 batches
LOGGED = ["total-loss", "head-a", "L2-loss", "learning-rate"]


def run_children(commands, environments=None):
    """Runs the commands at once (each with its extra environment variables) and returns their
    outputs. A child that fails ends the others at once (a worker whose peer died would wait for
    it), and all of them are bounded by CHILD_TIMEOUT."""
    environments = environments or [{}] * len(commands)
    logs = [tempfile.TemporaryFile(mode="w+") for _ in commands]
    children = [subprocess.Popen(command, env={**os.environ, **extra}, stdout=log, stderr=subprocess.STDOUT, text=True)
                for command, extra, log in zip(commands, environments, logs)]
    deadline = time.monotonic() + CHILD_TIMEOUT
    try:
        while True:
            codes = [child.poll() for child in children]
            if None not in codes or any(code not in (None, 0) for code in codes) or time.monotonic() > deadline:
                break
            time.sleep(0.5)
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
    outputs = []
    for log in logs:
        log.seek(0)
        outputs.append(log.read())
        log.close()
    if any(child.returncode != 0 for child in children):
        # -9: ended here, after another child failed or when CHILD_TIMEOUT ran out.
        pytest.fail("\n----\n".join("exit code %s, last output:\n%s" % (child.returncode, output[-3000:])
                                       for child, output in zip(children, outputs)))
    return outputs


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for s in sockets:
        s.bind(("localhost", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def load(folder, name):
    with open(folder / f"{name}.json") as f:
        record = json.load(f)
    weights = np.load(folder / f"{name}.npz")
    record["weights"] = [weights[key] for key in weights.files]
    return record


def logged(folder):
    """{tag: [(step, value), ...]} of the scalars, and the image tags, as TensorBoard reads the
    event files of `folder`."""
    accumulator = EventAccumulator(str(folder), size_guidance={"tensors": 0})
    accumulator.Reload()
    scalars, images = {}, []
    for tag in accumulator.Tags()["tensors"]:
        if accumulator.SummaryMetadata(tag).plugin_data.plugin_name == "scalars":
            scalars[tag] = [(e.step, float(tf.make_ndarray(e.tensor_proto))) for e in accumulator.Tensors(tag)]
        else:
            images.append(tag)
    return scalars, images


def files_under(folder):
    return sorted(os.path.relpath(os.path.join(top, name), folder)
                  for top, _, names in os.walk(folder) for name in names)


@pytest.fixture(scope="module")
def mirrored(tmp_path_factory):
    """One device, then MirroredStrategy over two logical CPU devices, in one child process."""
    out = tmp_path_factory.mktemp("mirrored")
    run_children([[sys.executable, WORKER, "mirrored", str(out)]])
    return out


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """Two MultiWorkerMirroredStrategy workers on localhost, each with a folder of its own (as on
    two machines)."""
    out = tmp_path_factory.mktemp("cluster")
    workers = {"worker": [f"localhost:{port}" for port in free_ports(2)]}
    configs = [{"TF_CONFIG": json.dumps({"cluster": workers, "task": {"type": "worker", "index": i}})} for i in (0, 1)]
    run_children([[sys.executable, WORKER, "worker", str(out), str(i)] for i in (0, 1)], configs)
    return out


# --- MirroredStrategy over two devices --------------------------------------------------------------

def test_mirrored_trains_to_the_weights_of_one_device(mirrored):
    one, two = load(mirrored, "one"), load(mirrored, "mirrored")
    assert two["replicas"] == 2 and one["iterations"] == two["iterations"] == STEPS
    assert len(one["weights"]) == len(two["weights"]) == 13  # BatchNormalization statistics included
    for a, b in zip(one["weights"], two["weights"]):
        np.testing.assert_allclose(b, a, rtol=0, atol=1e-5)
    assert one["best_value"] == two["best_value"] == 0.5


def test_mirrored_logs_the_losses_of_one_device(mirrored):
    one, two = load(mirrored, "one"), load(mirrored, "mirrored")
    assert len(one["steps"]) == len(two["steps"]) == STEPS
    for a, b in zip(one["steps"], two["steps"]):  # what the callbacks were given
        assert sorted(a) == sorted(b)
        for key in ("total-loss", "head-a", "L2-loss", "lr"):
            assert b[key] == pytest.approx(a[key], abs=1e-5), key
    written = [logged(mirrored / run / "logs")[0] for run in ("one", "mirrored")]
    for tag in LOGGED:  # what the logger wrote, read back by TensorBoard (batches and validations)
        steps = [[step for step, _ in run[tag]] for run in written]
        assert steps[0] == steps[1] and len(steps[0]) >= STEPS, tag
        np.testing.assert_allclose([v for _, v in written[1][tag]], [v for _, v in written[0][tag]], atol=1e-5)
    assert len(written[1]["step-time (seconds)"]) == len(written[0]["step-time (seconds)"])


@pytest.mark.parametrize("case, expected", [
    ("list", "TypeError: DetectionTrainer.train: the model was built in the scope of MirroredStrategy, so "
             "train_ds must be a tf.data.Dataset"),
    ("one sample for two replicas", "ValueError: DetectionTrainer.train: a training batch leaves a replica "
                                    "without samples. tf.distribute splits every global batch between the 2 "
                                    "replicas"),
])
def test_datasets_that_cannot_be_shared_are_refused(mirrored, case, expected):
    with open(mirrored / "errors.json") as f:
        message = json.load(f)[case]
    assert message.startswith(expected)
    assert "drop_remainder=True" in message or case == "list"


# --- MultiWorkerMirroredStrategy, two workers ---------------------------------------------------------

def test_workers_end_with_identical_weights(cluster, mirrored):
    chief, other = load(cluster, "worker0"), load(cluster, "worker1")
    assert (chief["chief"], other["chief"], chief["replicas"]) == (True, False, 2)
    assert chief["iterations"] == other["iterations"] == STEPS
    for a, b in zip(chief["weights"], other["weights"]):
        np.testing.assert_array_equal(a, b)
    assert chief["steps"] == other["steps"]  # both saw the global batch's losses
    # ... which are those of one device with the same global batch.
    for a, b in zip(load(mirrored, "one")["weights"], chief["weights"]):
        np.testing.assert_allclose(b, a, rtol=0, atol=1e-5)


def test_only_the_chief_folder_holds_files(cluster):
    assert files_under(cluster / "worker1") == []
    assert sorted(os.listdir(cluster / "worker1")) == ["ckpt", "logs"]  # the folders the script asked for

    chief = files_under(cluster / "worker0" / "ckpt")
    for name in ("best.h5", "last.h5", "summary.csv", "config.json", "labels.txt", "validation/results.txt",
                 "validation/plot.txt", "state/checkpoint"):
        assert name in chief
    assert not any("workertemp" in name for name in chief)
    with open(cluster / "worker0" / "ckpt" / "summary.csv") as f:
        assert [line.split(",")[0] for line in f.read().splitlines()] == ["epoch", "0", "1", "2"]
    scalars, images = logged(cluster / "worker0" / "logs")
    # Validations at logger steps 0, 4 and 8, each after its epoch's three batches.
    assert [step for step, _ in scalars["mACC@0.5"]] == [0, 4, 8]
    assert [step for step, _ in scalars["step-time (seconds)"]] == list(range(1, 9))
    assert images == ["sample"]  # the evaluator's image, through the trainer's validation writer
    assert tf.keras.models.load_model(cluster / "worker0" / "ckpt" / "best.h5", compile=False)


# --- in this process: one replica --------------------------------------------------------------------

@pytest.fixture
def build(tmp_path):
    return lambda strategy, name: worker.build_trainer(str(tmp_path / name), strategy)


def test_without_a_strategy_the_compiled_train_step_runs(build):
    trainer = build(None, "plain")
    trainer.train(1, worker.train_data(), callback_handler=(recorder := worker.Recorder()))
    assert trainer.train_step.experimental_get_tracing_count() >= 1 and len(recorder.steps) == 3
    assert not any(isinstance(v, tf.distribute.DistributedValues) for v in trainer.optimizer.variables)


@pytest.mark.parametrize("length", ["known", "unknown"])
def test_one_replica_strategy_trains_as_one_device(build, capsys, length):
    # A dataset of known length is read inside the compiled step; one of unknown length (a
    # filter) is handed to it batch by batch.
    data = worker.train_data() if length == "known" else worker.train_data().filter(lambda *batch: True)
    plain, mirrored = build(None, "plain"), build(tf.distribute.MirroredStrategy(["/cpu:0"]), "mirrored")
    # The optimizer's state is created in the strategy's scope at construction.
    assert all(isinstance(v, tf.distribute.DistributedValues) for v in mirrored.optimizer.variables)
    recorders = []
    for trainer in (plain, mirrored):
        capsys.readouterr()
        trainer.train(2, data, callback_handler=(recorder := worker.Recorder()))
        recorders.append(recorder)
        # The progress bar knows the epoch's length when the dataset does.
        assert ("Epoch 2: 100%|" in capsys.readouterr().err) == (length == "known")
    assert mirrored.train_step.experimental_get_tracing_count() == 0  # the replicas ran their own step
    for a, b in zip(*(r.steps for r in recorders)):
        for key in ("total-loss", "head-a", "L2-loss", "lr"):
            assert b[key] == pytest.approx(a[key], abs=1e-6)
    for a, b in zip(plain.model.weights, mirrored.model.weights):
        np.testing.assert_allclose(b.numpy(), a.numpy(), atol=1e-6)


def test_a_dataset_the_strategy_distributed_is_taken_as_it_is(build):
    strategy = tf.distribute.MirroredStrategy(["/cpu:0"])
    trainer = build(strategy, "given")
    distributed = strategy.experimental_distribute_dataset(worker.train_data())
    trainer.train(1, distributed, callback_handler=(recorder := worker.Recorder()))
    assert len(recorder.steps) == 3 and int(trainer.optimizer.iterations.numpy()) == 3


def test_demo_trains_under_mirrored_strategy(tmp_path, capsys):
    sys.path.insert(0, ROOT)
    from examples import demo

    argv = ["--out", str(tmp_path), "--epochs", "1", "--train-images", "8", "--val-images", "2", "--no-extras",
            "--strategy", "mirrored"]
    paths, final_map = demo.main(argv)
    assert "MirroredStrategy: 1 replica" in capsys.readouterr().out
    assert os.path.isfile(paths["best checkpoint"]) and 0.0 <= final_map <= 1.0


@pytest.mark.parametrize("mode", [["--devices", "2"], ["--local-workers", "2"]], ids=["mirrored", "local-workers"])
def test_example_runs_as_written(tmp_path, mode):
    command = [sys.executable, os.path.join(ROOT, "examples", "distributed.py"), *mode, "--out", str(tmp_path),
               "--epochs", "1", "--train-images", "8", "--val-images", "2", "--batch-size", "4"]
    [output] = run_children([command])
    assert "Strategy: 2 replica(s)" in output
    chief = tmp_path / "worker0" if "--local-workers" in mode else tmp_path
    assert {"best.h5", "last.h5", "summary.csv"} <= set(os.listdir(chief / "checkpoints"))
    if "--local-workers" in mode:
        assert files_under(tmp_path / "worker1" / "checkpoints") == files_under(tmp_path / "worker1" / "tensorboard") == []
