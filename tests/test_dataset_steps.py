"""The dataset steps shared by the Darknet and TFRecord modules (datasets/common), seen through
both: pixel reading, fitting to the input shape, the constructor signature and docs."""
import inspect
import io
import os
import struct
import zlib

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from vireo.quillon.datasets import darknet as dk
from vireo.quillon.datasets import tfrecord
from vireo.quillon.datasets.tools.darknet_to_tfrecord import make_example
from vireo.quillon.datasets.utils import letterbox


def darknet_dataset(root, shape=(64, 64, 3), letter_box=True):
    splits = {}
    for split in ("train", "validation"):
        images, labels = root / split / "images", root / split / "labels"
        images.mkdir(parents=True)
        labels.mkdir(parents=True)
        Image.new("RGB", (8, 6)).save(images / "a.png")
        (labels / "a.txt").write_text("0 0.5 0.5 0.5 0.5\n")
        splits[split] = {"images": str(images), "annotations": str(labels)}
    return dk.DarknetDataset({"classes": ["a", "b"], **splits}, list(shape), letter_box=letter_box)


def tfrecord_dataset(root, shape=(64, 64, 3), letter_box=True):
    for split in ("train", "val"):
        os.makedirs(root / split)
        with tf.io.TFRecordWriter(str(root / split / "a.tfrecord")) as writer:
            writer.write(record(8, 6))
    info = {"classes": ["a", "b"], "train": {"path": str(root / "train")}, "validation": {"path": str(root / "val")}}
    return tfrecord.TFRecordDataset(info, list(shape), letter_box=letter_box)


def record(width, height, mode="RGB"):
    buffer = io.BytesIO()
    Image.new(mode, (width, height), 90).save(buffer, format="JPEG")
    return make_example(buffer.getvalue(), "r.jpg", width, height, [1], [0.5, 0.5, 0.5, 0.5]).SerializeToString()


def element(image_path):
    return np.array([str(image_path).encode(), b"/no/annotation.txt"], dtype=object)


# --- pixels -----------------------------------------------------------------------------------

LEVELS = (np.arange(48 * 32, dtype=np.int64) * 41 % 65536).reshape(32, 48)


@pytest.mark.parametrize("mode, ext, levels", [
    ("I;16", "png", LEVELS),
    ("I;16B", "tif", LEVELS),
    ("I", "tif", LEVELS),
    ("I", "tif", np.array([[-300, -1, 0, 255], [256, 65535, 65536, 2 ** 31 - 1]])),
])
def test_sixteen_bit_grey_is_scaled_to_eight_bits(tmp_path, mode, ext, levels):
    path = tmp_path / ("deep." + ext)
    height, width = levels.shape
    if mode == "I":
        Image.fromarray(levels.astype(np.int32)).save(path)
    else:
        dtype = ">u2" if mode == "I;16B" else "<u2"
        Image.frombytes(mode, (width, height), levels.astype(dtype).tobytes()).save(path)
    with Image.open(path) as image:
        assert image.mode == mode
    image, _, _ = darknet_dataset(tmp_path).load_instance(element(path), False)
    expected = np.clip(levels >> 8, 0, 255).astype(np.uint8)
    assert image.dtype == np.uint8 and image.shape == (height, width, 3)
    for channel in range(3):
        np.testing.assert_array_equal(image[..., channel], expected)


def test_image_files_are_closed_on_every_path(tmp_path):
    ds = darknet_dataset(tmp_path)
    good, deep, broken = tmp_path / "good.jpg", tmp_path / "deep.png", tmp_path / "broken.png"
    Image.new("RGB", (9, 7)).save(good)
    Image.fromarray(LEVELS.astype(np.uint16)).save(deep)
    broken.write_bytes(b"\x89PNG\r\n\x1a\n" + b"\x00" * 40)
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(30):
        for path in (good, deep):
            ds.load_instance(element(path), True)
        with pytest.raises(Exception):
            ds.load_instance(element(broken), True)
    assert len(os.listdir("/proc/self/fd")) <= before


def png_with_chunk(chunk_type):
    """A valid PNG with an extra chunk of the given type after its header."""
    buffer = io.BytesIO()
    Image.new("RGB", (6, 4), (1, 2, 3)).save(buffer, format="PNG")
    data = buffer.getvalue()
    chunk = struct.pack(">I", 0) + chunk_type + struct.pack(">I", zlib.crc32(chunk_type))
    return data[:33] + chunk + data[33:]  # 8 signature bytes + 25 of IHDR


def test_decoder_errors_that_are_not_oserrors_name_the_file(tmp_path):
    path = tmp_path / "odd.png"
    path.write_bytes(png_with_chunk(b"ab\xacd"))  # Pillow decodes chunk types as ASCII
    with pytest.raises(UnicodeDecodeError):
        with Image.open(path) as image:
            image.convert("RGB")
    with pytest.raises(OSError) as raised:
        darknet_dataset(tmp_path / "dk").load_instance(element(path), False)
    assert str(raised.value).startswith("cannot decode image file %r: UnicodeDecodeError: " % str(path))
    assert isinstance(raised.value.__cause__, UnicodeDecodeError)


def test_clear_pillow_errors_pass_unchanged(tmp_path):
    path = tmp_path / "noise.png"
    path.write_bytes(b"\x00" * 64)
    with pytest.raises(Image.UnidentifiedImageError, match="cannot identify image file"):
        darknet_dataset(tmp_path / "dk").load_instance(element(path), False)


# --- fitting to the input shape ----------------------------------------------------------------

@pytest.mark.parametrize("shape", [[0, 0, 3], [32, 0, 3], [2 ** 40, 2 ** 40, 3], [float("nan"), 32, 3], [32],
                                   [2 ** 15, 2 ** 15, 3]])
@pytest.mark.parametrize("letter_box", [True, False])
def test_impossible_input_sizes_are_refused_before_allocating(tmp_path, shape, letter_box):
    path = tmp_path / "a.png"
    Image.new("RGB", (8, 6)).save(path)
    for ds in (darknet_dataset(tmp_path / "dk", letter_box=letter_box),
               tfrecord_dataset(tmp_path / "tf", letter_box=letter_box)):
        ds.shape = shape
        data = element(path) if isinstance(ds, dk.DarknetDataset) else record(8, 6)
        with pytest.raises(ValueError) as raised:
            ds.load_instance(data, True)
        assert str(raised.value).startswith("[ERROR]: shape %s is not a usable input size" % shape)
        ds.load_instance(data, False)  # validation samples keep their own size

@pytest.mark.parametrize("width, height", [(1, 5000), (5000, 1), (3, 4000)])
def test_letterbox_keeps_at_least_one_pixel(width, height):
    image = np.full((height, width, 3), 200, np.uint8)
    fitted, ratio, pad = letterbox(image, (64, 96), auto=False)
    assert fitted.shape == (64, 96, 3)
    scaled = (round(width * ratio[0]), round(height * ratio[1]))
    assert min(scaled) == 1 and (fitted == 200).any()


@pytest.mark.parametrize("letter_box", [True, False])
@pytest.mark.parametrize("width, height", [(1, 5000), (5000, 1)])
def test_extreme_aspect_images_reach_training(tmp_path, letter_box, width, height):
    path = tmp_path / "thin.png"
    Image.new("RGB", (width, height), (10, 20, 30)).save(path)
    (tmp_path / "thin.txt").write_text("0 0.5 0.5 1 1\n")
    ds = darknet_dataset(tmp_path / "dk", (64, 96, 3), letter_box)
    image, boxes = ds.load_instance(np.array([str(path).encode(), str(tmp_path / "thin.txt").encode()]), True)
    assert image.shape == (64, 96, 3)
    assert np.isfinite(boxes).all() and (boxes[:, :4] >= 0).all()
    records = tfrecord_dataset(tmp_path / "tf", (64, 96, 3), letter_box)
    image, boxes = records.load_instance(record(width, height), True)
    assert image.shape == (64, 96, 3) and np.isfinite(boxes).all()


@pytest.mark.parametrize("letter_box", [True, False])
@pytest.mark.parametrize("depth", [1, 2])
def test_channel_axis_kept_for_one_channel_records_only(tmp_path, letter_box, depth):
    # The TFRecord dataset serves grey records with one channel: resizing keeps that axis.
    # The Darknet dataset reads every image as RGB, whatever the network depth.
    grey = tfrecord_dataset(tmp_path / "tf", (40, 48, depth), letter_box).load_instance(record(30, 20, "L"), True)[0]
    assert grey.shape == (40, 48, 1)
    path = tmp_path / "grey.jpg"
    Image.new("L", (30, 20), 90).save(path)
    rgb = darknet_dataset(tmp_path / "dk", (40, 48, depth), letter_box).load_instance(element(path), True)[0]
    assert rgb.shape == (40, 48, 3)


# --- classes: signatures and docs ------------------------------------------------------------

CLASSES = [dk.DarknetDatasetYaml, dk.DarknetDataset, tfrecord.TFRecordDatasetYaml, tfrecord.TFRecordDataset]
COMMON = "shape: list = None, letter_box: bool = True, add_bkg_class: bool = True, aug_cfg: dict = None)"


@pytest.mark.parametrize("cls, first", zip(CLASSES, ["info_file: str", "info_dataset: dict"] * 2))
def test_classes_show_their_constructor_signature(cls, first):
    assert str(inspect.signature(cls)) == "(%s = None, %s" % (first, COMMON)


def public_methods():
    for cls in CLASSES:
        for name, value in vars(cls).items():
            if callable(value) and (name == "__init__" or not name.startswith("_")):
                yield cls, name, value


@pytest.mark.parametrize("cls, name, method", list(public_methods()), ids=lambda v: getattr(v, "__qualname__", v))
def test_methods_have_keras_style_docs(cls, name, method):
    doc = method.__doc__
    parameters = [p for p in inspect.signature(method).parameters if p != "self"]
    if parameters:
        assert "\nArgs:\n" in doc
        for parameter in parameters:
            assert "    %s" % parameter in doc.split("\nArgs:\n")[1], parameter
    if name != "__init__":
        assert "\nReturns:\n" in doc


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_have_keras_style_docs(cls):
    doc = cls.__doc__
    for section in ("\nArgs:\n", "\nRaises:\n"):
        assert section in doc
    for parameter in list(inspect.signature(cls).parameters):
        assert "    %s (" % parameter in doc
