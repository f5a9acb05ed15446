"""Malformed inputs for the TFRecord dataset, replayed in child processes by harness.replay.

`make_cases(root, scale)` writes the files into `root` (in the parent) and returns the cases;
`run_case(case)` runs one of them (in the child). Records are passed as bytes, as the training
pipeline hands them to load_instance. Clear errors here: ValueError naming the record (or the
file, for a file that is not a TFRecord file), TensorFlow's InvalidArgumentError for a missing
feature or an image it cannot decode, its DataLossError for a record file cut or damaged after
its first record.
"""
import io
import os
import random

import numpy as np
from PIL import Image

from tests.robustness import detection

RECORD = ("ok", "ValueError", "InvalidArgumentError")
CLASSES = ["cat", "dog"]


# --- parent side: records, files and cases ------------------------------------------------------

def _encoded(width, height, fmt="JPEG", mode="RGB"):
    buffer = io.BytesIO()
    pixels = np.random.RandomState(width * 7 + height).randint(0, 255, (height, width, 3), dtype=np.uint8)
    Image.fromarray(pixels).convert(mode).save(buffer, format=fmt)
    return buffer.getvalue()


def make_record(width=40, height=30, objects=(1,), bboxes=(0.5, 0.5, 0.2, 0.2), image=None, drop=None):
    import tensorflow as tf

    feature = tf.train.Feature
    features = {
        "image": feature(bytes_list=tf.train.BytesList(value=[image or _encoded(width, height)])),
        "image_name": feature(bytes_list=tf.train.BytesList(value=[b"r.jpg"])),
        "width": feature(int64_list=tf.train.Int64List(value=[width])),
        "height": feature(int64_list=tf.train.Int64List(value=[height])),
        "objects": feature(int64_list=tf.train.Int64List(value=list(objects))),
        "bboxes": feature(float_list=tf.train.FloatList(value=list(bboxes))),
    }
    if drop:
        del features[drop]
    # Deterministic: map entries in one order, so the damaged records are the same on every run.
    return tf.train.Example(features=tf.train.Features(feature=features)).SerializeToString(deterministic=True)


def write_records(path, records):
    import tensorflow as tf

    os.makedirs(os.path.dirname(path), exist_ok=True)
    with tf.io.TFRecordWriter(path) as writer:
        for record in records:
            writer.write(record)
    return path


def description(root, count=3):
    for split in ("train", "val"):
        write_records(os.path.join(root, split, "part.tfrecord"),
                      [make_record(8 + i, 6, objects=[i % 2]) for i in range(count)])
    return {"type": "tfrecord", "classes": list(CLASSES), "train": {"path": os.path.join(root, "train")},
            "validation": {"path": os.path.join(root, "val")}}


def _records(rng, scale):
    good = make_record()
    for i in range(30 * scale):
        yield "random bytes %d" % i, bytes(rng.randrange(256) for _ in range(rng.randrange(0, 400)))
    for i in range(20 * scale):
        yield "truncated %d" % i, good[: rng.randrange(len(good))]
    for i in range(40 * scale):
        data = bytearray(good)
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        yield "mutated %d" % i, bytes(data)
    nan, inf = float("nan"), float("inf")
    yield "NaN box", make_record(bboxes=[nan, 0.5, 0.2, 0.2])
    yield "infinite box", make_record(bboxes=[0.5, inf, 0.2, -inf])
    yield "huge box", make_record(bboxes=[3e38, 3e38, 3e38, 3e38])
    yield "class id 2**63-1", make_record(objects=[2 ** 63 - 1])
    yield "class id 2**32+1", make_record(objects=[2 ** 32 + 1])
    yield "class id -1", make_record(objects=[-1])
    yield "class id past the list", make_record(objects=[2])
    yield "more objects than boxes", make_record(objects=[0, 1])
    yield "box values not in fours", make_record(bboxes=[0.5, 0.5, 0.2])
    yield "10k objects", make_record(objects=[0] * 10000, bboxes=[0.5, 0.5, 0.2, 0.2] * 10000)
    yield "no image feature", make_record(drop="image")
    yield "no name feature", make_record(drop="image_name")
    yield "image is text", make_record(image=b"not an image")
    yield "image is a PNG", make_record(image=_encoded(40, 30, "PNG"))
    yield "image is a GIF", make_record(image=_encoded(40, 30, "GIF", "P"))
    yield "image is a BMP", make_record(image=_encoded(40, 30, "BMP"))
    yield "1 x 5000 image", make_record(1, 5000)
    yield "5000 x 1 image", make_record(5000, 1)
    yield "length past the end", b"\x0a" + b"\xff" * 8 + b"\x3f" + b"\x0a\x00"  # a length near 2**62
    yield "empty", b""


def make_cases(root, scale=1, seed=0):
    rng = random.Random(seed)
    os.makedirs(root, exist_ok=True)
    description(os.path.join(root, "base"))
    cases = []
    for i, (name, data) in enumerate(_records(rng, scale)):
        cases.append({"name": "record: " + name, "kind": "load", "root": root, "data": data,
                      "training": i % 2 == 0, "expect": RECORD})
    cases += _wrong_type_cases(root)
    cases += _file_cases(root, rng)
    cases += _description_cases(root)
    cases += detection.shape_cases(root, make_record())
    return cases


def _wrong_type_cases(root):
    good = make_record()
    rows = [
        ("None", None, ("ValueError",)),
        ("an int", 5, ("ValueError",)),
        ("a str", "text", ("InvalidArgumentError",)),
        ("a list of one record", [good], ("ValueError",)),
        ("an array of two records", np.array([good, good], dtype=object), ("ValueError",)),
    ]
    return [{"name": "data: " + name, "kind": "load", "root": root, "data": data, "training": True,
             "expect": expect} for name, data, expect in rows]


def _file_cases(root, rng):
    with open(write_records(os.path.join(root, "framed", "x.tfrecord"), [make_record()] * 3), "rb") as f:
        framed = f.read()
    rows = [("random bytes", bytes(rng.randrange(256) for _ in range(300)), ("ValueError",)),
            ("a few bytes", b"\x01\x02", ("ValueError",)),
            ("empty", b"", ("ok",)),  # a split without records, and no count to contradict it
            ("cut in the first record", framed[:40], ("DataLossError",)),
            ("cut in the last record", framed[:-7], ("DataLossError",))]
    for i in range(5):
        damaged = bytearray(framed)
        damaged[rng.randrange(12, len(damaged))] ^= 0xFF
        rows.append(("damaged after the header %d" % i, bytes(damaged), ("DataLossError", "ok")))
    cases = []
    for i, (name, data, expect) in enumerate(rows):
        folder = os.path.join(root, "files", str(i))
        os.makedirs(folder)
        with open(os.path.join(folder, "x.tfrecord"), "wb") as f:
            f.write(data)
        cases.append({"name": "record file: " + name, "kind": "files", "root": root, "folder": folder,
                      "expect": expect})
    return cases


def _description_cases(root):
    base = description(os.path.join(root, "desc"))
    rows = [
        ("None", None, ("AttributeError",)),
        ("type 3", dict(base, type=3), ("ValueError",)),  # checked as given: the dictionary variant
        ("type TFRecord", dict(base, type="TFRecord"), ("ValueError",)),  # would overwrite the type
        ("classes 5", dict(base, classes=5), ("TypeError",)),
        ("train a str", dict(base, train="x"), ("AttributeError",)),
        ("train missing", {k: v for k, v in base.items() if k != "train"}, ("AttributeError",)),
        ("samples 0", dict(base, train=dict(base["train"], samples=0)), ("ValueError",)),
        ("path an int", dict(base, train={"path": 5}), ("TypeError",)),
        ("path with NUL", dict(base, train={"path": "a\x00b"}), ("ValueError",)),
        ("folder missing", dict(base, train={"path": "/no/such/folder"}), ("TypeError",)),
    ]
    return [{"name": "description: " + name, "kind": "check" if "type" in name else "construct", "root": root,
             "info": info, "expect": expect} for name, info, expect in rows]


# --- child side -------------------------------------------------------------------------------

def _dataset(case):
    from vireo.quillon.datasets import tfrecord

    def build(letter_box):
        base = os.path.join(case["root"], "base")
        info = {"classes": list(CLASSES), "train": {"path": os.path.join(base, "train")},
                "validation": {"path": os.path.join(base, "val")}}
        return tfrecord.TFRecordDataset(info, [32, 32, 3], letter_box=letter_box)

    return detection.dataset(case, build)


def _iterate_files(case):
    from vireo.quillon.datasets import tfrecord

    base = os.path.join(case["root"], "base")
    info = {"classes": list(CLASSES), "train": {"path": os.path.join(base, "train")},
            "validation": {"path": case["folder"]}}
    ds = tfrecord.TFRecordDataset(info, [32, 32, 3])
    for _ in ds.build_val_iterator():
        pass


def run_case(case):
    from vireo.quillon.datasets import tfrecord

    kind = case["kind"]
    if kind == "load":
        _dataset(case).load_instance(case["data"], case["training"])
    elif kind == "files":
        _iterate_files(case)
    elif kind == "construct":
        tfrecord.TFRecordDataset(case["info"], [32, 32, 3]).build_train_iterator(2)
    elif kind == "check":
        _dataset(case).validate_info_file_content(case["info"])
    elif kind == "leak":
        ds = tfrecord.TFRecordDataset(description(case["root"]), [32, 32, 3])
        detection.measure(case, ds, make_record(12, 9))
    else:
        raise KeyError(kind)

