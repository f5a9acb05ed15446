"""Darknet dataset throughput: the training iterator against a pure tf.data pipeline doing the
same work and against the floor (Pillow decode + letterbox alone, serially), with a per-sample
breakdown of load_instance.

Every comparison interleaves its sides round by round (bench/common.py) and reports medians and
spread. Iterators are timed by the wall clock and by the process's CPU time; the per-sample steps
by CPU time, every sample going through each step in turn, in fresh processes.

Data: 400 generated 640 x 480 JPEGs with 1-10 boxes each, made once under
build/bench-data/darknet and reused. Shape [416, 416, 3], batch 16.
"""
import os
import random
import statistics
import warnings

import numpy as np
import tensorflow as tf
import yaml
from PIL import Image, ImageDraw

from vireo.quillon.datasets import darknet as dk
from vireo.quillon.datasets.utils import letterbox

from common import (ITERATOR_EPOCHS, ITERATOR_ROUNDS, autotuning_off, in_fresh_processes, iterator_pass, lowest_medians,
                    pass_rows, passes, per_item_ms, ratio_row, serial_pass, value_row)

ROOT = os.path.join("build", "bench-data", "darknet")
COUNT, WIDTH, HEIGHT = 400, 640, 480
SHAPE, BATCH = [416, 416, 3], 16
PER_SAMPLE = 200  # samples of the per-sample breakdown


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


def floor(path):
    """The floor: decode and letterbox alone."""
    letterbox(np.asarray(Image.open(path).convert("RGB")), SHAPE[:2], auto=False)


def per_sample():
    """Per-sample breakdown of load_instance: {"<group> | <side>": [ms per round]}. Runs in
    fresh processes (the floor decodes with Pillow)."""
    ds = dk.DarknetDatasetYaml(generate(), SHAPE)
    storage = ds.train_storage[:PER_SAMPLE]
    img_paths, ann_paths = [i for i, _ in storage], [a for _, a in storage]
    elements = [np.array([i.encode(), a.encode()], dtype=object) for i, a in storage]
    # Our decoding step: load_instance on validation with no annotation file does little else.
    no_boxes = {i: np.array([i.encode(), b"/nonexistent.txt"], dtype=object) for i in img_paths}
    decoded = np.asarray(Image.open(img_paths[0]).convert("RGB"))
    by_image = per_item_ms(img_paths, {
        "decode, ours": lambda p: ds.load_instance(no_boxes[p], False),
        "decode, Pillow": lambda p: np.asarray(Image.open(p).convert("RGB")),
        "letterbox": lambda _: letterbox(decoded, SHAPE[:2], auto=False)})

    def genfromtxt(path):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            np.genfromtxt(path)

    by_label = per_item_ms(ann_paths, {"native": dk._read_annotations, "genfromtxt": genfromtxt})
    by_sample = per_item_ms(elements, {"load_instance": lambda e: ds.load_instance(e, True),
                                       "floor": lambda e: floor(e[0].decode())})
    return {"%s | %s" % (group, side): values
            for group, series in (("image", by_image), ("label", by_label), ("sample", by_sample))
            for side, values in series.items()}


def run():
    description = generate()
    ds = dk.DarknetDatasetYaml(description, SHAPE)
    storage = ds.train_storage
    img_paths = [i for i, _ in storage]

    results = passes({"ours": iterator_pass(ds.build_train_iterator(batch_size=BATCH), epochs=ITERATOR_EPOCHS),
                      "tf": iterator_pass(tf_pipeline(storage), epochs=ITERATOR_EPOCHS),
                      "tf, autotuning off": iterator_pass(autotuning_off(tf_pipeline(storage)), epochs=ITERATOR_EPOCHS),
                      "floor": serial_pass(floor, img_paths)}, rounds=ITERATOR_ROUNDS)
    rows = pass_rows("darknet train iterator", results, "ours", "tf", "tf.data ops")
    rows += pass_rows("darknet train iterator", results, "ours", "tf, autotuning off", "tf.data ops, autotuning off")
    rows += pass_rows("darknet train iterator", results, "ours", "floor", "serial Pillow+letterbox floor")

    best = lowest_medians(in_fresh_processes(__file__, "per_sample"))
    parts = [statistics.median(best["image | decode, ours"]), statistics.median(best["image | letterbox"]),
             statistics.median(best["label | native"])]
    glue = [total - sum(parts) for total in best["sample | load_instance"]]
    return rows + [
        ratio_row("darknet load_instance per sample vs floor (ms)", "ms", best["sample | load_instance"],
                  best["sample | floor"]),
        ratio_row("darknet step: decode, ours vs np.asarray(Image.open().convert()) (ms)", "ms",
                  best["image | decode, ours"], best["image | decode, Pillow"]),
        value_row("darknet step: letterbox (ms)", "ms", best["image | letterbox"]),
        ratio_row("darknet step: annotation parsing, native vs np.genfromtxt (ms)", "ms", best["label | native"],
                  best["label | genfromtxt"]),
        value_row("darknet step: glue in load_instance (ms)", "ms", glue),
    ]
