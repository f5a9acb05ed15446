"""vireo.quillon.datasets.segmentation: construction, messages, samples, masks and iterators."""
import gc
import os
import inspect
import json
import pathlib
import random
import subprocess
import warnings

import albumentations as A
import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image
from pycocotools import mask as coco_mask
from scipy.interpolate import interp1d

from vireo.quillon.datasets import segmentation as seg
from vireo.quillon.datasets.utils import letterbox, mask_padding

SHAPE = [64, 64, 3]
LABELS = ["a", "b", "c"]


# --- helpers -------------------------------------------------------------------------------

def write_image(path, height=64, width=64, seed=0):
    rng = np.random.default_rng(seed)
    Image.fromarray(rng.integers(0, 255, (height, width, 3), dtype=np.uint8)).save(path)


def write_json(path, content):
    with open(path, "w") as f:
        json.dump(content, f)


def part(points, cls):
    return {"polygon": [list(map(float, p)) for p in points], "class": cls}


def square(x0, y0, x1, y1, size=64):
    """Normalised corners of a pixel-space rectangle in an image of `size` pixels."""
    return [[x0 / size, y0 / size], [x1 / size, y0 / size], [x1 / size, y1 / size], [x0 / size, y1 / size]]


@pytest.fixture
def folders(tmp_path):
    out = {}
    for key in ("train_images", "val_images", "train_annotations", "val_annotations"):
        out[key] = str(tmp_path / key)
        pathlib.Path(out[key]).mkdir()
    return out


def add_sample(folders, split, name, segment=None, height=64, width=64, seed=0):
    write_image(pathlib.Path(folders[split + "_images"]) / (name + ".png"), height, width, seed)
    content = {"image": "somewhere/else/" + name + ".png"}
    if segment is not None:
        content["segment"] = segment
    path = pathlib.Path(folders[split + "_annotations"]) / (name + ".json")
    write_json(path, content)
    return str(path)


def make_dataset(folders, **kw):
    args = dict(shape=list(SHAPE), labels=list(LABELS), tasks=["segment"])
    args.update(folders)
    args.update(kw)
    return seg.SegmentationDataset(**args)


@pytest.fixture
def dataset(folders):
    add_sample(folders, "train", "t0", [[part([[0.1, 0.1], [0.5, 0.1], [0.5, 0.5]], 0)]])
    return make_dataset(folders)


def read(ds, path, train=True):
    return [np.asarray(v) if not isinstance(v, str) else v for v in ds._read_data(tf.constant(path), train)]


def mask_of(ds, outlines, classes):
    return ds._build_gt_mask(tf.constant(outlines), tf.constant(classes))


# --- module surface ------------------------------------------------------------------------

METHODS = {
    "SegmentationDataset": [
        "__init__", "get_num_segmentation_classes", "get_num_train_samples", "validate_tasks", "validate_path",
        "apply_augmentation", "tf_apply_augmentation", "build_train_iterator", "build_gt_mask", "_build_gt_mask",
        "read_data", "_read_data", "build_val_iterator"],
    "SegmentationDatasetYaml": ["__init__"],
    "SegmentationDatasetJsonCOCO": [
        "__init__", "get_num_train_samples", "get_num_segmentation_classes", "read_data", "_read_data",
        "build_gt_mask", "_build_gt_mask", "apply_augmentation", "tf_apply_augmentation", "build_train_iterator",
        "build_val_iterator"],
}
WRAPPED = {"read_data", "build_gt_mask", "tf_apply_augmentation"}


@pytest.mark.parametrize("name", sorted(METHODS))
def test_classes_list_their_methods_in_order_with_three_graph_functions(name):
    cls = getattr(seg, name)
    skip = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}
    assert [k for k in vars(cls) if k not in skip] == METHODS[name]
    for method in METHODS[name]:
        value = vars(cls)[method]
        assert isinstance(value, tf.types.experimental.PolymorphicFunction) == (method in WRAPPED), method
    base = seg.SegmentationDataset if name == "SegmentationDatasetYaml" else object
    assert cls.__bases__ == (base,)


def _signature(cls, method):
    value = vars(cls)[method]
    return inspect.signature(getattr(value, "python_function", value))


E = inspect.Parameter.empty
SIGNATURES = [
    ("SegmentationDataset", "__init__",
     [("shape", list, None), ("train_images", str, None), ("val_images", str, None),
      ("train_annotations", str, None), ("val_annotations", str, None), ("labels", list, None),
      ("tasks", list, None), ("num_points", int, 300), ("letter_box", bool, True), ("add_bkg_class", bool, True)]),
    ("SegmentationDataset", "validate_tasks", [("tasks", list, None)]),
    ("SegmentationDataset", "validate_path", [("path", str, None)]),
    ("SegmentationDataset", "apply_augmentation", [("image", np.ndarray, E), ("mask", np.ndarray, E)]),
    ("SegmentationDataset", "tf_apply_augmentation", [("image", tf.Tensor, E), ("mask", tf.Tensor, E)]),
    ("SegmentationDataset", "build_train_iterator", [("batch_size", int, 10), ("prefetch", int, 10)]),
    ("SegmentationDataset", "build_gt_mask", [("data", E, E)]),
    ("SegmentationDataset", "_build_gt_mask", [("masks", E, E), ("classes", E, E)]),
    ("SegmentationDataset", "read_data", [("annotation_file", E, E), ("train", bool, True)]),
    ("SegmentationDataset", "_read_data", [("annotation_file", E, E), ("train", bool, True)]),
    ("SegmentationDataset", "build_val_iterator", [("prefetch", int, 10)]),
    ("SegmentationDatasetYaml", "__init__",
     [("info_file", str, None), ("shape", list, None), ("letter_box", bool, True), ("num_points", int, 300),
      ("add_bkg_class", bool, True), ("tasks", list, None)]),
    ("SegmentationDatasetJsonCOCO", "__init__",
     [("train_json_file", str, None), ("val_json_file", str, None), ("train_images", str, None),
      ("val_images", str, None), ("shape", list, None), ("letter_box", bool, True), ("num_points", int, 300),
      ("add_bkg_class", bool, True), ("tasks", list, None)]),
    ("SegmentationDatasetJsonCOCO", "read_data", [("image_id", tf.Tensor, E)]),
    ("SegmentationDatasetJsonCOCO", "_read_data", [("image_id", E, E)]),
    ("SegmentationDatasetJsonCOCO", "build_val_iterator", [("batch_size", int, 10), ("prefetch", int, 10)]),
]


@pytest.mark.parametrize("cls,method,params", SIGNATURES, ids=[c + "." + m for c, m, _ in SIGNATURES])
def test_signatures_publish_annotations_and_defaults(cls, method, params):
    sig = _signature(getattr(seg, cls), method)
    got = [(p.name, p.annotation, p.default) for p in sig.parameters.values()]
    assert got == [("self", E, E)] + params


def test_module_binds_its_imports_and_exports_one_symbol():
    for name in ("exists", "join", "basename", "interp1d", "letterbox", "mask_padding", "A", "tf", "glob", "Image",
                 "np", "json", "cv2"):
        assert hasattr(seg, name), name
    assert seg.letterbox is letterbox and seg.interp1d is interp1d and seg.A is A
    out = subprocess.run(["nm", "-D", "--defined-only", seg.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines() if line.split()[1] in "TtDdBb"] == [
        "PyInit_segmentation"]


# --- construction --------------------------------------------------------------------------

def test_construction_sets_the_documented_attributes(folders):
    for name in ("a.JSON", "b.Json", "c.json", "d.json.bak", "notes.txt"):
        (pathlib.Path(folders["train_annotations"]) / name).write_text("{}")
    sub = pathlib.Path(folders["train_annotations"]) / "sub"
    sub.mkdir()
    (sub / "e.json").write_text("{}")
    tasks = ["segment", "boxes"]
    ds = make_dataset(folders, tasks=tasks, letter_box=False, num_points=17)
    assert sorted(pathlib.Path(p).name for p in ds.train_storage) == ["a.JSON", "b.Json", "c.json"]
    assert ds.val_storage == [] and ds.num_validation_samples == 0
    assert ds.num_training_samples == 3 == ds.get_num_train_samples()
    assert ds.tasks is tasks and ds.labels == LABELS and ds.num_points == 17 and ds.letter_box is False
    assert ds.shape == SHAPE and ds.train_images == folders["train_images"]
    assert isinstance(ds._augmentation_pipeline, A.Compose)


@pytest.mark.parametrize("add_bkg_class,offset", [(True, 1), (False, 0), (0, 0), ("yes", 1)])
def test_class_count_ignores_the_background_switch(dataset, folders, add_bkg_class, offset):
    ds = make_dataset(folders, labels=["person", "car"], add_bkg_class=add_bkg_class)
    assert ds.get_num_segmentation_classes() == 3 and ds.class_offset == offset


def test_folder_names_with_glob_characters_are_listed(tmp_path):
    base = tmp_path / "set [v1]"
    folders = {}
    for key in ("train_images", "val_images", "train_annotations", "val_annotations"):
        folders[key] = str(base / key)
        pathlib.Path(folders[key]).mkdir(parents=True)
    (pathlib.Path(folders["train_annotations"]) / "x.json").write_text("{}")
    assert make_dataset(folders).num_training_samples == 1


@pytest.mark.parametrize("missing", ["train_images", "val_images", "train_annotations", "val_annotations"])
@pytest.mark.parametrize("how", ["none", "absent"])
def test_first_missing_path_is_reported_before_tasks(folders, missing, how):
    order = ["train_images", "val_images", "train_annotations", "val_annotations"]
    bad = dict(folders)
    for key in order[order.index(missing):]:  # this one and every later one
        bad[key] = None if how == "none" else folders[key] + "-absent"
    with pytest.raises(FileNotFoundError) as info:
        seg.SegmentationDataset(shape=SHAPE, labels=LABELS, tasks=None, **bad)
    assert str(info.value) == "Provided path does not exist at: {}".format(bad[missing])


@pytest.mark.parametrize("tasks,message", [
    (None, "tasks should be a list of strings: None is not allowed"),
    (["segment", "keypoints", "pose"], "``keypoints`` is not a valid task"),
    ([None], "``None`` is not a valid task"),
])
def test_task_errors(dataset, folders, tasks, message):
    with pytest.raises(ValueError) as info:
        make_dataset(folders, tasks=tasks)
    assert str(info.value) == message


def test_validators(dataset, tmp_path):
    tasks = []
    assert dataset.validate_tasks(tasks) is tasks
    existing = tmp_path / "file.txt"
    existing.write_text("x")
    assert dataset.validate_path(str(existing)) == str(existing)
    with pytest.raises(FileNotFoundError, match="^Provided path does not exist at: None$"):
        dataset.validate_path()


def test_empty_training_folder_is_refused(folders):
    with pytest.raises(ValueError) as info:
        make_dataset(folders)
    assert str(info.value) == "Current dataset has 0 annotation files in the provided folder: {}".format(
        folders["train_annotations"])


@pytest.mark.parametrize("kwargs,name,expected,got", [
    ({"shape": (64, 64, 3)}, "shape", "list", "tuple"),
    ({"tasks": ("segment",)}, "tasks", "list", "tuple"),
    ({"train_images": pathlib.Path("/tmp")}, "train_images", "str", "PosixPath"),
    ({"labels": ("a",), "tasks": ("segment",)}, "labels", "list", "tuple"),
    ({"val_annotations": 3, "labels": "abc"}, "val_annotations", "str", "int"),
])
def test_argument_type_rule(folders, kwargs, name, expected, got):
    args = dict(folders, shape=SHAPE, labels=LABELS, tasks=["segment"])
    args.update(kwargs)
    with pytest.raises(TypeError) as info:
        seg.SegmentationDataset(**args)
    assert str(info.value) == "Argument '{}' has incorrect type (expected {}, got {})".format(name, expected, got)


def test_missing_shape_is_a_clear_error(tmp_path, dataset, folders):
    with pytest.raises(TypeError, match="^shape should be a list of height, width and channels: None is not allowed$"):
        make_dataset(folders, shape=None)
    with pytest.raises(TypeError, match="^shape should be a list"):
        coco_dataset(tmp_path, folders, shape=None)


# --- YAML ----------------------------------------------------------------------------------

def yaml_dataset(tmp_path, content, **kw):
    path = tmp_path / "info.yaml"
    path.write_text(content if isinstance(content, str) else yaml.safe_dump(content))
    args = dict(shape=list(SHAPE), tasks=["segment"])
    args.update(kw)
    return seg.SegmentationDatasetYaml(str(path), **args)


def valid_description(folders):
    return {"classes": ["person", "car", "train", "bus", "truck"],
            "train": {"images": folders["train_images"], "annotations": folders["train_annotations"]},
            "validation": {"images": folders["val_images"], "annotations": folders["val_annotations"]}}


@pytest.mark.parametrize("edit,error,message", [
    (lambda d: d.update(classes=[]), ValueError, ("Incorrect values for class was detected: ", [])),
    (lambda d: d.pop("classes"), ValueError, ("Incorrect values for class was detected: ", None)),
    (lambda d: (d.pop("train"), d.pop("validation")), ValueError,
     "``train`` section is missing on the configuration file"),
    (lambda d: d.pop("validation"), ValueError, "``validation`` section is missing on the configuration file"),
    (lambda d: (d["train"].pop("images"), d["train"].pop("annotations")), ValueError,
     "``images`` section is missing on the ``train`` section"),
    (lambda d: (d["train"].pop("annotations"), d["validation"].pop("images")), ValueError,
     "``annotations`` section is missing on the ``train`` section"),
    (lambda d: (d["validation"].pop("images"), d["validation"].pop("annotations")), ValueError,
     "``images`` section is missing on the ``validation`` section"),
    (lambda d: d["validation"].pop("annotations"), ValueError,
     "``annotations`` section is missing on the ``validation`` section"),
    (lambda d: [d[s].update({k: d[s][k] + "-absent"}) for s in ("train", "validation") for k in ("images", "annotations")],
     FileNotFoundError, "Images folder provided in ``train`` section does not exist in the current location: {train_images}-absent"),
    (lambda d: [d[s].update({k: d[s][k] + "-absent"}) for s, k in (("validation", "images"), ("train", "annotations"))],
     FileNotFoundError, "Images folder provided in ``validation`` section does not exist in the current location: {val_images}-absent"),
    (lambda d: [d[s].update({k: d[s][k] + "-absent"}) for s, k in (("train", "annotations"), ("validation", "annotations"))],
     FileNotFoundError, "Annotations folder provided in ``train`` section does not exist in the current location: {train_annotations}-absent"),
    (lambda d: d["validation"].update(annotations=d["validation"]["annotations"] + "-absent"), FileNotFoundError,
     "Annotations folder provided in ``validation`` section does not exist in the current location: {val_annotations}-absent"),
])
def test_yaml_messages_in_order(tmp_path, folders, edit, error, message):
    description = valid_description(folders)
    edit(description)
    with pytest.raises(error) as info:
        yaml_dataset(tmp_path, description)
    if isinstance(message, tuple):
        assert info.value.args == message
    else:
        assert str(info.value) == message.format(**folders)


def test_yaml_builds_the_base_dataset(tmp_path, folders):
    add_sample(folders, "train", "t0")
    with pytest.raises(ValueError, match="^tasks should be a list of strings: None is not allowed$"):
        yaml_dataset(tmp_path, valid_description(folders), tasks=None)
    ds = yaml_dataset(tmp_path, valid_description(folders), letter_box=False, num_points=9, add_bkg_class=False)
    assert isinstance(ds, seg.SegmentationDataset)
    assert ds.labels == ["person", "car", "train", "bus", "truck"] and ds.get_num_segmentation_classes() == 6
    assert (ds.num_points, ds.letter_box, ds.class_offset, ds.num_training_samples) == (9, False, 0, 1)


@pytest.mark.parametrize("content,error,match", [
    ("- just\n- a list\n", ValueError, "does not hold a mapping"),
    ("classes: [a]\ntrain: here\nvalidation: {}\n", ValueError, "``train`` section of the configuration file"),
    ("classes: [a\n", yaml.YAMLError, None),
])
def test_yaml_unusable_files(tmp_path, content, error, match):
    with pytest.raises(error, match=match):
        yaml_dataset(tmp_path, content)


def test_yaml_type_rule_and_missing_file(tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'info_file' has incorrect type \(expected str, got PosixPath\)$"):
        seg.SegmentationDatasetYaml(tmp_path / "info.yaml", tasks=["segment"])
    with pytest.raises(FileNotFoundError):
        seg.SegmentationDatasetYaml(str(tmp_path / "absent.yaml"), tasks=["segment"])


# --- reading samples and masks -------------------------------------------------------------

def test_square_resampled_to_five_points_fills_the_whole_square(folders):
    path = add_sample(folders, "train", "sq", [[part(square(10, 10, 50, 10 + 40), 1)]])
    ds = make_dataset(folders, num_points=5)
    image, outlines, classes = read(ds, path)
    assert image.dtype == np.uint8 and image.shape == (64, 64, 3)
    np.testing.assert_allclose(outlines[0], [[10, 10], [40, 10], [50, 30], [40, 50], [10, 50]], atol=1e-4)
    assert outlines.dtype == np.float32 and classes.dtype == np.int32 and classes.tolist() == [1]
    mask = mask_of(ds, outlines, classes)
    assert mask.dtype == np.int32 and mask.shape == (64, 64)
    # Five points cut the two right-hand corners; the fill closes the outline on the left.
    assert (mask[10:51, 10:41] == 2).all() and mask[10, 50] == 0 and mask[50, 50] == 0 and mask[30, 50] == 2
    # One point per pixel of the 120-pixel path keeps every corner: the whole square is filled.
    ds.num_points = 121
    mask = mask_of(ds, *read(ds, path)[1:])
    assert (mask[10:51, 10:51] == 2).all() and mask.sum() == 2 * 41 * 41


@pytest.mark.parametrize("second,overlap", [(2, 3), (0, 1)])
def test_overlaps_are_decided_by_order(folders, second, overlap):
    first = 2 if second == 0 else 0
    path = add_sample(folders, "train", "ov", [[part(square(5, 5, 40, 40), first)], [part(square(20, 20, 60, 60), second)]])
    ds = make_dataset(folders)
    mask = mask_of(ds, *read(ds, path)[1:])
    assert mask[30, 30] == overlap and mask[10, 10] == first + 1 and mask[55, 55] == second + 1


def test_parts_objects_and_skipped_parts(folders):
    segment = [
        [part(square(2, 2, 20, 20), 1), part([[0.5, 0.5], [0.9, 0.9]], 2), part(square(40, 40, 60, 60), 1)],
        [part([[0.1, 0.9]], 0), part(square(2, 40, 20, 60), 0)],
    ]
    path = add_sample(folders, "train", "parts", segment)
    ds = make_dataset(folders, num_points=300)
    _, outlines, classes = read(ds, path)
    assert outlines.shape == (3, 300, 2) and classes.tolist() == [1, 1, 0]
    mask = mask_of(ds, outlines, classes)
    assert mask[10, 10] == 2 and mask[50, 50] == 2 and mask[50, 10] == 1 and mask[30, 30] == 0


@pytest.mark.parametrize("segment,tasks", [
    (None, ["segment"]), ([], ["segment"]), ([[part(square(5, 5, 30, 30), 0)]], ["boxes"]),
    ([[part(square(5, 5, 30, 30), 0)]], []), ([[part([[0.1, 0.1], [0.2, 0.2]], 0)]], ["segment"]),
])
def test_samples_without_outlines_give_empty_arrays_and_a_zero_mask(folders, segment, tasks):
    path = add_sample(folders, "train", "empty", segment)
    ds = make_dataset(folders, tasks=tasks)
    _, outlines, classes = read(ds, path)
    assert outlines.shape == (0,) and outlines.dtype == np.float32
    assert classes.shape == (0,) and classes.dtype == np.int32
    mask = mask_of(ds, outlines, classes)
    assert mask.shape == (64, 64) and not mask.any()


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("num_points", [1, 2, 7, 300])
@pytest.mark.parametrize("letter_box,size", [(True, (48, 80)), (False, (70, 40))])
def test_resampling_matches_interp1d(folders, seed, num_points, letter_box, size):
    rng = np.random.default_rng(seed)
    polygons = [rng.uniform(0, 1, (int(rng.integers(3, 40)), 2)) for _ in range(5)]
    path = add_sample(folders, "train", "r", [[part(p, i % 3)] for i, p in enumerate(polygons)], *size)
    ds = make_dataset(folders, num_points=num_points, letter_box=letter_box)
    image, outlines, classes = read(ds, path)
    source = np.asarray(Image.open(pathlib.Path(folders["train_images"]) / "r.png").convert("RGB"))
    oh, ow = source.shape[:2]
    if letter_box:
        fitted, ratio, pad = letterbox(source, SHAPE[:2], auto=False)
        w, h, padw, padh = ratio[0] * ow, ratio[1] * oh, pad[0], pad[1]
    else:
        w, h, padw, padh = SHAPE[1], SHAPE[0], 0, 0
    for polygon, got in zip(polygons, outlines):
        points = mask_padding(polygon, w, h, padw, padh)
        distance = np.cumsum(np.sqrt(np.sum(np.diff(points, axis=0) ** 2, axis=1)))
        distance = np.insert(distance, 0, 0) / distance[-1]
        expected = interp1d(distance, points, kind="slinear", axis=0)(np.linspace(0, 1, num_points))
        np.testing.assert_allclose(got, expected.astype(np.float32), rtol=0, atol=1e-5)
    assert classes.tolist() == [i % 3 for i in range(5)]


def test_repeated_points_are_dropped_and_zero_length_outlines_skipped(folders):
    base = square(8, 8, 40, 40)
    repeated = [base[0], base[0], base[1], base[2], base[2], base[2], base[3], base[3]]
    segment = [[part(repeated, 0)], [part([[0.5, 0.5]] * 4, 1)], [part(base, 2)]]
    path = add_sample(folders, "train", "rep", segment)
    ds = make_dataset(folders, num_points=33)
    _, outlines, classes = read(ds, path)
    assert classes.tolist() == [0, 2]
    np.testing.assert_array_equal(outlines[0], outlines[1])


@pytest.mark.parametrize("segment,match", [
    ([[part(square(5, 5, 30, 30), 3)]], "class 3 is not an index of the 3 labels"),
    ([[part(square(5, 5, 30, 30), -1)]], "class -1 is not an index"),
    ([[{"polygon": [[0.1, 0.1], [0.5, float("nan")], [0.5, 0.5]], "class": 0}]], "not finite"),
    ([[{"class": 0}]], r"segment\[0\]\[0\]: the part has no ``polygon``"),
    ([[part(square(5, 5, 30, 30), 0)], [{"polygon": [[0.1, 0.1], [0.5, 0.1], [0.5, 0.5]]}]],
     r"segment\[1\]\[0\]: the part has no ``class``"),
    ([[{"polygon": [[0.1, 0.1, 0.2], [0.5, 0.1, 0.3], [0.5, 0.5, 0.4]], "class": 0}]], "not a list of \\[x, y\\]"),
    ({"polygon": [[0.1, 0.1]], "class": 0}, "``segment`` is not a list of objects"),
    ([part(square(5, 5, 30, 30), 0)], r"segment\[0\]: the object is not a list of parts"),
])
def test_bad_annotations_name_the_file_and_the_place(folders, segment, match):
    path = add_sample(folders, "train", "bad", segment)
    ds = make_dataset(folders)
    with pytest.raises(ValueError, match=match) as info:
        ds._read_data(tf.constant(path))
    assert path in str(info.value)


def test_annotation_without_image_and_missing_image(folders):
    path = add_sample(folders, "train", "noimage")
    write_json(path, {"segment": []})
    ds = make_dataset(folders)
    with pytest.raises(ValueError, match="has no ``image`` entry"):
        ds._read_data(tf.constant(path))
    write_json(path, {"image": "absent.png"})
    with pytest.raises(FileNotFoundError):
        ds._read_data(tf.constant(path))


def test_validation_sample_carries_the_joined_image_path_and_closes_its_files(folders):
    add_sample(folders, "train", "t0")
    path = add_sample(folders, "val", "v0", [[part(square(5, 5, 30, 30), 0)]])
    ds = make_dataset(folders)
    gc.collect()  # what earlier tests left unclosed is collected outside the recorded window
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        out = ds._read_data(tf.constant(path), False)
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]
    assert len(out) == 4 and out[3] == str(pathlib.Path(folders["val_images"]) / "v0.png")


# --- masks against pycocotools ---------------------------------------------------------------

def star_polygon(rng, size):
    k = int(rng.integers(5, 13))
    angles = (np.arange(k) + rng.uniform(-0.3, 0.3, k)) * 2 * np.pi / k
    radii = rng.uniform(0.2, 0.45, k) * size
    return np.stack([size / 2 + radii * np.cos(angles), size / 2 + radii * np.sin(angles)], 1)


def coco_reference(polygon, size):
    rle = coco_mask.merge(coco_mask.frPyObjects([polygon.ravel().tolist()], size, size))
    return coco_mask.decode(rle).astype(bool), coco_mask.area(rle)


@pytest.mark.parametrize("seed", range(6))
def test_masks_cover_the_pixels_pycocotools_paints(tmp_path, folders, seed):
    # A 64 x 64 image letterboxed to a 512 x 512 mask: boundary pixels weigh little there.
    size, big = 64, 512
    polygon = star_polygon(np.random.default_rng(seed), size)
    path = add_sample(folders, "train", "poly", [[part(polygon / size, 0)]])
    ds = make_dataset(folders, shape=[big, big, 3])
    mask = mask_of(ds, *read(ds, path)[1:]) > 0
    expected, area = coco_reference(polygon * (big / size), big)
    assert np.sum(mask != expected) <= 0.02 * area

    image_file = pathlib.Path(folders["train_images"]) / "poly.png"
    coco_file = tmp_path / "coco.json"
    write_json(coco_file, {"images": [{"file_name": image_file.name, "id": 5}], "categories": [{"id": 4, "name": "x"}],
                           "annotations": [{"image_id": 5, "category_id": 4, "segmentation": [polygon.ravel().tolist()]}]})
    coco = seg.SegmentationDatasetJsonCOCO(str(coco_file), train_images=folders["train_images"], shape=[big, big, 3])
    _, outlines, classes = coco._read_data(np.int64(5))
    mask = coco._build_gt_mask(tf.constant(outlines), tf.constant(classes))
    assert set(np.unique(mask)) == {0, 1}
    assert np.sum((mask > 0) != expected) <= 0.02 * area


# --- augmentation --------------------------------------------------------------------------

GREY = (114, 114, 114)
TRANSFORMS = {
    "HorizontalFlip": (False, 0.5, {}),
    "ShiftScaleRotate": (True, 0.5, dict(shift_limit_x=(-0.5, 0.5), shift_limit_y=(-0.5, 0.5), scale_limit=(-0.3, 1.2),
                                         rotate_limit=(-20, 20), interpolation=4, border_mode=0, value=GREY,
                                         mask_value=None)),
    "ChannelDropout": (False, 0.3, dict(channel_drop_range=(1, 1), fill_value=0)),
    "ChannelShuffle": (False, 0.1, {}),
    "Defocus": (False, 0.05, dict(radius=(3, 10), alias_blur=(0.1, 0.5))),
    "ElasticTransform": (False, 0.2, dict(alpha=1.0, sigma=50.0, alpha_affine=50.0, interpolation=0, border_mode=0,
                                          value=GREY, mask_value=None, approximate=False, same_dxdy=False)),
    "PiecewiseAffine": (False, 0.2, dict(scale=(0.03, 0.05), nb_rows=(4, 4), nb_cols=(4, 4), interpolation=0,
                                         mask_interpolation=0, cval=0, cval_mask=0, mode="constant", absolute_scale=0,
                                         keypoints_threshold=0.01)),
    "RandomSizedCrop": (False, 0.2, dict(min_max_height=(64, 160), height=320, width=256, w2h_ratio=1.0,
                                         interpolation=0)),
}


def flatten(pipeline):
    out = []
    for t in pipeline.transforms:
        out.append([type(c).__name__ for c in t.transforms] if isinstance(t, A.OneOf) else type(t).__name__)
    return out


def check_transform(t):
    always_apply, p, args = TRANSFORMS[type(t).__name__]
    assert (t.always_apply, t.p) == (always_apply, p)
    got = t.get_transform_init_args()
    for key, value in args.items():
        assert got[key] == (pytest.approx(value) if isinstance(value, tuple) else value), key


@pytest.mark.parametrize("coco", [False, True])
def test_pipelines_hold_the_listed_transforms_and_arguments(tmp_path, folders, coco):
    if coco:
        ds = coco_dataset(tmp_path, folders, shape=[320, 256, 3])
        layout = [["HorizontalFlip", "ShiftScaleRotate"], "Defocus", ["ElasticTransform", "PiecewiseAffine"],
                  "RandomSizedCrop"]
    else:
        add_sample(folders, "train", "t0")
        ds = make_dataset(folders, shape=[320, 256, 3])
        layout = [["HorizontalFlip", "ShiftScaleRotate"], "ChannelDropout", "ChannelShuffle", "Defocus",
                  ["ElasticTransform", "PiecewiseAffine"], "RandomSizedCrop"]
    pipeline = ds._augmentation_pipeline
    assert type(pipeline) is A.Compose and flatten(pipeline) == layout
    for t in pipeline.transforms:
        for inner in (t.transforms if isinstance(t, A.OneOf) else [t]):
            check_transform(inner)
        if isinstance(t, A.OneOf):
            assert t.p == 0.5


def test_augmentation_keeps_class_values(dataset):
    image = np.random.default_rng(0).integers(0, 255, (64, 64, 3), dtype=np.uint8)
    mask = np.zeros((64, 64), np.int32)
    mask[10:40, 10:40], mask[45:60, 5:50] = 3, 7
    # PiecewiseAffine clips int32 masks to 0..1 inside albumentations; the classes must survive it.
    dataset._augmentation_pipeline = A.Compose([A.PiecewiseAffine(always_apply=True, p=1.0, scale=(0.03, 0.05),
                                                                  interpolation=0, mask_interpolation=0)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out_image, out_mask = dataset.apply_augmentation(image, mask)
    assert out_image.dtype == np.uint8 and out_mask.dtype == np.int32
    assert set(np.unique(out_mask)) == {0, 3, 7}
    # Elsewhere the detour through uint16 changes nothing.
    dataset._augmentation_pipeline = A.Compose([A.ShiftScaleRotate(always_apply=True, p=1.0, border_mode=0),
                                                A.ElasticTransform(always_apply=True, p=1.0, border_mode=0)])
    random.seed(1), np.random.seed(1)
    ours = dataset.apply_augmentation(image, mask)[1]
    random.seed(1), np.random.seed(1)
    theirs = dataset._augmentation_pipeline(image=image, mask=mask)["mask"]
    np.testing.assert_array_equal(ours, theirs)
    graph_image, graph_mask = dataset.tf_apply_augmentation(tf.constant(image), tf.constant(mask))
    assert (graph_image.dtype, graph_mask.dtype) == (tf.uint8, tf.int32)


# --- iterators -----------------------------------------------------------------------------

def test_training_pass_yields_full_batches_of_static_shape(folders):
    for i in range(5):
        add_sample(folders, "train", "t%d" % i, [[part(square(4 + i, 4, 40, 44), i % 3)]], seed=i)
    ds = make_dataset(folders, num_points=40)
    iterator = ds.build_train_iterator(batch_size=2, prefetch=1)
    assert iterator.element_spec[0].shape.as_list() == [2, 64, 64, 3]
    assert iterator.element_spec[1].shape.as_list() == [2, 64, 64]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        batches = list(iterator)
    assert len(batches) == 2
    for images, masks in batches:
        assert images.dtype == tf.uint8 and masks.dtype == tf.int32
        assert 0 <= masks.numpy().min() and masks.numpy().max() < ds.get_num_segmentation_classes()
    assert list(ds.build_train_iterator(batch_size=6)) == []


def test_validation_yields_unbatched_samples_in_file_order(folders):
    add_sample(folders, "train", "t0")
    for i in range(3):
        add_sample(folders, "val", "v%d" % i, [[part(square(5, 5, 20 + 10 * i, 30), i)]], seed=i)
    ds = make_dataset(folders, num_points=30)
    samples = list(ds.build_val_iterator())
    assert [s[2].numpy().decode() for s in samples] == [
        str(pathlib.Path(folders["val_images"]) / pathlib.Path(p).with_suffix(".png").name) for p in ds.val_storage]
    for (image, mask, _), path in zip(samples, ds.val_storage):
        expected = mask_of(ds, *read(ds, path, False)[1:3])
        assert image.shape == (64, 64, 3) and mask.dtype == tf.int32
        np.testing.assert_array_equal(mask.numpy(), expected)


def test_empty_validation_folder_yields_nothing(dataset):
    assert list(dataset.build_val_iterator()) == []


# --- COCO ----------------------------------------------------------------------------------

def coco_content(folders, images=3):
    for i in range(images):
        write_image(pathlib.Path(folders["train_images"]) / ("c%d.png" % i), seed=i)
    return {
        "images": [{"file_name": "c%d.png" % i, "id": 10 + i} for i in range(images)],
        "categories": [{"id": 0, "name": "objects"}, {"id": 1, "name": "cat"}, {"id": 3, "name": "dog"},
                       {"id": 7, "name": "bird"}],
        "annotations": [
            {"image_id": 10, "category_id": 1, "segmentation": [[2, 2, 30, 2, 30, 30, 2, 30], [40.5, 40, 60, 40, 60, 60]]},
            {"image_id": 11, "category_id": 7, "segmentation": [[2, 2, 60, 2, 60, 60, 2, 60]]},
            {"image_id": 10, "category_id": 3, "segmentation": [[20, 20, 50, 20, 50, 50, 20, 50]]},
        ],
    }


def coco_dataset(tmp_path, folders, content=None, **kw):
    path = tmp_path / "coco.json"
    write_json(path, content if content is not None else coco_content(folders))
    args = dict(train_images=folders["train_images"], shape=list(SHAPE), num_points=60)
    args.update(kw)
    return seg.SegmentationDatasetJsonCOCO(str(path), **args)


def test_coco_indexes_the_training_file(tmp_path, folders, capsys):
    ds = coco_dataset(tmp_path, folders, val_json_file=str(tmp_path / "absent.json"), tasks=["anything"])
    assert "Reading images" in capsys.readouterr().err
    assert ds.labels == ["cat", "dog", "bird"] and ds.get_num_segmentation_classes() == 4
    assert ds.train_storage_images == ["c0.png", "c1.png", "c2.png"] and ds.train_images_id == [10, 11, 12]
    assert ds.get_num_train_samples() == 3 and ds.build_val_iterator() is None and ds.train_storage == []
    assert ds.letterbox is True and ds.tasks == ["anything"]
    records = ds.train_storage_ann[10]
    assert [r["class"] for r in records] == [1, 1, 3]
    for record, raw in zip(records, coco_content(folders)["annotations"][0]["segmentation"] + [
            coco_content(folders)["annotations"][2]["segmentation"][0]]):
        expected = np.array(raw).reshape(-1, 2)
        assert record["polygon"].dtype == expected.dtype and record["polygon"].shape == expected.shape
        np.testing.assert_array_equal(record["polygon"], expected)
    assert list(ds.train_storage_ann) == [10, 11]


def test_coco_paints_category_positions_and_empty_images(tmp_path, folders):
    ds = coco_dataset(tmp_path, folders, num_points=300)
    image, outlines, classes = ds._read_data(np.int64(10))
    assert image.shape == (64, 64, 3) and outlines.shape == (3, 300, 2) and classes.tolist() == [0, 0, 1]
    mask = ds._build_gt_mask(tf.constant(outlines), tf.constant(classes))
    assert mask[10, 10] == 1 and mask[35, 35] == 2 and mask[55, 58] == 1
    _, outlines, classes = ds._read_data(np.int64(11))
    assert classes.tolist() == [2]
    _, outlines, classes = ds._read_data(np.int64(12))  # listed, never annotated
    assert outlines.shape == (0,) and classes.shape == (0,)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        batches = list(ds.build_train_iterator(batch_size=3))
    assert len(batches) == 1
    images, masks = batches[0]
    assert images.shape == (3, 64, 64, 3) and masks.shape == (3, 64, 64)
    assert masks.numpy().max() < ds.get_num_segmentation_classes()


def test_coco_skips_run_length_and_unknown_categories_with_one_notice_each(tmp_path, folders, capsys):
    content = coco_content(folders)
    content["annotations"] += [
        {"image_id": 12, "category_id": 1, "iscrowd": 1, "segmentation": {"counts": [0, 5], "size": [64, 64]}},
        {"image_id": 12, "category_id": 1, "iscrowd": 1, "segmentation": {"counts": "ab", "size": [64, 64]}},
        {"image_id": 12, "category_id": 99, "segmentation": [[1, 1, 9, 1, 9, 9]]},
    ]
    ds = coco_dataset(tmp_path, folders, content)
    out = capsys.readouterr().out.splitlines()
    assert out == ["\t - [WARNING]: 2 annotations with a run-length ``segmentation`` were skipped (only polygons are read)",
                   "\t - [WARNING]: 1 annotations of a category missing from ``categories`` were skipped"]
    assert 12 not in ds.train_storage_ann


@pytest.mark.parametrize("edit,error,message", [
    (lambda c: c.pop("images"), ValueError, "^No training images were found in this dataset$"),
    (lambda c: (c.update(images=[]), c.pop("annotations")), ValueError, "^No training images were found in this dataset$"),
    (lambda c: c.update(annotations=[]), ValueError, "^No training annotations were found in this dataset$"),
    (lambda c: c["annotations"][1].pop("segmentation"), TypeError, "Annotation 1 of .* has no ``segmentation`` list"),
    (lambda c: c["annotations"][2].update(segmentation=[[1, 2, 3]]), ValueError, "Annotation 2 of .*: a polygon"),
])
def test_coco_errors_in_order(tmp_path, folders, edit, error, message):
    content = coco_content(folders)
    edit(content)
    with pytest.raises(error, match=message):
        coco_dataset(tmp_path, folders, content)


@pytest.mark.parametrize("path", [None, "", "absent.json"])
def test_coco_missing_training_file(tmp_path, path):
    with pytest.raises(FileNotFoundError) as info:
        seg.SegmentationDatasetJsonCOCO(path, shape=SHAPE)
    assert str(info.value) == "Annotation file for training was not found in the given location: {}".format(path)


def test_coco_type_rule(tmp_path):
    with pytest.raises(TypeError, match=r"^Argument 'tasks' has incorrect type \(expected list, got tuple\)$"):
        seg.SegmentationDatasetJsonCOCO("x.json", shape=SHAPE, tasks=("segment",))
    with pytest.raises(TypeError, match=r"^Argument 'train_images' has incorrect type \(expected str, got int\)$"):
        seg.SegmentationDatasetJsonCOCO("x.json", train_images=1, shape=(1,))


# --- sizes, paths and images from real data --------------------------------------------------

@pytest.mark.parametrize("num_points", [2 ** 61, 2 ** 63 - 1, 2 ** 64, 10 ** 30])
def test_impossible_point_counts_are_one_clear_error(tmp_path, folders, num_points):
    path = add_sample(folders, "train", "big", [[part(square(5, 5, 30, 30), 0)], [part(square(9, 9, 40, 40), 1)]])
    ds = make_dataset(folders, num_points=num_points)
    message = "^num_points is too large: 2 outline\\(s\\) of {} points each would not fit in memory".format(num_points)
    with pytest.raises(ValueError, match=message):
        ds._read_data(tf.constant(path))
    coco = coco_dataset(tmp_path, folders, num_points=num_points)
    with pytest.raises(ValueError, match="^num_points is too large: 3 outline"):
        coco._read_data(np.int64(10))


@pytest.mark.parametrize("num_points,error", [(0, ValueError), (-1, ValueError), (2.5, TypeError), ("300", TypeError)])
def test_point_counts_that_are_not_counts(folders, num_points, error):
    path = add_sample(folders, "train", "n", [[part(square(5, 5, 30, 30), 0)]])
    with pytest.raises(error):
        make_dataset(folders, num_points=num_points)._read_data(tf.constant(path))


def test_an_integer_is_no_annotation_path_and_its_descriptor_is_left_alone(tmp_path, dataset):
    other = tmp_path / "other.json"
    other.write_text(json.dumps({"image": "t0.png"}))
    descriptor = os.open(other, os.O_RDONLY)
    try:
        for value in (descriptor, np.int64(descriptor), tf.constant(descriptor)):
            with pytest.raises(TypeError, match="annotation_file must be a path \\(str or bytes\\), got "):
                dataset._read_data(value)
        assert os.read(descriptor, 1) == b"{"  # still open, nothing read from it
    finally:
        os.close(descriptor)


def test_a_null_byte_in_a_path_is_refused_as_open_refuses_it(tmp_path, folders, dataset):
    bad = folders["train_images"] + "\0x"
    with pytest.raises(ValueError, match="null byte"):
        dataset.validate_path(bad)
    with pytest.raises(ValueError, match="null byte"):
        make_dataset(folders, val_annotations=bad)
    with pytest.raises(ValueError, match="null byte"):
        dataset._read_data(tf.constant(b"a\0.json"))
    description = valid_description(folders)
    description["validation"]["images"] = bad
    with pytest.raises(ValueError, match="null byte"):
        yaml_dataset(tmp_path, description)
    with pytest.raises(ValueError, match="null byte"):
        seg.SegmentationDatasetJsonCOCO(str(tmp_path / "coco.json") + "\0", shape=SHAPE)


def write_grey16(path, values):
    Image.fromarray(values.astype(np.uint16)).save(path)
    with Image.open(path) as image:
        assert image.mode == "I;16"


def test_sixteen_bit_grey_images_are_scaled_to_eight_bits(tmp_path, folders):
    values = (np.arange(64 * 64).reshape(64, 64) * 16) % 65536
    path = add_sample(folders, "train", "g16", [[part(square(5, 5, 30, 30), 0)]])
    write_grey16(pathlib.Path(folders["train_images"]) / "g16.png", values)
    ds = make_dataset(folders, letter_box=False)
    image = read(ds, path)[0]
    np.testing.assert_array_equal(image, np.repeat((values >> 8)[..., None], 3, axis=2).astype(np.uint8))

    write_grey16(pathlib.Path(folders["train_images"]) / "c0.png", values)
    coco_file = tmp_path / "coco.json"
    write_json(coco_file, {"images": [{"file_name": "c0.png", "id": 1}], "categories": [{"id": 1, "name": "x"}],
                           "annotations": [{"image_id": 1, "category_id": 1, "segmentation": [[1, 1, 9, 1, 9, 9]]}]})
    coco = seg.SegmentationDatasetJsonCOCO(str(coco_file), train_images=folders["train_images"], shape=list(SHAPE),
                                           letter_box=False)
    np.testing.assert_array_equal(coco._read_data(np.int64(1))[0], image)


def test_an_image_of_extreme_aspect_still_fits(folders):
    path = add_sample(folders, "train", "thin", [[part([[0.1, 0.0], [0.9, 0.0], [0.9, 1.0]], 0)]], height=1, width=900)
    ds = make_dataset(folders, num_points=10)
    image, outlines, classes = read(ds, path)
    assert image.shape == (64, 64, 3) and outlines.shape == (1, 10, 2) and classes.tolist() == [0]


def test_mask_colours_are_python_int_of_each_class_plus_one(dataset):
    outlines = np.array([square(0, 0, 63, 63)], np.float32) * 64
    mask = dataset._build_gt_mask(tf.constant(outlines), tf.constant([1.75], tf.float32))
    assert set(np.unique(mask)) == {2}  # int(2.75)


@pytest.mark.parametrize("edit,match", [
    (lambda c: c["images"][1].pop("file_name"), r"images\[1\] has no ``file_name``"),
    (lambda c: c["images"][2].update(file_name=None), r"images\[2\] has no ``file_name``"),
    (lambda c: c["images"][0].update(file_name=7), r"images\[0\]: ``file_name`` is not a file name"),
    (lambda c: c["images"][1].pop("id"), r"images\[1\] has no ``id``"),
    (lambda c: c["images"][1].update(id=[11]), r"images\[1\]: ``id`` must be a number or a string"),
    (lambda c: c["images"].append("c9.png"), r"images\[3\] is not a JSON object"),
    (lambda c: c.update(images={"file_name": "c0.png"}), r"``images`` is not a list"),
    (lambda c: c.update(categories=[{"id": 1}, 5]), r"categories\[1\] is not a JSON object"),
    (lambda c: c["categories"][1].update(id={"a": 1}), r"categories\[1\]: ``id`` must be a number or a string"),
    (lambda c: c["annotations"][0].update(image_id=[10]), r"Annotation 0 of .*: ``image_id`` must be"),
    (lambda c: c["annotations"][0]["segmentation"].append(["1", "2", "3", "4"]), r"Annotation 0 of .*not numbers"),
])
def test_coco_entries_that_could_never_be_served_are_refused_at_construction(tmp_path, folders, edit, match):
    content = coco_content(folders)
    edit(content)
    with pytest.raises(ValueError, match=match) as info:
        coco_dataset(tmp_path, folders, content)
    assert str(tmp_path / "coco.json") in str(info.value)


def test_coco_segmentation_of_another_type_is_named(tmp_path, folders):
    content = coco_content(folders)
    content["annotations"][2]["segmentation"] = 5
    with pytest.raises(TypeError, match="Annotation 2 of .* has no ``segmentation`` list"):
        coco_dataset(tmp_path, folders, content)


PUBLIC = [(name, method) for name, methods in METHODS.items() for method in methods
          if not method.startswith("_") or method in ("_read_data", "_build_gt_mask")]


@pytest.mark.parametrize("cls,method", PUBLIC, ids=[c + "." + m for c, m in PUBLIC])
def test_methods_document_their_arguments_and_results(cls, method):
    value = vars(getattr(seg, cls))[method]
    doc = getattr(value, "python_function", value).__doc__
    assert doc and doc.strip()
    params = [p for p in _signature(getattr(seg, cls), method).parameters if p != "self"]
    if method == "__init__":
        doc = getattr(seg, cls).__doc__
    for name in params:
        assert "    %s" % name in doc.split("Args:")[1], name
    if method != "__init__":
        assert "Returns:" in doc


@pytest.mark.parametrize("point", [[0.5, -1e6], [3e5, 0.5], [-2.0 ** 64, 0.1]])
def test_outlines_far_outside_the_image_are_refused(folders, point):
    # Painting walks every row from the topmost point: billions of rows would take minutes.
    path = add_sample(folders, "train", "far", [[part([[0.1, 0.1], point, [0.5, 0.5]], 0)]])
    with pytest.raises(ValueError, match=r"segment\[0\]\[0\]: the outline reaches more than 16777216 pixels"):
        make_dataset(folders)._read_data(tf.constant(path))


@pytest.mark.parametrize("shape,match", [
    ([0, 0, 3], "sides from 1"), ([-5, 32, 3], "sides from 1"), ([2 ** 64, 32, 3], "sides from 1"),
    ([32.5, 32, 3], "integers"), ([True, 32, 3], "integers"), ([32], r"\[height, width, channels\]"),
    ([32, 32, 1], "3 channels"), ([2 ** 31 - 1, 2 ** 31 - 1, 3], "would not fit in memory"),
    ([4, 64, 3], "too small for the training augmentation"), ([100, 40, 3], "too small"),
])
def test_shapes_that_cannot_be_served_are_refused_at_construction(tmp_path, dataset, folders, shape, match):
    with pytest.raises(ValueError, match=match):
        make_dataset(folders, shape=shape)
    with pytest.raises(ValueError, match=match):
        coco_dataset(tmp_path, folders, shape=shape)


@pytest.mark.parametrize("cls,match", [
    (1.5, "is not a whole number"), (True, "is not a whole number"), ("1", "is not a whole number"),
    (float("inf"), "is not a whole number"), (2 ** 64, "class 18446744073709551616 is not an index"),
])
def test_classes_that_are_not_label_indices_name_the_part(folders, cls, match):
    path = add_sample(folders, "train", "cls", [[part(square(5, 5, 30, 30), 0)], [part(square(5, 5, 30, 30), cls)]])
    with pytest.raises(ValueError, match=r"segment\[1\]\[0\]: .*" + match):
        make_dataset(folders)._read_data(tf.constant(path))


def test_integral_float_classes_are_read_as_their_integer(folders):
    path = add_sample(folders, "train", "cls", [[part(square(5, 5, 30, 30), 2.0)]])
    assert read(make_dataset(folders), path)[2].tolist() == [2]


@pytest.mark.parametrize("content,error,match", [
    ("{\"image\": ", "JSONDecodeError", "is not valid JSON: Expecting value"),
    (b"\xff\xfe{}", "ValueError", "is not UTF-8 text"),
    ("[" * 100000 + "]" * 100000, "ValueError", "nests JSON values too deeply"),
])
def test_unreadable_json_names_the_file(tmp_path, folders, content, error, match):
    path = pathlib.Path(add_sample(folders, "train", "bad"))
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    ds = make_dataset(folders)
    with pytest.raises(ValueError, match=match) as info:
        ds._read_data(tf.constant(str(path)))
    assert type(info.value).__name__ == error and str(path) in str(info.value)
    coco_file = tmp_path / "coco.json"
    coco_file.write_bytes(path.read_bytes())
    with pytest.raises(ValueError, match=match):
        seg.SegmentationDatasetJsonCOCO(str(coco_file), shape=SHAPE)


@pytest.mark.parametrize("name,match", [(5, "is not a file name"), ("\ud800.png", "cannot name a file")])
def test_image_names_that_name_no_file(tmp_path, folders, name, match):
    path = add_sample(folders, "train", "named")
    write_json(path, {"image": name})
    with pytest.raises(ValueError, match="``image`` " + match):
        make_dataset(folders)._read_data(tf.constant(path))
    content = coco_content(folders)
    content["images"][1]["file_name"] = name
    with pytest.raises(ValueError, match=r"images\[1\]: ``file_name`` " + match):
        coco_dataset(tmp_path, folders, content)


# Plain annotation files are parsed natively; anything unusual goes through json.load. Both
# must read the same values: each text below is read once as it is and once with a non-ASCII
# key added, which sends it to json.load.
TRICKY_NUMBERS = "[[0.30000000000000004, 1e-3], [123E-2, 0.1234567890123456789012345], [7, -0.0], [0E0, 5e-324]]"
PLAIN_TEXTS = [
    '{"image": "p.png", "segment": [[{"polygon": %s, "class": 1}]]}' % TRICKY_NUMBERS,
    '{"segment":[[{"class":2.0,"polygon":[[0.1,0.1],[0.9,0.2],[0.5,0.8]]}],[]],"image":"x/y/p.png","size":[1,{"a":null}]}',
    ' {\n\t"image" : "p.png" ,\r\n "segment" : [ [ { "polygon" : [ [ 1 , 0 ] , [ 0 , 1 ] , [ 1 , 1 ] ] , "class" : 0 , '
    '"extra" : [true, false, null, "s", -12.5e+3] } ] ] } \n',
    '{"image": "p.png", "image": "p.png", "segment": [[{"polygon": [[0.1, 0.1], [0.9, 0.2], [0.5, 0.8]], "class": 9}]],'
    ' "segment": [[{"polygon": [[0.2, 0.1], [0.9, 0.2], [0.5, 0.8]], "class": 1}]]}',
    '{"image": "p.png", "segment": [[{"polygon": [[0.1, 0.1], [0.9, 0.2]], "class": 1}, '
    '{"polygon": [[0.1, 0.1], [0.9, 0.2], [0.5, 0.8], [0.2, 0.7]], "class": 0}]]}',
]


@pytest.mark.parametrize("text", PLAIN_TEXTS, ids=range(len(PLAIN_TEXTS)))
@pytest.mark.parametrize("train", [True, False])
def test_native_reading_gives_what_json_load_gives(folders, text, train):
    split = "train" if train else "val"
    write_image(pathlib.Path(folders[split + "_images"]) / "p.png", 40, 56, seed=3)
    add_sample(folders, "train", "t0")
    plain = pathlib.Path(folders[split + "_annotations"]) / "plain.json"
    plain.write_text(text)
    routed = pathlib.Path(folders[split + "_annotations"]) / "routed.json"
    routed.write_text(text.replace("{", '{"n\u00f6te": 0, ', 1), encoding="utf-8")
    assert json.loads(routed.read_text(encoding="utf-8")).pop("n\u00f6te") == 0
    ds = make_dataset(folders, num_points=50)
    ours, theirs = read(ds, str(plain), train), read(ds, str(routed), train)
    assert len(ours) == len(theirs) == (3 if train else 4)
    for a, b in zip(ours, theirs):
        np.testing.assert_array_equal(a, b)
        assert getattr(a, "dtype", None) == getattr(b, "dtype", None)


@pytest.mark.parametrize("value", ["10" * 200, '"0.5"'])
def test_coordinates_that_are_not_numbers_in_float_range(folders, value):
    path = pathlib.Path(add_sample(folders, "train", "big"))
    path.write_text('{"image": "big.png", "segment": [[{"polygon": [[0.1, 0.1], [%s, 0.5], [0.5, 0.5]], '
                    '"class": 0}]]}' % value)
    with pytest.raises(ValueError, match=r"segment\[0\]\[0\]: the outline's points are not numbers"):
        make_dataset(folders)._read_data(tf.constant(str(path)))


def test_training_iterator_runs_without_autotuning(dataset):
    """With autotuning on, whole passes could run one call at a time on two cores."""
    iterator = dataset.build_train_iterator(batch_size=1)
    assert iterator.options().autotune.enabled is False
    assert len(list(iterator)) == 1
