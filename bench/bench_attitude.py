"""Samples per second of the attitude training iterators, against a TensorFlow-ops pipeline doing
the same decoding and resizing (angles given as tensors) and against Pillow decode + resize alone,
in interleaved rounds.

The data (a few hundred 450x450 JPEG faces with MATLAB and JSON annotations) is generated once
into build/bench-data/attitude.
"""
import glob
import json
import os
import time

import cv2
import numpy as np
import scipy.io as sio
from PIL import Image

import tensorflow as tf

from vireo.quillon.datasets import attitude

from common import iterator_rows

ROOT = os.path.join("build", "bench-data", "attitude")
COUNT, VAL_COUNT, SIZE = 300, 4, 450
SHAPE = [224, 224, 3]
BATCH = 32


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


def samples_per_second(iterator):
    """One pass after a warm-up pass (the first pass also traces the graph functions)."""
    for _ in iterator:
        pass
    start, count = time.perf_counter(), 0
    for batch in iterator:
        count += int(batch[0].shape[0])
    return count / (time.perf_counter() - start)


def decode_and_resize():
    paths = sorted(glob.glob(os.path.join(ROOT, "train", "images", "*.jpg")))
    start = time.perf_counter()
    for path in paths:
        img = np.asarray(Image.open(path).convert("RGB"))
        cv2.resize(img, (SHAPE[1], SHAPE[0]))
    return len(paths) / (time.perf_counter() - start)


def run():
    generate()
    baseline = decode_and_resize()
    datasets = [
        ("MATLAB (AttitudeDataset)", attitude.AttitudeDataset(SHAPE, *folders("mat"))),
        ("JSON crop (AttitudeDatasetJson)", attitude.AttitudeDatasetJson(SHAPE, *folders("crop"))),
        ("attitude and detection (AttitudeAndDetectDataset)",
         attitude.AttitudeAndDetectDataset(SHAPE, *folders("detect"), classes=["face"])),
    ]
    rows = [{"name": "attitude: Pillow decode + cv2 resize alone", "value": baseline, "unit": "samples/s",
             "baseline": None}]
    for name, ds in datasets:
        ours = ds.build_train_iterator(BATCH)
        rows += iterator_rows("attitude training iterator, " + name, ours, tf_pipeline(), "tf.data ops")
        rows.append({"name": "attitude: training iterator, " + name + " vs Pillow+resize alone",
                     "value": samples_per_second(ours), "unit": "samples/s", "baseline": baseline})
    return rows
