"""Head-attitude datasets: pairing, MATLAB and JSON annotations, samples, iterators, YAML."""
import gc
import inspect
import json
import os
import re
import subprocess
import sys
import warnings

import cv2
import numpy as np
import pytest
import scipy.io as sio
import tensorflow as tf
import yaml
from PIL import Image, ImageFilter

from vireo.quillon.datasets import attitude as A

SHAPE = [20, 24, 3]


# --- data builders ---------------------------------------------------------------------

def pattern(w, h):
    """An RGB image whose pixels encode their column and row (R = x % 256, G = y, B = x // 256)."""
    y, x = np.mgrid[0:h, 0:w]
    return np.stack([x % 256, y % 256, x // 256], axis=-1).astype(np.uint8)


def save_image(path, w=24, h=20, mode="RGB", array=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    img = Image.fromarray(pattern(w, h) if array is None else array)
    img.convert(mode).save(path)
    return path


def save_mat(path, pose=(1.5, -2.25, 3.0, 0.1, 0.2, 0.3, 0.4), **savemat_args):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pose = np.asarray(pose, dtype=np.float64)
    sio.savemat(path, {"Pose_Para": pose if pose.ndim == 1 else pose, "pt2d": np.arange(136.0).reshape(2, 68)},
                **savemat_args)
    return path


def save_json(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        json.dump(content, f)
    return path


def folders(root):
    return {k: str(root / k) for k in ("ti", "ta", "vi", "va")}


def mat_split(root, count=3, val_count=2):
    """A MATLAB-annotated dataset whose sample i has the angles (i, 10 + i, 20 + i)."""
    f = folders(root)
    for split, n in (("t", count), ("v", val_count)):
        os.makedirs(f[split + "i"], exist_ok=True)
        os.makedirs(f[split + "a"], exist_ok=True)
        for i in range(n):
            save_image(os.path.join(f[split + "i"], "s%d.png" % i))
            save_mat(os.path.join(f[split + "a"], "s%d.mat" % i), pose=[[i, 10 + i, 20 + i, 99, 99, 99, 99]])
    return f


def json_split(root, records, val_records=None, size=(24, 20)):
    """A JSON-annotated dataset: one image and one record per entry of `records`."""
    f = folders(root)
    for split, recs in (("t", records), ("v", val_records or records[:1])):
        os.makedirs(f[split + "i"], exist_ok=True)
        os.makedirs(f[split + "a"], exist_ok=True)
        for i, rec in enumerate(recs):
            save_image(os.path.join(f[split + "i"], "s%d.png" % i), *size)
            save_json(os.path.join(f[split + "a"], "s%d.json" % i), rec)
    return f


def make(cls, f, shape=SHAPE, **kw):
    return cls(shape, f["ti"], f["ta"], f["vi"], f["va"], **kw)


def element(storage_entry):
    """A storage entry as the pipeline hands it to `_load_instance`: an array of byte strings."""
    return np.array([p.encode() for p in storage_entry], dtype=object)


def collect(iterator):
    return [tuple(t.numpy() for t in batch) for batch in iterator]


# --- module surface --------------------------------------------------------------------

def test_load_order_and_single_export():
    code = (
        "import sys, vireo\n"
        "seen = []\n"
        "class Rec:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        seen.append(name)\n"
        "sys.meta_path.insert(0, Rec())\n"
        "import vireo.quillon.datasets.attitude\n"
        "print(','.join(seen))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")).stdout.strip().splitlines()[-1]
    seen = out.split(",")
    wanted = ["vireo.quillon.datasets.utils", "PIL.Image", "PIL.ImageFilter", "tensorflow", "scipy.io"]
    assert [seen.index(n) for n in wanted] == sorted(seen.index(n) for n in wanted)
    assert "yaml" not in seen and "vireo.quillon.reporting" not in seen
    symbols = subprocess.run(["nm", "-D", "--defined-only", A.__file__], capture_output=True, text=True,
                             check=True).stdout.splitlines()
    assert [line.split()[-1] for line in symbols if line.strip()] == ["PyInit_attitude"]


@pytest.mark.parametrize("cls, names", [
    (A.AttitudeDataset, ["__init__", "read_annotations", "tf_load_instance", "_load_instance", "tf_augment",
                         "_augment", "build_train_iterator", "build_val_iterator", "get_num_train_samples"]),
    (A.AttitudeDatasetYaml, ["__init__", "get_num_train_samples"]),
    (A.AttitudeAndDetectDataset, ["__init__", "get_num_train_samples", "get_classes", "tf_load_instance",
                                  "_load_instance", "tf_augment", "_augment", "build_train_iterator"]),
    (A.AttitudeDatasetJson, ["__init__", "_load_instance"]),
    (A.AttitudeAndDetectDatasetYaml, ["__init__"]),
    (A.AttitudeDatasetJsonYaml, ["__init__"]),
])
def test_methods_in_order_and_only_tf_load_instance_wrapped(cls, names):
    own = [k for k, v in vars(cls).items() if callable(v) or hasattr(v, "python_function")]
    assert own == names
    for name in names:
        wrapped = hasattr(vars(cls)[name], "python_function")
        assert wrapped == (name == "tf_load_instance"), name


@pytest.mark.parametrize("fn, text", [
    (A.AttitudeDataset.__init__, "(self, shape: list = None, train_images: str = None, train_annotations: str = None, "
     "val_images: str = None, val_annotations: str = None, num_bins: int = 66, file_extension: str = 'mat')"),
    (A.AttitudeDataset.read_annotations, "(self, annotations_path: str = None)"),
    (A.AttitudeDataset.tf_augment, "(self, image: tensorflow.python.framework.tensor.Tensor, "
     "angles: tensorflow.python.framework.tensor.Tensor)"),
    (A.AttitudeDataset.build_train_iterator, "(self, batch_size: int, prefetch: int = 10)"),
    (A.AttitudeDataset.build_val_iterator, "(self, batch_size: int = 1, prefetch: int = 10)"),
    (A.AttitudeDatasetYaml.__init__, "(self, shape: list = None, info_file: str = None, num_bins: int = 3)"),
    (A.AttitudeAndDetectDataset.__init__, "(self, shape: list = None, train_images: str = None, "
     "train_annotations: str = None, val_images: str = None, val_annotations: str = None, classes: list = None, "
     "add_bkg_class: bool = True)"),
    (A.AttitudeAndDetectDataset._augment, "(self, image: tensorflow.python.framework.tensor.Tensor, "
     "bboxes: tensorflow.python.framework.tensor.Tensor = None, angles: tensorflow.python.framework.tensor.Tensor = None)"),
    (A.AttitudeDatasetJson.__init__, "(self, shape: list = None, train_images: str = None, train_annotations: str = None, "
     "val_images: str = None, val_annotations: str = None)"),
    (A.AttitudeAndDetectDatasetYaml.__init__, "(self, shape: list = None, info_file: str = None, add_bkg_class: bool = True)"),
    (A.AttitudeDatasetJsonYaml.__init__, "(self, shape: list = None, info_file: str = None)"),
])
def test_signatures(fn, text):
    assert str(inspect.signature(fn)) == text


def test_docstrings():
    doc = A.AttitudeDataset.__doc__
    for word in ("shape", "train_images", "train_annotations", "val_images", "val_annotations", "file_extension",
                 "FileNotFoundError", "ValueError"):
        assert word in doc
    assert "num_bins" not in doc
    detect = A.AttitudeAndDetectDataset.__doc__
    assert "detection plus attitude" in detect and "box" in detect and detect.count(". ") == 1
    for cls in (A.AttitudeDatasetYaml, A.AttitudeDatasetJson, A.AttitudeAndDetectDatasetYaml, A.AttitudeDatasetJsonYaml):
        assert vars(cls).get("__doc__") is None


@pytest.mark.parametrize("kwargs, name, got", [
    (dict(shape=(20, 24, 3), train_images=b"x"), "shape", "tuple"),
    (dict(shape=None, train_images=b"x", val_images=1), "train_images", "bytes"),
    (dict(val_annotations=["x"], file_extension=1), "val_annotations", "list"),
    (dict(file_extension=b"mat"), "file_extension", "bytes"),
])
def test_argument_type_rule_in_signature_order(kwargs, name, got):
    expected = "str" if name != "shape" else "list"
    with pytest.raises(TypeError, match=r"^Argument '%s' has incorrect type \(expected %s, got %s\)$" % (name, expected, got)):
        A.AttitudeDataset(**kwargs)


# --- pairing ---------------------------------------------------------------------------

def test_pairing_extensions_groups_and_last_extension(tmp_path):
    f = folders(tmp_path)
    names = ["c.jpeg", "b.Jpg", "A.PNG", "z.png", "a.jpg", "face.001.png", "d.gif", "e.bmp", "f.tif", "G.JPEG"]
    for name in names:
        save_image(os.path.join(f["ti"], name))
        stem = name.rsplit(".", 1)[0]
        save_mat(os.path.join(f["ta"], stem + ".mat"))
    save_image(os.path.join(f["vi"], "v.png"))
    save_mat(os.path.join(f["va"], "v.mat"))
    ds = make(A.AttitudeDataset, f)
    found = [os.path.basename(img) for img, _ in ds.train_storage]
    groups = [os.path.splitext(n)[1].lower() for n in found]
    assert groups == [".png"] * 3 + [".jpg"] * 2 + [".jpeg"] * 2
    assert sorted(found) == sorted(n for n in names if not n.endswith((".gif", ".bmp", ".tif")))
    pairs = dict((os.path.basename(i), a) for i, a in ds.train_storage)
    assert pairs["face.001.png"] == os.path.join(f["ta"], "face.001.mat")
    assert all(type(e) is list and len(e) == 2 for e in ds.train_storage)
    assert ds.get_num_train_samples() == 7


def test_missing_annotations_are_printed_and_skipped(tmp_path, capsys):
    f = mat_split(tmp_path, count=3)
    for i in range(3, 10):
        save_image(os.path.join(f["ti"], "lone%d.png" % i))
    ds = make(A.AttitudeDataset, f)
    lines = capsys.readouterr().out.splitlines()
    assert sorted(lines) == sorted("Missing annotation file: lone%d" % i for i in range(3, 10))
    assert ds.get_num_train_samples() == 3 and len(ds.val_storage) == 2


@pytest.mark.parametrize("empty", ["train", "validation"])
def test_empty_split_raises(tmp_path, empty):
    f = mat_split(tmp_path)
    folder = f["ta"] if empty == "train" else f["vi"]
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    with pytest.raises(ValueError, match="^Training dataset must have at least 1 element$"):
        make(A.AttitudeDataset, f)


@pytest.mark.parametrize("missing, message", [
    ("ti", "Path to the training images does not exist in this system: {}"),
    ("ta", "Path to the training annotations does not exist in this system: {}"),
])
def test_missing_training_folder_is_reported(tmp_path, monkeypatch, missing, message):
    f = mat_split(tmp_path)
    f[missing] = str(tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError) as info:
        make(A.AttitudeDataset, f)
    assert str(info.value) == message.format(f[missing])
    # A reporter that returns lets construction go on; it then finds no pair.
    import vireo.quillon.reporting as reporting
    reports = []
    monkeypatch.setattr(reporting, "flow_inspection", reports.append)
    with pytest.raises(ValueError, match="at least 1 element"):
        make(A.AttitudeDataset, f)
    assert reports == [message.format(f[missing])]


def test_none_training_folder_is_a_type_error(tmp_path):
    f = mat_split(tmp_path)
    with pytest.raises(TypeError):
        A.AttitudeDataset(SHAPE, None, f["ta"], f["vi"], f["va"])


# --- MATLAB annotations ----------------------------------------------------------------

@pytest.mark.parametrize("pose, savemat_args", [
    ([[1.5, -2.25, 3.0, 0.1, 0.2, 0.3, 0.4]], {}),                     # 300W-LP: Pose_Para 1x7
    ([[1.5, -2.25, 3.0, 0.1, 0.2, 0.3, 0.4]], {"oned_as": "column"}),  # 2-D arrays keep their shape
    ([1.5, -2.25, 3.0, 0.1, 0.2, 0.3, 0.4], {}),                       # a vector is stored as a row
    ([1.5, -2.25, 3.0, 0.1, 0.2, 0.3, 0.4], {"oned_as": "column"}),    # ... or as a 7x1 column
    ([[1.5, -2.25, 3.0]], {"format": "4"}),
])
def test_read_annotations(tmp_path, pose, savemat_args):
    f = mat_split(tmp_path, count=1, val_count=1)
    path = save_mat(str(tmp_path / "p.mat"), pose=pose, **savemat_args)
    pose_params, pt2d = make(A.AttitudeDataset, f).read_annotations(path)
    assert pose_params.dtype == np.float32 and pose_params.tolist() == [1.5, -2.25, 3.0]
    assert pt2d.dtype == np.float32 and pt2d.shape == (2, 68) and pt2d[1, 0] == 68


def test_read_annotations_errors(tmp_path):
    ds = make(A.AttitudeDataset, mat_split(tmp_path, count=1, val_count=1))
    short = save_mat(str(tmp_path / "short.mat"), pose=[[1.0, 2.0]])
    with pytest.raises(ValueError, match="Pose_Para in .*short.mat must hold pitch, yaw and roll"):
        ds.read_annotations(short)
    sio.savemat(str(tmp_path / "nopose.mat"), {"pt2d": np.zeros((2, 68))})
    with pytest.raises(KeyError):
        ds.read_annotations(str(tmp_path / "nopose.mat"))
    with pytest.raises(TypeError, match="Argument 'annotations_path' has incorrect type"):
        ds.read_annotations(short.encode())


# --- AttitudeDataset samples and iterators ---------------------------------------------

def test_training_batches(tmp_path):
    f = mat_split(tmp_path, count=10)
    for mode, name in (("L", "gray.png"), ("RGBA", "rgba.png")):
        save_image(os.path.join(f["ti"], name), 64, 48, mode=mode)
        save_mat(os.path.join(f["ta"], os.path.splitext(name)[0] + ".mat"), pose=[[7, 8, 9]])
    os.remove(os.path.join(f["ti"], "s9.png"))
    os.remove(os.path.join(f["ti"], "s8.png"))
    ds = make(A.AttitudeDataset, f)
    it = ds.build_train_iterator(4)
    passes = [collect(it), collect(it)]
    orders = []
    for batches in passes:
        assert [b[0].shape for b in batches] == [(4, 20, 24, 3), (4, 20, 24, 3), (2, 20, 24, 3)]
        assert all(b[0].dtype == np.uint8 and b[1].dtype == np.float32 for b in batches)
        angles = np.concatenate([b[1] for b in batches])
        orders.append(angles[:, 0].tolist())
        expected = [[i, 10 + i, 20 + i] for i in range(8)] + [[7, 8, 9]] * 2
        assert sorted(angles.tolist()) == sorted(expected)
    assert orders[0] != orders[1]


def test_load_instance_blur_rate_and_stretch(tmp_path):
    f = mat_split(tmp_path, count=1, val_count=1)
    noise = np.random.default_rng(0).integers(0, 256, (48, 64, 3), dtype=np.uint8)
    save_image(os.path.join(f["ti"], "s0.png"), array=noise)
    ds = make(A.AttitudeDataset, f)
    data = element(ds.train_storage[0])
    source = Image.open(ds.train_storage[0][0]).convert("RGB")
    sharp = cv2.resize(np.asarray(source), (24, 20))
    blurred = cv2.resize(np.asarray(source.filter(ImageFilter.BLUR)), (24, 20))
    assert not np.array_equal(sharp, blurred)
    np.random.seed(5)
    expected = np.random.random_sample(400) < 0.05
    np.random.seed(5)
    got = []
    for _ in range(400):
        img, angles = ds._load_instance(data)
        assert img.shape == (20, 24, 3) and img.dtype == np.uint8
        assert angles.tolist() == [0, 10, 20]
        assert np.array_equal(img, blurred) or np.array_equal(img, sharp)
        got.append(np.array_equal(img, blurred))
    assert got == expected.tolist() and 8 <= sum(got) <= 35


def test_augment_and_val_iterator(tmp_path):
    f = mat_split(tmp_path, count=2, val_count=3)
    ds = make(A.AttitudeDataset, f)
    image, angles = np.zeros((2, 2, 3), np.uint8), np.ones(3, np.float32)
    out = ds._augment(image, angles)
    assert out[0] is image and out[1] is angles
    a, b = ds.build_val_iterator(32, 5), ds.build_val_iterator()
    assert a.element_spec == tf.TensorSpec([2], tf.string)
    assert [e.numpy().tolist() for e in a] == [e.numpy().tolist() for e in b] == [
        [p.encode() for p in e] for e in ds.val_storage]


@pytest.mark.parametrize("missing, message", [
    ("vi", "Path to the validation images does not exist in this system: {}"),
    ("va", "Path to the validation annotations does not exist in this system: {}"),
])
def test_val_iterator_missing_folder(tmp_path, missing, message):
    f = mat_split(tmp_path, count=2)
    ds = make(A.AttitudeDataset, f)
    os.rename(f[missing], f[missing] + ".gone")
    with pytest.raises(FileNotFoundError) as info:
        ds.build_val_iterator()
    assert str(info.value) == message.format(f[missing])
    assert sum(b[0].shape[0] for b in collect(ds.build_train_iterator(2))) == 2


def test_broken_sample_reaches_the_consumer(tmp_path):
    f = mat_split(tmp_path, count=1, val_count=1)
    sio.savemat(os.path.join(f["ta"], "s0.mat"), {"pt2d": np.zeros((2, 68))})
    with pytest.raises(tf.errors.OpError, match="Pose_Para"):
        collect(make(A.AttitudeDataset, f).build_train_iterator(1))


# --- AttitudeDatasetJson: first face crop ------------------------------------------------

def crop_dataset(tmp_path, record, size, shape):
    """A one-sample JSON crop dataset over a noise image (so every crop and blur is told apart)."""
    f = json_split(tmp_path, [record], size=size)
    source = np.random.default_rng(1).integers(0, 256, (size[1], size[0], 3), dtype=np.uint8)
    save_image(os.path.join(f["ti"], "s0.png"), array=source)
    ds = make(A.AttitudeDatasetJson, f, shape=shape)
    return ds, element(ds.train_storage[0]), source


def draws(seed, count, per_sample=2):
    np.random.seed(seed)
    values = np.random.random_sample(count * per_sample).reshape(count, per_sample)
    np.random.seed(seed)
    return values


def test_json_crop_example_mirror_rate_and_angles(tmp_path):
    record = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0], [0.1, 0.1, 0.1, 0.1, 0], [0.9, 0.9, 0.1, 0.1, 0]],
              "angles": [[10, 20, 30], [1, 2, 3], [4, 5, 6]]}
    ds, data, source = crop_dataset(tmp_path, record, (400, 200), [100, 200, 3])
    crop = source[50:150, 100:300]
    blurred = np.asarray(Image.fromarray(source).filter(ImageFilter.BLUR))[50:150, 100:300]
    assert ds.train_storage[0][1].endswith("s0.json")
    rnd = draws(11, 300)
    mirrored = blurs = 0
    for blur, mirror in rnd:
        img, angles = ds._load_instance(data)
        assert img.shape == (100, 200, 3) and img.dtype == np.uint8 and angles.dtype == np.float32
        want = blurred if blur < 0.05 else crop
        if mirror < 0.5:
            want = want[:, ::-1]
        assert np.array_equal(img, want)
        assert angles.tolist() == ([10, -20, -30] if mirror < 0.5 else [10, 20, 30])
        mirrored += mirror < 0.5
        blurs += blur < 0.05
    assert 120 <= mirrored <= 180 and 5 <= blurs <= 30


@pytest.mark.parametrize("box, cols, rows", [
    ([0.125, 0.5, 0.5, 1.0, 0], (0, 24), (0, 20)),      # past the left edge: x1 = -8, clipped to 0
    ([0.9375, 0.5, 0.5, 1.0, 0], (44, 64), (0, 20)),    # past the right edge stops at it
    ([0.5, 0.0, 0.25, 0.5, 0], (24, 40), (0, 5)),       # past the top edge
    ([0.5, 0.5, 0.4, 0.5, 0], (19, 44), (5, 15)),       # corners 19.2 and 44.8 truncate to 19 and 44
])
def test_json_crop_is_clipped_to_the_image(tmp_path, box, cols, rows):
    shape = [rows[1] - rows[0], cols[1] - cols[0], 3]
    ds, data, source = crop_dataset(tmp_path, {"boxes": [box], "angles": [[1, 2, 3]]}, (64, 20), shape)
    rnd = draws(3, 1)[0]
    img, _ = ds._load_instance(data)
    want = source[rows[0]:rows[1], cols[0]:cols[1]]
    if rnd[0] < 0.05:
        want = np.asarray(Image.fromarray(source).filter(ImageFilter.BLUR))[rows[0]:rows[1], cols[0]:cols[1]]
    assert np.array_equal(img, want[:, ::-1] if rnd[1] < 0.5 else want)


@pytest.mark.parametrize("box", [[-0.5, 0.5, 0.2, 0.2, 0], [0.5, 0.5, 0.0, 0.5, 0], [0.5, 1.5, 0.2, 0.2, 0]])
def test_json_crop_selecting_no_pixel_names_the_file(tmp_path, box):
    ds, data, _ = crop_dataset(tmp_path, {"boxes": [box], "angles": [[1, 2, 3]]}, (64, 20), [8, 8, 3])
    with pytest.raises(ValueError, match=r"first face box in .*s0\.json selects no pixel"):
        ds._load_instance(data)
    with pytest.raises(tf.errors.OpError, match="selects no pixel"):
        collect(ds.build_train_iterator(1))


def test_json_without_boxes_returns_whole_image(tmp_path):
    ds, data, source = crop_dataset(tmp_path, {"boxes": [], "angles": [[5, 6, 7]]}, (48, 40), [20, 24, 3])
    for blur in draws(2, 50, per_sample=1)[:, 0]:
        img, angles = ds._load_instance(data)
        src = np.asarray(Image.fromarray(source).filter(ImageFilter.BLUR)) if blur < 0.05 else source
        assert np.array_equal(img, cv2.resize(src, (24, 20))) and angles.tolist() == [0, 0, 0]


@pytest.mark.parametrize("record, error", [
    ({"angles": [[1, 2, 3]]}, TypeError),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]]}, IndexError),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1, 2]]}, ValueError),
])
def test_json_crop_bad_records(tmp_path, record, error):
    ds, data, _ = crop_dataset(tmp_path, record, (24, 20), SHAPE)
    with pytest.raises(error):
        ds._load_instance(data)


def test_json_files_are_closed(tmp_path):
    ds, data, _ = crop_dataset(tmp_path, {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1, 2, 3]]}, (24, 20), SHAPE)
    f = json_split(tmp_path / "d", [{"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 1, "yaw": 2, "roll": 3}]}])
    detect = make(A.AttitudeAndDetectDataset, f, classes=["face"])
    gc.collect()  # what earlier tests left unclosed is collected outside the recorded window
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ds._load_instance(data)
        detect._load_instance(element(detect.train_storage[0]))
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


def test_json_batches(tmp_path):
    records = [{"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[i, 2 * i, 3 * i]]} for i in range(5)]
    iterator = make(A.AttitudeDatasetJson, json_split(tmp_path, records)).build_train_iterator(2)
    gc.collect()  # the iterator keeps its dataset alive
    batches = collect(iterator)
    assert [b[0].shape for b in batches] == [(2, 20, 24, 3), (2, 20, 24, 3), (1, 20, 24, 3)]
    pitches = sorted(np.concatenate([b[1] for b in batches])[:, 0].tolist())
    assert pitches == [0, 1, 2, 3, 4]


# --- AttitudeAndDetectDataset ------------------------------------------------------------

def angle(p, y, r):
    return {"pitch": p, "yaw": y, "roll": r}


@pytest.mark.parametrize("add_bkg_class, offset", [(True, 1), (False, 0)])
def test_detect_boxes_in_pixels_and_labels(tmp_path, add_bkg_class, offset):
    record = {"boxes": [[0.5, 0.5, 0.2, 0.4, 0], [0.05, 0.5, 0.2, 0.2, 2], [0.95, 0.5, 0.2, 0.2, 1]],
              "angles": [angle(1, 2, 3)]}
    classes = ["face"]
    ds = make(A.AttitudeAndDetectDataset, json_split(tmp_path, [record], size=(64, 48)), shape=[100, 200, 3],
              classes=classes, add_bkg_class=add_bkg_class)
    assert ds.label_offset == offset and ds.num_bins == 66
    assert ds.get_classes() == (["background", "face"] if add_bkg_class else ["face"])
    assert (ds.get_classes() is classes) == (not add_bkg_class)
    img, boxes, angles = ds._load_instance(element(ds.train_storage[0]))
    assert img.shape == (100, 200, 3) and img.dtype == np.uint8 and boxes.dtype == angles.dtype == np.float32
    np.testing.assert_allclose(boxes, [[80, 30, 120, 70, offset], [0, 40, 30, 60, 2 + offset],
                                       [170, 40, 210, 60, 1 + offset]], atol=1e-4)
    assert angles.tolist() == [[1, 2, 3]]


@pytest.mark.parametrize("record, boxes, angles", [
    ({"boxes": [], "angles": []}, np.zeros((0, 5)), [[0, 0, 0]]),
    ({"angles": [angle(4, 5, 6)]}, [[0, 0, 0, 0, 1]], [[4, 5, 6]]),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]] * 2, "angles": [angle(1, 2, 3)]}, [[6, 5, 18, 15, 1]] * 2, [[1, 2, 3]]),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]]}, [[6, 5, 18, 15, 1]], [[0, 0, 0]]),
])
def test_detect_missing_and_empty_entries(tmp_path, record, boxes, angles):
    ds = make(A.AttitudeAndDetectDataset, json_split(tmp_path, [record]), classes=["face"])
    _, got_boxes, got_angles = ds._load_instance(element(ds.train_storage[0]))
    assert got_boxes.shape == np.shape(boxes) and np.allclose(got_boxes, boxes)
    assert got_angles.tolist() == angles


def test_detect_padded_batches(tmp_path):
    one = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [angle(1, 1, 1)]}
    three = {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]] * 3, "angles": [angle(3, 3, 3)] * 3}
    none = {"boxes": [], "angles": []}
    ds = make(A.AttitudeAndDetectDataset, json_split(tmp_path, [one, three, none]), classes=["face"])
    (images, boxes, angles), = collect(ds.build_train_iterator(3))
    assert images.shape == (3, 20, 24, 3) and boxes.shape == (3, 3, 5) and angles.shape == (3, 3, 3)
    by_pitch = {float(a[0, 0]): (b, a) for b, a in zip(boxes, angles)}
    b, a = by_pitch[1.0]
    assert b[0].tolist() == [6, 5, 18, 15, 1] and not b[1:].any() and not a[1:].any()
    b, a = by_pitch[0.0]
    assert not b.any() and not a.any()
    b, a = by_pitch[3.0]
    assert (b[:, 4] == 1).all() and (a == 3).all()
    assert ds.build_val_iterator().element_spec == tf.TensorSpec([2], tf.string)


def test_detect_classes_none_with_background(tmp_path):
    f = json_split(tmp_path, [{"boxes": [], "angles": []}])
    with pytest.raises(TypeError):
        make(A.AttitudeAndDetectDataset, f)
    assert make(A.AttitudeAndDetectDataset, f, add_bkg_class=False).get_classes() is None


# --- YAML descriptions -------------------------------------------------------------------

YAML_CLASSES = [A.AttitudeDatasetYaml, A.AttitudeAndDetectDatasetYaml, A.AttitudeDatasetJsonYaml]
NEEDS_CLASSES = {A.AttitudeAndDetectDatasetYaml, A.AttitudeDatasetJsonYaml}


def write_description(tmp_path, description):
    path = tmp_path / "data.yaml"
    path.write_text(yaml.safe_dump(description))
    return str(path)


def both_splits(tmp_path):
    """Folders holding a MATLAB and a JSON annotation for every image."""
    f = mat_split(tmp_path, count=2, val_count=1)
    for split, n in (("t", 2), ("v", 1)):
        for i in range(n):
            save_json(os.path.join(f[split + "a"], "s%d.json" % i), {"boxes": [], "angles": []})
    return f


def full_description(f, classes=("face",)):
    d = {"train": {"images": f["ti"], "annotations": f["ta"]},
         "validation": {"images": f["vi"], "annotations": f["va"]}}
    if classes is not None:
        d["classes"] = list(classes)
    return d


@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_builds_dataset(tmp_path, cls):
    f = both_splits(tmp_path)
    ds = cls(SHAPE, write_description(tmp_path, full_description(f)))
    assert ds.get_num_train_samples() == 2 and len(ds.val_storage) == 1 and ds.shape == SHAPE
    assert ds.num_bins == (3 if cls is A.AttitudeDatasetYaml else 66)
    suffix = ".mat" if cls is A.AttitudeDatasetYaml else ".json"
    assert all(a.endswith(suffix) for _, a in ds.train_storage)
    if cls is A.AttitudeAndDetectDatasetYaml:
        assert ds.get_classes() == ["background", "face"]


def drop(description, section, key=None):
    if key is None:
        del description[section]
    else:
        del description[section][key]
    return description


@pytest.mark.parametrize("edit, message", [
    (lambda d, f: drop(d, "validation"), "``validation`` section does not contain the ``images`` key"),
    (lambda d, f: drop(drop(d, "train", "annotations"), "validation"),
     "``train`` section does not contain the ``annotations`` key"),
    (lambda d, f: drop(d, "train"), "``train`` section does not contain the ``images`` key"),
    (lambda d, f: drop(d, "validation", "annotations"), "``validation`` section does not contain the ``annotations`` key"),
    (lambda d, f: dict(d, train={"images": f["ti"], "annotations": "/no/ann"}, validation={}),
     "``validation`` section does not contain the ``images`` key"),
])
@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_missing_entries_in_order(tmp_path, cls, edit, message):
    f = both_splits(tmp_path)
    info = write_description(tmp_path, edit(full_description(f), f))
    with pytest.raises(ValueError) as err:
        cls(SHAPE, info)
    assert err.value.args == (message,)


@pytest.mark.parametrize("missing", [["ta"], ["ti", "ta", "vi", "va"], ["vi", "va"], ["va"]])
@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_missing_folder_named_in_order(tmp_path, cls, missing):
    f = both_splits(tmp_path)
    for key in missing:
        f[key] = str(tmp_path / ("gone-" + key))
    with pytest.raises(FileNotFoundError) as err:
        cls(SHAPE, write_description(tmp_path, full_description(f)))
    assert str(err.value) == "Location provided for training images does not exist in the given location:" + f[missing[0]]


@pytest.mark.parametrize("classes", [[], None])
@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_classes_rule(tmp_path, cls, classes):
    f = both_splits(tmp_path)
    description = full_description(f, classes=classes)
    description["train"] = {}   # the class check comes first
    info = write_description(tmp_path, description)
    if cls in NEEDS_CLASSES:
        with pytest.raises(ValueError, match="^Invalid number of classes. The dataset should contain at least one class$"):
            cls(SHAPE, info)
    else:
        with pytest.raises(ValueError, match="``train`` section does not contain the ``images`` key"):
            cls(SHAPE, info)


@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_messages_read_at_run_time(tmp_path, monkeypatch, cls):
    f = both_splits(tmp_path)
    f["ti"] = str(tmp_path / "gone")
    monkeypatch.setattr(A.AttitudeDatasetYaml, "location_msg", "moved: {}")
    monkeypatch.setattr(A.AttitudeDatasetYaml, "val_msg_ann", "no val ann")
    with pytest.raises(FileNotFoundError, match="^moved: .*gone$"):
        cls(SHAPE, write_description(tmp_path, full_description(f)))
    with pytest.raises(ValueError, match="^no val ann$"):
        cls(SHAPE, write_description(tmp_path, drop(full_description(both_splits(tmp_path)), "validation", "annotations")))


@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_description_file_errors(tmp_path, cls):
    missing = str(tmp_path / "none.yaml")
    with pytest.raises(FileNotFoundError, match="^Description file for the current dataset does not exist at: "):
        cls(SHAPE, missing)
    with pytest.raises(TypeError):
        cls(SHAPE)
    with pytest.raises(TypeError, match="Argument 'info_file' has incorrect type"):
        cls(SHAPE, missing.encode())


def one_sample_dataset(tmp_path, cls, record=None, shape=SHAPE):
    """A dataset of `cls` over one sample per split, annotated both as MATLAB and as JSON."""
    f = json_split(tmp_path, [record or {"boxes": [], "angles": []}])
    for split in "tv":
        save_mat(os.path.join(f[split + "a"], "s0.mat"))
    return make(cls, f, shape=shape, classes=["face"]) if cls is A.AttitudeAndDetectDataset else make(cls, f, shape=shape)


# --- module state and published imports ---------------------------------------------------

def test_imports_are_published_as_an_import_statement_would():
    import os.path

    from vireo.quillon.datasets import utils
    assert (A.exists, A.join, A.basename, A.splitext) == (os.path.exists, os.path.join, os.path.basename,
                                                          os.path.splitext)
    assert A.xywhn2xyxy is utils.xywhn2xyxy and A.Image is Image and A.ImageFilter is ImageFilter
    assert (A.tf, A.sio, A.np, A.json, A.cv2) == (tf, sio, np, json, cv2)


def test_each_from_import_is_one_statement():
    code = (
        "import builtins, vireo\n"
        "calls = []\n"
        "real = builtins.__import__\n"
        "def spy(name, globals=None, locals=None, fromlist=(), level=0):\n"
        "    if fromlist and globals is None: calls.append((name, tuple(fromlist)))  # a native module's\n"
        "    return real(name, globals, locals, fromlist, level)\n"
        "builtins.__import__ = spy\n"
        "import vireo.quillon.datasets.attitude\n"
        "builtins.__import__ = real\n"
        "print(repr([c for c in calls if c[0] in ('os.path', 'PIL', 'vireo.quillon.datasets.utils')]))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")).stdout.strip().splitlines()[-1]
    assert eval(out) == [("os.path", ("exists", "join", "basename", "splitext")),
                         ("vireo.quillon.datasets.utils", ("xywhn2xyxy",)), ("PIL", ("Image", "ImageFilter"))]


@pytest.mark.parametrize("fn", [A.AttitudeDataset.read_annotations, A.AttitudeDataset._load_instance,
                                A.AttitudeAndDetectDataset.build_train_iterator, A.AttitudeDatasetJson.__init__,
                                A.AttitudeDatasetJsonYaml.__init__, A.AttitudeAndDetectDataset.get_classes])
def test_methods_document_their_arguments_and_results(fn):
    assert any(part in fn.__doc__ for part in ("Args:", "Returns:"))


# --- 16-bit grey images -----------------------------------------------------------------

def save_grey16(path, w=24, h=20):
    """A 16-bit grey PNG whose levels span 0..65535; returns the 8-bit RGB pixels expected of it."""
    levels = np.linspace(0, 65535, w * h).astype(np.uint16).reshape(h, w)
    Image.fromarray(levels).save(path)
    with Image.open(path) as image:
        assert image.mode in ("I;16", "I")
    return np.repeat((levels >> 8).astype(np.uint8)[..., None], 3, axis=2)


def no_random_effects(seed_search=range(1000)):
    """Seeds NumPy so that the next sample is neither blurred nor mirrored."""
    for seed in seed_search:
        np.random.seed(seed)
        blur, mirror = np.random.random_sample(2)
        if blur >= 0.05 and mirror >= 0.5:
            np.random.seed(seed)
            return
    raise AssertionError("no seed found")


@pytest.mark.parametrize("cls", [A.AttitudeDataset, A.AttitudeDatasetJson, A.AttitudeAndDetectDataset])
def test_16_bit_grey_images_are_scaled_to_8_bits(tmp_path, cls):
    whole_image = {"boxes": [[0.5, 0.5, 1.0, 1.0, 0]], "angles": [[1, 2, 3]]}
    if cls is A.AttitudeDataset:
        f = mat_split(tmp_path, count=1, val_count=1)
    else:
        if cls is A.AttitudeAndDetectDataset:
            whole_image["angles"] = [angle(1, 2, 3)]
        f = json_split(tmp_path, [whole_image])
    expected = save_grey16(os.path.join(f["ti"], "s0.png"))
    ds = make(cls, f, classes=["face"]) if cls is A.AttitudeAndDetectDataset else make(cls, f)
    no_random_effects()
    img = ds._load_instance(element(ds.train_storage[0]))[0]
    assert img.dtype == np.uint8 and img.shape == (20, 24, 3)
    assert np.array_equal(img, cv2.resize(expected, (24, 20))) and img.mean() < 200


@pytest.mark.parametrize("mode", ["RGB", "L", "P", "RGBA", "LA", "CMYK"])
def test_other_images_read_as_pillow_converts_them(tmp_path, mode):
    f = json_split(tmp_path, [{"boxes": [], "angles": []}], size=(30, 16))
    path = os.path.join(f["ti"], "s0.png") if mode != "CMYK" else os.path.join(f["ti"], "s0.jpg")
    if mode == "CMYK":
        os.remove(os.path.join(f["ti"], "s0.png"))
    save_image(path, 30, 16, mode=mode)
    ds = make(A.AttitudeAndDetectDataset, f, classes=["face"])
    img = ds._load_instance(element(ds.train_storage[0]))[0]
    assert np.array_equal(img, cv2.resize(np.asarray(Image.open(path).convert("RGB")), (24, 20)))


# --- paths ------------------------------------------------------------------------------

def test_read_annotations_path_errors_match_open(tmp_path):
    ds = make(A.AttitudeDataset, mat_split(tmp_path, count=1, val_count=1))
    path = ds.train_storage[0][1]
    for bad in (None, path + "\0"):
        with pytest.raises(Exception) as ours:
            ds.read_annotations(bad)
        with pytest.raises(Exception) as python:
            open(bad)
        assert type(ours.value) is type(python.value)
    with pytest.raises(FileNotFoundError):
        ds.read_annotations(path + ".gone")


@pytest.mark.parametrize("argument", ["train_images", "train_annotations", "val_images", "val_annotations",
                                      "file_extension"])
def test_constructor_refuses_paths_with_nul(tmp_path, argument):
    f = mat_split(tmp_path, count=1, val_count=1)
    kwargs = dict(shape=SHAPE, train_images=f["ti"], train_annotations=f["ta"], val_images=f["vi"],
                  val_annotations=f["va"], file_extension="mat")
    kwargs[argument] += "\0"
    with pytest.raises(ValueError, match="embedded null byte in %s" % argument):
        A.AttitudeDataset(**kwargs)


@pytest.mark.parametrize("cls", [A.AttitudeDataset, A.AttitudeDatasetJson, A.AttitudeAndDetectDataset])
def test_loaders_refuse_file_descriptors(tmp_path, cls):
    ds = one_sample_dataset(tmp_path, cls)
    image, annotation = ds.train_storage[0]
    with open(annotation, "rb") as owned:
        fd = owned.fileno()
        for data in ([image, fd], [fd, annotation]):
            with pytest.raises(TypeError, match="expected str, bytes or os.PathLike object, not int"):
                ds._load_instance(data)
        os.fstat(fd)  # still open: nothing read or closed it
    img = ds._load_instance([image, annotation])[0]  # str paths and bytes paths load the same
    assert img.shape == (20, 24, 3)


# --- MATLAB annotations that cannot be used ---------------------------------------------

def test_damaged_mat_files_are_one_value_error_naming_the_file(tmp_path):
    ds = make(A.AttitudeDataset, mat_split(tmp_path, count=1, val_count=1))
    with open(ds.train_storage[0][1], "rb") as f:
        good = f.read()
    for name, content in (("empty", b""), ("cut", good[:150]), ("noise", bytes(range(256)) * 4),
                          ("header", good[:128] + b"\xff" * 64)):
        path = str(tmp_path / (name + ".mat"))
        with open(path, "wb") as f:
            f.write(content)
        with pytest.raises(ValueError, match=r"%s\.mat is not a MATLAB file that can be read" % name) as info:
            ds.read_annotations(path)
        assert info.value.__cause__ is not None


@pytest.mark.parametrize("pose, message", [
    (np.array([[np.nan, 1, 2]]), "the pitch is nan"),
    (np.array([[1, np.inf, 2]]), "the yaw is inf"),
    (np.array([[1, 2, 1e300]]), "the roll is 1e[+]?300"),     # past float32
    (np.array([[1 + 2j, 2, 3]]), "values are of type complex"),
    (np.ones((1, 1, 3)), r"shape is \(1, 1, 3\)"),
    (np.zeros((0, 3)), r"shape is \(0, 3\)"),
    ("pyr", "values are of type <U3"),
])
def test_pose_para_that_is_no_three_real_numbers_is_refused(tmp_path, pose, message):
    ds = make(A.AttitudeDataset, mat_split(tmp_path, count=1, val_count=1))
    path = str(tmp_path / "p.mat")
    sio.savemat(path, {"Pose_Para": pose, "pt2d": np.zeros((2, 68))})
    with pytest.raises(ValueError, match="Pose_Para in .*p.mat.*" + message):
        ds.read_annotations(path)


@pytest.mark.parametrize("pose", [np.array([[1, 2, 3]], dtype=np.int16), np.array([[True, False, True]]),
                                  np.array([[3e38, -3e38, 0]])])
def test_pose_para_of_any_real_type_within_float32(tmp_path, pose):
    ds = make(A.AttitudeDataset, mat_split(tmp_path, count=1, val_count=1))
    path = str(tmp_path / "p.mat")
    sio.savemat(path, {"Pose_Para": pose, "pt2d": np.zeros((2, 68))})
    assert ds.read_annotations(path)[0].tolist() == pose[0].astype(np.float32).tolist()


def test_load_errors_name_the_sample(tmp_path):
    f = mat_split(tmp_path, count=1, val_count=1)
    sio.savemat(os.path.join(f["ta"], "s0.mat"), {"Pose_Para": np.ones((1, 2)), "pt2d": np.zeros((2, 68))})
    ds = make(A.AttitudeDataset, f)
    with pytest.raises(ValueError) as info:
        ds._load_instance(element(ds.train_storage[0]))
    assert any("s0.png" in note and "s0.mat" in note for note in info.value.__notes__)


# --- JSON records that cannot be used ---------------------------------------------------

@pytest.mark.parametrize("cls", [A.AttitudeDatasetJson, A.AttitudeAndDetectDataset])
@pytest.mark.parametrize("content", ["[1, 2]", "null", "5", '"boxes"'])
def test_json_records_must_be_objects(tmp_path, cls, content):
    f = json_split(tmp_path, [{}])
    with open(os.path.join(f["ta"], "s0.json"), "w") as out:
        out.write(content)
    ds = make(cls, f, classes=["face"]) if cls is A.AttitudeAndDetectDataset else make(cls, f)
    with pytest.raises(ValueError, match=r"s0\.json must hold a JSON object"):
        ds._load_instance(element(ds.train_storage[0]))


@pytest.mark.parametrize("boxes, message", [
    ([[0.5, 0.5, 0.5, 0.5, -1]], "Box 0 .* class id -1.0: not a whole number from 0"),
    ([[0.5, 0.5, 0.5, 0.5, 0], [0.5, 0.5, 0.5, 0.5, 0.5]], "Box 1 .* class id 0.5"),
    ([[0.5, 0.5, 0.5, 0.5, float("nan")]], "class id nan"),
    ([[float("nan"), 0.5, 0.5, 0.5, 0]], "Box 0 .* does not give finite float32"),
    ([[0.5, 0.5, float("inf"), 0.5, 0]], "does not give finite float32"),
    ([[0.5, 0.5, 0.5, 1e38, 0]], "does not give finite float32"),   # finite, but 20 * 1e38 is not in float32
])
def test_detect_refuses_unusable_boxes(tmp_path, boxes, message):
    ds = make(A.AttitudeAndDetectDataset, json_split(tmp_path, [{"boxes": boxes, "angles": []}]), classes=["face"])
    with pytest.raises(ValueError, match=message):
        ds._load_instance(element(ds.train_storage[0]))


def test_detect_boxes_of_integers_map_like_floats(tmp_path):
    """A JSON row of integers (a box over the whole image) gives the corners of the float row."""
    f = json_split(tmp_path, [{"boxes": [[1, 1, 1, 1, 0]]}, {"boxes": [[1.0, 1.0, 1.0, 1.0, 0]]}])
    ds = make(A.AttitudeAndDetectDataset, f, shape=[21, 25, 3], classes=["face"])
    rows = [ds._load_instance(element(e))[1] for e in ds.train_storage]
    assert rows[0].tolist() == rows[1].tolist() == [[12.5, 10.5, 37.5, 31.5, 1]]


@pytest.mark.parametrize("angles, message", [
    ([{"pitch": 1, "yaw": 2}], "Angle entry 0 .* the roll is None"),
    ([angle(1, 2, 3), angle(1, float("nan"), 3)], "Angle entry 1 .* the yaw is nan"),
    ([angle(1e39, 2, 3)], "the pitch is 1e[+]?39"),
    ([[1, 2, 3]], "Angle entry 0 .* must be an object with pitch, yaw and roll, not list"),
    ("pyr", "must be an object"),
])
def test_detect_refuses_unusable_angles(tmp_path, angles, message):
    ds = make(A.AttitudeAndDetectDataset, json_split(tmp_path, [{"boxes": [], "angles": angles}]), classes=["face"])
    with pytest.raises(ValueError, match=message):
        ds._load_instance(element(ds.train_storage[0]))


@pytest.mark.parametrize("record, error, message", [
    ({"boxes": [[float("nan"), 0.5, 0.5, 0.5, 0]], "angles": [[1, 2, 3]]}, ValueError, "holds nan"),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1, float("inf"), 3]]}, ValueError, "yaw in .* is inf"),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1e39, 2, 3]]}, ValueError, "pitch in .* is inf"),
    ({"boxes": [[[0.5, 0.5, 0.5, 0.5, 0]]], "angles": [[1, 2, 3]]}, ValueError, r"rows of 5 numbers.*\(1, 1, 5\)"),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5]], "angles": [[1, 2, 3]]}, ValueError, r"rows of 5 numbers.*\(1, 4\)"),
    ({"boxes": [0.5, 0.5, 0.5, 0.5, 0], "angles": [[1, 2, 3]]}, ValueError, r"rows of 5 numbers.*\(5,\)"),
    ({"angles": [[1, 2, 3]]}, TypeError, r"s0\.json holds no list of face boxes"),
])
def test_json_crop_refuses_unusable_first_face(tmp_path, record, error, message):
    ds, data, _ = crop_dataset(tmp_path, record, (24, 20), SHAPE)
    with pytest.raises(error, match=message):
        ds._load_instance(data)


@pytest.mark.parametrize("box, cols", [
    ([1e9, 0.5, 2e9, 1.0, 0], (0, 24)),        # far past the right edge: clipped, not wrapped in int32
    ([0.5, 0.5, 0.5, 3e38, 0], (6, 18)),       # a height past float32's range after scaling covers every row
])
def test_json_crop_of_huge_boxes_is_clipped(tmp_path, box, cols):
    ds, data, source = crop_dataset(tmp_path, {"boxes": [box], "angles": [[1, 2, 3]]}, (24, 20), [20, cols[1] - cols[0], 3])
    no_random_effects()
    img, _ = ds._load_instance(data)
    assert np.array_equal(img, source[:, cols[0]:cols[1]])


@pytest.mark.parametrize("shape, error, message", [
    ([0, 24, 3], ValueError, r"shape\[0\] is 0: an image side is at least 1 pixel"),
    ([20, -1, 3], ValueError, r"shape\[1\] is -1"),
    ([2 ** 15, 2 ** 14 + 1, 3], ValueError, r"asks for 32768 x 16385 pixels; an image holds at most 536870912"),
    ([2 ** 64, 1, 3], ValueError, r"asks for 18446744073709551616 x 1 pixels"),
    ([20.0, 24, 3], TypeError, r"shape\[0\] must be a whole number of pixels, not float"),
    ([20, "24", 3], TypeError, r"shape\[1\] must be a whole number of pixels, not str"),
])
@pytest.mark.parametrize("cls", [A.AttitudeDataset, A.AttitudeDatasetJson, A.AttitudeAndDetectDataset])
def test_sample_size_is_checked_before_resizing(tmp_path, cls, shape, error, message):
    ds = one_sample_dataset(tmp_path, cls, shape=shape)
    with pytest.raises(error, match=message):
        ds._load_instance(element(ds.train_storage[0]))
    ds.shape = [np.int64(5), True, 3]  # NumPy integers and bools are whole numbers, as for a slice
    assert ds._load_instance(element(ds.train_storage[0]))[0].shape == (5, 1, 3)


# --- YAML descriptions that cannot be used ----------------------------------------------

@pytest.mark.parametrize("text, message", [
    ("", "The top level of the description file .* must be a mapping, not NoneType"),
    ("[a, b]", "The top level .* not list"),
    ("classes: [face]\ntrain: [a, b]\n", "The train section .* not list"),
    ("classes: [face]\ntrain: {images: a, annotations: b}\nvalidation: folder\n", "The validation section .* not str"),
])
@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_description_must_be_mappings(tmp_path, cls, text, message):
    path = tmp_path / "d.yaml"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        cls(SHAPE, str(path))


@pytest.mark.parametrize("cls", YAML_CLASSES)
def test_yaml_paths_with_nul_are_value_errors(tmp_path, cls):
    f = both_splits(tmp_path)
    info = write_description(tmp_path, full_description(f))
    with pytest.raises(ValueError, match="embedded null byte in info_file"):
        cls(SHAPE, info + "\0")
    f["va"] += "\0x"
    with pytest.raises(ValueError, match="embedded null byte in validation: annotations"):
        cls(SHAPE, write_description(tmp_path, full_description(f)))


# --- the blur on pixel arrays ----------------------------------------------------------------

@pytest.fixture
def fixed_draws(monkeypatch):
    """Sets what NumPy's global generator draws for the blur (random_sample) and the mirror
    (random): 0.0 always applies them, 0.99 never does."""
    def fix(value):
        monkeypatch.setattr(np.random, "random_sample", lambda: value)
        monkeypatch.setattr(np.random, "random", lambda: value)
    return fix


@pytest.mark.parametrize("w, h", [(1, 1), (4, 9), (9, 4), (5, 5), (6, 7), (64, 48), (451, 37)])
@pytest.mark.parametrize("pixels", ["noise", "pattern", "extremes"])
def test_blur_equals_pillows(tmp_path, fixed_draws, w, h, pixels):
    rng = np.random.default_rng(w * h)
    source = {"noise": rng.integers(0, 256, (h, w, 3), dtype=np.uint8), "pattern": pattern(w, h),
              "extremes": rng.choice(np.array([0, 8, 247, 255], np.uint8), (h, w, 3))}[pixels]
    f = mat_split(tmp_path, count=1, val_count=1)
    save_image(os.path.join(f["ti"], "s0.png"), array=source)
    ds = make(A.AttitudeDataset, f, shape=[h, w, 3])  # no resize: the blurred pixels themselves
    fixed_draws(0.0)
    img, _ = ds._load_instance(element(ds.train_storage[0]))
    want = np.asarray(Image.fromarray(source).filter(ImageFilter.BLUR))
    np.testing.assert_array_equal(img, cv2.resize(want, (w, h)))


@pytest.mark.parametrize("mode", ["L", "P", "RGBA", "I;16"])
def test_blur_of_converted_images_equals_pillows(tmp_path, fixed_draws, mode):
    """The JSON crop blurs the whole picture, then crops (15 x 20 here, no resize) and mirrors."""
    f = json_split(tmp_path, [{"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1, 2, 3]]}], size=(40, 30))
    path = os.path.join(f["ti"], "s0.png")
    if mode == "I;16":
        rgb = Image.fromarray(save_grey16(path, 40, 30))
    else:
        save_image(path, 40, 30, mode=mode, array=np.random.default_rng(3).integers(0, 256, (30, 40, 3), np.uint8))
        rgb = Image.open(path).convert("RGB")
    ds = make(A.AttitudeDatasetJson, f, shape=[15, 20, 3])
    fixed_draws(0.0)
    blurred, angles = ds._load_instance(element(ds.train_storage[0]))
    np.testing.assert_array_equal(blurred, np.asarray(rgb.filter(ImageFilter.BLUR))[7:22, 10:30][:, ::-1])
    assert angles.tolist() == [1, -2, -3]


# --- the batched training chain ----------------------------------------------------------------

class MatPerSample(A.AttitudeDataset):
    """The same dataset with its graph-side hook restated: the iterator then maps sample by sample."""
    tf_augment = A.AttitudeDataset.tf_augment


class JsonPerSample(A.AttitudeDatasetJson):
    tf_augment = A.AttitudeDatasetJson.tf_augment


class DetectPerSample(A.AttitudeAndDetectDataset):
    tf_load_instance = A.AttitudeAndDetectDataset.tf_load_instance


def chain_data(tmp_path, kind, count=11):
    rng = np.random.default_rng(7)
    if kind == "mat":
        f = mat_split(tmp_path, count=count)
    elif kind == "json":
        f = json_split(tmp_path, [{"boxes": [[0.5, 0.4, 0.5, 0.6, 0]], "angles": [[i, 2 * i, 3 * i]]}
                                  for i in range(count)], size=(40, 30))
    else:
        f = json_split(tmp_path, [{"boxes": [[0.5, 0.5, 0.2, 0.3, i % 2]] * (i % 4),
                                   "angles": [angle(i, -i, 0.5 * i)] * (1 + i % 3)} for i in range(count)])
    for i in range(count):
        save_image(os.path.join(f["ti"], "s%d.png" % i), array=rng.integers(0, 256, (30, 40, 3), np.uint8))
    return f


CHAINS = [("mat", A.AttitudeDataset, MatPerSample, {}), ("json", A.AttitudeDatasetJson, JsonPerSample, {}),
          ("detect", A.AttitudeAndDetectDataset, DetectPerSample, {"classes": ["face"]})]


def passes(ds, batch_size, count=2, **kwargs):
    tf.random.set_seed(123)
    iterator = ds.build_train_iterator(batch_size, **kwargs)
    return iterator.element_spec, [collect(iterator) for _ in range(count)]


@pytest.mark.parametrize("kind, cls, per_sample, kw", CHAINS)
@pytest.mark.parametrize("draw", [0.0, 0.99])  # every sample blurred and mirrored, or none
@pytest.mark.parametrize("batch_size", [4, 32])
def test_batched_chain_serves_the_per_sample_elements(tmp_path, fixed_draws, kind, cls, per_sample, kw, draw,
                                                      batch_size):
    f = chain_data(tmp_path, kind)
    fixed_draws(draw)
    element_spec, batched = passes(make(cls, f, shape=[20, 24, 3], **kw), batch_size)
    want_element_spec, reference = passes(make(per_sample, f, shape=[20, 24, 3], **kw), batch_size)
    assert element_spec == want_element_spec
    orders = [[row[0] for b in batches for row in b[-1].reshape(len(b[-1]), -1)] for batches in batched]
    assert orders[0] != orders[1]  # shuffled anew each pass
    for got, want in zip(batched, reference):
        assert [[(a.shape, a.dtype) for a in b] for b in got] == [[(a.shape, a.dtype) for a in b] for b in want]
        for got_batch, want_batch in zip(got, want):
            for a, b in zip(got_batch, want_batch):
                np.testing.assert_array_equal(a, b)


def test_detect_channels_padded_as_padded_batch_pads_them(tmp_path):
    f = chain_data(tmp_path, "detect", count=5)
    _, batched = passes(make(A.AttitudeAndDetectDataset, f, shape=[20, 24, 4], classes=["face"]), 5, count=1)
    _, reference = passes(make(DetectPerSample, f, shape=[20, 24, 4], classes=["face"]), 5, count=1)
    (images, boxes, angles), = batched[0]
    assert images.shape == (5, 20, 24, 4) and not images[..., 3].any() and images[..., :3].any()
    for a, b in zip(batched[0][0], reference[0][0]):
        np.testing.assert_array_equal(a, b)


class ReplacedSteps(A.AttitudeDataset):
    """Replaces the sample steps (not the graph-side hooks): the batched chain calls them."""

    def _load_instance(self, data):
        image, angles = super()._load_instance(data)
        return image[::-1], angles * 2

    def _augment(self, image, angles):
        return image, angles + np.float32(1)


class ReplacedStepsPerSample(ReplacedSteps):
    tf_augment = A.AttitudeDataset.tf_augment


def test_replaced_sample_steps_run_in_the_batched_chain(tmp_path, fixed_draws):
    f = chain_data(tmp_path, "mat", count=6)
    fixed_draws(0.99)
    _, batched = passes(make(ReplacedSteps, f), 6, count=1)
    _, reference = passes(make(ReplacedStepsPerSample, f), 6, count=1)
    (images, angles), = batched[0]
    assert sorted(angles[:, 0].tolist()) == [2 * i + 1 for i in range(6)]
    for a, b in zip(batched[0][0], reference[0][0]):
        np.testing.assert_array_equal(a, b)


class Float64Angles(A.AttitudeDataset):
    def _load_instance(self, data):
        image, angles = super()._load_instance(data)
        return image, angles.astype(np.float64)


class Float64AnglesPerSample(Float64Angles):
    tf_augment = A.AttitudeDataset.tf_augment


class FlatBoxes(A.AttitudeAndDetectDataset):
    def _load_instance(self, data):
        image, boxes, angles = super()._load_instance(data)
        return image, boxes.ravel(), angles


class FlatBoxesPerSample(FlatBoxes):
    tf_augment = A.AttitudeAndDetectDataset.tf_augment


def broken_mat(tmp_path):
    f = mat_split(tmp_path, count=3)
    sio.savemat(os.path.join(f["ta"], "s1.mat"), {"pt2d": np.zeros((2, 68))})
    return f


@pytest.mark.parametrize("data, cls, per_sample, shape, kw, message", [
    (broken_mat, A.AttitudeDataset, MatPerSample, SHAPE, {}, "Pose_Para"),
    (lambda p: chain_data(p, "mat", 3), Float64Angles, Float64AnglesPerSample, SHAPE, {},
     "1-th value returned by .* is double, but expects float"),
    (lambda p: chain_data(p, "detect", 3), FlatBoxes, FlatBoxesPerSample, SHAPE, {"classes": ["face"]},
     "same rank as the padded shape for component1: expected rank 2 but got element with rank 1"),
])
def test_batched_chain_surfaces_the_per_sample_errors(tmp_path, data, cls, per_sample, shape, kw, message):
    f = data(tmp_path)
    errors = []
    for chain in (cls, per_sample):
        with pytest.raises(tf.errors.OpError) as info:
            collect(make(chain, f, shape=shape, **kw).build_train_iterator(3))
        errors.append(info.value)
    assert type(errors[0]) is type(errors[1])
    assert re.search(message, str(errors[0]), re.IGNORECASE) and re.search(message, str(errors[1]), re.IGNORECASE)


@pytest.mark.parametrize("shape", [[20, 24], [20, np.int64(24), 3], [20, 24, 2], [20, 24, 3]])
def test_detect_shapes_padded_batch_reads_otherwise_keep_the_per_sample_chain(tmp_path, shape):
    f = chain_data(tmp_path, "detect", count=4)
    ds = make(A.AttitudeAndDetectDataset, f, classes=["face"], shape=shape)
    reference = make(DetectPerSample, f, classes=["face"], shape=shape)
    outcomes = []
    for d in (ds, reference):
        try:
            outcomes.append(("ok", passes(d, 4, count=1)))
        except Exception as error:  # noqa: BLE001 - the same failure is what is compared
            outcomes.append((type(error), None))
    assert outcomes[0][0] == outcomes[1][0]
    if outcomes[0][0] == "ok":
        assert outcomes[0][1][0] == outcomes[1][1][0]
        for a, b in zip(outcomes[0][1][1][0][0], outcomes[1][1][1][0][0]):
            np.testing.assert_array_equal(a, b)


class ReturnsOneArray(A.AttitudeDataset):
    def _augment(self, image, angles):
        return np.stack([angles, angles])  # two rows: not the two values the pipeline declares


class ReturnsOneArrayPerSample(ReturnsOneArray):
    tf_augment = A.AttitudeDataset.tf_augment


def test_a_hook_returning_one_array_is_refused_as_numpy_function_refuses_it(tmp_path):
    f = chain_data(tmp_path, "mat", count=2)
    errors = []
    for cls in (ReturnsOneArray, ReturnsOneArrayPerSample):
        with pytest.raises(tf.errors.OpError) as info:
            collect(make(cls, f).build_train_iterator(2))
        errors.append(info.value)
    assert type(errors[0]) is type(errors[1]) is tf.errors.InvalidArgumentError
    assert "returns 1 values, but expects to see 2 values" in str(errors[0])
    assert "returns 1 values, but expects to see 2 values" in str(errors[1])


@pytest.mark.parametrize("cls", [A.AttitudeDataset, A.AttitudeDatasetJson, A.AttitudeAndDetectDataset])
def test_training_iterator_runs_without_autotuning(tmp_path, cls):
    """With autotuning on, whole passes could run one batch load at a time on two cores."""
    iterator = one_sample_dataset(tmp_path, cls).build_train_iterator(1)
    assert iterator.options().autotune.enabled is False
    assert len(collect(iterator)) == 1
