"""The detection datasets' training iterator (datasets/core.py), which loads a whole batch per
tf.numpy_function call: its elements equal those of the sample-by-sample chain it replaced
(load_instance per element, then padded_batch), in the same order, with the same errors."""
import os

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from vireo.quillon.datasets import darknet as dk
from vireo.quillon.datasets import tfrecord as tr
from vireo.quillon.datasets.tools.darknet_to_tfrecord import convert

SHAPE = [24, 32, 3]


def darknet_files(root, count=9, broken=None):
    """`count` noise images with 0 to 3 boxes each; sample `broken` gets an unreadable label."""
    rng = np.random.default_rng(5)
    split = {}
    for part in ("train", "validation"):
        images, labels = root / part / "images", root / part / "labels"
        images.mkdir(parents=True)
        labels.mkdir(parents=True)
        for i in range(count):
            size = (int(rng.integers(20, 60)), int(rng.integers(20, 60)))
            Image.fromarray(rng.integers(0, 256, size[::-1] + (3,), dtype=np.uint8)).save(images / ("%02d.jpg" % i))
            rows = ["%d %.3f %.3f %.3f %.3f" % (i % 2, *rng.uniform(0.3, 0.7, 2), *rng.uniform(0.1, 0.4, 2))
                    for _ in range(i % 4)]
            text = "0 0.5 x 0.2 0.2\n" if i == broken else "\n".join(rows) + "\n"
            (labels / ("%02d.txt" % i)).write_text(text)
        split[part] = {"images": str(images), "annotations": str(labels)}
    path = root / "dataset.yaml"
    path.write_text(yaml.safe_dump({"type": "darknet", "classes": ["a", "b"], **split}))
    return str(path)


def per_sample_chain(ds, batch_size):
    """The chain before batches were loaded whole: load_instance per storage element (eagerly,
    on its NumPy value), then padded_batch."""
    return (ds.build_and_load_base_iterator(ds.train_storage, shuffle=True)
            .map(ds._read(True), num_parallel_calls=tf.data.AUTOTUNE)
            .padded_batch(batch_size, padded_shapes=([ds.shape[0], ds.shape[1], None], [None, 5]))
            .map(lambda images, boxes: (images, (boxes,))))


def two_passes(iterator):
    tf.random.set_seed(17)
    return [[(images.numpy(), boxes.numpy()) for images, (boxes,) in iterator()] for _ in range(2)]


def datasets(tmp_path, **files):
    darknet_yaml = darknet_files(tmp_path / "darknet", **files)
    convert(darknet_yaml, str(tmp_path / "records"), shard_size=4)
    return {"darknet": dk.DarknetDatasetYaml(darknet_yaml, SHAPE, True),
            "darknet plain resize": dk.DarknetDatasetYaml(darknet_yaml, SHAPE, False),
            "tfrecord": tr.TFRecordDatasetYaml(str(tmp_path / "records" / "dataset.yaml"), shape=SHAPE)}


@pytest.mark.parametrize("name", ["darknet", "darknet plain resize", "tfrecord"])
@pytest.mark.parametrize("batch_size", [2, 4, 16])
def test_batches_equal_the_per_sample_chain(tmp_path, name, batch_size):
    ds = datasets(tmp_path)[name]
    tf.random.set_seed(17)
    ours = ds.build_train_iterator(batch_size=batch_size)
    assert ours.element_spec == (tf.TensorSpec([None, SHAPE[0], SHAPE[1], None], tf.uint8),
                                 (tf.TensorSpec([None, None, 5], tf.float32),))
    got = two_passes(lambda: ds.build_train_iterator(batch_size=batch_size))
    want = two_passes(lambda: per_sample_chain(ds, batch_size))
    assert [len(p) for p in got] == [len(p) for p in want] == [-(-9 // batch_size)] * 2
    for got_pass, want_pass in zip(got, want):
        for (images, boxes), (want_images, want_boxes) in zip(got_pass, want_pass):
            assert images.dtype == np.uint8 and boxes.dtype == np.float32
            np.testing.assert_array_equal(images, want_images)
            np.testing.assert_array_equal(boxes, want_boxes)
    orders = [[int(image.sum()) for images, _ in batches for image in images] for batches in got]
    assert orders[0] != orders[1]  # reshuffled each pass


def test_batch_arrays_start_aligned_for_tensorflow(tmp_path):
    ds = datasets(tmp_path)["darknet"]
    entries = np.array([[path.encode() for path in entry] for entry in ds.train_storage[:3]], dtype=object)
    images, boxes = ds._load_train_batch(entries)
    assert images.ctypes.data % 64 == 0 and images.flags.c_contiguous
    assert images.shape == (3, SHAPE[0], SHAPE[1], 3) and boxes.shape[0] == 3


def test_a_broken_sample_surfaces_as_in_the_per_sample_chain(tmp_path):
    ds = dk.DarknetDatasetYaml(darknet_files(tmp_path, broken=4), SHAPE, True)
    errors = []
    for iterator in (ds.build_train_iterator(batch_size=3), per_sample_chain(ds, 3)):
        with pytest.raises(tf.errors.OpError) as info:
            list(iterator)
        errors.append(info.value)
    assert type(errors[0]) is type(errors[1])
    for error in errors:
        assert "Invalid annotation file %s" % os.path.join(ds.train_storage[0][1].rpartition(os.sep)[0], "04.txt") \
            in str(error)


@pytest.mark.parametrize("name", ["darknet", "tfrecord"])
def test_training_iterator_runs_without_autotuning(tmp_path, name):
    """With autotuning on, whole passes could run one batch load at a time on two cores."""
    iterator = datasets(tmp_path)[name].build_train_iterator(4)
    assert iterator.options().autotune.enabled is False
    assert sum(images.shape[0] for images, _ in iterator) == 9
