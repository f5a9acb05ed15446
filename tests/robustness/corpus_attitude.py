"""Malformed inputs for the attitude datasets: MATLAB files, JSON annotations, images, YAML
descriptions and hostile calls, replayed by tests/robustness/harness.py in child processes.

`make_cases(root)` writes the files into `root` (in the parent) and returns the cases;
`run_case(case)` runs one of them (in the child). `leak_run` is the leak check's child side.
"""
import io
import json
import os
import random
import zlib

import numpy as np
import scipy.io as sio
from PIL import Image

from tests.robustness import matlab_bytes as mb

SHAPE = [12, 16, 3]

# What each kind of input may raise. Damaged files that still parse may load ("ok").
MAT_BROKEN = ("ValueError",)                      # every damaged MATLAB file, named by one error
MAT_DAMAGED = ("ok", "ValueError", "KeyError")    # bit flips: the names of variables may change
IMAGE_BROKEN = ("UnidentifiedImageError", "OSError", "DecompressionBombError")
JSON_BROKEN = ("JSONDecodeError", "UnicodeDecodeError")
YAML_BROKEN = ("ScannerError", "ParserError", "ReaderError", "ComposerError", "ConstructorError",
               "UnicodeDecodeError")
PIPELINE = ("InvalidArgumentError", "UnknownError")  # how a loader's error reaches the consumer


# --- files -------------------------------------------------------------------------------

def _png(array=None, mode="RGB", size=(16, 12)):
    if array is None:
        array = np.random.default_rng(0).integers(0, 256, (size[1], size[0], 3), dtype=np.uint8)
    out = io.BytesIO()
    Image.fromarray(array).convert(mode).save(out, "PNG")
    return out.getvalue()


def _jpeg():
    out = io.BytesIO()
    Image.fromarray(np.random.default_rng(1).integers(0, 256, (12, 16, 3), dtype=np.uint8)).save(out, "JPEG")
    return out.getvalue()


def _mat(variables=None, **savemat_args):
    if variables is None:
        variables = {"Pose_Para": np.arange(1.0, 8.0).reshape(1, 7), "pt2d": np.arange(136.0).reshape(2, 68)}
    out = io.BytesIO()
    sio.savemat(out, variables, **savemat_args)
    return out.getvalue()


def _write(root, name, content):
    path = os.path.join(root, name)
    with open(path, "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode())
    return path


def _damaged(data, rng, cuts, flips):
    """Truncations at `cuts` evenly spread points and `flips` copies with 1 to 4 random bytes changed."""
    out = [("cut%d" % cut, data[:cut]) for cut in np.linspace(0, len(data) - 1, cuts, dtype=int)]
    for i in range(flips):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        out.append(("flip%d" % i, bytes(damaged)))
    return out


def _random_bytes(rng, count):
    return [("random%d" % i, bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 7, 64, 300, 2000]))))
            for i in range(count)]


def _dataset_folders(root):
    """A valid split of two samples, annotated both ways (MATLAB and JSON)."""
    folders = {k: os.path.join(root, "base", k) for k in ("ti", "ta", "vi", "va")}
    for folder in folders.values():
        os.makedirs(folder, exist_ok=True)
    record = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1, 2, 3]]}
    detect = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 1, "yaw": 2, "roll": 3}]}
    for split in "tv":
        for i in range(2):
            _write(folders[split + "i"], "s%d.png" % i, _png())
            _write(folders[split + "a"], "s%d.mat" % i, _mat())
            _write(folders[split + "a"], "s%d.json" % i, json.dumps(detect if i else record))
    return folders


# --- cases -------------------------------------------------------------------------------

def _mat_cases(root, rng, scale):
    cases = []

    def add(name, content, expect, **extra):
        path = _write(root, name + ".mat", content)
        cases.append(dict(name="mat/" + name, call="read_annotations", path=path, expect=expect, **extra))

    for version, data in (("v5", _mat()), ("v5z", _mat(do_compression=True)), ("v4", _mat(format="4"))):
        for label, content in _damaged(data, rng, cuts=8 * scale, flips=12 * scale):
            # Cut right after the 128-byte header, a level-5 file is a valid file without variables.
            empty = version != "v4" and len(content) == 128
            add("%s-%s" % (version, label), content,
                ("KeyError",) if empty else MAT_BROKEN if label.startswith("cut") else MAT_DAMAGED)
    for label, content in _random_bytes(rng, 8 * scale):
        add(label, content, MAT_BROKEN)
    pt2d = np.zeros((2, 68))
    shapes = {
        "pose-empty": np.zeros((0, 0)), "pose-1x2": np.ones((1, 2)), "pose-2x1": np.ones((2, 1)),
        "pose-3d": np.ones((1, 1, 3)), "pose-text": "abc", "pose-complex": np.array([[1 + 2j, 2, 3]]),
        "pose-cell": np.array([[np.ones(3)]], dtype=object), "pose-struct": {"a": np.ones(3)},
        "pose-nan": np.array([[np.nan, 1, 2]]), "pose-inf": np.array([[1, -np.inf, 2]]),
        "pose-huge": np.array([[1, 2, 1e300]]), "pose-huge-int": np.array([[1, 2, 2 ** 62]], dtype=np.int64),
    }
    for name, pose in shapes.items():
        fine = name == "pose-huge-int"  # 2**62 is a finite float32
        add(name, _mat({"Pose_Para": pose, "pt2d": pt2d}), ("ok",) if fine else ("ValueError",))
    add("pose-column", _mat({"Pose_Para": np.ones((3, 1)), "pt2d": pt2d}), ())
    add("pose-bool", _mat({"Pose_Para": np.ones((1, 3), dtype=bool), "pt2d": pt2d}), ())
    # Files that crash scipy.io.loadmat itself: refused before it reads them, in both byte orders.
    for order, label in (("<", "le"), (">", "be")):
        add("%s-valid" % label, mb.pose_file(order, extra=[mb.nested_cells(order, "cells", 200)]), ("ok",))
        for data_type in (0, 8, 19, 149, mb.MATRIX, mb.COMPRESSED):
            add("%s-type-%d" % (label, data_type), mb.pose_file(order, data_type), ("ValueError",))
        add("%s-compressed-type" % label,
            mb.mat_file(order, mb.compressed(order, mb.numbers(order, "Pose_Para", [[1.0, 2.0, 3.0]], 149))),
            ("ValueError",))
        add("%s-nested-50000" % label, mb.pose_file(order, extra=[mb.nested_cells(order, "cells", 50000)]),
            ("ValueError",))
    add("no-pose", _mat({"pt2d": pt2d}), ("KeyError",))
    add("no-pt2d", _mat({"Pose_Para": np.ones((1, 3))}), ("KeyError",))
    add("pt2d-text", _mat({"Pose_Para": np.ones((1, 3)), "pt2d": "landmarks"}), ("ValueError",))
    add("pt2d-cell", _mat({"Pose_Para": np.ones((1, 3)), "pt2d": np.array([[np.ones(2), np.ones(3)]], dtype=object)}),
        ("ValueError", "TypeError"))
    return cases


def _image_cases(root, rng, scale):
    cases = []

    def add(name, content, expect, cls="AttitudeDataset", ext=".png"):
        path = _write(root, name + ext, content)
        cases.append(dict(name="image/%s/%s" % (cls, name), call="load", cls=cls, image=path, expect=expect))

    for fmt, data in (("png", _png()), ("jpeg", _jpeg())):
        for label, content in _damaged(data, rng, cuts=6 * scale, flips=8 * scale):
            ext = "." + fmt
            # A file cut after its last pixel data still loads.
            add("%s-%s" % (fmt, label), content, IMAGE_BROKEN + ("ok",), ext=ext)
    for label, content in _random_bytes(rng, 4 * scale):
        add(label, content, IMAGE_BROKEN)
    # A header that claims 100000 x 100000 pixels: refused before any pixel is decoded.
    header = bytearray(_png(size=(1, 1)))
    header[16:24] = (100000).to_bytes(4, "big") * 2
    header[29:33] = zlib.crc32(bytes(header[12:29])).to_bytes(4, "big")
    add("bomb", bytes(header), ("DecompressionBombError",))
    # Images of every shape and mode load.
    grey16 = np.arange(0, 65536, 257, dtype=np.uint16).reshape(16, 16)
    fine = {"wide": _png(size=(5000, 1)), "tall": _png(size=(1, 5000)), "one": _png(size=(1, 1)),
            "grey": _png(mode="L"), "rgba": _png(mode="RGBA"), "palette": _png(mode="P"),
            "grey16": _grey16(grey16)}
    for cls in ("AttitudeDataset", "AttitudeDatasetJson", "AttitudeAndDetectDataset"):
        for name, content in fine.items():
            # A box of half the image truncates to no pixel on a side of one pixel.
            crops_nothing = cls == "AttitudeDatasetJson" and name in ("wide", "tall", "one")
            add(name, content, ("ValueError",) if crops_nothing else (), cls=cls)
    return cases


def _grey16(values):
    out = io.BytesIO()
    Image.fromarray(values).save(out, "PNG")
    return out.getvalue()


# JSON records: (name, record or raw text, expected for the crop dataset, expected for the
# detect dataset). A record given as str is written as it is; ANGLES stands for angles each
# dataset reads (triples for the crop, objects for the detect dataset).
NAN = float("nan")
ANGLES, MANY_ANGLES = "valid angles", "5000 valid angles"
VALID_ANGLES = {"AttitudeDatasetJson": [[1, 2, 3]], "AttitudeAndDetectDataset": [{"pitch": 1, "yaw": 2, "roll": 3}]}


def _json_records():
    box = [0.5, 0.5, 0.5, 0.5, 0]
    angle = {"pitch": 1, "yaw": 2, "roll": 3}
    deep = "[" * 100000 + "]" * 100000
    return [
        ("empty-file", "", JSON_BROKEN, JSON_BROKEN),
        ("null", "null", ("ValueError",), ("ValueError",)),
        ("list", "[1, 2]", ("ValueError",), ("ValueError",)),
        ("number", "1e999", ("ValueError",), ("ValueError",)),
        ("text", '"boxes"', ("ValueError",), ("ValueError",)),
        ("truncated", '{"boxes": [[0.5, 0.5', JSON_BROKEN, JSON_BROKEN),
        ("not-utf8", b'{"boxes": "\xff\xfe"}', ("UnicodeDecodeError",), ("UnicodeDecodeError",)),
        ("deep", '{"boxes": %s}' % deep, ("RecursionError",), ("RecursionError",)),
        ("no-keys", {}, ("TypeError",), ()),
        ("empty", {"boxes": [], "angles": []}, (), ()),
        ("boxes-text", {"boxes": "abc", "angles": ANGLES}, ("ValueError",), ("ValueError",)),
        ("boxes-number", {"boxes": 5, "angles": ANGLES}, ("TypeError",), ("ValueError",)),
        ("boxes-dict", {"boxes": {"a": 1}, "angles": ANGLES}, ("TypeError",), ("TypeError",)),
        ("boxes-null", {"boxes": None, "angles": ANGLES}, ("TypeError",), ("ValueError",)),
        ("boxes-flat", {"boxes": box, "angles": ANGLES}, ("ValueError",), ()),
        ("boxes-row4", {"boxes": [[0.5, 0.5, 0.5, 0.5]], "angles": ANGLES}, ("ValueError",), ("ValueError",)),
        ("boxes-row6", {"boxes": [box + [1]], "angles": ANGLES}, (), ("ValueError",)),
        ("boxes-ragged", {"boxes": [box, [1]], "angles": ANGLES}, ("ValueError",), ("ValueError",)),
        ("boxes-3d", {"boxes": [[box]], "angles": ANGLES}, ("ValueError",), ()),
        ("boxes-strings", {"boxes": [["a"] * 5], "angles": ANGLES}, ("ValueError",), ("ValueError",)),
        ("boxes-nulls", {"boxes": [[None] * 5], "angles": ANGLES}, ("ValueError",), ("ValueError",)),
        ("boxes-nan", {"boxes": [[NAN, 0.5, 0.5, 0.5, 0]], "angles": ANGLES}, ("ValueError",), ("ValueError",)),
        ("boxes-inf", {"boxes": [[0.5, float("inf"), 0.5, 0.5, 0]], "angles": ANGLES},
         ("ValueError",), ("ValueError",)),
        ("boxes-huge", {"boxes": [[1e300, 0.5, 0.5, 0.5, 0]], "angles": ANGLES}, ("ValueError",), ("ValueError",)),
        # Finite in float32 but past every edge: the crop is clipped to the whole height.
        ("boxes-past-float32", {"boxes": [[0.5, 0.5, 0.5, 3e38, 0]], "angles": ANGLES}, (), ("ValueError",)),
        ("boxes-huge-int", {"boxes": [[10 ** 400, 0.5, 0.5, 0.5, 0]], "angles": ANGLES},
         ("OverflowError",), ("OverflowError",)),
        ("box-far-right", {"boxes": [[1e9, 0.5, 2e9, 0.5, 0]], "angles": ANGLES}, (), ()),
        ("box-empty", {"boxes": [[0.5, 0.5, 0, 0, 0]], "angles": ANGLES}, ("ValueError",), ()),
        ("class-negative", {"boxes": [[0.5, 0.5, 0.5, 0.5, -1]], "angles": ANGLES}, (), ("ValueError",)),
        ("class-fraction", {"boxes": [[0.5, 0.5, 0.5, 0.5, 0.5]], "angles": ANGLES}, (), ("ValueError",)),
        ("class-nan", {"boxes": [[0.5, 0.5, 0.5, 0.5, NAN]], "angles": ANGLES}, (), ("ValueError",)),
        ("many-boxes", {"boxes": [box] * 5000, "angles": MANY_ANGLES}, (), ()),
        ("angles-text", {"boxes": [box], "angles": "abc"}, ("ValueError",), ("ValueError",)),
        ("angles-number", {"boxes": [box], "angles": 7}, ("IndexError",), ("TypeError",)),
        ("angles-null", {"boxes": [box], "angles": None}, ("IndexError",), ("TypeError",)),
        ("angles-flat", {"boxes": [box], "angles": [1, 2, 3]}, ("TypeError",), ("ValueError",)),
        ("angles-two", {"boxes": [box], "angles": [[1, 2]]}, ("ValueError",), ("ValueError",)),
        ("angles-objects", {"boxes": [box], "angles": [angle]}, ("TypeError",), ()),
        ("angles-lists", {"boxes": [box], "angles": [[1, 2, 3]]}, (), ("ValueError",)),
        ("angles-missing-key", {"boxes": [box], "angles": [{"pitch": 1, "yaw": 2}]}, ("TypeError",), ("ValueError",)),
        ("angles-nan", {"boxes": [box], "angles": [[1, NAN, 3]]}, ("ValueError",), ("ValueError",)),
        ("angles-nan-object", {"boxes": [box], "angles": [dict(angle, yaw=NAN)]}, ("TypeError",), ("ValueError",)),
        ("angles-huge", {"boxes": [box], "angles": [[1, 2, 1e39]]}, ("ValueError",), ("ValueError",)),
        ("angles-huge-object", {"boxes": [box], "angles": [dict(angle, roll=1e39)]}, ("TypeError",), ("ValueError",)),
        ("angles-text-values", {"boxes": [box], "angles": [["a", "b", "c"]]}, ("ValueError",), ("ValueError",)),
    ]


def _json_cases(root, rng, scale):
    cases = []
    records = _json_records()
    for name, record, crop_expect, detect_expect in records:
        for cls, expect in (("AttitudeDatasetJson", crop_expect), ("AttitudeAndDetectDataset", detect_expect)):
            if isinstance(record, (str, bytes)):
                content = record
            else:
                angles = record.get("angles")
                count = 1 if angles == ANGLES else 5000 if angles == MANY_ANGLES else 0
                content = json.dumps(dict(record, angles=VALID_ANGLES[cls] * count) if count else record)
            path = _write(root, "%s-%s.json" % (name, cls), content)
            cases.append(dict(name="json/%s/%s" % (cls, name), call="load", cls=cls, annotation=path, expect=expect))
    valid = json.dumps({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 1, "yaw": 2, "roll": 3}]}).encode()
    for label, content in _damaged(valid, rng, cuts=6 * scale, flips=6 * scale) + _random_bytes(rng, 4 * scale):
        path = _write(root, "damaged-" + label + ".json", content)
        cases.append(dict(name="json/damaged/" + label, call="load", cls="AttitudeAndDetectDataset", annotation=path,
                          expect=("ok", "ValueError", "TypeError") + JSON_BROKEN))
    return cases


def _yaml_cases(root, folders, rng, scale):
    cases = []
    good = {"classes": ["face"], "train": {"images": folders["ti"], "annotations": folders["ta"]},
            "validation": {"images": folders["vi"], "annotations": folders["va"]}}

    def add(name, text, expect, classes=("AttitudeDatasetYaml", "AttitudeAndDetectDatasetYaml", "AttitudeDatasetJsonYaml")):
        path = _write(root, name + ".yaml", text)
        for cls in classes:
            cases.append(dict(name="yaml/%s/%s" % (cls, name), call="yaml", cls=cls, path=path, expect=expect))

    add("good", json.dumps(good), ())
    add("empty", "", ("ValueError",))
    add("list", "[1, 2]", ("ValueError",))
    add("scalar", "5", ("ValueError",))
    add("train-list", json.dumps(dict(good, train=[folders["ti"]])), ("ValueError",))
    add("validation-text", json.dumps(dict(good, validation="x")), ("ValueError",))
    add("folder-int", json.dumps(dict(good, train={"images": 3, "annotations": folders["ta"]})),
        ("TypeError", "FileNotFoundError"))
    add("folder-list", json.dumps(dict(good, train={"images": [1], "annotations": folders["ta"]})), ("TypeError",))
    add("folder-nul", json.dumps(dict(good, train={"images": folders["ti"] + "\0x", "annotations": folders["ta"]})),
        ("ValueError",))
    add("folder-missing", json.dumps(dict(good, validation={"images": "/no/where", "annotations": folders["va"]})),
        ("FileNotFoundError",))
    add("classes-int", json.dumps(dict(good, classes=5)), (), classes=("AttitudeDatasetYaml",))
    add("classes-int", json.dumps(dict(good, classes=5)), ("TypeError",),
        classes=("AttitudeAndDetectDatasetYaml", "AttitudeDatasetJsonYaml"))
    add("classes-text", json.dumps(dict(good, classes="face")), ("TypeError",), classes=("AttitudeAndDetectDatasetYaml",))
    add("python-tag", "!!python/object/apply:os.system ['true']", ("ConstructorError",))
    add("deep", "[" * 20000 + "]" * 20000, ("RecursionError", "ValueError"))
    add("laughs", "a: &a [x, x, x, x, x, x, x, x, x]\n" + "".join(
        "%s: &%s [*%s, *%s, *%s, *%s, *%s, *%s, *%s, *%s, *%s]\n" % ((c, c) + (p,) * 9)
        for p, c in zip("abcdefgh", "bcdefghi")) + "classes: *i\n", ("ValueError",))
    add("not-utf8", b"classes: [\xff\xfe]\n", YAML_BROKEN)
    base = json.dumps(good).encode()
    for label, content in _damaged(base, rng, cuts=4 * scale, flips=4 * scale) + _random_bytes(rng, 3 * scale):
        add("damaged-" + label, content,
            ("ok", "ValueError", "TypeError", "FileNotFoundError") + YAML_BROKEN, classes=("AttitudeDatasetYaml",))
    for cls in ("AttitudeDatasetYaml", "AttitudeAndDetectDatasetYaml", "AttitudeDatasetJsonYaml"):
        cases.append(dict(name="yaml/%s/info-nul" % cls, call="yaml", cls=cls, path=root + "/good.yaml\0",
                          expect=("ValueError",)))
    return cases


def _hostile_cases(folders):
    img, mat = os.path.join(folders["ti"], "s0.png"), os.path.join(folders["ta"], "s0.mat")
    cases = [
        dict(name="hostile/data-none", call="load", cls="AttitudeDataset", data=None, expect=("TypeError",)),
        dict(name="hostile/data-int", call="load", cls="AttitudeDataset", data=5, expect=("TypeError",)),
        dict(name="hostile/data-empty", call="load", cls="AttitudeDataset", data=[], expect=("IndexError",)),
        dict(name="hostile/data-one", call="load", cls="AttitudeDatasetJson", data=[img], expect=("IndexError",)),
        dict(name="hostile/path-int", call="load", cls="AttitudeDataset", data=[img, 0], expect=("TypeError",)),
        dict(name="hostile/image-fd", call="load", cls="AttitudeAndDetectDataset", data=[1, mat], expect=("TypeError",)),
        dict(name="hostile/json-fd", call="load", cls="AttitudeDatasetJson", data=[img, 0], expect=("TypeError",)),
        dict(name="hostile/nul", call="load", cls="AttitudeAndDetectDataset", data=[img + "\0", mat],
             expect=("ValueError",)),
        dict(name="hostile/undecodable", call="load", cls="AttitudeDataset", data=[b"/no/\xff\xfe.png", b"x"],
             expect=("FileNotFoundError",)),
        dict(name="hostile/folder", call="load", cls="AttitudeDataset", data=[folders["ti"], mat],
             expect=("IsADirectoryError",)),
        dict(name="hostile/read-none", call="read_annotations", path=None, expect=("TypeError",)),
        dict(name="hostile/read-nul", call="read_annotations", path=mat + "\0", expect=("ValueError",)),
        dict(name="hostile/read-bytes", call="read_annotations", path=mat.encode(), expect=("TypeError",)),
        # loadmat tries the name with ".mat" appended when it cannot open the name itself.
        dict(name="hostile/read-folder", call="read_annotations", path=folders["ta"], expect=("FileNotFoundError",)),
        dict(name="hostile/read-missing", call="read_annotations", path=mat + ".gone", expect=("FileNotFoundError",)),
    ]
    for shape, expect in (([], ("IndexError",)), ([0, 0, 3], ("ValueError",)), ([-4, 5, 3], ("ValueError",)),
                          (["a", "b", 3], ("TypeError",)), ([2 ** 31, 4, 3], ("ValueError",)),
                          ([2 ** 64, 4, 3], ("ValueError",)), ([2 ** 63 - 1, 4, 3], ("ValueError",)),
                          (None, ("TypeError",)), ([1, 1, 3], ()), ([4.5, 4, 3], ("TypeError",))):
        for cls in ("AttitudeDataset", "AttitudeDatasetJson", "AttitudeAndDetectDataset"):
            cases.append(dict(name="hostile/shape-%r/%s" % (shape, cls), call="load", cls=cls, shape=shape,
                              expect=expect))
    for kwargs, expect in (
            (dict(train_images=folders["ti"] + "\0"), ("ValueError",)),
            (dict(val_annotations="\0"), ("ValueError",)),
            (dict(file_extension="m\0at"), ("ValueError",)),
            (dict(file_extension=""), ("ValueError",)),
            (dict(train_images=b"x"), ("TypeError",)),
            (dict(train_images=None), ("TypeError",)),
            (dict(val_images="/no/where"), ("ValueError",)),
            (dict(train_annotations="/no/where"), ("FileNotFoundError",))):
        cases.append(dict(name="hostile/construct-%s" % "-".join("%s=%r" % kv for kv in kwargs.items()),
                          call="construct", folders=folders, kwargs=kwargs, expect=expect))
    for batch, prefetch, expect in ((0, 1, ("InvalidArgumentError", "ValueError")), (-3, 1, ("InvalidArgumentError",)),
                                    ("a", 1, ("TypeError", "ValueError")), (2 ** 70, 1, ("OverflowError", "ValueError")),
                                    (1, -7, ("InvalidArgumentError",)), (1, 1, ())):
        cases.append(dict(name="hostile/iterator-%r-%r" % (batch, prefetch), call="iterate", folders=folders,
                          batch=batch, prefetch=prefetch, expect=expect))
    return cases


def _pipeline_cases(root, folders):
    """Broken samples read through the training iterators: the error reaches the consumer."""
    cases = []
    for cls, ann, content in (("AttitudeDataset", "s0.mat", b"garbage"),
                              ("AttitudeDatasetJson", "s0.json", '{"boxes": [[0.5, 0.5, 0, 0, 0]], "angles": [[1, 2, 3]]}'),
                              ("AttitudeAndDetectDataset", "s0.json", '{"boxes": [[0.5, 0.5, 0.5, 0.5, -2]]}')):
        split = {k: os.path.join(root, "pipeline-" + cls, k) for k in folders}
        for key, folder in split.items():
            os.makedirs(folder)
            for name in os.listdir(folders[key]):
                with open(os.path.join(folders[key], name), "rb") as f:
                    _write(folder, name, f.read())
        _write(split["ta"], ann, content)
        cases.append(dict(name="pipeline/" + cls, call="iterate", cls=cls, folders=split, batch=2, prefetch=1,
                          expect=PIPELINE))
    return cases


def make_cases(root, scale=1):
    """Writes the corpus files below `root` and returns the cases."""
    rng = random.Random(12)
    folders = _dataset_folders(root)
    cases = []
    cases += _mat_cases(root, rng, scale)
    cases += _image_cases(root, rng, scale)
    cases += _json_cases(root, rng, scale)
    cases += _yaml_cases(root, folders, rng, scale)
    cases += _hostile_cases(folders)
    cases += _pipeline_cases(root, folders)
    for case in cases:
        case.setdefault("folders", folders)
    return cases


# --- the child's side --------------------------------------------------------------------

_datasets = {}


def _dataset(cls_name, folders):
    from vireo.quillon.datasets import attitude

    key = (cls_name, folders["ti"])
    if key not in _datasets:
        cls = getattr(attitude, cls_name)
        extra = {"classes": ["face"]} if cls_name == "AttitudeAndDetectDataset" else {}
        _datasets[key] = cls(list(SHAPE), folders["ti"], folders["ta"], folders["vi"], folders["va"], **extra)
    return _datasets[key]


# The valid annotation each class reads when a case gives only an image.
_VALID_ANNOTATION = {"AttitudeDataset": "s0.mat", "AttitudeDatasetJson": "s0.json", "AttitudeAndDetectDataset": "s1.json"}


def _sample(case):
    if "data" in case:
        return case["data"]
    folders = case["folders"]
    image = case.get("image", os.path.join(folders["ti"], "s0.png"))
    annotation = case.get("annotation", os.path.join(folders["ta"], _VALID_ANNOTATION[case["cls"]]))
    return np.array([image.encode(), annotation.encode()], dtype=object)


def run_case(case):
    call = case["call"]
    if call == "read_annotations":
        _dataset("AttitudeDataset", case["folders"]).read_annotations(case["path"])
    elif call == "load":
        ds = _dataset(case["cls"], case["folders"])
        ds.shape = case.get("shape", list(SHAPE))
        ds._load_instance(_sample(case))
    elif call == "yaml":
        from vireo.quillon.datasets import attitude

        getattr(attitude, case["cls"])(list(SHAPE), case["path"])
    elif call == "construct":
        from vireo.quillon.datasets import attitude

        f = case["folders"]
        args = dict(shape=list(SHAPE), train_images=f["ti"], train_annotations=f["ta"], val_images=f["vi"],
                    val_annotations=f["va"])
        args.update(case["kwargs"])
        attitude.AttitudeDataset(**args)
    elif call == "iterate":
        ds = _dataset(case.get("cls", "AttitudeDataset"), case["folders"])
        ds.shape = list(SHAPE)
        for _ in ds.build_train_iterator(case["batch"], case["prefetch"]):
            pass
    else:
        raise AssertionError("unknown call " + call)


def leak_run(root, class_names, samples, warmup):
    """Runs the training iterator of each class over `samples` samples of the split in `root`,
    one class after the other; prints, per class, the RSS (KiB) after `warmup` samples and at
    the end, as one JSON line."""
    from tests.robustness.harness import rss_kib

    batch = 8
    for cls_name in class_names:
        ds = _dataset(cls_name, _leak_folders(root, cls_name))
        ds.shape = list(LEAK_SHAPE)
        iterator = ds.build_train_iterator(batch, 2).repeat()
        seen, after_warmup = 0, None
        for _ in iterator:
            seen += batch
            if after_warmup is None and seen >= warmup:
                after_warmup = rss_kib()
            if seen >= samples:
                break
        del iterator
        print(json.dumps({"class": cls_name, "warm": after_warmup, "end": rss_kib(), "samples": seen}), flush=True)


def _leak_folders(root, cls_name):
    """The split's folders; the detect dataset's JSON files have annotation folders of their own."""
    detect = cls_name == "AttitudeAndDetectDataset"
    return {k: os.path.join(root, ("d" + k) if detect and k.endswith("a") else k) for k in ("ti", "ta", "vi", "va")}


# Images of the leak check: large enough that one image kept per sample shows in the RSS.
LEAK_SHAPE = [48, 64, 3]


def write_leak_split(root, count=40):
    """A split of `count` small samples annotated every way, for the leak check."""
    record = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]] * 3, "angles": [[1, 2, 3]]}
    detect = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]] * 3, "angles": [{"pitch": 1, "yaw": 2, "roll": 3}] * 3}
    plain, boxed = _leak_folders(root, "AttitudeDataset"), _leak_folders(root, "AttitudeAndDetectDataset")
    for folder in set(plain.values()) | set(boxed.values()):
        os.makedirs(folder, exist_ok=True)
    for split, n in (("t", count), ("v", 1)):
        for i in range(n):
            _write(plain[split + "i"], "s%d.png" % i, _png(size=(64, 48)))
            _write(plain[split + "a"], "s%d.mat" % i, _mat())
            _write(plain[split + "a"], "s%d.json" % i, json.dumps(record))
            _write(boxed[split + "a"], "s%d.json" % i, json.dumps(detect))
