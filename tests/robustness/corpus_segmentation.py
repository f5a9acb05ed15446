"""Malformed inputs for vireo.quillon.datasets.segmentation, replayed by the harness.

`build_cases(root)` writes the files under `root` and returns the cases; `run_case(case)` runs one
in the child: a per-image annotation read and painted, a COCO file indexed and its samples read,
an image read, hostile constructor or iterator arguments, a YAML description. Every case names
the exception kinds it may end with: Python's own where the data is not text of its kind
(JSON, YAML, an image), this module's ValueError or TypeError, naming the file, for anything the
format does not allow.

`python -m tests.robustness.corpus_segmentation leak ROOT SAMPLES` runs the training iterator
over at least SAMPLES samples and prints the resident memory after the first pass and at the end.
"""
import copy
import json
import math
import os
import random
import sys

import numpy as np

SHAPE = [32, 32, 3]
LABELS = ["a", "b", "c"]
CLEAR = ("ValueError", "TypeError")
NOT_JSON = ("JSONDecodeError", "UnicodeDecodeError")
NOT_IMAGE = ("UnidentifiedImageError", "OSError")
MISSING = ("FileNotFoundError", "IsADirectoryError")  # a mutated image name names no file
HOSTILE = [None, True, False, 0, -1, 3, 2 ** 31, 2 ** 64, -2 ** 70, 0.5, 1e308, -1e308, float("nan"), float("inf"),
           float("-inf"), "", "x", "\0", "../../etc/passwd", [], [[]], [None], {}, {"a": 1}, [[0.1, 0.2]] * 2]


# --- writing the corpus (parent) ---------------------------------------------------------------

def _write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8", "surrogatepass"))
    return str(path)


def _dumps(value):
    return json.dumps(value, allow_nan=True)


def _image_bytes(kind, rng):
    from io import BytesIO

    from PIL import Image
    buffer = BytesIO()
    if kind == "rgb":
        Image.fromarray(rng.integers(0, 255, (24, 40, 3), dtype=np.uint8)).save(buffer, "PNG")
    elif kind == "grey16":
        Image.fromarray(rng.integers(0, 65535, (24, 40), dtype=np.uint16)).save(buffer, "PNG")
    elif kind == "palette":
        Image.fromarray(rng.integers(0, 255, (24, 40, 3), dtype=np.uint8)).convert("P").save(buffer, "PNG")
    elif kind == "rgba":
        Image.fromarray(rng.integers(0, 255, (24, 40, 4), dtype=np.uint8)).save(buffer, "PNG")
    elif kind == "cmyk":
        Image.fromarray(rng.integers(0, 255, (24, 40, 3), dtype=np.uint8)).convert("CMYK").save(buffer, "JPEG")
    elif kind == "binary":
        Image.fromarray(rng.integers(0, 2, (24, 40), dtype=np.uint8) * 255).convert("1").save(buffer, "PNG")
    elif kind == "thin":
        Image.fromarray(rng.integers(0, 255, (1, 3000, 3), dtype=np.uint8)).save(buffer, "PNG")
    elif kind == "tall":
        Image.fromarray(rng.integers(0, 255, (3000, 1, 3), dtype=np.uint8)).save(buffer, "PNG")
    elif kind == "pixel":
        Image.fromarray(rng.integers(0, 255, (1, 1, 3), dtype=np.uint8)).save(buffer, "PNG")
    return buffer.getvalue()


def _valid_annotation(rng, image="ok.png"):
    segment = []
    for k in range(int(rng.integers(1, 4))):
        points = rng.uniform(0, 1, (int(rng.integers(3, 9)), 2)).round(4).tolist()
        segment.append([{"polygon": points, "class": k % len(LABELS)}])
    return {"image": image, "segment": segment}


def _nodes(value, path=()):
    """Every place inside a JSON value, as a path of keys and indices."""
    yield path
    if isinstance(value, dict):
        for key in value:
            yield from _nodes(value[key], path + (key,))
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from _nodes(item, path + (i,))


def _replace(value, path, new):
    if not path:
        return new
    out = copy.deepcopy(value)
    node = out
    for key in path[:-1]:
        node = node[key]
    node[path[-1]] = new
    return out


def _mutations(document, rng, count):
    """`count` documents with one node replaced by a hostile value or deleted."""
    places = list(_nodes(document))
    out = []
    for _ in range(count):
        path = places[int(rng.integers(len(places)))]
        if path and rng.random() < 0.2:
            parent = copy.deepcopy(document)
            node = parent
            for key in path[:-1]:
                node = node[key]
            del node[path[-1]]
            out.append(("delete " + "/".join(map(str, path)), parent))
        else:
            new = HOSTILE[int(rng.integers(len(HOSTILE)))]
            out.append(("set %s=%r" % ("/".join(map(str, path)), new), _replace(document, path, new)))
    return out


def _byte_damage(text, rng, count):
    """Truncations and random byte flips of a serialised document."""
    data = text.encode()
    out = [("empty", b""), ("random bytes", bytes(rng.integers(0, 256, 200, dtype=np.uint8)))]
    for _ in range(count):
        cut = int(rng.integers(0, len(data)))
        out.append(("truncated at %d" % cut, data[:cut]))
        flipped = bytearray(data)
        at = int(rng.integers(0, len(data)))
        flipped[at] = int(rng.integers(0, 256))
        out.append(("byte %d flipped" % at, bytes(flipped)))
    return out


def _folders(root):
    folders = {}
    for key in ("train_images", "val_images", "train_annotations", "val_annotations"):
        folders[key] = os.path.join(root, key)
        os.makedirs(folders[key], exist_ok=True)
    return folders


def _sample_cases(root, rng, scale):
    folders = _folders(os.path.join(root, "samples"))
    _write(os.path.join(folders["train_images"], "ok.png"), _image_bytes("rgb", rng))
    _write(os.path.join(folders["train_annotations"], "ok.json"), _dumps(_valid_annotation(rng)))
    cases = []

    def add(name, content, expect):
        path = _write(os.path.join(folders["train_annotations"], "case%04d.json" % len(cases)), content)
        cases.append({"name": "sample: " + name, "kind": "sample", "folders": folders, "path": path,
                      "expect": expect})

    document = _valid_annotation(rng)
    add("valid", _dumps(document), ("ok",))
    for name, mutated in _mutations(document, rng, 40 * scale):
        add(name, _dumps(mutated), ("ok",) + CLEAR + MISSING)
    for name, data in _byte_damage(_dumps(document), rng, 8 * scale):
        add(name, data, ("ok",) + NOT_JSON + CLEAR + MISSING)
    add("deep nesting", "[" * 100000 + "]" * 100000, CLEAR)
    add("top-level list", "[1, 2, 3]", CLEAR)
    add("non-finite points", _dumps({"image": "ok.png", "segment": [[{"polygon": [[0.1, 0.1], [math.inf, 0.5],
                                                                                 [0.5, 0.5]], "class": 0}]]}), CLEAR)
    add("huge coordinates", _dumps({"image": "ok.png", "segment": [[{"polygon": [[1e300, 1e300], [-1e300, 0.5],
                                                                                  [0.5, 1e300]], "class": 0}]]}),
        ("ok",) + CLEAR)
    add("many points", _dumps({"image": "ok.png", "segment": [[{"polygon": rng.uniform(0, 1, (50000, 2)).tolist(),
                                                               "class": 1}]]}), ("ok",))
    add("many outlines", _dumps({"image": "ok.png", "segment": [[{"polygon": [[0.1, 0.1], [0.5, 0.1], [0.5, 0.5]],
                                                                 "class": 0}]] * 3000}), ("ok",))
    # Number and nesting forms at the edges of JSON's grammar, read natively or by json.load.
    for number in ("1e400", "-1e400", "-01", "1.", ".5", "1e", "-", "0x10", "1_000", "10" * 200, "5e-324", "NaN"):
        add("coordinate " + number[:20], '{"image": "ok.png", "segment": [[{"polygon": [[0.1, 0.1], [%s, 0.5], '
            '[0.5, 0.5]], "class": 0}]]}' % number, ("ok",) + CLEAR + NOT_JSON)
    for number in ("10" * 200, "-0", "1.0", "1e0", "2e9"):
        add("class " + number[:20], '{"image": "ok.png", "segment": [[{"polygon": [[0.1, 0.1], [0.9, 0.5], '
            '[0.5, 0.5]], "class": %s}]]}' % number, ("ok",) + CLEAR)
    add("deep ignored value", '{"image": "ok.png", "x": %s, "segment": []}' % ("[" * 70 + "]" * 70), ("ok",))
    add("image is a folder", _dumps({"image": "", "segment": []}), ("IsADirectoryError", "ValueError"))
    add("missing image", _dumps({"image": "absent.png", "segment": []}), ("FileNotFoundError",))
    add("image name with NUL", _dumps({"image": "ok\0.png", "segment": []}), ("ValueError",))
    add("lone surrogate", '{"image": "\\ud800.png", "segment": []}', ("ValueError",))
    return cases


def _coco_document(rng, images=3):
    categories = [{"id": 0, "name": "objects"}, {"id": 1, "name": "a"}, {"id": 2, "name": "b"}]
    annotations = []
    for a in range(5):
        polygon = (rng.uniform(0, 24, 8)).round(2).tolist()
        annotations.append({"id": a, "image_id": 100 + a % images, "category_id": 1 + a % 2, "segmentation": [polygon]})
    return {"images": [{"file_name": "ok.png", "id": 100 + i} for i in range(images)], "categories": categories,
            "annotations": annotations}


def _coco_cases(root, rng, scale):
    images = os.path.join(root, "coco_images")
    os.makedirs(images, exist_ok=True)
    _write(os.path.join(images, "ok.png"), _image_bytes("rgb", rng))
    cases = []

    def add(name, content, expect):
        path = _write(os.path.join(root, "coco%04d.json" % len(cases)), content)
        cases.append({"name": "coco: " + name, "kind": "coco", "path": path, "images": images, "expect": expect})

    document = _coco_document(rng)
    add("valid", _dumps(document), ("ok",))
    for name, mutated in _mutations(document, rng, 40 * scale):
        add(name, _dumps(mutated), ("ok",) + CLEAR + MISSING)
    for name, data in _byte_damage(_dumps(document), rng, 8 * scale):
        add(name, data, ("ok",) + NOT_JSON + CLEAR + MISSING)
    add("top-level list", "[]", CLEAR)
    add("run-length only", _dumps(dict(document, annotations=[{"image_id": 100, "category_id": 1,
                                                               "segmentation": {"counts": "x", "size": [2, 2]}}])),
        ("ok",))
    add("odd polygon", _dumps(dict(document, annotations=[{"image_id": 100, "category_id": 1,
                                                           "segmentation": [[1, 2, 3]]}])), CLEAR)
    add("huge ids", _dumps(dict(document, images=[{"file_name": "ok.png", "id": 2 ** 70}])), ("ok",) + CLEAR)
    return cases


def _image_cases(root, rng):
    folders = _folders(os.path.join(root, "images"))
    _write(os.path.join(folders["train_annotations"], "ok.json"), _dumps(_valid_annotation(rng, "x.png")))
    cases = []
    valid = _image_bytes("rgb", rng)
    images = [(kind, _image_bytes(kind, rng), ("ok",))
              for kind in ("rgb", "grey16", "palette", "rgba", "cmyk", "binary", "thin", "tall", "pixel")]
    images += [("empty", b"", NOT_IMAGE), ("random bytes", bytes(rng.integers(0, 256, 500, dtype=np.uint8)), NOT_IMAGE)]
    for cut in (8, 33, 60, len(valid) // 2, len(valid) - 30):
        images.append(("png truncated at %d" % cut, valid[:cut], NOT_IMAGE))
    images.append(("png without its end chunk", valid[:-12], ("ok",)))
    for kind, data, expect in images:
        name = "image%02d.png" % len(cases)
        _write(os.path.join(folders["train_images"], name), data)
        path = _write(os.path.join(folders["train_annotations"], "image%02d.json" % len(cases)),
                      _dumps({"image": name, "segment": _valid_annotation(rng)["segment"]}))
        for letter_box in (True, False):
            cases.append({"name": "image: %s, letter_box=%s" % (kind, letter_box), "kind": "sample", "folders": folders,
                          "path": path, "args": {"letter_box": letter_box}, "expect": expect})
    return cases


def _argument_cases(root, rng):
    folders = _folders(os.path.join(root, "arguments"))
    _write(os.path.join(folders["train_images"], "ok.png"), _image_bytes("rgb", rng))
    path = _write(os.path.join(folders["train_annotations"], "ok.json"), _dumps(_valid_annotation(rng)))
    cases = []
    hostile_points = [2 ** 61, 2 ** 63 - 1, 2 ** 63, 2 ** 64, 10 ** 100, -1, -2 ** 64, 0, 1, 2.5, "300", None, [],
                      float("nan"), True]
    for value in hostile_points:
        cases.append({"name": "num_points=%r" % (value,), "args": {"num_points": value},
                      "expect": ("ok",) + CLEAR})
    hostile_shapes = [[0, 0, 3], [1, 1, 3], [-5, 32, 3], [32, -5, 3], [2 ** 40, 2 ** 40, 3], [2 ** 64, 32, 3],
                      [32], [], [32.5, 32, 3], ["a", "b", "c"], [None, None, None], [32, 32], [32, 32, 0],
                      [32, 32, 1], [1, 100000, 3]]
    for value in hostile_shapes:
        cases.append({"name": "shape=%r" % (value,), "args": {"shape": value}, "expect": ("ok",) + CLEAR})
    for value in ([], ["a"], [None], None, ["x"] * 10000):
        cases.append({"name": "labels=%r" % (value if not value or len(value) < 5 else "10000 names",),
                      "args": {"labels": value}, "expect": ("ok",) + CLEAR})
    for value in ([], ["boxes"], [None], [[]], ["segment"] * 3):
        cases.append({"name": "tasks=%r" % (value,), "args": {"tasks": value}, "expect": ("ok",) + CLEAR})
    for batch_size, prefetch in ((0, 1), (-1, 1), (2 ** 63, 1), (2 ** 64, 1), (1, -5), (1, 2 ** 63), ("2", 1),
                                 (None, 1), (2.0, 1)):
        cases.append({"name": "build_train_iterator(%r, %r)" % (batch_size, prefetch), "kind": "iterator",
                      "batch": [batch_size, prefetch], "expect": ("ok",) + CLEAR + ("InvalidArgumentError",)})
    for case in cases:
        case.setdefault("kind", "sample")
        case.update(folders=folders, path=path)
        case["name"] = "arguments: " + case["name"]
    for value in (0, 3, -1, 2 ** 70, 3.5, None, b"\xff", "a\0b", tuple("ab")):
        cases.append({"name": "arguments: _read_data(%r)" % (value,), "kind": "raw_read", "folders": folders,
                      "value": value, "expect": CLEAR + ("FileNotFoundError",)})
    return cases


def _yaml_cases(root, rng, folders):
    valid = ("classes: [a, b]\ntrain:\n  images: {train_images}\n  annotations: {train_annotations}\n"
             "validation:\n  images: {val_images}\n  annotations: {val_annotations}\n").format(**folders)
    parse_errors = ("ScannerError", "ParserError", "ComposerError", "ConstructorError", "ReaderError")
    texts = [("valid", valid, ("ok",)), ("empty", "", CLEAR), ("list", "- a\n- b\n", CLEAR),
             ("classes is a number", valid.replace("[a, b]", "5"), CLEAR),
             ("train is a list", "classes: [a]\ntrain: [1]\nvalidation: {}\n", CLEAR),
             ("folder is a number", valid.replace(folders["val_images"], "12"), CLEAR + ("FileNotFoundError",)),
             ("python object tag", "!!python/object/apply:os.system ['true']\n", parse_errors + CLEAR),
             ("random bytes", bytes(rng.integers(0, 256, 300, dtype=np.uint8)), parse_errors + CLEAR + NOT_JSON)]
    data = valid.encode()
    for cut in sorted(set(int(c) for c in rng.integers(1, len(data), 6))):
        texts.append(("truncated at %d" % cut, data[:cut], ("ok",) + parse_errors + CLEAR + ("FileNotFoundError",)))
    cases = []
    for name, text, expect in texts:
        path = _write(os.path.join(root, "info%02d.yaml" % len(cases)), text)
        cases.append({"name": "yaml: " + name, "kind": "yaml", "path": path, "expect": expect})
    return cases


def build_cases(root, scale=1, seed=0):
    rng = np.random.default_rng(seed)
    cases = _sample_cases(root, rng, scale) + _coco_cases(root, rng, scale) + _image_cases(root, rng)
    cases += _argument_cases(root, rng)
    cases += _yaml_cases(root, rng, cases[0]["folders"])
    return cases


# --- running one case (child) ------------------------------------------------------------------

def _dataset(case):
    from vireo.quillon.datasets import segmentation as seg
    args = dict(case["folders"], shape=list(SHAPE), labels=list(LABELS), tasks=["segment"], num_points=16)
    args.update(case.get("args", {}))
    return seg.SegmentationDataset(**args)


def _paint_and_augment(ds, image, outlines, classes):
    import tensorflow as tf
    mask = ds._build_gt_mask(tf.constant(outlines), tf.constant(classes))
    ds.apply_augmentation(np.asarray(image), np.asarray(mask))


def _run_sample(case):
    import tensorflow as tf
    ds = _dataset(case)
    image, outlines, classes = ds._read_data(tf.constant(case["path"]))
    _paint_and_augment(ds, image, outlines, classes)


def _run_coco(case):
    import tensorflow as tf

    from vireo.quillon.datasets import segmentation as seg
    ds = seg.SegmentationDatasetJsonCOCO(case["path"], train_images=case["images"], shape=list(SHAPE), num_points=16)
    for image_id in ds.train_images_id[:3]:
        if image_id in ds.train_storage_ann:  # the id as tf.numpy_function hands it over
            _paint_and_augment(ds, *ds._read_data(tf.constant(image_id).numpy()))


def _run_iterator(case):
    ds = _dataset(case)
    for _ in ds.build_train_iterator(*case["batch"]).take(1):
        pass


def _run_yaml(case):
    from vireo.quillon.datasets import segmentation as seg
    seg.SegmentationDatasetYaml(case["path"], shape=list(SHAPE), tasks=["segment"])


RUNNERS = {"sample": _run_sample, "coco": _run_coco, "iterator": _run_iterator, "yaml": _run_yaml,
           "raw_read": lambda case: _dataset(case)._read_data(case["value"])}


def run_case(case):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        random.seed(0)
        np.random.seed(0)
        RUNNERS[case["kind"]](case)


# --- leak check (child) --------------------------------------------------------------------------

def write_leak_samples(root, count=64, seed=0):
    rng = np.random.default_rng(seed)
    folders = _folders(root)
    for i in range(count):
        _write(os.path.join(folders["train_images"], "s%03d.png" % i), _image_bytes("rgb", rng))
        _write(os.path.join(folders["train_annotations"], "s%03d.json" % i),
               _dumps(_valid_annotation(rng, "s%03d.png" % i)))
    return folders


def leak_check(root, samples, pipeline="light"):
    """Resident memory (KiB) after one warm-up pass, then after `samples` more samples, then after
    `samples` more again: a leak shows as growth in the second stretch like in the first.

    With the light pipeline (a flip) the iterator's own steps run thousands of times in seconds;
    "prescribed" keeps the dataset's own augmentation, whose warps take most of the time.
    """
    import time
    import warnings

    import albumentations as A

    from tests.robustness.harness import rss_kib
    from vireo.quillon.datasets import segmentation as seg
    folders = _folders(root)
    ds = seg.SegmentationDataset(shape=list(SHAPE), labels=list(LABELS), tasks=["segment"], num_points=32, **folders)
    if pipeline == "light":
        ds._augmentation_pipeline = A.Compose([A.HorizontalFlip(p=0.5)])
    iterator = ds.build_train_iterator(batch_size=8, prefetch=2)

    def run(count):
        seen = 0
        while seen < count:
            for images, _ in iterator:
                seen += int(images.shape[0])
        return seen

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run(1)
        marks, start = [rss_kib()], time.perf_counter()
        seen = run(samples)
        marks.append(rss_kib())
        seen += run(samples)
        marks.append(rss_kib())
    return {"rss_kib": marks, "samples": seen, "seconds": time.perf_counter() - start}


if __name__ == "__main__":
    if sys.argv[1] == "leak":
        print(json.dumps(leak_check(sys.argv[2], int(sys.argv[3]), *sys.argv[4:])))
