"""Small datasets on disk for the dataset check's tests: a clean one per format, and plants
that each put one problem into it and say what the check must report for it.

A plant is a function ``plant(root) -> {(severity, kind, file, where), ...}`` with `file`
relative to `root` and `where` the line, record or JSON path (None for the whole file).
"""
import io
import json
import os

import numpy as np
import scipy.io
import yaml
from PIL import Image

CLASSES = ["cat", "dog", "bird"]
SIZE = (32, 24)  # width, height of the generated images


def write_image(path, size=SIZE, mode="RGB", seed=0, fmt=None, exif_orientation=None):
    """A small noisy image; `mode` "I;16" writes a 16-bit grey PNG."""
    rng = np.random.default_rng(seed)
    w, h = size
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if mode == "I;16":
        image = Image.fromarray((rng.random((h, w)) * 65535).astype(np.uint16))
    else:
        image = Image.fromarray((rng.random((h, w, 3)) * 255).astype(np.uint8)).convert(mode)
    fmt = fmt or ("PNG" if path.lower().endswith(".png") else "JPEG")
    options = {}
    if exif_orientation:
        exif = Image.Exif()
        exif[0x0112] = exif_orientation
        options["exif"] = exif
    image.save(path, fmt, **options)
    return path


def truncate(path, keep=0.6):
    """Cuts a file to a part of its length, past its header."""
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:int(len(data) * keep)])


def write_text(path, text, encoding="utf-8"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding=encoding, newline="") as f:
        f.write(text)


def write_yaml(path, info):
    with open(path, "w", encoding="utf-8") as f:
        yaml.safe_dump(info, f, sort_keys=False)
    return path


def names(count):
    return ["%03d" % i for i in range(count)]


# ---- Darknet -----------------------------------------------------------------------------------

DARKNET_SPLITS = {"train": 4, "validation": 2}


def darknet(root):
    """A clean Darknet dataset: every image with one box of a valid class. Returns the YAML."""
    info = {"type": "darknet", "classes": list(CLASSES)}
    for split, count in DARKNET_SPLITS.items():
        for i, name in enumerate(names(count)):
            write_image(os.path.join(root, split, "images", name + ".jpg"), seed=i)
            write_text(os.path.join(root, split, "labels", name + ".txt"), "%d 0.5 0.5 0.25 0.5\n" % (i % 3))
        info[split] = {"images": os.path.join(root, split, "images"), "annotations": os.path.join(root, split, "labels")}
    return write_yaml(os.path.join(root, "dataset.yaml"), info)


def label(text, kind, severity="error", where="line 1", name="001"):
    """A plant that rewrites one training label file."""
    def plant(root):
        write_text(os.path.join(root, "train", "labels", name + ".txt"), text)
        return {(severity, kind, "train/labels/%s.txt" % name, where)}
    plant.__name__ = kind
    return plant


def image_plant(kind, severity, make, name="002"):
    def plant(root):
        make(os.path.join(root, "train", "images", name + ".jpg"))
        return {(severity, k, "train/images/%s.jpg" % name, None) for k in ([kind] if isinstance(kind, str) else kind)}
    plant.__name__ = "_".join([kind] if isinstance(kind, str) else kind)
    return plant


def without_annotation(root):
    write_image(os.path.join(root, "train", "images", "extra.png"))
    return {("warning", "image-without-annotation", "train/images/extra.png", None)}


def without_image(root):
    write_text(os.path.join(root, "train", "labels", "orphan.txt"), "0 0.5 0.5 0.1 0.1\n")
    return {("warning", "annotation-without-image", "train/labels/orphan.txt", None)}


def garbage(path):
    with open(path, "wb") as f:
        f.write(b"this is not an image at all" * 10)


DARKNET_PLANTS = [
    label("3 0.5 0.5 0.2 0.2\n", "class-out-of-range"),
    label("0 0.5 0.5 0.2 0.2\n-1 0.5 0.5 0.2 0.2\n", "class-out-of-range", where="line 2", name="003"),
    label("1.5 0.5 0.5 0.2 0.2\n", "class-not-integer"),
    label("0 inf 0.5 inf 0.2\n", "non-finite"),
    label("# header\n0 nan 0.5 0.2 0.2\n", "non-finite", where="line 2", name="003"),
    label("0 0.5 abc 0.2 0.2\n", "not-a-number"),
    label("\ufeff0 0.5 0.5 0.2 0.2\n", "not-a-number", name="000"),
    label("0 0.5 0.5 0.2\n", "bad-line"),
    label("0 0.5 0.5 0.2 0.2\r\n1 0.5 0.5 0.2\r\n", "bad-line", where="line 2", name="000"),
    label("0 0.95 0.5 0.2 0.2\n", "box-outside", "warning"),
    label("0 0.5 0.5 0 0.2\n", "box-empty", "warning"),
    label("0 0.5 0.5 0.2 0.2\n0 0.5 0.5 0.2 0.2\n", "duplicate-row", "warning", where="line 2"),
    image_plant("image-unreadable", "error", garbage),
    image_plant("image-truncated", "warning", lambda p: (write_image(p, size=(96, 64)), truncate(p))),
    image_plant("image-grey", "note", lambda p: write_image(p, mode="L")),
    image_plant("image-exif-rotated", "note", lambda p: write_image(p, exif_orientation=6)),
    image_plant(["image-16-bit", "image-grey"], "note", lambda p: write_image(p, mode="I;16", fmt="PNG")),
    image_plant("image-alpha", "note", lambda p: write_image(p, mode="RGBA", fmt="PNG")),
    without_annotation,
    without_image,
]


def darknet_not_utf8(root):
    with open(os.path.join(root, "train", "labels", "001.txt"), "wb") as f:
        f.write(b"0 0.5 0.5 0.2 0.2\n\xff\xfe 0.5\n")
    return {("error", "annotation-unreadable", "train/labels/001.txt", None)}


DARKNET_PLANTS.append(darknet_not_utf8)


# ---- TFRecord -----------------------------------------------------------------------------------

def jpeg_bytes(seed=0, size=SIZE, mode="RGB"):
    buffer = io.BytesIO()
    rng = np.random.default_rng(seed)
    w, h = size
    Image.fromarray((rng.random((h, w, 3)) * 255).astype(np.uint8)).convert(mode).save(buffer, "JPEG")
    return buffer.getvalue()


def example(tf, image=None, name="a.jpg", width=SIZE[0], height=SIZE[1], objects=(0,), bboxes=(0.5, 0.5, 0.2, 0.2),
            drop=()):
    image = jpeg_bytes() if image is None else image
    feature = {
        "image": tf.train.Feature(bytes_list=tf.train.BytesList(value=[image])),
        "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[name.encode()])),
        "width": tf.train.Feature(int64_list=tf.train.Int64List(value=[width])),
        "height": tf.train.Feature(int64_list=tf.train.Int64List(value=[height])),
        "objects": tf.train.Feature(int64_list=tf.train.Int64List(value=list(objects))),
        "bboxes": tf.train.Feature(float_list=tf.train.FloatList(value=list(bboxes))),
    }
    for key in drop:
        del feature[key]
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def write_records(tf, path, records):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with tf.io.TFRecordWriter(path) as writer:
        for record in records:
            writer.write(record)
    return path


TFRECORD_SPLITS = {"train": 4, "validation": 2}


def tfrecord(tf, root):
    """A clean TFRecord dataset: one file per split. Returns the YAML."""
    info = {"type": "tfrecord", "classes": list(CLASSES)}
    for split, count in TFRECORD_SPLITS.items():
        records = [example(tf, jpeg_bytes(i), "%03d.jpg" % i, objects=(i % 3,)) for i in range(count)]
        write_records(tf, os.path.join(root, split, "part-0.tfrecord"), records)
        info[split] = {"path": os.path.join(root, split)}
    return write_yaml(os.path.join(root, "dataset.yaml"), info)


def record_file_plant(kind, severity, edit, where):
    """Rewrites the training record file's bytes with `edit(data) -> data`."""
    def plant(tf, root):
        path = os.path.join(root, "train", "part-0.tfrecord")
        with open(path, "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(edit(data))
        return {(severity, kind, "train/part-0.tfrecord", where)}
    plant.__name__ = kind
    return plant


def extra_record(kind, severity, make, where="record 0 'extra.jpg'"):
    """Adds a second training file holding one record made by `make(tf)`."""
    def plant(tf, root):
        write_records(tf, os.path.join(root, "train", "part-1.tfrecord"), [make(tf)])
        return {(severity, kind, "train/part-1.tfrecord", where)}
    plant.__name__ = kind
    return plant


def cut(data, keep=0.6):
    return data[:int(len(data) * keep)]


def flip_byte(data, at):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def record_count(tf, root):
    path = os.path.join(root, "dataset.yaml")
    with open(path) as f:
        info = yaml.safe_load(f)
    info["train"]["samples"] = 5
    write_yaml(path, info)
    return {("warning", "record-count", "dataset.yaml", "train.samples")}


TFRECORD_PLANTS = [
    record_count,
    record_file_plant("record-corrupt", "error", lambda d: flip_byte(d, 40), "record 0 (byte 0)"),
    record_file_plant("record-truncated", "error", lambda d: d[:-30], "record 3 (byte *"),
    extra_record("class-out-of-range", "error", lambda tf: example(tf, name="extra.jpg", objects=(7,))),
    extra_record("non-finite", "error", lambda tf: example(tf, name="extra.jpg", bboxes=(float("nan"), 0.5, 0.2, 0.2))),
    extra_record("record-layout", "error", lambda tf: example(tf, name="extra.jpg", bboxes=(0.5, 0.5, 0.2))),
    extra_record("record-layout", "error", lambda tf: example(tf, name="extra.jpg", objects=(0, 1))),
    extra_record("record-layout", "error", lambda tf: example(tf, name="extra.jpg", drop=("image_name",)),
                 where="record 0 (byte 0)"),
    extra_record("record-layout", "error", lambda tf: b"\x0a\xff\xff\xff\x0f broken", where="record 0 (byte 0)"),
    extra_record("image-unreadable", "error", lambda tf: example(tf, image=b"not an image", name="extra.jpg")),
    extra_record("image-truncated", "error", lambda tf: example(tf, image=cut(jpeg_bytes(size=(96, 64))),
                                                               name="extra.jpg", width=96, height=64)),
    extra_record("box-outside", "warning", lambda tf: example(tf, name="extra.jpg", bboxes=(0.95, 0.5, 0.2, 0.2))),
    extra_record("image-grey", "note", lambda tf: example(tf, image=jpeg_bytes(mode="L"), name="extra.jpg")),
]


# ---- Segmentation (per-image JSON) ----------------------------------------------------------------

SQUARE = [[0.25, 0.25], [0.75, 0.25], [0.75, 0.75], [0.25, 0.75]]


def segmentation(root):
    """A clean segmentation dataset. Returns the YAML."""
    info = {"classes": list(CLASSES)}
    for split, count in DARKNET_SPLITS.items():
        for i, name in enumerate(names(count)):
            write_image(os.path.join(root, split, "images", name + ".png"), seed=i)
            content = {"image": name + ".png", "segment": [[{"polygon": SQUARE, "class": i % 3}]]}
            write_text(os.path.join(root, split, "annotations", name + ".json"), json.dumps(content))
        info[split] = {"images": os.path.join(root, split, "images"),
                       "annotations": os.path.join(root, split, "annotations")}
    return write_yaml(os.path.join(root, "dataset.yaml"), info)


def seg_annotation(kind, severity, content, where="segment[0][0]", name="001"):
    def plant(root):
        text = content if isinstance(content, str) else json.dumps(content)
        write_text(os.path.join(root, "train", "annotations", name + ".json"), text)
        return {(severity, kind, "train/annotations/%s.json" % name, where)}
    plant.__name__ = kind
    return plant


def seg_missing_image(root):
    write_text(os.path.join(root, "train", "annotations", "001.json"),
               json.dumps({"image": "gone.png", "segment": [[{"polygon": SQUARE, "class": 0}]]}))
    os.remove(os.path.join(root, "train", "images", "001.png"))
    return {("error", "image-missing", "train/images/gone.png", None)}


def seg_unread_image(root):
    write_image(os.path.join(root, "train", "images", "lonely.png"))
    return {("warning", "image-without-annotation", "train/images/lonely.png", None)}


SEGMENTATION_PLANTS = [
    seg_annotation("class-out-of-range", "error", {"image": "001.png", "segment": [[{"polygon": SQUARE, "class": 3}]]}),
    seg_annotation("outline-too-short", "warning",
                   {"image": "001.png", "segment": [[{"polygon": SQUARE[:2], "class": 0}]]}),
    seg_annotation("non-finite", "error",
                   '{"image": "001.png", "segment": [[{"polygon": [[0.1, NaN], [0.5, 0.1], [0.5, 0.5]], "class": 0}]]}'),
    seg_annotation("outline-outside", "warning",
                   {"image": "001.png", "segment": [[{"polygon": [[0.5, 0.5], [1.4, 0.5], [0.5, 0.9]], "class": 0}]]}),
    seg_annotation("annotation-layout", "error", {"segment": []}, where=None),
    seg_annotation("annotation-unreadable", "error", '{"image": "001.png", "segment": [', where=None),
    seg_missing_image,
    seg_unread_image,
]


# ---- COCO -------------------------------------------------------------------------------------

def coco(root):
    """A clean COCO file of four images with a square each. Returns (JSON path, image folder)."""
    images_dir = os.path.join(root, "images")
    content = {"images": [], "annotations": [],
               "categories": [{"id": i + 1, "name": name} for i, name in enumerate(CLASSES)]}
    for i, name in enumerate(names(4)):
        write_image(os.path.join(images_dir, name + ".jpg"), seed=i)
        content["images"].append({"id": i + 1, "file_name": name + ".jpg", "width": SIZE[0], "height": SIZE[1]})
        content["annotations"].append({"id": i + 1, "image_id": i + 1, "category_id": 1 + i % 3,
                                       "segmentation": [[4, 4, 20, 4, 20, 16, 4, 16]]})
    path = os.path.join(root, "train.json")
    write_text(path, json.dumps(content))
    return path, images_dir


def coco_plant(kind, severity, edit, where, also=()):
    def plant(root):
        path = os.path.join(root, "train.json")
        with open(path) as f:
            content = json.load(f)
        edit(content, root)
        write_text(path, json.dumps(content))
        file = "train.json" if not kind.startswith("image-") else "images/001.jpg"
        return {(severity, kind, file, where)} | set(also)
    plant.__name__ = kind
    return plant


def annotation(image_id=1, category_id=1, segmentation=(4, 4, 20, 4, 20, 16, 4, 16)):
    return {"id": 99, "image_id": image_id, "category_id": category_id, "segmentation": [list(segmentation)]}


COCO_PLANTS = [
    coco_plant("coco-image-no-file-name", "error", lambda c, r: c["images"][1].pop("file_name"), "images[1]",
               also={("warning", "image-without-annotation", "images/001.jpg", None)}),
    coco_plant("image-missing", "error", lambda c, r: os.remove(os.path.join(r, "images", "001.jpg")), None),
    coco_plant("coco-unknown-image", "warning", lambda c, r: c["annotations"].append(annotation(image_id=77)),
               "annotations[4]"),
    coco_plant("coco-unknown-category", "warning", lambda c, r: c["annotations"].append(annotation(category_id=9)),
               "annotations[4]"),
    coco_plant("coco-run-length", "note",
               lambda c, r: c["annotations"].append({"image_id": 1, "category_id": 1,
                                                     "segmentation": {"counts": [1, 2], "size": [24, 32]}}),
               "annotations"),
    coco_plant("outline-layout", "error", lambda c, r: c["annotations"].append(annotation(segmentation=(1, 2, 3))),
               "annotations[4].segmentation[0]"),
    coco_plant("outline-outside", "warning",
               lambda c, r: c["annotations"].append(annotation(segmentation=(4, 4, 60, 4, 20, 16))),
               "annotations[4].segmentation[0]"),
]


# ---- Head pose ------------------------------------------------------------------------------

def attitude(root, layout="mat"):
    """A clean head-pose dataset: MATLAB files ("mat"), JSON faces with boxes and angle objects
    ("detect"), or JSON boxes and angle triples ("crop"). Returns the YAML."""
    info = {"classes": ["face"]}
    for split, count in DARKNET_SPLITS.items():
        for i, name in enumerate(names(count)):
            write_image(os.path.join(root, split, "images", name + ".jpg"), seed=i)
            write_pose(os.path.join(root, split, "annotations", name), layout, (0.1 * i, -0.2, 0.05))
        info[split] = {"images": os.path.join(root, split, "images"),
                       "annotations": os.path.join(root, split, "annotations")}
    return write_yaml(os.path.join(root, "dataset.yaml"), info)


def write_pose(stem, layout, angles, box=(0.5, 0.5, 0.5, 0.5, 0), **mat):
    os.makedirs(os.path.dirname(stem), exist_ok=True)
    if layout == "mat":
        variables = {"Pose_Para": np.array([[angles[0], angles[1], angles[2], 0, 0, 0, 1]]),
                     "pt2d": np.zeros((2, 68))}
        variables.update(mat)
        variables = {k: v for k, v in variables.items() if v is not None}
        scipy.io.savemat(stem + ".mat", variables)
    elif layout == "detect":
        pitch, yaw, roll = angles
        write_text(stem + ".json", json.dumps({"boxes": [list(box)],
                                               "angles": [{"pitch": pitch, "yaw": yaw, "roll": roll}]}))
    else:
        write_text(stem + ".json", json.dumps({"boxes": [list(box)], "angles": [list(angles)]}))


def pose_plant(layout, kind, severity, angles=(0.0, 0.0, 0.0), where=None, box=(0.5, 0.5, 0.5, 0.5, 0), text=None,
               **mat):
    def plant(root):
        stem = os.path.join(root, "train", "annotations", "001")
        if text is not None:
            write_text(stem + ".json", text)
        else:
            write_pose(stem, layout, angles, box, **mat)
        return {(severity, kind, "train/annotations/001.%s" % ("mat" if layout == "mat" else "json"), where)}
    plant.__name__ = "%s_%s" % (layout, kind)
    return plant


ATTITUDE_PLANTS = [
    pose_plant("mat", "angles-unusable", "error", Pose_Para=None),
    pose_plant("mat", "angles-unusable", "error", angles=(float("nan"), 0, 0), where="Pose_Para"),
    pose_plant("mat", "angles-out-of-range", "warning", angles=(0.0, 2.0, 0.0), where="Pose_Para"),
    pose_plant("mat", "annotation-layout", "error", pt2d=None),
    pose_plant("detect", "angles-unusable", "error", where="angles[0]",
               text='{"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 1, "roll": 2}]}'),
    pose_plant("detect", "box-outside", "warning", box=(0.9, 0.5, 0.5, 0.5, 0), where="boxes[0]"),
    pose_plant("detect", "class-out-of-range", "error", box=(0.5, 0.5, 0.5, 0.5, 4), where="boxes[0]"),
    pose_plant("crop", "face-box-empty", "error", box=(1.5, 0.5, 0.2, 0.2, 0), where="boxes[0]"),
    pose_plant("crop", "angles-out-of-range", "warning", angles=(0.0, 120.0, 0.0), where="angles[0]"),
]


def matches(expected, found):
    """Whether the found set equals the expected one; an expected `where` ending in "*" is a prefix."""
    if len(expected) != len(found):
        return False
    for e in expected:
        if e[3] is not None and e[3].endswith("*"):
            if not any(f[:3] == e[:3] and f[3] is not None and f[3].startswith(e[3][:-1]) for f in found):
                return False
        elif e not in found:
            return False
    return True


def relative(root, findings):
    """The check's findings as (severity, kind, file relative to root, where)."""
    return {(f["severity"], f["kind"], os.path.relpath(f["file"], root).replace(os.sep, "/")
             if os.path.isabs(f["file"]) else f["file"], f["where"]) for f in findings}
