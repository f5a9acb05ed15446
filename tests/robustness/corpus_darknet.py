"""Malformed inputs for the Darknet dataset, replayed in child processes by harness.replay.

`make_cases(root, scale)` writes the files into `root` (in the parent) and returns the cases;
`run_case(case)` runs one of them (in the child). Each case names the exception kinds it may
end with: the clear errors of the format (ValueError naming the file, Pillow's OSError for an
image that cannot be decoded, TypeError or AttributeError for wrong types).
"""
import io
import json
import os
import random
import zlib

import numpy as np
from PIL import Image

from tests.robustness import detection

ANNOTATION = ("ok", "ValueError")
IMAGE = ("ok", "OSError", "UnidentifiedImageError")
CLASSES = ["cat", "dog"]
TOKENS = ["inf", "-inf", "nan", "1e400", "-1", "2", "1e20", "0x10", "\x00", "\u00e9", "#", "\r", "1_0", "0.5",
          "--1", "1e", "\t", "\n", "9" * 400, "-0", "+.5", "\x0b"]


# --- parent side: files and cases --------------------------------------------------------------

def _split(root, name):
    images, labels = os.path.join(root, name, "images"), os.path.join(root, name, "labels")
    os.makedirs(images, exist_ok=True)
    os.makedirs(labels, exist_ok=True)
    for i in range(3):
        Image.new("RGB", (8 + i, 6), (i * 40, 90, 200)).save(os.path.join(images, "s%d.png" % i))
        with open(os.path.join(labels, "s%d.txt" % i), "w") as f:
            f.write("%d 0.5 0.5 0.5 0.5\n" % (i % 2))
    return {"images": images, "annotations": labels}


def description(root):
    return {"type": "darknet", "classes": list(CLASSES), "train": _split(root, "train"),
            "validation": _split(root, "validation")}


def _png(width, height, mode="RGB"):
    buffer = io.BytesIO()
    Image.new(mode, (width, height), 100).save(buffer, format="PNG")
    return buffer.getvalue()


def _jpeg(width, height):
    buffer = io.BytesIO()
    pixels = np.random.RandomState(width).randint(0, 255, (height, width, 3), dtype=np.uint8)
    Image.fromarray(pixels).save(buffer, format="JPEG")
    return buffer.getvalue()


def _write(root, name, data):
    path = os.path.join(root, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def _annotation_texts(rng, scale):
    valid = "0 0.5 0.5 0.2 0.2\n1 0.25 0.75 0.1 0.3\n"
    for i in range(25 * scale):
        yield "random bytes %d" % i, bytes(rng.randrange(256) for _ in range(rng.randrange(0, 400)))
    for i in range(30 * scale):
        tokens = valid.split(" ")
        for _ in range(rng.randrange(1, 4)):
            tokens.insert(rng.randrange(len(tokens) + 1), rng.choice(TOKENS))
        yield "mutated text %d" % i, " ".join(tokens).encode("utf-8", "surrogatepass")
    for i in range(10 * scale):
        yield "truncated text %d" % i, valid.encode()[: rng.randrange(len(valid))]
    yield "inf minus inf", b"0 inf 0.5 inf 0.2\n"
    yield "literal nan", b"0 nan 0.5 0.2 0.2\n"
    yield "overflow to inf", b"0 0.5 0.5 1e400 0.2\n"
    yield "huge coordinates", b"0 1e308 1e308 1e308 1e308\n"
    yield "huge class id", b"1e300 0.5 0.5 0.2 0.2\n"
    yield "negative class id", b"-1 0.5 0.5 0.2 0.2\n"
    yield "class id past the list", b"2 0.5 0.5 0.2 0.2\n"
    yield "fractional class id", b"0.5 0.5 0.5 0.2 0.2\n"
    yield "NUL inside", b"0 0.5\x00 0.5 0.2 0.2\n"
    yield "100k lines", b"0 0.5 0.5 0.2 0.2\n" * 100000
    yield "100k values on a line", b" ".join([b"0.5"] * 100000)
    yield "one value", b"7"
    yield "utf-16", "0 0.5 0.5 0.2 0.2\n".encode("utf-16")


def _image_files(rng, scale):
    sources = [_png(40, 30), _jpeg(40, 30), _png(40, 30, "L"), _png(40, 30, "RGBA")]
    for i in range(15 * scale):
        yield "random image bytes %d" % i, bytes(rng.randrange(256) for _ in range(rng.randrange(0, 600)))
    for i in range(15 * scale):
        source = rng.choice(sources)
        yield "truncated image %d" % i, source[: rng.randrange(len(source))]
    for i in range(20 * scale):
        data = bytearray(rng.choice(sources))
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        yield "mutated image %d" % i, bytes(data)
    yield "1 x 5000", _png(1, 5000)
    yield "5000 x 1", _png(5000, 1)
    yield "16-bit grey", _png(40, 30, "I;16")
    huge = bytearray(_png(8, 8))  # IHDR claims 60000 x 60000: refused before decoding
    huge[16:24] = (60000).to_bytes(4, "big") * 2
    huge[29:33] = zlib.crc32(bytes(huge[12:29])).to_bytes(4, "big")
    yield "claims 60000 x 60000", bytes(huge)


def make_cases(root, scale=1, seed=0):
    rng = random.Random(seed)
    os.makedirs(root, exist_ok=True)
    base = os.path.join(root, "base")
    with open(os.path.join(root, "base.json"), "w") as f:
        json.dump(description(base), f)
    image = os.path.join(base, "train", "images", "s0.png")
    valid_annotation = os.path.join(base, "train", "labels", "s0.txt")
    cases = []
    for i, (name, data) in enumerate(_annotation_texts(rng, scale)):
        path = _write(root, "a%d.txt" % i, data)
        cases.append({"name": "annotation: " + name, "kind": "load", "root": root, "data": [image, path],
                      "training": i % 2 == 0, "expect": ANNOTATION})
    for i, (name, data) in enumerate(_image_files(rng, scale)):
        path = _write(root, "i%d.png" % i, data)
        expect = ("DecompressionBombError",) if "claims" in name else IMAGE
        cases.append({"name": "image: " + name, "kind": "load", "root": root, "data": [path, valid_annotation],
                      "training": i % 2 == 0, "expect": expect})
    cases += _wrong_type_cases(root, image, valid_annotation)
    cases += _description_cases(root)
    cases += detection.shape_cases(root, [image, valid_annotation])
    return cases


def _wrong_type_cases(root, image, annotation):
    raw = [image.encode(), annotation.encode()]
    rows = [
        ("None", None, ("TypeError",)),
        ("an int", 5, ("TypeError",)),
        ("a str of two letters", "ab", ("AttributeError",)),
        ("two ints", [1, 2], ("AttributeError",)),
        ("one path", raw[:1], ("ValueError",)),
        ("three paths", raw + raw[:1], ("ValueError",)),
        ("paths as str", [image, annotation], ("AttributeError",)),
        ("undecodable image path", [b"\xff\xfe.png", raw[1]], ("UnicodeDecodeError",)),
        ("NUL in the image path", [b"a\x00.png", raw[1]], ("ValueError",)),
        ("NUL in the annotation path", [raw[0], b"a\x00.txt"], ("ValueError",)),
        ("a folder as image", [os.path.dirname(image).encode(), raw[1]], ("IsADirectoryError",)),
        ("a folder as annotation", [raw[0], os.path.dirname(annotation).encode()], ("IsADirectoryError",)),
    ]
    return [{"name": "data: " + name, "kind": "load_raw", "root": root, "data": data, "training": True,
             "expect": expect} for name, data, expect in rows]


def _description_cases(root):
    base = description(os.path.join(root, "desc"))
    rows = [
        ("None", None, ("AttributeError",)),
        ("type 3", dict(base, type=3), ("AttributeError",)),      # checked as given: the dictionary
        ("type yolo", dict(base, type="yolo"), ("ValueError",)),  # variant would overwrite the type
        ("classes 5", dict(base, classes=5), ("TypeError",)),
        ("classes a str", dict(base, classes="ab"), ("TypeError",)),
        ("train a str", dict(base, train="x"), ("AttributeError",)),
        ("train folders are ints", dict(base, train={"images": 5, "annotations": 5}), ("TypeError",)),
        ("NUL in a folder", dict(base, train={"images": "a\x00b", "annotations": "c"}), ("ValueError",)),
        ("missing folders", dict(base, validation={"images": "/no/such", "annotations": "/no/such"}),
         ("ValueError",)),
        ("100k classes", dict(base, classes=["c%d" % i for i in range(10 ** 5)]), ("ok",)),
    ]
    return [{"name": "description: " + name, "kind": "check" if "type" in name else "construct", "root": root,
             "info": info, "shape": [32, 32, 3], "expect": expect} for name, info, expect in rows]


# --- child side -------------------------------------------------------------------------------

def _dataset(case):
    from vireo.quillon.datasets import darknet

    def build(letter_box):
        with open(os.path.join(case["root"], "base.json")) as f:
            return darknet.DarknetDataset(json.load(f), [32, 32, 3], letter_box=letter_box)

    return detection.dataset(case, build)


def run_case(case):
    from vireo.quillon.datasets import darknet

    kind = case["kind"]
    if kind == "load":
        data = np.array([p.encode() for p in case["data"]], dtype=object)
        _dataset(case).load_instance(data, case["training"])
    elif kind == "load_raw":
        data = case["data"]
        if isinstance(data, list) and all(isinstance(d, bytes) for d in data):
            data = np.array(data, dtype=object)
        _dataset(case).load_instance(data, case["training"])
    elif kind == "construct":
        darknet.DarknetDataset(case["info"], case["shape"])
    elif kind == "check":
        _dataset(case).validate_info_file_content(case["info"])
    elif kind == "leak":
        ds = darknet.DarknetDataset(description(case["root"]), [32, 32, 3])
        detection.measure(case, ds, np.array([p.encode() for p in ds.train_storage[0]], dtype=object))
    else:
        raise KeyError(kind)
