"""The main job, `make demo`: a shape detector trained end to end on a generated dataset.

1. Generates a Darknet-layout dataset (kept between runs; --regenerate makes it anew), runs
   the dataset check on it, and serves it with DarknetDatasetYaml (or, with --tfrecord, from TFRecord shards converted
   from it); saves a picture of the first training batch with its boxes, and reads a batch
   back from the TFRecord conversion of the same data.
2. Trains a small tf-keras detector through WarmUpCosineDecay, the TensorBoard logger and
   DetectionTrainer, validating with a real evaluator (mAP, mAR, mACC).
3. Prints the metrics per validation and the paths of everything written, and plots
   results.png from summary.csv.
4. Shows the segmentation and head-pose datasets on generated data (pictures of samples).

Usage: python examples/demo.py [--out demo_output] [--epochs N] [--tfrecord] [--regenerate]
                               [--train-images N] [--val-images N] [--no-extras]
                               [--strategy mirrored]

With --strategy mirrored the model and optimizer are built in a tf.distribute.MirroredStrategy
scope, and DetectionTrainer trains on every GPU of the machine (or the CPU when there is none);
see the README, "Several GPUs and several machines".
"""
import argparse
import csv
import math
import os
import sys
import time
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
import vireo  # noqa: E402,F401  (Keras 2 before TensorFlow loads)

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import tensorflow as tf  # noqa: E402

from examples.detector import DEMO_CONFIG  # noqa: E402
from examples.detector.data import generate_dataset  # noqa: E402
from examples.detector.evaluator import make_evaluator  # noqa: E402
from examples.detector.model import DetectionLoss, build_detector  # noqa: E402
from examples.showcase import draw_detection_batch  # noqa: E402
from vireo.quillon.callbacks.tensorboard import TensorBoard  # noqa: E402
from vireo.quillon.datasets.darknet import DarknetDatasetYaml  # noqa: E402
from vireo.quillon.datasets.tools import check as dataset_check  # noqa: E402
from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay  # noqa: E402
from vireo.quillon.trainer.detection import DetectionTrainer  # noqa: E402

LOGGED = ["total-loss", "heatmap-loss", "size-loss", "offset-loss", "L2-loss", "learning-rate",
          "step-time (seconds)", "mAP@0.5", "mAP@0.75", "mAP@0.5:0.95", "mAR@0.5", "mACC@0.5",
          "Overall-AP", "Overall-AR", "Overall-ACC"]
TABLE = ["epoch", "mAP@0.5", "mAP@0.75", "mAP@0.5:0.95", "mAR@0.5", "mACC@0.5", "Overall-AP", "Overall-AR"]


def serve_dataset(yaml_path, shape, use_tfrecord, work_dir):
    if not use_tfrecord:
        return DarknetDatasetYaml(yaml_path, list(shape))
    from vireo.quillon.datasets.tfrecord import TFRecordDatasetYaml
    from vireo.quillon.datasets.tools.darknet_to_tfrecord import convert

    records = os.path.join(work_dir, "records")
    description = os.path.join(records, "dataset.yaml")
    # Converted again whenever the Darknet description is newer (the dataset was regenerated).
    if not os.path.exists(description) or os.path.getmtime(description) < os.path.getmtime(yaml_path):
        convert(yaml_path, records, 100, overwrite=True)
    return TFRecordDatasetYaml(description, shape=list(shape))


def read_summary(path):
    with open(path, newline="", encoding="utf8") as f:
        return list(csv.DictReader(f))


def plot_results(rows, path):
    epochs = [int(r["epoch"]) for r in rows]
    fig, ax = plt.subplots(figsize=(7, 4))
    for key in ("mAP@0.5", "mAP@0.75", "mAP@0.5:0.95", "mAR@0.5", "mACC@0.5"):
        ax.plot(epochs, [float(r[key]) for r in rows], marker="o", label=key)
    ax.set_xlabel("epoch")
    ax.set_ylabel("value")
    ax.set_ylim(0, 1)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right")
    ax.set_title("Validation metrics")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def records_showcase(yaml_path, shape, work_dir):
    """Converts the Darknet dataset to TFRecord shards and reads a batch back from them."""
    dataset = serve_dataset(yaml_path, shape, True, work_dir)
    images, (boxes,) = next(iter(dataset.build_train_iterator(batch_size=8)))
    records = os.path.join(work_dir, "records")
    print("\t - TFRecordDatasetYaml over %s: %d training and %d validation shards; a batch of %s images, boxes %s"
          % (records, len(dataset.train_storage), len(dataset.val_storage), tuple(images.shape), tuple(boxes.shape)))
    return os.path.join(records, "dataset.yaml")


def train_detector(args):
    cfg = dict(DEMO_CONFIG)
    for key, value in (("epochs", args.epochs), ("n_train", args.train_images), ("n_val", args.val_images)):
        if value:
            cfg[key] = value
    cfg["validate_every"] = min(cfg["validate_every"], cfg["epochs"])
    out = os.path.abspath(args.out)
    data_root = os.path.join(out, "shapes")
    shape = cfg["input_shape"]

    print("== Dataset")
    yaml_path = generate_dataset(data_root, cfg["n_train"], cfg["n_val"], cfg["seed"], regenerate=args.regenerate)
    # Every problem in the data is found before training, not at epoch 7.
    if dataset_check.main([yaml_path, "--limit", "5"]) != 0:
        raise SystemExit("The generated dataset fails the dataset check (see above); run with --regenerate.")
    dataset = serve_dataset(yaml_path, shape, args.tfrecord, data_root)
    train_ds = dataset.build_train_iterator(batch_size=cfg["batch_size"], prefetch=2)
    val_ds = dataset.build_val_iterator(batch_size=1)
    images, (boxes,) = next(iter(train_ds))
    batch_png = draw_detection_batch(images.numpy()[:8], boxes.numpy()[:8], dataset.classes,
                                     os.path.join(data_root, "first_training_batch.png"))
    print("\t - %s: %d training and %d validation images, classes %s"
          % (type(dataset).__name__, cfg["n_train"], cfg["n_val"], dataset.classes))
    print("\t - first training batch: %s" % batch_png)
    records_yaml = None if args.tfrecord else records_showcase(yaml_path, shape, data_root)

    print("\n== Training")
    tf.keras.utils.set_random_seed(cfg["seed"])
    num_classes = len(dataset.classes) - dataset.class_offset
    loss = DetectionLoss(class_offset=dataset.class_offset)
    steps_per_epoch = math.ceil(cfg["n_train"] / cfg["batch_size"])
    schedule = WarmUpCosineDecay(start_lr=cfg["learning_rate"] * 0.02, target_lr=cfg["learning_rate"],
                                 warmup_steps=steps_per_epoch, total_steps=steps_per_epoch * cfg["epochs"], hold=0)
    # Under a strategy the trainer shares every batch of batch_size between the replicas.
    strategy = tf.distribute.MirroredStrategy() if args.strategy == "mirrored" else tf.distribute.get_strategy()
    if args.strategy:
        print("\t - %s: %d replica(s)" % (type(strategy).__name__, strategy.num_replicas_in_sync))
    with strategy.scope():
        model = build_detector(shape, num_classes, width=cfg["width"], l2=cfg["l2"])
        optimizer = tf.keras.optimizers.Adam(learning_rate=schedule)
    logger = TensorBoard(os.path.join(out, "tensorboard"), LOGGED)
    checkpoint = os.path.join(out, "checkpoints")
    trainer = DetectionTrainer(model, dataset, optimizer, loss, logger=logger, checkpoint=checkpoint, info=cfg,
                               metric="map", classes=dataset.classes, display=cfg["display"],
                               skip_validation_steps=cfg["validate_every"])
    evaluator = make_evaluator(model, shape, dataset.classes[dataset.class_offset:])
    started = time.time()
    trainer.train(cfg["epochs"], train_ds, val_ds, evaluator)
    elapsed = time.time() - started

    rows = read_summary(os.path.join(checkpoint, "summary.csv"))
    print("\n== Validation metrics (training took %.0f s)" % elapsed)
    print("  ".join("%12s" % k for k in TABLE))
    for row in rows:
        print("  ".join("%12s" % (row[k] if k == "epoch" else "%.3f" % float(row[k])) for k in TABLE))
    results_png = plot_results(rows, os.path.join(checkpoint, "results.png"))
    validation = os.path.join(checkpoint, "validation")
    plots = sorted(os.path.join(validation, f) for f in os.listdir(validation) if f.endswith(".png"))
    return {
        "best checkpoint": trainer.best,
        "last checkpoint": trainer.last,
        "summary": os.path.join(checkpoint, "summary.csv"),
        "results plot": results_png,
        "validation report": os.path.join(validation, "results.txt"),
        "validation plots": ", ".join(plots) if plots else "(none)",
        "TensorBoard": "%s  (tensorboard --logdir %s)" % (logger.storage, logger.storage),
        "first training batch": batch_png,
        "TFRecord description": records_yaml or os.path.join(data_root, "records", "dataset.yaml"),
    }, float(rows[-1]["mAP@0.5"])


def extras(out):
    from examples.showcase import attitude_showcase, segmentation_showcase

    paths = {}
    print("\n== Segmentation dataset")
    paths["segmentation samples"] = segmentation_showcase(os.path.join(out, "segmentation"))
    print("\n== Head-pose datasets")
    paths["head-pose samples"] = attitude_showcase(os.path.join(out, "attitude"))
    return paths


def quiet_libraries():
    """Keeps the demo's output readable: tf-keras warns at every HDF5 save of an uncompiled
    model, and albumentations about a deprecated scikit-image call."""
    tf.get_logger().setLevel("ERROR")
    warnings.filterwarnings("ignore", category=FutureWarning)
    warnings.filterwarnings("ignore", message=".*HDF5 file.*")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default=os.path.join(ROOT, "demo_output"), help="output folder")
    parser.add_argument("--epochs", type=int, default=None, help="override the number of epochs")
    parser.add_argument("--tfrecord", action="store_true", help="serve the dataset from TFRecord shards")
    parser.add_argument("--regenerate", action="store_true", help="generate the dataset anew")
    parser.add_argument("--train-images", type=int, default=None, help="override the training split size")
    parser.add_argument("--val-images", type=int, default=None, help="override the validation split size")
    parser.add_argument("--no-extras", action="store_true", help="skip the segmentation and head-pose pictures")
    parser.add_argument("--strategy", choices=["mirrored"], default=None,
                        help="train under tf.distribute.MirroredStrategy (every GPU of the machine)")
    args = parser.parse_args(argv)
    quiet_libraries()

    started = time.time()
    paths, final_map = train_detector(args)
    if not args.no_extras:
        paths.update(extras(os.path.abspath(args.out)))
    print("\n== Written")
    for name, path in paths.items():
        print("\t - %-22s %s" % (name + ":", path))
    print("\nFinal mAP@0.5: %.3f   whole demo: %.0f s" % (final_map, time.time() - started))
    return paths, final_map


if __name__ == "__main__":
    main()
