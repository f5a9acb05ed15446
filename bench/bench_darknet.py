"""Darknet dataset throughput: the training iterator against a pure tf.data pipeline doing the
same work and against the floor (Pillow decode + letterbox alone), with a per-sample breakdown.

Iterators are timed by the wall clock and by the process's CPU time; the per-sample steps
by the CPU time of the calling thread, which stays meaningful when other work shares the machine.

Data: 400 generated 640 x 480 JPEGs with 1-10 boxes each, made once under
build/bench-data/darknet and reused. Shape [416, 416, 3], batch 16.
"""
import os
import random
import statistics
import time
import warnings

import numpy as np
import tensorflow as tf
import yaml
from PIL import Image, ImageDraw

from vireo.quillon.datasets import darknet as dk
from vireo.quillon.datasets.utils import letterbox

from common import iterator_rows, ratio_row

ROOT = os.path.join("build", "bench-data", "darknet")
COUNT, WIDTH, HEIGHT = 400, 640, 480
SHAPE, BATCH = [416, 416, 3], 16


def generate():
    """Writes the images and annotation files once; returns the description file."""
    description = os.path.join(ROOT, "dataset.yaml")
    if os.path.exists(description):
        return description
    rng = random.Random(0)
    folders = {}
    for split, count in (("train", COUNT), ("validation", 16)):
        images, labels = os.path.join(ROOT, split, "images"), os.path.join(ROOT, split, "labels")
        os.makedirs(images, exist_ok=True)
        os.makedirs(labels, exist_ok=True)
        for i in range(count):
            gradient = np.linspace(0, 255, WIDTH, dtype=np.float32)[None, :, None]
            base = (gradient * np.array([1.0, 0.6, 0.3]) + rng.randrange(60)).clip(0, 255)
            img = Image.fromarray(np.broadcast_to(base, (HEIGHT, WIDTH, 3)).astype(np.uint8))
            draw = ImageDraw.Draw(img)
            lines = []
            for _ in range(rng.randint(1, 10)):
                bw, bh = rng.uniform(0.05, 0.4), rng.uniform(0.05, 0.4)
                xc, yc = rng.uniform(bw / 2, 1 - bw / 2), rng.uniform(bh / 2, 1 - bh / 2)
                box = [(xc - bw / 2) * WIDTH, (yc - bh / 2) * HEIGHT, (xc + bw / 2) * WIDTH, (yc + bh / 2) * HEIGHT]
                draw.ellipse(box, fill=tuple(rng.randrange(256) for _ in range(3)))
                lines.append(f"{rng.randrange(3)} {xc:.6f} {yc:.6f} {bw:.6f} {bh:.6f}")
            img.save(os.path.join(images, f"{i:05d}.jpg"), quality=90)
            with open(os.path.join(labels, f"{i:05d}.txt"), "w") as f:
                f.write("\n".join(lines) + "\n")
        folders[split] = {"images": os.path.abspath(images), "annotations": os.path.abspath(labels)}
    with open(description, "w") as f:
        yaml.safe_dump({"type": "darknet", "classes": ["a", "b", "c"], **folders}, f)
    return description


def tf_pipeline(storage):
    """The same work with TensorFlow ops only: decode, letterbox-pad, parse and map boxes."""
    height, width = SHAPE[0], SHAPE[1]

    def load(element):
        img = tf.io.decode_jpeg(tf.io.read_file(element[0]), channels=3)
        oh, ow = tf.cast(tf.shape(img)[0], tf.float32), tf.cast(tf.shape(img)[1], tf.float32)
        img = tf.cast(tf.image.resize_with_pad(img, height, width), tf.uint8)
        ratio = tf.minimum(height / oh, width / ow)
        padw, padh = (width - ow * ratio) / 2, (height - oh * ratio) / 2
        values = tf.strings.to_number(tf.strings.split(tf.io.read_file(element[1])), tf.float64)
        ann = tf.reshape(values, [-1, 5])
        w, h = tf.cast(ow * ratio, tf.float64), tf.cast(oh * ratio, tf.float64)
        pw, ph = tf.cast(padw, tf.float64), tf.cast(padh, tf.float64)
        boxes = tf.stack([
            tf.clip_by_value(w * (ann[:, 1] - ann[:, 3] / 2) + pw, 0, width),
            tf.clip_by_value(h * (ann[:, 2] - ann[:, 4] / 2) + ph, 0, height),
            tf.clip_by_value(w * (ann[:, 1] + ann[:, 3] / 2) + pw, 0, width),
            tf.clip_by_value(h * (ann[:, 2] + ann[:, 4] / 2) + ph, 0, height),
            ann[:, 0] + 1], axis=1)
        return img, tf.cast(boxes, tf.float32)

    return (
        tf.data.Dataset.from_tensor_slices(storage)
        .shuffle(len(storage))
        .map(load, num_parallel_calls=tf.data.AUTOTUNE)
        .padded_batch(BATCH, padded_shapes=([height, width, 3], [None, 5]))
        .map(pack)
        .prefetch(10)
    )


def pack(images, boxes):
    return images, (boxes,)


def per_sample_ms(items, *fns, rounds=5, series=False):
    """CPU time of this thread per call, in ms, the median of a few rounds: steady on a shared
    machine. Several functions run on each item in turn, so that they are compared in the
    same machine state; one time per function is returned (with `series`, the per-round
    times of each)."""
    for f in fns:
        f(items[0])
    rounds_ms = [[] for _ in fns]
    for _ in range(rounds):
        spent = [0.0] * len(fns)
        for item in items:
            for k, f in enumerate(fns):
                start = time.thread_time()
                f(item)
                spent[k] += time.thread_time() - start
        for k, t in enumerate(spent):
            rounds_ms[k].append(t / len(items) * 1e3)
    if series:
        return rounds_ms
    medians = [statistics.median(r) for r in rounds_ms]
    return medians[0] if len(fns) == 1 else medians


def wall_per_second(fn, items):
    fn(items[0])
    start = time.perf_counter()
    for item in items:
        fn(item)
    return len(items) / (time.perf_counter() - start)


def run():
    description = generate()
    ds = dk.DarknetDatasetYaml(description, SHAPE)
    storage = ds.train_storage
    img_paths = [i for i, _ in storage]
    ann_paths = [a for _, a in storage]
    elements = [np.array([i.encode(), a.encode()], dtype=object) for i, a in storage]

    iterator = iterator_rows("darknet train iterator", ds.build_train_iterator(batch_size=BATCH),
                             tf_pipeline(storage), "tf.data ops")
    ours, ours_cpu = iterator[0]["value"], iterator[1]["value"]

    # The floor: decode and letterbox alone, one after the other.
    def floor(path):
        letterbox(np.asarray(Image.open(path).convert("RGB")), SHAPE[:2], auto=False)

    floor_per_second = wall_per_second(floor, img_paths)

    # Per-sample breakdown of load_instance. Our decoding step: load_instance on validation
    # with no annotation file does little else.
    no_boxes = {i: np.array([i.encode(), b"/nonexistent.txt"], dtype=object) for i in img_paths}
    ours_decode_ms, decode_ms = per_sample_ms(img_paths, lambda p: ds.load_instance(no_boxes[p], False),
                                              lambda p: np.asarray(Image.open(p).convert("RGB")))
    decoded = np.asarray(Image.open(img_paths[0]).convert("RGB"))
    resize_ms = per_sample_ms(img_paths, lambda _: letterbox(decoded, SHAPE[:2], auto=False))

    def genfromtxt(path):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            np.genfromtxt(path)

    parse_ms, genfromtxt_ms = per_sample_ms(ann_paths, dk._read_annotations, genfromtxt)
    load_series, floor_series = per_sample_ms(elements, ds.load_instance, lambda e: floor(e[0].decode()),
                                              series=True)
    load_ms, floor_ms = statistics.median(load_series), statistics.median(floor_series)
    glue_ms = load_ms - ours_decode_ms - resize_ms - parse_ms

    return iterator + [
        {"name": "darknet train iterator vs Pillow+letterbox floor (images/s)", "value": ours, "unit": "images/s",
         "baseline": floor_per_second},
        {"name": "darknet train iterator CPU per image vs floor (ms)", "value": ours_cpu, "unit": "ms",
         "baseline": floor_ms},
        ratio_row("darknet load_instance per sample vs floor (ms)", "ms", load_series, floor_series),
        {"name": "darknet step: decode, ours vs np.asarray(Image.open().convert()) (ms)", "value": ours_decode_ms,
         "unit": "ms", "baseline": decode_ms},
        {"name": "darknet step: letterbox (ms)", "value": resize_ms, "unit": "ms", "baseline": None},
        {"name": "darknet step: annotation parsing, native vs np.genfromtxt (ms)", "value": parse_ms, "unit": "ms",
         "baseline": genfromtxt_ms},
        {"name": "darknet step: glue in load_instance (ms)", "value": glue_ms, "unit": "ms", "baseline": None},
    ]
