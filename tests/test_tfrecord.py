"""TFRecord detection dataset and the Darknet-to-TFRecord converter, on real records and files."""
import collections
import io
import os
import subprocess
import sys

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from vireo.quillon.datasets import tfrecord
from vireo.quillon.datasets.tools import darknet_to_tfrecord as converter
from vireo.quillon.datasets.tools.darknet_to_tfrecord import make_example
from vireo.quillon.datasets.utils import letterbox

TRAINER_EMPTY = "[ERROR]: Quillon trainer does not support empty samples in either train or validation sets"
NO_CLASSES = "[ERROR]: Invalid dataset with no annotation classes was found"
OLDER_FORMAT = ("[ERROR]: This dataset does not contain the ``type`` key and it is not compatible with older "
                "TFRecord format neither")
EMPTY_STORAGE = "[ERROR]: Empty train or validation samples are not allowed."


def encode(width, height, mode="RGB", fmt="JPEG", seed=0):
    pixels = np.random.RandomState(seed).randint(0, 255, (height, width, 3), dtype=np.uint8)
    image = Image.fromarray(pixels).convert(mode)
    buffer = io.BytesIO()
    image.save(buffer, format=fmt)
    return buffer.getvalue()


def record(name="a.jpg", width=100, height=50, objects=(), bboxes=(), mode="RGB", drop=None):
    example = make_example(encode(width, height, mode), name, width, height, list(objects), list(bboxes))
    if drop:
        del example.features.feature[drop]
    return example.SerializeToString()


def write_records(path, records):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with tf.io.TFRecordWriter(str(path)) as writer:
        for r in records:
            writer.write(r)
    return str(path)


def folders(tmp_path, count=3):
    """A train and a validation folder, each with one record file of `count` named records."""
    for split in ("train", "val"):
        write_records(tmp_path / split / "part.tfrecord",
                      [record("%s%d.jpg" % (split, i), objects=[0], bboxes=[0.5, 0.5, 0.2, 0.2]) for i in range(count)])
    return str(tmp_path / "train"), str(tmp_path / "val")


def description(tmp_path, **changes):
    train, val = folders(tmp_path)
    info = {"type": "tfrecord", "classes": ["cat", "dog"],
            "train": {"path": train, "samples": 3}, "validation": {"path": val, "samples": 3}}
    info.update(changes)
    return info


def yaml_dataset(tmp_path, info, **kwargs):
    path = tmp_path / "dataset.yaml"
    path.write_text(yaml.safe_dump(info))
    return tfrecord.TFRecordDatasetYaml(str(path), **kwargs)


def dataset(tmp_path, shape=(64, 64, 3), **kwargs):
    return tfrecord.TFRecordDataset(description(tmp_path), shape=list(shape), **kwargs)


def reader(tmp_path, shape=(64, 64, 3), letter_box=True, add_bkg_class=True):
    """A dataset of three classes, for decoding records of class ids 0 to 2."""
    return tfrecord.TFRecordDataset(description(tmp_path, classes=["cat", "dog", "bird"]), shape=list(shape),
                                    letter_box=letter_box, add_bkg_class=add_bkg_class)


# --- Module surface ---------------------------------------------------------------------------

def test_exports_only_module_init():
    out = subprocess.run(["nm", "-D", "--defined-only", tfrecord.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_tfrecord"]


def test_classes_and_method_order():
    assert tfrecord.TFRecordDataset.__mro__[1] is tfrecord.TFRecordDatasetYaml
    own = [k for k in vars(tfrecord.TFRecordDatasetYaml) if callable(vars(tfrecord.TFRecordDatasetYaml)[k])]
    assert own == ["__init__", "validate_info_file_content", "load_storage", "load_instance",
                   "build_and_load_base_iterator"]
    own = [k for k in vars(tfrecord.TFRecordDataset) if callable(vars(tfrecord.TFRecordDataset)[k])]
    assert own == ["__init__", "validate_info_file", "build_val_iterator", "build_train_iterator"]
    assert "build_train_iterator" not in vars(tfrecord.TFRecordDatasetYaml)


# --- Description checks -----------------------------------------------------------------------

@pytest.mark.parametrize("changes, add_bkg, error, message", [
    # Each case also breaks every later check, so the first message wins.
    ({"type": "TFRecord", "classes": [], "validation": {"path": "v", "samples": 0}}, False, ValueError, TRAINER_EMPTY),
    ({"type": "TFRecord", "classes": [], "train": {"images": "t", "samples": 0}}, False, ValueError, TRAINER_EMPTY),
    ({"type": "TFRecord", "classes": []}, False, ValueError, NO_CLASSES),
    ({"type": "TFRecord"}, True, ValueError,
     "[ERROR]: Incompatible dataset type was found: TFRecord is different than ``tfrecord``"),
    ({"type": "darknet"}, True, ValueError,
     "[ERROR]: Incompatible dataset type was found: darknet is different than ``tfrecord``"),
    ({"train": {"images": "t"}}, True, ValueError, OLDER_FORMAT),
    ({"type": None}, True, ValueError, OLDER_FORMAT),
    ({"classes": None}, False, TypeError, "has no len()"),
    ({"classes": None}, True, TypeError, "can only concatenate list"),
    ({"train": None}, True, AttributeError, "``train`` section is missing"),
    ({"validation": "somewhere"}, True, AttributeError, "``validation`` section is missing or is not a mapping (got str)"),
])
def test_description_checks_in_order(tmp_path, changes, add_bkg, error, message):
    info = description(tmp_path, **changes)
    with pytest.raises(error) as raised:
        yaml_dataset(tmp_path, info, add_bkg_class=add_bkg)
    assert message in str(raised.value)
    if error is ValueError:
        assert str(raised.value) == message


def test_older_layout_without_type(tmp_path):
    train, val = folders(tmp_path)
    ds = yaml_dataset(tmp_path, {"classes": ["cat"], "train": {"images": train}, "validation": {"images": val}},
                      add_bkg_class=False)
    assert ds.train_storage == [os.path.join(train, "part.tfrecord")]
    assert ds.val_storage == [os.path.join(val, "part.tfrecord")]
    assert ds.classes == ["cat"]
    assert (ds.num_train_samples, ds.num_val_samples) == (None, None)


def test_current_layout_with_type(tmp_path):
    info = description(tmp_path)
    info["validation"]["samples"] = 7
    ds = yaml_dataset(tmp_path, info)
    assert ds.classes == ["background", "cat", "dog"]
    assert info["classes"] == ["cat", "dog"]
    assert (ds.num_train_samples, ds.num_val_samples) == (3, 7)
    assert ds.train_storage == [str(tmp_path / "train" / "part.tfrecord")]
    assert ds.path_train_images is None and ds.val_annotations == []


def test_dictionary_gains_type_and_skips_older_layout(tmp_path):
    train, val = folders(tmp_path)
    info = {"classes": ["cat"], "train": {"images": train}, "validation": {"images": val}}
    with pytest.raises(ValueError, match="does not contain the ``type`` key"):
        tfrecord.TFRecordDataset(info, shape=[32, 32, 3])
    assert info["type"] == "tfrecord"


@pytest.mark.parametrize("kwargs, name, expected, got", [
    ({"info_dataset": collections.OrderedDict()}, "info_dataset", "dict", "collections.OrderedDict"),
    ({"info_dataset": {}, "shape": (32, 32, 3)}, "shape", "list", "tuple"),
    ({"info_dataset": {}, "shape": [32, 32, 3], "aug_cfg": []}, "aug_cfg", "dict", "list"),
])
def test_argument_type_rule(kwargs, name, expected, got):
    with pytest.raises(TypeError) as raised:
        tfrecord.TFRecordDataset(**kwargs)
    assert str(raised.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (name, expected, got)


def test_folder_without_records_is_refused(tmp_path):
    info = description(tmp_path)
    (tmp_path / "empty").mkdir()
    info["validation"]["path"] = str(tmp_path / "empty")
    with pytest.raises(ValueError) as raised:
        yaml_dataset(tmp_path, info)
    assert str(raised.value) == EMPTY_STORAGE


def test_missing_folder_is_reported_and_refused_by_the_iterator(tmp_path, capsys):
    info = description(tmp_path)
    missing = str(tmp_path / "nowhere")
    info["train"]["path"] = missing
    ds = yaml_dataset(tmp_path, info, shape=[32, 32, 3])
    assert ds.train_storage == missing
    assert "\t - [WARNING]: TFRecord folder %s was not found" % missing in capsys.readouterr().out
    with pytest.raises(TypeError) as raised:
        ds.build_train_iterator(batch_size=2)
    assert str(raised.value) == "Argument 'storage' has incorrect type (expected list, got str)"


def test_folder_with_a_nul_byte_is_refused_as_open_refuses_it(tmp_path, capsys):
    info = description(tmp_path)
    info["train"]["path"] = str(tmp_path / "tr\x00ain")
    with pytest.raises(ValueError, match="^embedded null byte$"):
        yaml_dataset(tmp_path, info)
    assert capsys.readouterr().out == ""


# --- Record decoding --------------------------------------------------------------------------

def test_validation_boxes_normalised_with_label_offset(tmp_path):
    ds = reader(tmp_path)
    data = record("x.jpg", 100, 50, objects=[2, 0], bboxes=[0.5, 0.5, 0.2, 0.2, 0.9, 0.1, 0.4, 0.4])
    image, boxes, name = ds.load_instance(data, training=False)
    assert image.shape == (50, 100, 3) and image.dtype == np.uint8
    assert boxes.dtype == np.float32
    np.testing.assert_allclose(boxes, [[0.4, 0.4, 0.6, 0.6, 3], [0.7, 0.0, 1.0, 0.3, 1]], atol=1e-6)
    assert isinstance(name, tf.Tensor) and name.shape == () and name.numpy() == b"x.jpg"


def test_validation_image_matches_the_jpeg(tmp_path):
    ds = reader(tmp_path)
    data = record("x.jpg", 30, 20)
    image, _, _ = ds.load_instance(data, training=False)
    expected = np.asarray(Image.open(io.BytesIO(tf.train.Example.FromString(data).features.feature["image"]
                                                .bytes_list.value[0])))
    # Decoders upsample chroma a little differently.
    assert image.shape == expected.shape and np.abs(image.astype(int) - expected.astype(int)).mean() < 2


@pytest.mark.parametrize("training", [True, False])
def test_record_without_objects_gives_the_zero_row(tmp_path, training):
    out = reader(tmp_path).load_instance(record("e.jpg"), training=training)
    np.testing.assert_array_equal(out[1], np.zeros((1, 5), np.float32))
    assert out[1].dtype == np.float32
    assert len(out) == (2 if training else 3)
    if not training:
        assert out[2].numpy() == b"e.jpg"


def test_grey_jpeg_keeps_one_channel_in_validation(tmp_path):
    image, _, _ = reader(tmp_path).load_instance(record(mode="L"), training=False)
    assert image.shape == (50, 100, 1)


@pytest.mark.parametrize("letter_box", [True, False])
@pytest.mark.parametrize("mode, depth", [("L", 3), ("RGB", 3), ("L", 1), ("RGB", 1)])
def test_training_images_take_the_network_depth(tmp_path, letter_box, mode, depth):
    ds = reader(tmp_path, shape=(40, 48, depth), letter_box=letter_box)
    image, _ = ds.load_instance(record(mode=mode), training=True)
    assert image.shape == (40, 48, depth) and image.dtype == np.uint8


def test_training_letterbox_boxes(tmp_path):
    ds = reader(tmp_path, shape=(64, 64, 3))
    data = record("x.jpg", 100, 50, objects=[1], bboxes=[0.5, 0.5, 0.2, 0.2])
    image, boxes = ds.load_instance(data, training=True)
    decoded = tf.io.decode_jpeg(tf.train.Example.FromString(data).features.feature["image"].bytes_list.value[0])
    expected, ratio, pad = letterbox(decoded.numpy(), [64, 64], auto=False)
    np.testing.assert_array_equal(image, expected)
    # 100 x 50 scaled by 0.64 to 64 x 32, 16 pixels of border above.
    np.testing.assert_allclose(boxes, [[25.6, 28.8, 38.4, 35.2, 2]], atol=1e-4)


def test_training_plain_resize_clips_to_the_shape(tmp_path):
    ds = reader(tmp_path, shape=(320, 480, 3), letter_box=False, add_bkg_class=False)
    data = record("x.jpg", 64, 48, objects=[0, 1], bboxes=[0.5, 0.5, 0.5, 0.5, 1.0, 0.5, 0.4, 1.4])
    image, boxes = ds.load_instance(data, training=True)
    assert image.shape == (320, 480, 3)
    np.testing.assert_allclose(boxes, [[120, 80, 360, 240, 0], [384, 0, 480, 320, 1]], atol=1e-4)


def test_validation_clips_to_unit_range(tmp_path):
    data = record(objects=[0], bboxes=[1.0, 0.5, 0.4, 0.2])
    _, boxes, _ = reader(tmp_path).load_instance(data, training=False)
    np.testing.assert_allclose(boxes, [[0.8, 0.4, 1.0, 0.6, 1]], atol=1e-6)


@pytest.mark.parametrize("data, error, message", [
    (record(drop="image"), tf.errors.InvalidArgumentError, "image"),
    (record(drop="height"), tf.errors.InvalidArgumentError, "height"),
    (record("b.jpg", objects=[0], bboxes=[0.5, 0.5, 0.2, 0.2, 0.1]), ValueError,
     "[ERROR]: Record b.jpg: ``bboxes`` holds 5 values, not 4 per object"),
    (record("c.jpg", objects=[0, 1], bboxes=[0.5, 0.5, 0.2, 0.2]), ValueError,
     "[ERROR]: Record c.jpg: 2 ``objects`` but 1 boxes in ``bboxes``"),
    (record("d.jpg", objects=[], bboxes=[0.5, 0.5, 0.2, 0.2]), ValueError,
     "[ERROR]: Record d.jpg: 0 ``objects`` but 1 boxes in ``bboxes``"),
    (make_example(b"not an image", "n.jpg", 8, 8, [], []).SerializeToString(), tf.errors.InvalidArgumentError, ""),
])
@pytest.mark.parametrize("training", [True, False])
def test_broken_records_fail(tmp_path, data, error, message, training):
    with pytest.raises(error) as raised:
        reader(tmp_path).load_instance(data, training=training)
    assert message in str(raised.value)


def test_png_record_decodes_losslessly(tmp_path):
    # TensorFlow's JPEG decoder also reads PNG; such records are served, not refused.
    png = encode(12, 10, fmt="PNG")
    image, _, _ = reader(tmp_path).load_instance(make_example(png, "p.png", 12, 10, [], []).SerializeToString(),
                                                 training=False)
    np.testing.assert_array_equal(image, np.asarray(Image.open(io.BytesIO(png))))


# Hand-written wire format, for encodings the protobuf library does not produce itself.
def _varint(n):
    n &= (1 << 64) - 1
    out = b""
    while True:
        out += bytes([(n & 0x7F) | (0x80 if n > 0x7F else 0)])
        n >>= 7
        if not n:
            return out


def _field(number, payload, wire=2):
    return _varint(number << 3 | wire) + (_varint(len(payload)) + payload if wire == 2 else payload)


def _feature(key, kind, payload):
    return _field(1, _field(1, key.encode()) + _field(2, _field(kind, payload)))


def _wire_record(*extra, objects=None, bboxes=None, split=False, width=None, name=None):
    head = (_feature("image", 1, _field(1, encode(8, 6)))
            + _feature("image_name", 1, name if name is not None else _field(1, b"w.jpg"))
            + _feature("width", *(width or (3, _field(1, _varint(8), 0))))
            + _feature("height", 3, _field(1, _varint(6), 0)))
    tail = b"".join(extra)
    if objects is not None:
        tail += _feature("objects", 3, objects)
    if bboxes is not None:
        tail += _feature("bboxes", 2, bboxes)
    if split:  # two Features fields, which protobuf merges
        return _field(1, head) + _field(1, tail)
    return _field(1, head + tail)


_box = np.float32([0.5, 0.5, 0.25, 0.5]).tobytes()
_jpeg = record("t.jpg", 8, 8)
WIRE_RECORDS = {
    "library": record("l.jpg", 30, 20, objects=[0, 2], bboxes=[0.5, 0.5, 0.2, 0.2, 0.1, 0.9, 0.4, 0.4]),
    "no lists": _wire_record(),
    "empty lists": _wire_record(objects=b"", bboxes=b""),
    "unpacked": _wire_record(objects=_field(1, _varint(1), 0),
                             bboxes=b"".join(_field(1, _box[i:i + 4], 5) for i in range(0, 16, 4))),
    "packed": _wire_record(objects=_field(1, _varint(2)), bboxes=_field(1, _box)),
    "negative class": _wire_record(objects=_field(1, _varint(-1)), bboxes=_field(1, _box)),
    "extra feature": _wire_record(_feature("source", 1, _field(1, b"camera"))),
    "split features": _wire_record(objects=_field(1, _varint(1)), bboxes=_field(1, _box), split=True),
    "duplicate key": _wire_record(_feature("image_name", 1, _field(1, b"again.jpg"))),
    "width as float": _wire_record(width=(2, _field(1, _box[:4]))),
    "two names": _wire_record(name=_field(1, b"a") + _field(1, b"b")),
    "truncated": _jpeg[:-3],
    "garbage": b"\xff\x00garbage",
}


def _outcome(ds, data, training):
    try:
        out = ds.load_instance(data, training=training)
    except Exception as error:  # the two readers must fail alike
        return type(error), str(error).split("[Op:")[0]
    return tuple(o.numpy() if isinstance(o, tf.Tensor) else o for o in out)


@pytest.mark.parametrize("training", [True, False])
@pytest.mark.parametrize("name", list(WIRE_RECORDS))
def test_native_reader_matches_tensorflow(tmp_path, name, training):
    # Bytes go through the native reader, a string tensor through tf.io.parse_single_example.
    ds = reader(tmp_path)
    data = WIRE_RECORDS[name]
    native, reference = _outcome(ds, data, training), _outcome(ds, tf.constant(data), training)
    assert len(native) == len(reference)
    for a, b in zip(native, reference):
        np.testing.assert_array_equal(a, b)
        assert getattr(a, "dtype", None) == getattr(b, "dtype", None)


def damaged_records(count=400, seed=7):
    """The same small record with 1-2 bytes of its structure (not of the JPEG) changed, kept
    only where the result is still a well-formed Example message."""
    rng = np.random.RandomState(seed)
    base = bytearray(record("f.jpg", 8, 8, objects=[1], bboxes=[0.5, 0.5, 0.2, 0.2]))
    start, end = bytes(base).index(b"\xff\xd8"), bytes(base).index(b"\xff\xd9") + 2
    places = list(range(start)) + list(range(end, len(base)))
    out = []
    for _ in range(count):
        data = bytearray(base)
        for at in rng.choice(places, rng.randint(1, 3)):
            data[at] = rng.randint(256)
        try:
            tf.train.Example.FromString(bytes(data))
        except Exception:
            continue
        out.append(bytes(data))
    return out


def test_native_reader_matches_tensorflow_on_damaged_records(tmp_path):
    # Only well-formed messages are compared: on malformed bytes TensorFlow's own
    # parse_single_example reads past the record now and then (varying results, or a crash of
    # the process), which no comparison can rely on.
    ds = reader(tmp_path)
    records = damaged_records()
    assert len(records) > 50
    for data in records:
        native, reference = _outcome(ds, data, False), _outcome(ds, tf.constant(data), False)
        assert len(native) == len(reference), data
        for a, b in zip(native, reference):
            np.testing.assert_array_equal(a, b)


def test_broken_record_fails_the_pipeline(tmp_path):
    ds = reader(tmp_path)
    write_records(tmp_path / "bad" / "x.tfrecord", [record("c.jpg", objects=[0, 1], bboxes=[0.5, 0.5, 0.2, 0.2])])
    ds.val_storage = [str(tmp_path / "bad" / "x.tfrecord")]
    with pytest.raises(tf.errors.InvalidArgumentError, match="2 ``objects`` but 1 boxes"):
        list(ds.build_val_iterator())


# --- Iterators --------------------------------------------------------------------------------

def test_base_iterator_reads_every_shard(tmp_path):
    ds = reader(tmp_path)
    shards = [write_records(tmp_path / "many" / ("s%d.tfrecord" % s),
                            [record("%d-%d.jpg" % (s, i), 8, 8) for i in range(4)]) for s in range(3)]
    names = [tf.train.Example.FromString(r.numpy()).features.feature["image_name"].bytes_list.value[0]
             for r in ds.build_and_load_base_iterator(shards, shuffle=False)]
    assert sorted(names) == sorted(b"%d-%d.jpg" % (s, i) for s in range(3) for i in range(4))
    for s in range(3):  # parallel reading interleaves files but keeps each file's order
        mine = [n for n in names if n.startswith(b"%d-" % s)]
        assert mine == sorted(mine)


def test_base_iterator_shuffles_through_200_records(tmp_path):
    ds = reader(tmp_path)
    # 260 tiny records in one file: the first record out of a 200-record buffer is always
    # among the first 200 read, and each pass draws a new order.
    path = write_records(tmp_path / "big" / "x.tfrecord", [b"%03d" % i for i in range(260)])
    iterator = ds.build_and_load_base_iterator([path])
    passes = [[int(r.numpy()) for r in iterator] for _ in range(4)]
    for order in passes:
        assert sorted(order) == list(range(260))
        assert order[0] < 200
        assert order != list(range(260))
    assert passes[0] != passes[1]
    with pytest.raises(TypeError, match="Argument 'storage' has incorrect type \\(expected list, got tuple\\)"):
        ds.build_and_load_base_iterator((path,))


def test_train_iterator_batches(tmp_path):
    ds = reader(tmp_path, shape=(32, 48, 3))
    images, (boxes,) = next(iter(ds.build_train_iterator(2)))
    assert images.shape == (2, 32, 48, 3) and images.dtype == tf.uint8
    assert boxes.shape == (2, 1, 5) and boxes.dtype == tf.float32
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'batch_size'"):
        ds.build_train_iterator()


def test_train_iterator_of_eight(tmp_path):
    train, val = folders(tmp_path, count=10)
    ds = tfrecord.TFRecordDataset({"classes": ["cat"], "train": {"path": train}, "validation": {"path": val}},
                                  shape=[32, 32, 3])
    sizes = [int(images.shape[0]) for images, _ in ds.build_train_iterator(8)]
    assert sizes == [8, 2]
    assert ds.num_train_samples is None  # no count given: not counted


@pytest.mark.parametrize("split", ["train", "val"])
def test_zero_count_is_counted(tmp_path, split):
    ds = reader(tmp_path, shape=(32, 32, 3))
    setattr(ds, "num_%s_samples" % split, 0)
    if split == "train":
        ds.build_train_iterator(2)
    else:
        ds.build_val_iterator(batch_size=2)
    assert getattr(ds, "num_%s_samples" % split) == 3


def test_validation_iterator_elements(tmp_path):
    ds = reader(tmp_path)
    elements = list(ds.build_val_iterator(batch_size=1))
    assert len(elements) == 3
    image, boxes, name = elements[0]
    assert image.shape == (1, 50, 100, 3) and boxes.shape == (1, 1, 5)
    assert name.numpy()[0].startswith(b"val")


# --- Converter --------------------------------------------------------------------------------

def darknet_tree(root, n_train=5, n_val=4):
    """A small Darknet dataset: PNG, JPEG and grey images, an empty annotation, an image
    without annotation; returns the description path."""
    rng = np.random.RandomState(1)
    info = {"type": "darknet", "classes": ["cat", "dog", "bird"]}
    for split, count in (("train", n_train), ("validation", n_val)):
        images, labels = root / split / "images", root / split / "labels"
        images.mkdir(parents=True)
        labels.mkdir(parents=True)
        for i in range(count):
            ext, fmt, mode = [(".png", "PNG", "RGBA"), (".jpg", "JPEG", "RGB"), (".JPEG", "JPEG", "L")][i % 3]
            width, height = 40 + 8 * i, 30 + 4 * i
            (images / ("img%d%s" % (i, ext))).write_bytes(encode(width, height, mode, fmt, seed=i))
            lines = ["%d %.4f %.4f %.4f %.4f" % (rng.randint(3), *rng.uniform(0.2, 0.8, 2), *rng.uniform(0.1, 0.5, 2))
                     for _ in range(i % 3)]
            if i == 1:
                lines.append("2 0.95 0.5 0.3 0.2  # reaches past the right edge")
            (labels / ("img%d.txt" % i)).write_text("\n".join(lines) + "\n")
        (images / "orphan.jpg").write_bytes(encode(16, 16))
        info[split] = {"images": str(images), "annotations": str(labels)}
    path = root / "darknet.yaml"
    path.write_text(yaml.safe_dump(info))
    return path, info


def expected_val_boxes(labels_dir, name, offset=1):
    text = (labels_dir / (os.path.splitext(name)[0] + ".txt")).read_text()
    rows = [line.split("#")[0].split() for line in text.splitlines()]
    rows = [[float(v) for v in r] for r in rows if r]
    if not rows:
        return np.zeros((1, 5), np.float32)
    a = np.array(rows)
    c, x, y, w, h = a.T
    corners = np.clip(np.stack([x - w / 2, y - h / 2, x + w / 2, y + h / 2], 1), 0, 1)
    return np.concatenate([corners, (c + offset)[:, None]], 1).astype(np.float32)


def test_converter_writes_shards_and_description(tmp_path, capsys):
    path, _ = darknet_tree(tmp_path / "dk")
    out = tmp_path / "out"
    info = converter.convert(str(path), str(out), shard_size=2)
    printed = capsys.readouterr().out
    for split in ("train", "validation"):
        assert "\t - [WARNING]: skipped 1 %s image(s) without an annotation file" % split in printed
    assert info == yaml.safe_load((out / "dataset.yaml").read_text())
    assert info["type"] == "tfrecord" and info["classes"] == ["cat", "dog", "bird"]
    assert info["train"] == {"path": str(out / "train"), "samples": 5}
    assert info["validation"] == {"path": str(out / "validation"), "samples": 4}
    assert sorted(os.listdir(out / "train")) == ["train-%05d-of-00003.tfrecord" % i for i in range(3)]
    assert len(os.listdir(out / "validation")) == 2

    ds = tfrecord.TFRecordDatasetYaml(str(out / "dataset.yaml"), shape=[32, 32, 3])
    assert (ds.num_train_samples, ds.num_val_samples) == (5, 4)
    seen = {}
    for image, boxes, name in ds.build_val_iterator():
        seen[name.numpy()[0].decode()] = (image[0].numpy(), boxes[0].numpy())
    assert sorted(seen) == ["img%d%s" % (i, [".png", ".jpg", ".JPEG"][i % 3]) for i in range(4)]
    for name, (image, boxes) in seen.items():
        np.testing.assert_allclose(boxes, expected_val_boxes(tmp_path / "dk" / "validation" / "labels", name),
                                   atol=1e-4)
        source = Image.open(tmp_path / "dk" / "validation" / "images" / name)
        assert image.shape[:2] == (source.height, source.width)
        assert image.shape[2] == (1 if source.mode == "L" else 3)


def test_converter_refuses_stale_shards_and_bad_lines(tmp_path):
    path, info = darknet_tree(tmp_path / "dk", n_train=2, n_val=1)
    out = tmp_path / "out"
    converter.convert(str(path), str(out), shard_size=1)
    with pytest.raises(FileExistsError, match="already holds record files"):
        converter.convert(str(path), str(out))
    converter.convert(str(path), str(out), overwrite=True)
    assert os.listdir(out / "train") == ["train-00000-of-00001.tfrecord"]

    bad = os.path.join(info["train"]["annotations"], "img0.txt")
    with open(bad, "w") as f:
        f.write("0 0.5 0.5 0.2 0.2\n7 0.5 0.5 0.2\n")
    with pytest.raises(ValueError, match="img0.txt:2: expected 'class xc yc w h'"):
        converter.convert(str(path), str(out), overwrite=True)
    with open(bad, "w") as f:
        f.write("3 0.5 0.5 0.2 0.2\n")
    with pytest.raises(ValueError, match="img0.txt:1: class '3' is not an index of the 3 classes"):
        converter.convert(str(path), str(out), overwrite=True)


def test_converter_command_line(tmp_path):
    path, _ = darknet_tree(tmp_path / "dk", n_train=2, n_val=1)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2")
    run = subprocess.run([sys.executable, "-m", "vireo.quillon.datasets.tools.darknet_to_tfrecord", str(path),
                          str(tmp_path / "out"), "--shard-size", "1"], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    assert "description at %s" % (tmp_path / "out" / "dataset.yaml") in run.stdout
    assert len(os.listdir(tmp_path / "out" / "train")) == 2


def test_converted_dataset_serves_darknet_boxes(tmp_path):
    from vireo.quillon.datasets import darknet

    if not hasattr(darknet, "DarknetDatasetYaml"):
        pytest.skip("vireo.quillon.datasets.darknet is not built yet")
    path, _ = darknet_tree(tmp_path / "dk", n_train=3, n_val=6)
    converter.convert(str(path), str(tmp_path / "out"), shard_size=4)
    records = tfrecord.TFRecordDatasetYaml(str(tmp_path / "out" / "dataset.yaml"), shape=[32, 32, 3])
    images = darknet.DarknetDatasetYaml(str(path), [32, 32, 3], True)

    def served(ds):
        out = {}
        for image, boxes, name in ds.build_val_iterator():
            name = name.numpy()[0]
            out[name.decode() if isinstance(name, bytes) else name] = (image[0].shape[:2], boxes[0].numpy())
        return out

    expected, got = served(images), served(records)
    assert sorted(got) == sorted(expected) and len(got) == 6
    for name in expected:
        assert got[name][0] == expected[name][0], name
        np.testing.assert_allclose(got[name][1], expected[name][1], atol=1e-5, err_msg=name)


# --- Records that would train on wrong data ---------------------------------------------------

@pytest.mark.parametrize("bboxes, box, shown", [
    ([0.5, 0.5, 0.2, 0.2, float("nan"), 0.5, 0.2, 0.2], 2, "nan"),
    ([0.5, float("inf"), 0.2, 0.2], 1, "inf"),
    ([0.5, 0.5, 0.2, float("-inf")], 1, "-inf"),
])
@pytest.mark.parametrize("training", [True, False])
def test_non_finite_boxes_are_refused_naming_the_record(tmp_path, bboxes, box, shown, training):
    data = record("n.jpg", objects=[0] * (len(bboxes) // 4), bboxes=bboxes)
    with pytest.raises(ValueError) as raised:
        reader(tmp_path).load_instance(data, training=training)
    assert str(raised.value) == "[ERROR]: Record n.jpg: ``bboxes`` holds a value that is not finite (%s) in box %d" % (
        shown, box)


@pytest.mark.parametrize("objects, shown", [
    ([3], 3),                       # == number of classes
    ([0, -1], -1),                  # would become the background label
    ([2 ** 32 + 1], 2 ** 32 + 1),   # wrapped to 1 (2 with the offset) by int32
    ([2 ** 63 - 1], 2 ** 63 - 1),
])
@pytest.mark.parametrize("training", [True, False])
def test_class_ids_outside_the_class_list_are_refused(tmp_path, objects, shown, training):
    data = record("c.jpg", objects=objects, bboxes=[0.5, 0.5, 0.2, 0.2] * len(objects))
    with pytest.raises(ValueError) as raised:
        reader(tmp_path).load_instance(data, training=training)
    assert str(raised.value) == "[ERROR]: Record c.jpg: class id %d is not an index of the 3 classes" % shown


def test_class_count_without_background(tmp_path):
    ds = reader(tmp_path, add_bkg_class=False)
    _, boxes, _ = ds.load_instance(record(objects=[2], bboxes=[0.5, 0.5, 0.2, 0.2]), training=False)
    assert boxes[0, 4] == 2
    with pytest.raises(ValueError, match="class id 3 is not an index of the 3 classes"):
        ds.load_instance(record(objects=[3], bboxes=[0.5, 0.5, 0.2, 0.2]), training=False)


# --- Corrupt bytes ----------------------------------------------------------------------------

CORRUPT = {
    "not utf-8": b"\xff\x00garbage",       # TensorFlow's error text would not decode
    "random": bytes(np.random.RandomState(3).randint(0, 256, 200, dtype=np.uint8)),
    "cut": record("t.jpg", 8, 8)[:-3],
    "bad key": _field(1, _field(1, _field(1, b"\xff\xfe") + _field(2, _field(1, _field(1, b"x"))))),
}


@pytest.mark.parametrize("name", list(CORRUPT))
@pytest.mark.parametrize("as_tensor", [False, True])
def test_corrupt_bytes_are_not_a_valid_example(tmp_path, name, as_tensor):
    data = CORRUPT[name]
    with pytest.raises(ValueError) as raised:
        reader(tmp_path).load_instance(tf.constant(data) if as_tensor else data, training=False)
    assert not isinstance(raised.value, UnicodeDecodeError)
    assert str(raised.value).startswith("[ERROR]: A record of %d bytes is not a valid tf.train.Example (" % len(data))


def test_corrupt_record_fails_the_pipeline_with_the_clear_error(tmp_path):
    ds = reader(tmp_path)
    ds.val_storage = [write_records(tmp_path / "bad" / "x.tfrecord", [CORRUPT["not utf-8"]])]
    with pytest.raises(tf.errors.InvalidArgumentError, match="is not a valid tf.train.Example"):
        list(ds.build_val_iterator())


@pytest.mark.parametrize("content, problem", [
    (b"\x00" * 40, "corrupt (checksum mismatch)"),
    (b"some text that is not a record file", "corrupt (checksum mismatch)"),
    (b"\x05\x00\x00", "cut short"),
])
def test_file_that_is_not_a_tfrecord_file_is_named_when_listed(tmp_path, content, problem):
    info = description(tmp_path)
    bad = tmp_path / "val" / "zz.tfrecord"
    bad.write_bytes(content)
    with pytest.raises(ValueError) as raised:
        yaml_dataset(tmp_path, info)
    assert str(raised.value) == "[ERROR]: %s is not a TFRecord file: its first record header is %s" % (bad, problem)


def test_empty_record_file_is_listed(tmp_path):
    info = description(tmp_path)
    (tmp_path / "val" / "empty.tfrecord").write_bytes(b"")
    ds = yaml_dataset(tmp_path, info)
    assert len(ds.val_storage) == 2


# --- Converter: 16-bit grey and non-finite values ---------------------------------------------

def test_converter_scales_sixteen_bit_grey(tmp_path):
    path, info = darknet_tree(tmp_path / "dk", n_train=1, n_val=1)
    levels = (np.arange(40 * 30, dtype=np.uint32) * 53 % 65536).astype(np.uint16).reshape(30, 40)
    Image.fromarray(levels).save(os.path.join(info["validation"]["images"], "deep.png"))
    with open(os.path.join(info["validation"]["annotations"], "deep.txt"), "w") as f:
        f.write("0 0.5 0.5 0.2 0.2\n")
    converter.convert(str(path), str(tmp_path / "out"))
    ds = tfrecord.TFRecordDatasetYaml(str(tmp_path / "out" / "dataset.yaml"), shape=[32, 32, 3])
    images = {name.numpy()[0]: image[0].numpy() for image, _, name in ds.build_val_iterator()}
    deep = images[b"deep.png"].astype(int)
    expected = (levels >> 8).astype(int)
    assert deep.shape == (30, 40, 3)
    assert abs(deep.mean() - expected.mean()) < 2  # JPEG, not white (mean 255)
    assert np.abs(deep[..., 0] - expected).mean() < 4


def test_converter_refuses_non_finite_values(tmp_path):
    path, info = darknet_tree(tmp_path / "dk", n_train=2, n_val=1)
    with open(os.path.join(info["train"]["annotations"], "img0.txt"), "w") as f:
        f.write("0 inf 0.5 inf 0.2\n")
    with pytest.raises(ValueError, match="img0.txt:1: a value is not a finite number"):
        converter.convert(str(path), str(tmp_path / "out"))


def test_record_tensorflow_refuses_quoting_its_bytes_names_its_features(tmp_path):
    # A map entry with a stray field and its key given twice (the second wins, no value):
    # TensorFlow's parser refuses the record and quotes its bytes (JPEG, not UTF-8) in an error
    # text it then cannot build.
    entry = _field(1, _field(1, b"image_name") + _field(6, _varint(9), 0) + _field(1, b"r.jpg"))
    data = _field(1, _feature("image", 1, _field(1, encode(8, 6))) + entry
                  + _feature("width", 3, _field(1, _varint(8), 0)) + _feature("height", 3, _field(1, _varint(6), 0)))
    with pytest.raises(UnicodeDecodeError):
        tf.io.parse_single_example(data, {"image_name": tf.io.FixedLenFeature([], tf.string)})
    with pytest.raises(ValueError) as raised:
        reader(tmp_path).load_instance(data, training=False)
    assert str(raised.value).startswith("[ERROR]: A record of %d bytes does not hold this dataset's features: it has "
                                        "['height', 'image', 'width'], where image, image_name (bytes)"
                                        % len(data))
