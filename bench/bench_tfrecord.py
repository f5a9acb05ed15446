"""Training-iterator throughput of the TFRecord dataset against a plain TensorFlow-ops pipeline
over the same records and against the Darknet dataset on the same images (640 x 480 JPEGs,
samples of shape [416, 416, 3], batches of 16), in interleaved rounds; plus the parts of one
TFRecord sample (record reading, load_instance, JPEG decoding, letterbox), every sample going
through each part in turn (in fresh processes), to show where time goes.

Data is generated once into build/bench-data/tfrecord.
"""
import io
import os
import time

import numpy as np
import yaml
from PIL import Image

import vireo  # noqa: F401
import tensorflow as tf

from vireo.quillon.datasets import darknet, tfrecord
from vireo.quillon.datasets.tools.darknet_to_tfrecord import convert
from vireo.quillon.datasets.utils import letterbox

from common import (ITERATOR_EPOCHS, ITERATOR_ROUNDS, autotuning_off, in_fresh_processes, interleave, iterator_pass, lowest_medians,
                    pass_rows, passes, per_item_ms, ratio_row, value_row)

ROOT = os.path.join("build", "bench-data", "tfrecord")
IMAGES = 320
SHAPE = [416, 416, 3]
BATCH = 16


def generate():
    """A Darknet dataset of IMAGES 640 x 480 JPEGs (train and validation share them) and its
    TFRecord conversion; returns the two description paths."""
    darknet_yaml = os.path.join(ROOT, "darknet.yaml")
    records_yaml = os.path.join(ROOT, "records", "dataset.yaml")
    if os.path.exists(records_yaml):
        return darknet_yaml, records_yaml
    rng = np.random.RandomState(0)
    images, labels = os.path.join(ROOT, "images"), os.path.join(ROOT, "labels")
    os.makedirs(images, exist_ok=True)
    os.makedirs(labels, exist_ok=True)
    ys, xs = np.mgrid[0:480, 0:640]
    for i in range(IMAGES):
        base = np.stack([(xs + 7 * i) % 256, (ys + 3 * i) % 256, (xs + ys) % 256], -1)
        noise = rng.randint(0, 40, (480, 640, 3))
        Image.fromarray((base + noise).clip(0, 255).astype(np.uint8)).save(
            os.path.join(images, "%04d.jpg" % i), quality=90)
        boxes = ["%d %.4f %.4f %.4f %.4f" % (rng.randint(3), *rng.uniform(0.2, 0.8, 2), *rng.uniform(0.05, 0.3, 2))
                 for _ in range(rng.randint(1, 6))]
        with open(os.path.join(labels, "%04d.txt" % i), "w") as f:
            f.write("\n".join(boxes) + "\n")
    split = {"images": os.path.abspath(images), "annotations": os.path.abspath(labels)}
    with open(darknet_yaml, "w") as f:
        yaml.safe_dump({"type": "darknet", "classes": ["a", "b", "c"], "train": split, "validation": split}, f)
    convert(darknet_yaml, os.path.join(ROOT, "records"), shard_size=64)
    return darknet_yaml, records_yaml


def tf_pipeline(files):
    """The same work with TensorFlow ops only: parse, decode, letterbox-pad, map boxes."""
    height, width = SHAPE[0], SHAPE[1]
    features = {"image": tf.io.FixedLenFeature([], tf.string), "objects": tf.io.VarLenFeature(tf.int64),
                "bboxes": tf.io.VarLenFeature(tf.float32)}

    def load(record):
        example = tf.io.parse_single_example(record, features)
        img = tf.io.decode_jpeg(example["image"], channels=3)
        oh, ow = tf.cast(tf.shape(img)[0], tf.float32), tf.cast(tf.shape(img)[1], tf.float32)
        img = tf.cast(tf.image.resize_with_pad(img, height, width), tf.uint8)
        ratio = tf.minimum(height / oh, width / ow)
        padw, padh = (width - ow * ratio) / 2, (height - oh * ratio) / 2
        box = tf.reshape(tf.sparse.to_dense(example["bboxes"]), [-1, 4])
        label = tf.cast(tf.sparse.to_dense(example["objects"]), tf.float32) + 1
        scale = tf.stack([ow * ratio, oh * ratio, ow * ratio, oh * ratio])
        shift = tf.stack([padw, padh, padw, padh])
        boxes = tf.concat([tf.clip_by_value(box * scale + shift, 0, float(max(height, width))), label[:, None]], 1)
        return img, boxes

    return (
        tf.data.TFRecordDataset(files, num_parallel_reads=tf.data.AUTOTUNE)
        .shuffle(200)
        .map(load, num_parallel_calls=tf.data.AUTOTUNE)
        .padded_batch(BATCH, padded_shapes=([height, width, 3], [None, 5]))
        .map(pack)
        .prefetch(10)
    )


def pack(images, boxes):
    return images, (boxes,)


def run():
    darknet_yaml, records_yaml = generate()
    records = tfrecord.TFRecordDatasetYaml(records_yaml, shape=SHAPE)
    images = darknet.DarknetDatasetYaml(darknet_yaml, SHAPE, True)

    storage = records.train_storage
    results = passes({"ours": iterator_pass(records.build_train_iterator(batch_size=BATCH), epochs=ITERATOR_EPOCHS),
                      "tf": iterator_pass(tf_pipeline(storage), epochs=ITERATOR_EPOCHS),
                      "tf, autotuning off": iterator_pass(autotuning_off(tf_pipeline(storage)), epochs=ITERATOR_EPOCHS),
                      "darknet": iterator_pass(images.build_train_iterator(batch_size=BATCH), epochs=ITERATOR_EPOCHS)}, rounds=ITERATOR_ROUNDS)
    rows = pass_rows("tfrecord train iterator", results, "ours", "tf", "tf.data ops")
    rows += pass_rows("tfrecord train iterator", results, "ours", "tf, autotuning off", "tf.data ops, autotuning off")
    rows += pass_rows("tfrecord train iterator", results, "ours", "darknet", "Darknet iterator")

    # Where one sample's time goes, serially in the caller's thread.
    reading = interleave({"read": read_records(records)}, rounds=5)["read"]
    parts = lowest_medians(in_fresh_processes(__file__, "per_sample"))
    floor = [d + lb for d, lb in zip(parts["decode_jpeg"], parts["letterbox"])]
    rows += [
        value_row("tfrecord: read records only, CPU per record (ms)", "ms", reading),
        ratio_row("tfrecord load_instance vs tf.io.decode_jpeg + letterbox, CPU per sample (ms)", "ms",
                  parts["load_instance"], floor),
        value_row("tf.io.decode_jpeg 640x480, CPU (ms)", "ms", parts["decode_jpeg"]),
        value_row("letterbox 640x480 -> 416x416, CPU (ms)", "ms", parts["letterbox"]),
        ratio_row("Pillow decode 640x480 (Darknet's decoder) vs tf.io.decode_jpeg, CPU (ms)", "ms", parts["pillow"],
                  parts["decode_jpeg"]),
    ]
    return rows


def read_records(records):
    """One pass reading the training records alone: CPU ms per record."""
    def measure():
        start, count = time.process_time(), 0
        for _ in records.build_and_load_base_iterator(records.train_storage, shuffle=False):
            count += 1
        return (time.process_time() - start) / count * 1e3
    return measure


def per_sample():
    """The parts of one sample, every sample going through each in turn: {part: [ms per round]}.
    Runs in fresh processes (one part decodes with Pillow)."""
    _, records_yaml = generate()
    records = tfrecord.TFRecordDatasetYaml(records_yaml, shape=SHAPE)
    serialized = [r.numpy() for r in records.build_and_load_base_iterator(records.train_storage, shuffle=False)]
    jpegs = [_image_bytes(r) for r in serialized]
    decoded = tf.io.decode_jpeg(jpegs[0]).numpy()
    return per_item_ms(list(range(len(serialized))), {
        "load_instance": lambda i: records.load_instance(serialized[i], True),
        "decode_jpeg": lambda i: tf.io.decode_jpeg(jpegs[i]).numpy(),
        "letterbox": lambda i: letterbox(decoded, SHAPE[:2], auto=False),
        "pillow": lambda i: np.asarray(Image.open(io.BytesIO(jpegs[i])).convert("RGB")),
    })


def _image_bytes(serialized):
    return tf.train.Example.FromString(serialized).features.feature["image"].bytes_list.value[0]
