"""The attitude training iterators against a TensorFlow-ops pipeline doing the same decoding and
resizing (angles given as tensors) and against the serial floor (Pillow decode + cv2 resize
alone), all in interleaved rounds (bench/common.py); plus _load_instance per sample against
that floor, every sample going through both in turn, in fresh processes.

The data (a few hundred 450x450 JPEG faces with MATLAB and JSON annotations) is generated once
into build/bench-data/attitude.
"""
import glob
import json
import os

import cv2
import numpy as np
import scipy.io as sio
from PIL import Image

import tensorflow as tf

from vireo.quillon.datasets import attitude

from common import (ITERATOR_EPOCHS, ITERATOR_ROUNDS, autotuning_off, in_fresh_processes, iterator_pass, lowest_medians,
                    pass_rows, passes, per_item_ms, ratio_row, serial_pass)

ROOT = os.path.join("build", "bench-data", "attitude")
COUNT, VAL_COUNT, SIZE = 300, 4, 450
SHAPE = [224, 224, 3]
BATCH = 32
PER_SAMPLE = 100  # samples of the per-sample comparison
# Passes per measured round: a pass here (300 images at some 1500 images/s) is a fifth of a
# second, so a round runs twice the passes of the other iterator comparisons.
PASSES = 2 * ITERATOR_EPOCHS


def generate():
    """Writes the images and three annotation folders (MATLAB, JSON crop, JSON detect) once."""
    done = os.path.join(ROOT, "done")
    if os.path.exists(done):
        return
    rng = np.random.default_rng(0)
    for split, count in (("train", COUNT), ("val", VAL_COUNT)):
        for folder in ("images", "mat", "crop", "detect"):
            os.makedirs(os.path.join(ROOT, split, folder), exist_ok=True)
        for i in range(count):
            name = "face_%04d" % i
            base = rng.integers(0, 256, (SIZE // 8, SIZE // 8, 3), dtype=np.uint8)
            img = cv2.resize(base, (SIZE, SIZE), interpolation=cv2.INTER_CUBIC)
            Image.fromarray(img).save(os.path.join(ROOT, split, "images", name + ".jpg"), quality=90)
            pose = rng.uniform(-60, 60, 7)
            sio.savemat(os.path.join(ROOT, split, "mat", name + ".mat"),
                        {"Pose_Para": pose[None], "pt2d": rng.uniform(0, SIZE, (2, 68))})
            faces = int(rng.integers(1, 4))
            boxes = [[float(v) for v in rng.uniform(0.3, 0.7, 2)] + [0.3, 0.4, 0] for _ in range(faces)]
            angles = [[float(v) for v in rng.uniform(-60, 60, 3)] for _ in range(faces)]
            with open(os.path.join(ROOT, split, "crop", name + ".json"), "w") as f:
                json.dump({"boxes": boxes, "angles": angles}, f)
            with open(os.path.join(ROOT, split, "detect", name + ".json"), "w") as f:
                json.dump({"boxes": boxes, "angles": [dict(zip(("pitch", "yaw", "roll"), a)) for a in angles]}, f)
    open(done, "w").close()


def folders(kind):
    return [os.path.join(ROOT, "train", "images"), os.path.join(ROOT, "train", kind),
            os.path.join(ROOT, "val", "images"), os.path.join(ROOT, "val", kind)]


def tf_pipeline():
    """Decode and resize with TensorFlow ops; the angles come ready as a tensor."""
    paths = sorted(glob.glob(os.path.join(ROOT, "train", "images", "*.jpg")))
    angles = np.random.default_rng(0).uniform(-60, 60, (len(paths), 3)).astype(np.float32)

    def load(path, angle):
        img = tf.io.decode_jpeg(tf.io.read_file(path), channels=3)
        return tf.cast(tf.image.resize(img, SHAPE[:2]), tf.uint8), angle

    return (tf.data.Dataset.from_tensor_slices((paths, angles)).shuffle(len(paths))
            .map(load, num_parallel_calls=tf.data.AUTOTUNE).batch(BATCH).prefetch(10))


def decode_and_resize(path):
    cv2.resize(np.asarray(Image.open(path).convert("RGB")), (SHAPE[1], SHAPE[0]))


def datasets():
    return [
        ("MATLAB (AttitudeDataset)", attitude.AttitudeDataset(SHAPE, *folders("mat"))),
        ("JSON crop (AttitudeDatasetJson)", attitude.AttitudeDatasetJson(SHAPE, *folders("crop"))),
        ("attitude and detection (AttitudeAndDetectDataset)",
         attitude.AttitudeAndDetectDataset(SHAPE, *folders("detect"), classes=["face"])),
    ]


def per_sample():
    """_load_instance and the floor per sample, for every dataset: {"<dataset> | <side>": [ms
    per round]}. Runs in fresh processes (the floor decodes with Pillow)."""
    series = {}
    for name, ds in datasets():
        entries = [np.array([p.encode() for p in entry], dtype=object) for entry in ds.train_storage[:PER_SAMPLE]]
        by_sample = per_item_ms(entries, {"ours": ds._load_instance, "floor": lambda e: decode_and_resize(e[0])})
        series.update({"%s | %s" % (name, side): values for side, values in by_sample.items()})
    return series


def run():
    generate()
    paths = sorted(glob.glob(os.path.join(ROOT, "train", "images", "*.jpg")))
    rows, names = [], []
    for name, ds in datasets():
        names.append(name)
        label = "attitude training iterator, " + name
        results = passes({"ours": iterator_pass(ds.build_train_iterator(BATCH), epochs=PASSES),
                          "tf": iterator_pass(tf_pipeline(), epochs=PASSES),
                          "tf, autotuning off": iterator_pass(autotuning_off(tf_pipeline()), epochs=PASSES),
                          "floor": serial_pass(decode_and_resize, paths)}, rounds=ITERATOR_ROUNDS)
        rows += pass_rows(label, results, "ours", "tf", "tf.data ops")
        rows += pass_rows(label, results, "ours", "tf, autotuning off", "tf.data ops, autotuning off")
        rows += pass_rows(label, results, "ours", "floor", "serial Pillow+resize floor")[1:]
    best = lowest_medians(in_fresh_processes(__file__, "per_sample"))
    for name in names:
        rows.append(ratio_row("attitude _load_instance per sample, %s, vs floor (ms)" % name, "ms",
                              best[name + " | ours"], best[name + " | floor"]))
    return rows
