"""Converts a Darknet detection dataset into sharded TFRecord files.

Usage::

    python -m vireo.quillon.datasets.tools.darknet_to_tfrecord darknet.yaml out/ --shard-size 500

reads the Darknet description (``type: darknet``, ``classes``, ``train`` and ``validation``
with ``images`` and ``annotations`` folders) and writes ``out/train/*.tfrecord``,
``out/validation/*.tfrecord`` and the TFRecord description ``out/dataset.yaml``.

Images are paired with annotations as the Darknet dataset pairs them: png, jpg and jpeg files
(any letter case) with the ``.txt`` file of the same base name; images without one are skipped
and counted. Each record is a ``tf.train.Example`` with the features ``image`` (JPEG bytes;
other formats are re-encoded), ``image_name``, ``width``, ``height``, ``objects`` (int64 class
per object) and ``bboxes`` (float, x-centre, y-centre, width, height per object, normalised).
"""
import argparse
import glob
import io
import math
import os
import sys

import numpy as np
import tqdm
import yaml
from PIL import Image

import vireo  # noqa: F401  (sets up Keras 2 before TensorFlow loads)
import tensorflow as tf

PATTERNS = ("*.[pP][nN][gG]", "*.[jJ][pP][gG]", "*.[jJ][pP][eE][gG]")
SPLITS = ("train", "validation")
DESCRIPTION = "dataset.yaml"


def list_samples(images_dir, annotations_dir):
    """Returns ``([(image, annotation), ...], skipped)`` in Darknet's listing order."""
    images = []
    for pattern in PATTERNS:
        images += glob.glob(os.path.join(images_dir, pattern))
    pairs, skipped = [], 0
    for image in images:
        annotation = os.path.join(annotations_dir, os.path.splitext(os.path.basename(image))[0] + ".txt")
        if os.path.exists(annotation):
            pairs.append((image, annotation))
        else:
            skipped += 1
    return pairs, skipped


def read_annotation(path, num_classes):
    """Reads ``class xc yc w h`` lines; returns (classes, flat boxes)."""
    objects, boxes = [], []
    with open(path, "r", encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            try:
                values = [float(v) for v in fields]
            except ValueError:
                values = []
            if len(values) != 5:
                raise ValueError("%s:%d: expected 'class xc yc w h', got %r" % (path, number, line))
            if not all(math.isfinite(v) for v in values):
                raise ValueError("%s:%d: a value is not a finite number: %r" % (path, number, line))
            label = values[0]
            if label != int(label) or not 0 <= label < num_classes:
                raise ValueError("%s:%d: class %r is not an index of the %d classes" % (path, number, fields[0], num_classes))
            objects.append(int(label))
            boxes.extend(values[1:])
    return objects, boxes


# Pillow modes of 16-bit grey images (and the 32-bit "I" older Pillow versions give them).
WIDE_GREY = ("I;16", "I;16B", "I;16L", "I;16N", "I")


def rgb_image(image):
    """`image.convert("RGB")`, with 16-bit grey levels scaled to 8 bits (value >> 8) where
    convert would clip every level above 255 to white."""
    if image.mode in WIDE_GREY:
        levels = np.clip(np.asarray(image).astype(np.int64) >> 8, 0, 255).astype(np.uint8)
        return Image.fromarray(levels).convert("RGB")
    return image.convert("RGB")


def jpeg_bytes(path, quality):
    """Returns (JPEG bytes, width, height); files that are not RGB or grey JPEGs are re-encoded."""
    with open(path, "rb") as f:
        data = f.read()
    with Image.open(io.BytesIO(data)) as image:
        width, height = image.size
        if image.format == "JPEG" and image.mode in ("RGB", "L"):
            return data, width, height
        buffer = io.BytesIO()
        rgb_image(image).save(buffer, format="JPEG", quality=quality)
    return buffer.getvalue(), width, height


def make_example(image, name, width, height, objects, bboxes):
    """One record of the TFRecord dataset layout."""
    feature = tf.train.Feature
    return tf.train.Example(features=tf.train.Features(feature={
        "image": feature(bytes_list=tf.train.BytesList(value=[image])),
        "image_name": feature(bytes_list=tf.train.BytesList(value=[name.encode("utf-8")])),
        "width": feature(int64_list=tf.train.Int64List(value=[width])),
        "height": feature(int64_list=tf.train.Int64List(value=[height])),
        "objects": feature(int64_list=tf.train.Int64List(value=objects)),
        "bboxes": feature(float_list=tf.train.FloatList(value=bboxes)),
    }))


def write_split(pairs, out_dir, split, shard_size, num_classes, quality):
    """Writes the split's shards; returns their paths."""
    shards = max(1, math.ceil(len(pairs) / shard_size))
    paths = [os.path.join(out_dir, "%s-%05d-of-%05d.tfrecord" % (split, i, shards)) for i in range(shards)]
    loop = tqdm.tqdm(pairs, desc="Converting %s split" % split, colour="green",
                     bar_format="{l_bar}{bar:15}{r_bar}{bar:-15b}")
    writer = None
    try:
        for index, (image_path, annotation_path) in enumerate(loop):
            if index % shard_size == 0:
                if writer is not None:
                    writer.close()
                writer = tf.io.TFRecordWriter(paths[index // shard_size])
            objects, boxes = read_annotation(annotation_path, num_classes)
            data, width, height = jpeg_bytes(image_path, quality)
            example = make_example(data, os.path.basename(image_path), width, height, objects, boxes)
            writer.write(example.SerializeToString())
    finally:
        if writer is not None:
            writer.close()
    return paths


def convert(info_file, output_dir, shard_size=1000, quality=95, overwrite=False):
    """Converts the Darknet dataset described by `info_file` into TFRecord shards under
    `output_dir`; returns the TFRecord description, also written to ``output_dir/dataset.yaml``."""
    if shard_size < 1:
        raise ValueError("shard size must be at least 1, got %d" % shard_size)
    with open(info_file, "r", encoding="utf-8") as f:
        info = yaml.safe_load(f)
    if not isinstance(info, dict) or str(info.get("type", "")).lower() != "darknet":
        raise ValueError("%s: not a Darknet dataset description (type: darknet)" % info_file)
    classes = info.get("classes") or []
    if not classes:
        raise ValueError("%s: the description lists no classes" % info_file)

    listed = {}
    for key in SPLITS:
        section = info.get(key) or {}
        if section.get("images") is None or section.get("annotations") is None:
            raise ValueError("%s: the ``%s`` section needs ``images`` and ``annotations``" % (info_file, key))
        pairs, skipped = list_samples(section["images"], section["annotations"])
        if not pairs:
            raise ValueError("%s: no image with an annotation file in %s" % (info_file, section["images"]))
        if skipped:
            print("\t - [WARNING]: skipped %d %s image(s) without an annotation file" % (skipped, key))
        listed[key] = pairs

    description = {"type": "tfrecord", "classes": list(classes)}
    for key in SPLITS:
        split_dir = os.path.abspath(os.path.join(output_dir, key))
        stale = glob.glob(os.path.join(split_dir, "*.tfrecord"))
        if stale and not overwrite:
            raise FileExistsError("%s already holds record files; pass overwrite=True (--overwrite) to replace them"
                                  % split_dir)
        for path in stale:
            os.remove(path)
        os.makedirs(split_dir, exist_ok=True)
        write_split(listed[key], split_dir, key, shard_size, len(classes), quality)
        description[key] = {"path": split_dir, "samples": len(listed[key])}

    path = os.path.join(output_dir, DESCRIPTION)
    with open(path, "w", encoding="utf-8") as f:
        yaml.safe_dump(description, f, sort_keys=False)
    print("\t - [INFO] TFRecord dataset written, description at %s" % path)
    return description


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m vireo.quillon.datasets.tools.darknet_to_tfrecord",
        description="Convert a Darknet detection dataset into sharded TFRecord files and a "
                    "TFRecord dataset description (OUTPUT_DIR/%s)." % DESCRIPTION)
    parser.add_argument("info_file", help="Darknet dataset description (YAML)")
    parser.add_argument("output_dir", help="folder for train/, validation/ and %s" % DESCRIPTION)
    parser.add_argument("--shard-size", type=int, default=1000, help="records per file (default 1000)")
    parser.add_argument("--quality", type=int, default=95, help="JPEG quality for re-encoded images (default 95)")
    parser.add_argument("--overwrite", action="store_true", help="replace record files already in OUTPUT_DIR")
    args = parser.parse_args(argv)
    convert(args.info_file, args.output_dir, args.shard_size, args.quality, args.overwrite)
    return 0


if __name__ == "__main__":
    sys.exit(main())
