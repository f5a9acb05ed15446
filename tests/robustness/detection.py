"""What the Darknet and TFRecord corpora share: the cases of impossible input shapes, the
dataset a case loads with (built once per child), and the memory check of a dataset's training
iterator and sample reader (a few thousand tiny samples after a warm-up, the resident memory
measured before and after)."""
import gc
import json

from tests.robustness.harness import rss_kib


SHAPES = [
    ("zero sides", [0, 0, 3], ("ValueError",)),
    ("2**40 sides", [2 ** 40, 2 ** 40, 3], ("ValueError",)),
    ("NaN height", [float("nan"), 32, 3], ("ValueError",)),
    ("NaN width", [32, float("nan"), 3], ("ValueError",)),
    ("None sides", [None, None, 3], ("TypeError",)),
    ("one entry", [32], ("ValueError",)),
    ("1 x 1", [1, 1, 3], ("ok",)),
    ("1 x 5000", [1, 5000, 3], ("ok",)),
    ("1 x 5000, one channel", [1, 5000, 1], ("ok",)),
]


def shape_cases(root, data):
    """Training loads of `data` with the dataset's shape set to each of SHAPES, letterboxed and
    plainly resized."""
    return [{"name": "shape %s (letter_box=%s)" % (name, letter_box), "kind": "load", "root": root, "data": data,
             "training": True, "shape": shape, "letter_box": letter_box, "expect": expect}
            for letter_box in (True, False) for name, shape, expect in SHAPES]


_datasets = {}


def dataset(case, build):
    """`build(letter_box)` once per root, letter_box and shape; the shape is then set as the
    case gives it (shapes the constructor's type rule would never let through)."""
    key = (case["root"], repr(case.get("shape")), case.get("letter_box", True))
    if key not in _datasets:
        ds = build(case.get("letter_box", True))
        ds.shape = case.get("shape", [32, 32, 3])
        _datasets[key] = ds
    return _datasets[key]


def _iterate(iterator, samples):
    seen = 0
    while seen < samples:
        images, _ = next(iterator)
        seen += int(images.shape[0])
    return seen


def _read(dataset, element, samples):
    for i in range(samples):
        dataset.load_instance(element, i % 2 == 0)


def _growth(step, warmup, samples):
    step(warmup)
    gc.collect()
    start = rss_kib()
    step(samples)
    gc.collect()
    return rss_kib() - start


def measure(case, dataset, element):
    """Writes {"iterator_kib": ..., "reader_kib": ..., "samples": ...} to case["report"] and
    fails when a growth passes its bound (case["iterator_bound_kib"], case["reader_bound_kib"])."""
    samples, warmup = case["samples"], case["warmup"]
    iterator = iter(dataset.build_train_iterator(batch_size=8).repeat())
    result = {
        "samples": samples,
        "iterator_kib": _growth(lambda n: _iterate(iterator, n), warmup, samples),
        "reader_kib": _growth(lambda n: _read(dataset, element, n), warmup, samples),
    }
    with open(case["report"], "w") as f:
        json.dump(result, f)
    for key in ("iterator", "reader"):
        if result[key + "_kib"] > case[key + "_bound_kib"]:
            raise AssertionError("%s grew by %d KiB over %d samples (bound %d KiB)"
                                 % (key, result[key + "_kib"], samples, case[key + "_bound_kib"]))
