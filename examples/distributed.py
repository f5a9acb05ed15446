"""The demo's shape detector trained with DetectionTrainer on several devices or machines.

The trainer distributes itself: build the model and the optimizer inside a tf.distribute
strategy's scope, hand it a tf.data dataset whose batch is the global batch, and `train` runs
every batch on all replicas. Both set-ups run on a machine without GPUs:

One machine, several devices (MirroredStrategy): every GPU, or without GPUs the CPU split into
N logical devices:

    python examples/distributed.py --devices 2

Several machines (MultiWorkerMirroredStrategy): the same command on every machine, each with a
TF_CONFIG naming the cluster and its own place in it (worker 0 is the chief):

    TF_CONFIG='{"cluster": {"worker": ["host1:2222", "host2:2222"]}, "task": {"type": "worker", "index": 0}}' \\
        python examples/distributed.py --multi-worker

On one machine, --local-workers N starts N such workers on localhost (free ports, one TF_CONFIG
and one output folder each, as if on N machines) and waits for them:

    python examples/distributed.py --local-workers 2

Only the chief writes checkpoints, summary.csv, the training state and TensorBoard events;
other workers write into temporary folders that they remove.

Usage: python examples/distributed.py [--devices N | --multi-worker | --local-workers N]
                                      [--out distributed_output] [--epochs N] [--batch-size N]
                                      [--train-images N] [--val-images N]
"""
import argparse
import json
import os
import socket
import subprocess
import sys
import time
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
import vireo  # noqa: E402,F401  (Keras 2 before TensorFlow loads)

import tensorflow as tf  # noqa: E402

from examples.detector.data import generate_dataset  # noqa: E402
from examples.detector.evaluator import make_evaluator  # noqa: E402
from examples.detector.model import LOSS_KEYS, DetectionLoss, build_detector  # noqa: E402
from vireo.quillon.callbacks.tensorboard import TensorBoard  # noqa: E402
from vireo.quillon.datasets.darknet import DarknetDatasetYaml  # noqa: E402
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay  # noqa: E402
from vireo.quillon.trainer.detection import DetectionTrainer  # noqa: E402

SHAPE = [64, 64, 3]
LOGGED = list(LOSS_KEYS) + ["L2-loss", "learning-rate", "step-time (seconds)", "mAP@0.5", "mAR@0.5"]


def make_strategy(args):
    """The strategy of this process. Logical CPU devices must be set before TensorFlow starts
    its runtime, so this comes first."""
    if args.multi_worker:
        return tf.distribute.MultiWorkerMirroredStrategy()  # reads TF_CONFIG
    gpus = tf.config.list_physical_devices("GPU")
    if gpus:
        return tf.distribute.MirroredStrategy()  # every GPU
    cpu = tf.config.list_physical_devices("CPU")[0]
    tf.config.set_logical_device_configuration(cpu, [tf.config.LogicalDeviceConfiguration()] * args.devices)
    return tf.distribute.MirroredStrategy([f"/cpu:{i}" for i in range(args.devices)])


def train(args):
    strategy = make_strategy(args)
    # Readable output: tf-keras warns at every HDF5 save of an uncompiled model.
    tf.get_logger().setLevel("ERROR")
    warnings.filterwarnings("ignore", message=".*HDF5 file.*")
    chief = strategy.extended.should_checkpoint
    print("== %s: %d replica(s)%s" % ("MultiWorkerMirroredStrategy" if args.multi_worker else "MirroredStrategy",
                                      strategy.num_replicas_in_sync,
                                      "" if chief else " (a worker: the chief writes the files)"))
    out = os.path.abspath(args.out)
    dataset = DarknetDatasetYaml(generate_dataset(os.path.join(out, "shapes"), args.train_images, args.val_images),
                                 list(SHAPE))
    # A batch of the training dataset is the global batch: the trainer shares it between the replicas.
    train_ds = dataset.build_train_iterator(batch_size=args.batch_size, prefetch=2)
    val_ds = dataset.build_val_iterator(batch_size=1)

    steps = -(-args.train_images // args.batch_size) * args.epochs
    schedule = WarmUpCosineDecay(start_lr=1e-4, target_lr=3e-3, warmup_steps=max(1, steps // 10), total_steps=steps,
                                 hold=0)
    tf.keras.utils.set_random_seed(0)
    with strategy.scope():  # variables made here are mirrored on every replica
        model = build_detector(SHAPE, len(dataset.classes) - dataset.class_offset, width=16, l2=1e-5)
        optimizer = tf.keras.optimizers.Adam(learning_rate=schedule)

    logger = TensorBoard(os.path.join(out, "tensorboard"), LOGGED)
    checkpoint = os.path.join(out, "checkpoints")
    trainer = DetectionTrainer(model, dataset, optimizer, DetectionLoss(class_offset=dataset.class_offset), logger,
                               checkpoint=checkpoint, metric="map", classes=dataset.classes, display=2)
    evaluator = make_evaluator(model, SHAPE, dataset.classes[dataset.class_offset:])
    started = time.time()
    trainer.train(args.epochs, train_ds, val_ds, evaluator)
    print("\n== Trained %d epochs in %.0f s; best mAP@0.5 %.3f" % (args.epochs, time.time() - started,
                                                                    trainer.best_value))
    if chief:
        for name in ("best.h5", "last.h5", "summary.csv", "state"):
            print("\t - %s" % os.path.join(checkpoint, name))
        print("\t - TensorBoard: tensorboard --logdir %s" % logger.storage)


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for s in sockets:
        s.bind(("localhost", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def launch_local_workers(args):
    """Starts the workers of a localhost cluster (this script with --multi-worker, a TF_CONFIG
    and an output folder each) and waits for all of them."""
    cluster = {"worker": ["localhost:%d" % port for port in free_ports(args.local_workers)]}
    children = []
    for index in range(args.local_workers):
        config = json.dumps({"cluster": cluster, "task": {"type": "worker", "index": index}})
        out = os.path.join(os.path.abspath(args.out), "worker%d" % index)
        command = [sys.executable, os.path.abspath(__file__), "--multi-worker", "--out", out, "--epochs", str(args.epochs),
                   "--batch-size", str(args.batch_size), "--train-images", str(args.train_images),
                   "--val-images", str(args.val_images)]
        print("== worker %d: TF_CONFIG=%s, output in %s" % (index, config, out))
        children.append(subprocess.Popen(command, env={**os.environ, "TF_CONFIG": config}))
    codes = [child.wait() for child in children]
    print("== workers finished with exit codes %s; the chief's files are in %s"
          % (codes, os.path.join(os.path.abspath(args.out), "worker0")))
    return max(codes)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--devices", type=int, default=2, help="logical CPU devices when there is no GPU")
    mode.add_argument("--multi-worker", action="store_true", help="join the cluster of TF_CONFIG")
    mode.add_argument("--local-workers", type=int, default=0, help="start this many workers on localhost")
    parser.add_argument("--out", default=os.path.join(ROOT, "distributed_output"), help="output folder")
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--batch-size", type=int, default=16, help="the global batch")
    parser.add_argument("--train-images", type=int, default=96)
    parser.add_argument("--val-images", type=int, default=16)
    args = parser.parse_args(argv)
    if args.local_workers:
        return launch_local_workers(args)
    train(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
