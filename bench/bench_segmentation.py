"""Segmentation datasets: training-iterator throughput against its reading and mask stages
alone, per-sample reading against the same work through scipy's interp1d, and COCO indexing of
20,000 annotations, each comparison in interleaved rounds (bench/common.py).

Run: .venv/bin/python bench/run.py segmentation
"""
import json
import os
import tempfile
import time
import warnings
from os.path import basename, join

import numpy as np
import tensorflow as tf
from PIL import Image
from scipy.interpolate import interp1d

from vireo.quillon.datasets import segmentation as seg
from vireo.quillon.datasets.utils import letterbox, mask_padding

from common import autotuning_off, interleave, iterator_pass, passes, per_item_ms, ratio_row, value_row

SIZE = 256  # image and network input side
OUTLINES = 20  # per image
POINTS = 300  # per outline, in the file and after resampling
SAMPLES = 48
COCO_ANNOTATIONS = 20000


def _outline(rng):
    """A closed star-shaped outline of POINTS normalised points."""
    angles = np.linspace(0, 2 * np.pi, POINTS, endpoint=False)
    centre = rng.uniform(0.25, 0.75, 2)
    radius = rng.uniform(0.05, 0.2) * (1 + 0.2 * np.sin(5 * angles + rng.uniform(0, 6)))
    return np.stack([centre[0] + radius * np.cos(angles), centre[1] + radius * np.sin(angles)], 1)


def _write_split(root, rng):
    images, annotations = join(root, "images"), join(root, "annotations")
    os.makedirs(images)
    os.makedirs(annotations)
    for i in range(SAMPLES):
        pixels = rng.integers(0, 255, (SIZE, SIZE, 3), dtype=np.uint8)
        Image.fromarray(pixels).save(join(images, "%03d.jpg" % i), quality=90)
        segment = [[{"polygon": _outline(rng).round(5).tolist(), "class": k % 3}] for k in range(OUTLINES)]
        with open(join(annotations, "%03d.json" % i), "w") as f:
            json.dump({"image": "%03d.jpg" % i, "segment": segment}, f)
    return images, annotations


def _reference_read(ds, annotation_file):
    """The same sample through numpy and scipy's interp1d, outline by outline."""
    with open(annotation_file) as f:
        ann = json.load(f)
    image_path = join(ds.train_images, basename(ann.get("image")))
    img = np.array(Image.open(image_path).convert("RGB")).astype(np.uint8)
    oh, ow, _ = img.shape
    img, ratio, pad = letterbox(img, ds.shape[:2], auto=False)
    w, h, padw, padh = ratio[0] * ow, ratio[1] * oh, pad[0], pad[1]
    masks, classes = [], []
    for obj in ann.get("segment", []):
        for part in obj:
            polygon = np.array(part.get("polygon"))
            if len(polygon) < 3:
                continue
            points = mask_padding(polygon, w, h, padw, padh)
            distance = np.cumsum(np.sqrt(np.sum(np.diff(points, axis=0) ** 2, axis=1)))
            distance = np.insert(distance, 0, 0) / distance[-1]
            alpha = np.linspace(0, 1, ds.num_points)
            masks.append(interp1d(distance, points, kind="slinear", axis=0)(alpha))
            classes.append(np.array(part.get("class")))
    return img, np.array(masks, dtype=np.float32), np.array(classes, dtype=np.int32)


def _coco_file(path, rng):
    images = [{"file_name": "%05d.jpg" % i, "id": i + 1} for i in range(COCO_ANNOTATIONS // 4)]
    annotations = []
    for a in range(COCO_ANNOTATIONS):
        polygon = (_outline(rng)[::10] * 640).round(2).ravel().tolist()  # 30 points, as in real files
        annotations.append({"id": a, "image_id": a % len(images) + 1, "category_id": a % 80 + 1, "iscrowd": 0,
                            "segmentation": [polygon]})
    categories = [{"id": c + 1, "name": "class%d" % c} for c in range(80)]
    with open(path, "w") as f:
        json.dump({"images": images, "categories": categories, "annotations": annotations}, f)


def _reference_coco_index(path):
    """The indexing loop of the COCO constructor, in Python."""
    with open(path) as f:
        content = json.load(f)
    storage = {}
    for annotation in content.get("annotations", []):
        img_id = annotation.get("image_id", 0)
        for polygon in annotation.get("segmentation"):
            record = {"class": annotation.get("category_id", 0), "polygon": np.array(polygon).reshape(-1, 2)}
            storage.setdefault(img_id, []).append(record)
    return storage


def _timed(fn):
    def measure():
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    return measure


def run():
    rows = []
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as tmp:
        train_images, train_annotations = _write_split(join(tmp, "train"), rng)
        ds = seg.SegmentationDataset(shape=[SIZE, SIZE, 3], train_images=train_images, val_images=train_images,
                                     train_annotations=train_annotations, val_annotations=train_annotations,
                                     labels=["a", "b", "c"], tasks=["segment"], num_points=POINTS)

        # Per-sample reading: native resampling against interp1d on the same files.
        files = sorted(ds.train_storage)[:16]
        tensors = {f: tf.constant(f) for f in files}
        reading = per_item_ms(files, {"native": lambda f: ds._read_data(tensors[f]),
                                      "interp1d": lambda f: _reference_read(ds, f)})
        rows.append(ratio_row("segmentation _read_data (20 outlines x 300 points) vs interp1d, CPU", "ms/sample",
                              reading["native"], reading["interp1d"]))

        # The training iterator against the same chain without the augmentation stage (whose
        # elastic and piecewise-affine warps dominate the full iterator): reading and mask
        # painting only, without autotuning as the iterator runs. A pass of the stages takes a
        # tenth of a second, mostly the pipeline's start and end, so its rounds run ten passes;
        # the iterator's run one (about a second and a half).
        plain = tf.autograph.experimental.do_not_convert
        stages = (tf.data.Dataset.from_tensor_slices(ds.train_storage)
                  .map(plain(lambda x: ds.read_data(x, True)), num_parallel_calls=tf.data.AUTOTUNE)
                  .map(plain(lambda x1, x2, x3: ds.build_gt_mask([x1, x2, x3])), num_parallel_calls=tf.data.AUTOTUNE)
                  .padded_batch(8, drop_remainder=True, padded_shapes=(ds.shape, ds.shape[:2])))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            results = passes({"iterator": iterator_pass(ds.build_train_iterator(batch_size=8, prefetch=2)),
                              "stages": iterator_pass(autotuning_off(stages), epochs=10)}, rounds=7)
        rows.append(ratio_row("segmentation training iterator vs read + mask stages (%dx%d, batch 8)" % (SIZE, SIZE),
                              "samples/s", [r[0] for r in results["iterator"]], [r[0] for r in results["stages"]]))
        rows.append(ratio_row("segmentation training iterator CPU per sample vs read + mask stages", "ms",
                              [r[1] for r in results["iterator"]], [r[1] for r in results["stages"]]))

        # COCO: indexing 20,000 annotations in the constructor.
        coco_path = join(tmp, "coco.json")
        _coco_file(coco_path, rng)
        coco = interleave(rounds=9, sides={
            "ours": _timed(lambda: seg.SegmentationDatasetJsonCOCO(coco_path, train_images=tmp, shape=[SIZE, SIZE, 3])),
            "python": _timed(lambda: _reference_coco_index(coco_path))})
        rows.append(ratio_row("segmentation COCO constructor (20,000 annotations) vs the Python loop", "s",
                              coco["ours"], coco["python"]))
        rows.append(value_row("segmentation COCO constructor (20,000 annotations)", "s", coco["ours"]))
    return rows
