"""vireo.quillon.datasets.darknet: description checks, sample loading, listing and iterators."""
import collections
import inspect
import os
import random
import subprocess
import warnings

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from vireo.quillon.datasets import darknet as dk
from vireo.quillon.datasets.utils import letterbox, xywhn2xyxy

TYPE_MESSAGE = "Argument '{}' has incorrect type (expected {}, got {})"
TRAIN_KEYS = "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``train`` section"
VAL_KEYS = "[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``validate`` section"
NO_CLASSES = "[ERROR]: Invalid dataset with no annotation classes was found"
TRAIN_LINE = "\t - [ERROR] Dataset format is inconsistent. Missing key ``train``\n"
VAL_LINE = "\t - [ERROR] Dataset format is inconsistent. Missing key ``validation``\n"


# --- data builders -------------------------------------------------------------------------

def picture(width, height, mode="RGB", seed=0):
    """A small image with structure (not flat), so decoding differences would show."""
    rng = np.random.default_rng(seed)
    base = np.linspace(0, 255, width * height * 3).reshape(height, width, 3)
    noise = rng.integers(0, 40, (height, width, 3))
    return Image.fromarray((base + noise).clip(0, 255).astype(np.uint8), "RGB").convert(mode)


def write_split(root, split, images):
    """images: {file name: annotation text or None}; returns the two folders."""
    img_dir, ann_dir = root / split / "images", root / split / "labels"
    img_dir.mkdir(parents=True, exist_ok=True)
    ann_dir.mkdir(parents=True, exist_ok=True)
    for i, (name, text) in enumerate(images.items()):
        picture(40, 30, seed=i).save(img_dir / name)
        if text is not None:
            (ann_dir / (os.path.splitext(name)[0] + ".txt")).write_text(text)
    return str(img_dir), str(ann_dir)


def make_description(root, train=None, val=None, classes=("cat", "dog")):
    train = {"a.jpg": "0 0.5 0.5 0.5 0.5\n", "b.png": "1 0.25 0.25 0.1 0.2\n0 0.5 0.5 1 1\n"} if train is None else train
    val = {"v.jpg": "1 0.5 0.5 0.2 0.2\n"} if val is None else val
    ti, ta = write_split(root, "train", train)
    vi, va = write_split(root, "val", val)
    return {"type": "darknet", "classes": list(classes),
            "train": {"images": ti, "annotations": ta},
            "validation": {"images": vi, "annotations": va}}


def write_yaml(root, description):
    path = root / "dataset.yaml"
    path.write_text(yaml.safe_dump(description))
    return str(path)


def element(img_path, ann_path):
    """A storage element as the base iterator hands it to load_instance."""
    return np.array([str(img_path).encode(), str(ann_path).encode()], dtype=object)


@pytest.fixture
def dataset(tmp_path):
    return dk.DarknetDataset(make_description(tmp_path), [320, 480, 3], letter_box=False)


def reference_load_instance(ds, data, training=True):
    """load_instance written out step by step with NumPy, Pillow and genfromtxt."""
    img_path, ann_path = data
    img_path = img_path.decode()
    img = np.asarray(Image.open(img_path).convert("RGB"))
    oH, oW, _ = img.shape
    if training:
        if ds.letter_box:
            img, ratio, pad = letterbox(img, ds.shape[:2], auto=False)
            w, h, padw, padh = ratio[0] * oW, ratio[1] * oH, pad[0], pad[1]
        else:
            img = __import__("cv2").resize(img, (ds.shape[1], ds.shape[0]))
            w, h, padw, padh = ds.shape[1], ds.shape[0], 0, 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ann_path = ann_path.decode()
        annotations = np.genfromtxt(ann_path) if os.path.exists(ann_path) else []
    if len(annotations) == 0:
        boxes = np.asarray([[0, 0, 0, 0, 0]], dtype=np.float32)
        return (img, boxes) if training else (img, boxes, os.path.basename(img_path))
    if len(annotations.shape) == 1:
        annotations = np.expand_dims(annotations, 0)
    annotations = np.roll(annotations, 4, axis=1)
    if training:
        b = xywhn2xyxy(annotations, w, h, padw=padw, padh=padh)
        for c, limit in enumerate([ds.shape[1], ds.shape[0]] * 2):
            b[:, c] = np.clip(b[:, c], 0, limit)
    else:
        b = xywhn2xyxy(annotations, oW, oH, padw=0, padh=0)
        for c, size in enumerate([oW, oH] * 2):
            b[:, c] = np.clip(b[:, c] / size, 0, 1)
    b[:, 4] = b[:, 4] + ds.class_offset
    return (img, b.astype(np.float32)) if training else (img, b.astype(np.float32), os.path.basename(img_path))


# --- module surface ------------------------------------------------------------------------

def test_exports_only_the_module_init():
    symbols = subprocess.run(["nm", "-D", "--defined-only", dk.__file__], capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in symbols.splitlines()] == ["PyInit_darknet"]


def test_load_time_settings_and_names():
    from PIL import ImageFile
    assert ImageFile.LOAD_TRUNCATED_IMAGES is True
    assert set(np.geterr().values()) == {"ignore"}
    assert dk.BaseDetectionDataset.__module__ == "vireo.quillon.datasets.core"
    assert dk.letterbox is letterbox and dk.tf is tf and dk.np is np
    assert issubclass(dk.DarknetDataset, dk.DarknetDatasetYaml)
    assert issubclass(dk.DarknetDatasetYaml, dk.BaseDetectionDataset)


def test_methods_in_order_with_signatures():
    yaml_methods = [k for k, v in vars(dk.DarknetDatasetYaml).items() if callable(v)]
    assert yaml_methods == ["__init__", "validate_info_file_content", "load_instance", "load_storage",
                            "build_and_load_base_iterator"]
    assert [k for k, v in vars(dk.DarknetDataset).items() if callable(v)] == ["__init__", "validate_info_file"]
    sig = lambda f: str(inspect.signature(f))  # noqa: E731
    common = "shape: list = None, letter_box: bool = True, add_bkg_class: bool = True, aug_cfg: dict = None)"
    assert sig(dk.DarknetDatasetYaml.__init__) == "(self, info_file: str = None, " + common
    assert sig(dk.DarknetDataset.__init__) == "(self, info_dataset: dict = None, " + common
    assert sig(dk.DarknetDatasetYaml.validate_info_file_content) == "(self, info_dataset: dict = None)"
    assert inspect.signature(dk.DarknetDatasetYaml.load_instance).parameters["data"].annotation is tf.Tensor
    assert sig(dk.DarknetDatasetYaml.load_storage) == "(self)"
    assert sig(dk.DarknetDatasetYaml.build_and_load_base_iterator) == "(self, storage: list, shuffle: bool = True)"
    assert sig(dk.DarknetDataset.validate_info_file) == "(self, info_file: str)"
    assert dk.DarknetDatasetYaml.load_instance.__qualname__ == "DarknetDatasetYaml.load_instance"


# --- argument type rule --------------------------------------------------------------------

@pytest.mark.parametrize("call, name, expected, given", [
    (lambda d, y: dk.DarknetDatasetYaml(b"x.yaml", [8, 8, 3]), "info_file", "str", "bytes"),
    (lambda d, y: dk.DarknetDatasetYaml(y, (8, 8, 3)), "shape", "list", "tuple"),
    (lambda d, y: dk.DarknetDatasetYaml(y, [8, 8, 3], aug_cfg=[]), "aug_cfg", "dict", "list"),
    (lambda d, y: dk.DarknetDataset(collections.OrderedDict(d), [8, 8, 3]), "info_dataset", "dict", "collections.OrderedDict"),
    (lambda d, y: dk.DarknetDataset(d, (8, 8, 3)), "shape", "list", "tuple"),
    (lambda d, y: dk.DarknetDataset(d, [8, 8, 3], aug_cfg="strong"), "aug_cfg", "dict", "str"),
    (lambda d, y: dk.DarknetDataset(d, [8, 8, 3]).validate_info_file(3), "info_file", "str", "int"),
    (lambda d, y: dk.DarknetDataset(d, [8, 8, 3]).validate_info_file_content(collections.OrderedDict(d)),
     "info_dataset", "dict", "collections.OrderedDict"),
    (lambda d, y: dk.DarknetDataset(d, [8, 8, 3]).build_and_load_base_iterator(("a", "b")), "storage", "list", "tuple"),
])
def test_argument_type_rule(tmp_path, call, name, expected, given):
    description = make_description(tmp_path)
    with pytest.raises(TypeError) as err:
        call(description, write_yaml(tmp_path, description))
    assert str(err.value) == TYPE_MESSAGE.format(name, expected, given)


def test_unchecked_annotations_accept_anything(tmp_path):
    ds = dk.DarknetDataset(make_description(tmp_path), [8, 8, 3], letter_box=0, add_bkg_class=1)
    assert ds.letter_box == 0 and ds.class_offset == 1
    assert ds.validate_info_file(None) is ds.info_dataset


# --- construction --------------------------------------------------------------------------

def test_yaml_constructor_loads_the_file(tmp_path):
    description = make_description(tmp_path)
    ds = dk.DarknetDatasetYaml(write_yaml(tmp_path, description), [64, 64, 3])
    assert ds.classes == ["background", "cat", "dog"]
    assert ds.path_train_images == description["train"]["images"]
    assert ds.path_val_annotations == description["validation"]["annotations"]
    assert ds.train_images is None and ds.val_images is None and ds.train_annotations is None
    assert ds.val_annotations == [] and ds._anchors is None
    assert (ds.num_train_samples, ds.num_val_samples) == (2, 1)


def test_dict_constructor_writes_type_into_callers_dictionary(tmp_path):
    description = make_description(tmp_path)
    del description["type"]
    description["anchors"] = [[10, 13], [16, 30]]
    ds = dk.DarknetDataset(description, [64, 64, 3], add_bkg_class=False)
    assert description["type"] == "darknet"
    assert ds.info_dataset is description
    assert ds.classes == ["cat", "dog"] and description["classes"] == ["cat", "dog"]
    assert ds._anchors == [[10, 13], [16, 30]]


def test_dict_constructor_overwrites_type(tmp_path):
    description = make_description(tmp_path)
    description["type"] = "tfrecord"
    dk.DarknetDataset(description, [64, 64, 3])
    assert description["type"] == "darknet"


def test_dict_constructor_without_description():
    with pytest.raises(AttributeError, match="update"):
        dk.DarknetDataset(None, [64, 64, 3])


# --- description check ---------------------------------------------------------------------

def checked(dataset, description, offset=1):
    dataset.class_offset = offset
    return dataset.validate_info_file_content(description)


@pytest.mark.parametrize("word", ["darknet", "DARKNET", "DarkNet"])
def test_type_in_any_case_is_accepted(dataset, word):
    description = dict(dataset.info_dataset, type=word)
    assert checked(dataset, description) is None


@pytest.mark.parametrize("change, error, message, printed", [
    # Each row breaks one step and every later one: the first failing step is reported.
    ({"type": "YoloV5", "classes": [], "train": None}, ValueError,
     "[ERROR]: Incompatible dataset type was found: YoloV5 is different than ``darknet``", ""),
    ({"type": None}, AttributeError, "lower", ""),
    ({"type": 3}, AttributeError, "lower", ""),
    ({"classes": [], "train": None, "validation": None}, ValueError, NO_CLASSES, ""),
    ({"classes": None, "train": None}, TypeError, "NoneType", ""),
    ({"train": None, "validation": None}, ValueError, TRAIN_KEYS, TRAIN_LINE + VAL_LINE),
    ({"train": {"images": "/x"}, "validation": {}}, ValueError, TRAIN_KEYS, ""),
    ({"train": {"annotations": "/x"}}, ValueError, TRAIN_KEYS, ""),
    ({"validation": None}, ValueError, VAL_KEYS, VAL_LINE),
    ({"validation": {"images": "/val/images"}}, ValueError, VAL_KEYS, ""),
])
def test_check_failures_in_step_order(dataset, capsys, change, error, message, printed):
    description = dict(dataset.info_dataset, **change)
    capsys.readouterr()
    with pytest.raises(error) as err:
        checked(dataset, description, offset=0 if change.get("classes") == [] else 1)
    assert message in str(err.value)
    assert capsys.readouterr().out == printed


def test_missing_keys(dataset, capsys):
    description = dict(dataset.info_dataset)
    del description["train"]
    capsys.readouterr()
    with pytest.raises(ValueError, match="``train`` section"):
        checked(dataset, description)
    assert capsys.readouterr().out == ""
    del description["type"]
    with pytest.raises(AttributeError):
        checked(dataset, description)
    with pytest.raises(AttributeError):
        checked(dataset, None)


def test_paths_are_stored_before_they_are_checked(dataset):
    description = dict(dataset.info_dataset, validation={"images": "/val/images"})
    with pytest.raises(ValueError, match="``validate`` section"):
        checked(dataset, description)
    assert dataset.path_val_images == "/val/images" and dataset.path_val_annotations is None
    assert dataset.path_train_images == description["train"]["images"]


@pytest.mark.parametrize("offset, classes, expected", [
    (1, ["a", "b"], ["background", "a", "b"]),
    (0, ["a", "b"], ["a", "b"]),
    (1, [], ["background"]),
])
def test_background_class(dataset, offset, classes, expected):
    description = dict(dataset.info_dataset, classes=classes)
    checked(dataset, description, offset)
    assert dataset.classes == expected
    assert description["classes"] == classes


# --- load_instance -------------------------------------------------------------------------

@pytest.mark.parametrize("name, mode", [
    ("rgb.jpg", "RGB"), ("grey.jpg", "L"), ("cmyk.jpg", "CMYK"), ("rgba.png", "RGBA"),
    ("palette.png", "P"), ("la.png", "LA"), ("bits.png", "1"),
])
def test_images_of_every_mode_become_rgb(dataset, tmp_path, name, mode):
    path = tmp_path / name
    source = picture(37, 23, mode="RGB", seed=3)
    (source.quantize(16) if mode == "P" else source.convert(mode)).save(path)
    img, boxes, file_name = dataset.load_instance(element(path, tmp_path / "none.txt"), False)
    expected = np.asarray(Image.open(path).convert("RGB"))
    assert img.dtype == np.uint8 and img.shape == (23, 37, 3)
    np.testing.assert_array_equal(img, expected)
    assert file_name == name


def test_images_spread_over_memory_blocks(dataset, tmp_path):
    # Pillow keeps large images in several memory blocks; such images are read through NumPy.
    path = tmp_path / "big.png"
    picture(120, 90, seed=4).save(path)
    core = Image.core
    size = core.get_block_size()
    core.set_block_size(4096)
    try:
        img = dataset.load_instance(element(path, tmp_path / "none.txt"), False)[0]
    finally:
        core.set_block_size(size)
    np.testing.assert_array_equal(img, np.asarray(Image.open(path).convert("RGB")))


def test_truncated_jpeg_is_decoded(dataset, tmp_path):
    path = tmp_path / "cut.jpg"
    picture(64, 48, seed=5).save(path, quality=95)
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])
    img, _, _ = dataset.load_instance(element(path, tmp_path / "none.txt"), False)
    assert img.shape == (48, 64, 3)


def test_unreadable_image_raises(dataset, tmp_path):
    path = tmp_path / "broken.jpg"
    path.write_bytes(b"not an image")
    with pytest.raises(Exception, match="cannot identify image file"):
        dataset.load_instance(element(path, tmp_path / "none.txt"))


def test_plain_resize_and_validation_boxes(tmp_path):
    # 640 x 480 image, one centred box of half the size.
    ds = dk.DarknetDataset(make_description(tmp_path), [320, 480, 3], letter_box=False)
    img_path, ann_path = tmp_path / "wide.jpg", tmp_path / "wide.txt"
    picture(640, 480).save(img_path)
    ann_path.write_text("0 0.5 0.5 0.5 0.5\n")
    img, boxes = ds.load_instance(element(img_path, ann_path))
    assert img.shape == (320, 480, 3) and img.dtype == np.uint8
    np.testing.assert_array_equal(boxes, np.array([[120, 80, 360, 240, 1]], np.float32))
    assert boxes.dtype == np.float32
    img, boxes, name = ds.load_instance(element(img_path, ann_path), training=False)
    assert img.shape == (480, 640, 3) and name == "wide.jpg"
    np.testing.assert_array_equal(boxes, np.array([[0.25, 0.25, 0.75, 0.75, 1]], np.float32))


def test_letterbox_boxes(tmp_path):
    ds = dk.DarknetDataset(make_description(tmp_path, classes=("cat", "dog", "bird")), [416, 416, 3],
                           add_bkg_class=False)
    img_path, ann_path = tmp_path / "wide.jpg", tmp_path / "wide.txt"
    picture(640, 480).save(img_path)
    ann_path.write_text("2 0.5 0.5 0.5 0.5\n")
    img, boxes = ds.load_instance(element(img_path, ann_path))
    # Scaled to 416 x 312, 52 rows of padding above.
    assert img.shape == (416, 416, 3)
    np.testing.assert_allclose(boxes, [[104, 130, 312, 286, 2]], atol=1e-4)
    assert (img[:52] == 114).all() and (img[-52:] == 114).all()


@pytest.mark.parametrize("text", [None, "", "\n\n", "# only a comment\n"])
def test_sample_without_objects(dataset, tmp_path, text):
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    if text is not None:
        ann_path.write_text(text)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing may reach the user
        img, boxes = dataset.load_instance(element(img_path, ann_path))
        _, val_boxes, _ = dataset.load_instance(element(img_path, ann_path), False)
    assert img.shape == (320, 480, 3)
    for b in (boxes, val_boxes):
        assert b.dtype == np.float32
        np.testing.assert_array_equal(b, [[0, 0, 0, 0, 0]])


@pytest.mark.parametrize("text, train_box, val_box", [
    ("1 1.0 0.5 0.4 0.2", [384, 128, 480, 192, 2], [0.8, 0.4, 1, 0.6, 2]),
    ("0 -0.1 -0.2 0.1 0.1", [0, 0, 0, 0, 1], [0, 0, 0, 0, 1]),
    ("0 0.5 0.5 2 2", [0, 0, 480, 320, 1], [0, 0, 1, 1, 1]),
])
def test_boxes_past_an_edge_are_clipped(dataset, tmp_path, text, train_box, val_box):
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    ann_path.write_text(text)
    _, boxes = dataset.load_instance(element(img_path, ann_path))
    assert boxes.shape == (1, 5)
    np.testing.assert_allclose(boxes, [train_box], atol=1e-4)
    _, boxes, _ = dataset.load_instance(element(img_path, ann_path), False)
    np.testing.assert_allclose(boxes, [val_box], atol=1e-6)


@pytest.mark.parametrize("letter_box", [True, False])
@pytest.mark.parametrize("training", [True, False])
def test_matches_the_step_by_step_algorithm(tmp_path, letter_box, training):
    ds = dk.DarknetDataset(make_description(tmp_path, classes=("cat", "dog", "bird")), [96, 128, 3],
                           letter_box=letter_box)
    rng = random.Random(7)
    for i, (w, h) in enumerate([(50, 30), (30, 50), (128, 96), (17, 61)]):
        img_path, ann_path = tmp_path / f"s{i}.png", tmp_path / f"s{i}.txt"
        picture(w, h, seed=i).save(img_path)
        lines = [f"{rng.randrange(3)} {rng.uniform(-.1, 1.1):.6f} {rng.uniform(-.1, 1.1):.6f} "
                 f"{rng.uniform(0, .6):.4g} {rng.uniform(0, .6):.4g}" for _ in range(i + 1)]
        ann_path.write_text("\r\n".join(lines) + ("  # trailing comment\n" if i % 2 else ""))
        got = ds.load_instance(element(img_path, ann_path), training)
        want = reference_load_instance(ds, element(img_path, ann_path), training)
        assert len(got) == len(want)
        for g, e in zip(got, want):
            if isinstance(e, str):
                assert g == e
            else:
                assert g.dtype == e.dtype and g.shape == e.shape
                np.testing.assert_array_equal(g, e)


@pytest.mark.parametrize("text, error, message", [
    ("0 0.5 0.5 0.2 0.2\n1 0.5 0.5 0.2\n", ValueError, "Line #2 (got 4 columns instead of 5)"),
    ("0 0.5 0.5 0.2\n", ValueError, "each line must hold 5 values (class x_center y_center width height), found 4"),
    ("0 0.5 0.5 0.2 0.2 0.9\n", ValueError, "found 6"),
    ("0\n0\n1\n0\n1\n", ValueError, "found 1"),
    ("7\n", ValueError, "found 1"),
    ("0 0.5 zero 0.2 0.2\n", ValueError, "a value is not a number"),
])
def test_malformed_annotation_files(dataset, tmp_path, text, error, message):
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    ann_path.write_text(text)
    with pytest.raises(error) as err:
        dataset.load_instance(element(img_path, ann_path))
    assert message in str(err.value)
    if "found" in message or "number" in message:
        assert str(ann_path) in str(err.value)


@pytest.mark.parametrize("data, message", [
    ([b"a.jpg"], "not enough values to unpack (expected 2, got 1)"),
    ([b"a.jpg", b"a.txt", b"b.txt"], "too many values to unpack (expected 2)"),
])
def test_element_must_hold_two_paths(dataset, data, message):
    with pytest.raises(ValueError) as err:
        dataset.load_instance(np.array(data, dtype=object))
    assert str(err.value) == message


# --- native annotation reader --------------------------------------------------------------

def random_annotation_text(rng):
    """Darknet-like text in the many spellings genfromtxt accepts."""
    def number():
        kind = rng.randrange(9)
        if kind == 0:
            return str(rng.randrange(-3, 100))
        if kind == 1:
            return repr(rng.uniform(-2, 2))
        if kind == 2:
            return f"{rng.uniform(0, 1):.{rng.randrange(1, 18)}f}"
        if kind == 3:
            return f"{rng.uniform(-1e5, 1e5):.{rng.randrange(1, 17)}e}".replace("e", rng.choice("eE"))
        if kind == 4:
            return rng.choice(["1.", ".5", "+0.25", "-0", "-.75e-3", "00012.5000", "1e-310", "4.9e-324",
                               "1.7976931348623157e308", "123456789012345678901234567890"])
        if kind == 5:
            return "0." + "".join(rng.choice("0123456789") for _ in range(rng.randrange(18, 40)))
        return f"{rng.random():.6f}"

    cols = rng.choice([5, 5, 5, 1, 3, 6])
    lines = []
    for _ in range(rng.randrange(0, 8)):
        kind = rng.randrange(10)
        if kind == 0:
            lines.append("")
        elif kind == 1:
            lines.append(rng.choice(["# comment", "   ", "\t# 1 2 3", "#"]))
        else:
            sep = lambda: rng.choice([" ", "  ", "\t", " \t ", "\x0b", "\x0c"])  # noqa: E731
            line = sep().join(number() for _ in range(cols))
            if rng.random() < 0.2:
                line = rng.choice([" ", "\t", ""]) + line + rng.choice(["", " ", "#c", " # 1 2"])
            lines.append(line)
    newline = rng.choice(["\n", "\r\n", "\r"])
    return newline.join(lines) + rng.choice(["", newline])


def assert_same_as_genfromtxt(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            expected = np.genfromtxt(str(path))
        except ValueError as exc:
            with pytest.raises(ValueError) as err:
                dk._read_annotations(str(path))
            assert str(err.value) == str(exc)
            return
    got = dk._read_annotations(str(path))
    assert got.dtype == expected.dtype == np.float64
    assert got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()  # bit for bit, signs of zero and NaN included


def test_native_reader_equals_genfromtxt_on_generated_files(tmp_path):
    rng = random.Random(20240601)
    for i in range(400):
        path = tmp_path / f"{i}.txt"
        path.write_bytes(random_annotation_text(rng).encode("ascii"))
        assert_same_as_genfromtxt(path)


@pytest.mark.parametrize("text", [
    "", "\n", "# a\n# b\n", "0 0.5 0.5 0.1 0.1", "0 0.5 0.5 0.1 0.1\n1 0.2 0.2 0.3 0.3\n",
    "1 2\n3 4 5\n", "1 2 3\n4 5\n6 7 8\n", "3", "1\n2\n", "inf -inf nan 1_000 0x10",
    "1e400 -1e400 1e-400 2 3", "0 0.5 0.5 0.1 0.1 \xa0\n", "0\x1c0.5 0.5 0.1 0.1", "0 0,5 0.5 0.1 0.1",
    "#\n0 1 2 3 4#x\n5 6 7 8 9\n", "0 1 2 3 4\x00", "1 2\r\n\r\n3 4\r\n", "+1 -2 .3 4. 5e+2",
])
def test_native_reader_equals_genfromtxt_on_odd_files(tmp_path, text):
    path = tmp_path / "odd.txt"
    path.write_bytes(text.encode("utf-8"))
    assert_same_as_genfromtxt(path)


def test_native_reader_on_a_folder(tmp_path):
    with pytest.raises(IsADirectoryError):
        dk._read_annotations(str(tmp_path))


# --- listing and base iterator -------------------------------------------------------------

def test_listing_order_and_pairing(tmp_path):
    train = {"z.jpeg": "0 .5 .5 .1 .1", "a.png": "0 .5 .5 .1 .1", "b.JPG": None, "c.JpEg": "0 .5 .5 .1 .1",
             "d.PNG": "0 .5 .5 .1 .1", "e.jpg": "0 .5 .5 .1 .1", "f.b.jpg": "0 .5 .5 .1 .1",
             "g.bmp": "0 .5 .5 .1 .1", "h.gif": "0 .5 .5 .1 .1"}
    description = make_description(tmp_path, train=train)
    ds = dk.DarknetDataset(description, [32, 32, 3])
    images = [os.path.basename(i) for i, _ in ds.train_storage]
    exts = [os.path.splitext(i)[1].lower() for i in images]
    assert exts == sorted(exts, key=[".png", ".jpg", ".jpeg"].index)
    assert sorted(images) == ["a.png", "c.JpEg", "d.PNG", "e.jpg", "f.b.jpg", "z.jpeg"]
    ann_dir = description["train"]["annotations"]
    for img, ann in ds.train_storage:
        assert os.path.dirname(img) == description["train"]["images"]
        assert ann == os.path.join(ann_dir, os.path.splitext(os.path.basename(img))[0] + ".txt")
    assert ds.num_train_samples == 6 and ds.num_val_samples == 1


def test_only_unreadable_formats_raise_for_training(tmp_path):
    description = make_description(tmp_path, train={"a.bmp": "0 .5 .5 .1 .1"})
    with pytest.raises(ValueError, match=r"^\[ERROR\]: Dataset with empty training samples is not allowed$"):
        dk.DarknetDataset(description, [32, 32, 3])


def test_empty_validation_raises_after_training_is_listed(dataset, tmp_path):
    (tmp_path / "empty").mkdir()
    dataset.path_val_images = str(tmp_path / "empty")
    dataset.train_storage, dataset.val_storage = [], []
    with pytest.raises(ValueError, match=r"^\[ERROR\]: Dataset with empty validation samples is not allowed$"):
        dataset.load_storage()
    assert dataset.num_train_samples == 2 and len(dataset.train_storage) == 2
    assert dataset.val_storage == [] and dataset.num_val_samples == 0


def test_missing_folder_gives_an_empty_split(tmp_path):
    description = make_description(tmp_path)
    description["train"]["images"] = str(tmp_path / "nowhere")
    with pytest.raises(ValueError, match="empty training samples"):
        dk.DarknetDataset(description, [32, 32, 3])


def test_green_progress_bars(tmp_path, capsys):
    dk.DarknetDataset(make_description(tmp_path), [32, 32, 3])
    err = capsys.readouterr().err
    assert "Loading training dataset: 100%" in err and "Loading validation dataset: 100%" in err
    assert "\x1b[32m" + "\u2588" * 15 + "\x1b[0m|" in err  # 15 green cells


def test_base_iterator_order_and_shuffle(dataset):
    storage = [[f"img{i}.jpg", f"ann{i}.txt"] for i in range(12)]
    plain = [tuple(e.numpy()) for e in dataset.build_and_load_base_iterator(storage, shuffle=False)]
    assert plain == [(a.encode(), b.encode()) for a, b in storage]
    shuffled = dataset.build_and_load_base_iterator(storage)
    passes = [[tuple(e.numpy()) for e in shuffled] for _ in range(3)]
    for p in passes:
        assert sorted(p) == sorted(plain)  # every entry once per pass
    assert any(p != plain for p in passes)
    assert shuffled.element_spec == tf.TensorSpec([2], tf.string)


# --- end to end ----------------------------------------------------------------------------

def test_yaml_dataset_iterators(tmp_path):
    train = {f"t{i}.jpg": "".join(f"{i % 2} 0.5 0.5 0.2 0.2\n" for _ in range(i % 3 + 1)) for i in range(6)}
    train["empty.png"] = ""
    description = make_description(tmp_path, train=train, val={"v1.jpg": "1 0.5 0.5 0.2 0.2", "v2.png": ""})
    ds = dk.DarknetDatasetYaml(write_yaml(tmp_path, description), [416, 416, 3])
    batches = list(ds.build_train_iterator(batch_size=4))
    assert [b[0].shape[0] for b in batches] == [4, 3]
    labels = set()
    for images, (boxes,) in batches:
        assert images.dtype == tf.uint8 and images.shape[1:] == (416, 416, 3)
        assert boxes.dtype == tf.float32 and boxes.shape[0] == images.shape[0] and boxes.shape[2] == 5
        labels |= set(boxes.numpy()[..., 4].ravel().tolist())
    assert labels == {0.0, 1.0, 2.0}  # class + 1, and the padding / empty rows
    val = list(ds.build_val_iterator(batch_size=1))
    assert sorted(v[2].numpy()[0] for v in val) == [b"v1.jpg", b"v2.png"]
    for image, boxes, _ in val:
        assert image.shape == (1, 30, 40, 3) and boxes.shape[-1] == 5


# --- annotations that would train on wrong data ----------------------------------------------

@pytest.mark.parametrize("text, line, problem", [
    ("0 inf 0.5 inf 0.2\n", 1, "a value is not finite"),
    ("0 0.5 0.5 0.2 0.2\n1 0.5 -inf 0.2 0.2\n", 2, "a value is not finite"),
    ("# header\n\n0 0.5 0.5 1e400 0.2\n", 3, "a value is not finite"),
    ("0 0.5 0.5 0.2 0.2\r\n\r\n0 nan 0.5 0.2 0.2\r\n", 3, "a value is not a number"),
    ("inf 0.5 0.5 0.2 0.2\n", 1, "a value is not finite"),
])
@pytest.mark.parametrize("training", [True, False])
def test_non_finite_values_are_refused_naming_file_and_line(dataset, tmp_path, text, line, problem, training):
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    ann_path.write_text(text)
    with pytest.raises(ValueError) as err:
        dataset.load_instance(element(img_path, ann_path), training)
    assert str(err.value) == "[ERROR]: Invalid annotation file %s, line %d: %s" % (ann_path, line, problem)


@pytest.mark.parametrize("text, line, shown", [
    ("2 0.5 0.5 0.2 0.2\n", 1, "2"),                      # == number of classes
    ("0 0.5 0.5 0.2 0.2\n-1 0.5 0.5 0.2 0.2\n", 2, "-1"),  # would become the background label
    ("0 .5 .5 .2 .2\n\n# c\n0.5 0.5 0.5 0.2 0.2\n", 4, "0.5"),
    ("1e20 0.5 0.5 0.2 0.2\n", 1, "1e+20"),
])
@pytest.mark.parametrize("offset", [0, 1])
def test_class_ids_outside_the_class_list_are_refused(dataset, tmp_path, text, line, shown, offset):
    dataset.class_offset = offset
    dataset.validate_info_file_content(dict(dataset.info_dataset))
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    ann_path.write_text(text)
    for training in (True, False):
        with pytest.raises(ValueError) as err:
            dataset.load_instance(element(img_path, ann_path), training)
        assert str(err.value) == ("[ERROR]: Invalid annotation file %s, line %d: class id %s is not an index of the "
                                  "2 classes" % (ann_path, line, shown))


def test_last_class_is_accepted(dataset, tmp_path):
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    ann_path.write_text("1 0.5 0.5 0.2 0.2\n")
    assert dataset.load_instance(element(img_path, ann_path))[1][0, 4] == 2


def test_non_ascii_file_names_the_object(dataset, tmp_path):
    # Read by genfromtxt (not natively); the bad row is still named.
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    ann_path.write_text("0 0.5 0.5 0.2 0.2 # é\n5 0.5 0.5 0.2 0.2\n", encoding="utf-8")
    with pytest.raises(ValueError, match=r"a\.txt, line 2: class id 5 is not an index of the 2 classes"):
        dataset.load_instance(element(img_path, ann_path))


def test_annotation_bytes_that_are_not_text_name_the_file(dataset, tmp_path):
    img_path, ann_path = tmp_path / "a.jpg", tmp_path / "a.txt"
    picture(40, 30).save(img_path)
    ann_path.write_bytes(b"0 0.5 \xff\xfe 0.2 0.2\n")
    with pytest.raises(ValueError) as err:
        dataset.load_instance(element(img_path, ann_path))
    assert str(err.value).startswith("[ERROR]: Invalid annotation file %s: not text (" % ann_path)
    assert isinstance(err.value.__cause__, UnicodeDecodeError)


# --- paths ------------------------------------------------------------------------------------

def test_nul_byte_in_a_path_is_refused_as_open_refuses_it(dataset, tmp_path):
    img_path = tmp_path / "a.jpg"
    picture(40, 30).save(img_path)
    with pytest.raises(ValueError, match="embedded null byte"):
        dataset.load_instance(np.array([str(img_path).encode(), b"a\x00.txt"], dtype=object))
    with pytest.raises(ValueError, match="embedded null byte"):
        dataset.load_instance(np.array([b"a\x00.jpg", b"a.txt"], dtype=object))
    (tmp_path / "a.txt").write_text("0 0.5 0.5 0.2 0.2\n")
    with pytest.raises(ValueError, match="embedded null byte"):
        dk._read_annotations(str(tmp_path / "a.txt") + "\x00junk")  # not the file before the NUL


def test_read_annotations_of_none_is_genfromtxts_type_error():
    with pytest.raises(TypeError, match="fname must be a string"):
        dk._read_annotations(None)


@pytest.mark.parametrize("split, key, role", [
    ("train", "images", "Training images"),
    ("train", "annotations", "Training annotations"),
    ("validation", "images", "Validation images"),
    ("validation", "annotations", "Validation annotations"),
])
def test_missing_folder_is_named_before_the_empty_split_error(tmp_path, capsys, split, key, role):
    description = make_description(tmp_path)
    missing = str(tmp_path / "nowhere" / key)
    description[split][key] = missing
    capsys.readouterr()
    with pytest.raises(ValueError, match="empty %s samples" % ("training" if split == "train" else "validation")):
        dk.DarknetDataset(description, [32, 32, 3])
    assert capsys.readouterr().out == "\t - [WARNING]: %s folder %s was not found\n" % (role, missing)


def test_existing_empty_folder_prints_nothing(tmp_path, capsys):
    description = make_description(tmp_path, train={"a.bmp": "0 .5 .5 .1 .1"})
    capsys.readouterr()
    with pytest.raises(ValueError, match="empty training samples"):
        dk.DarknetDataset(description, [32, 32, 3])
    assert capsys.readouterr().out == ""
