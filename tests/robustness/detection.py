"""Memory growth of a dataset's training iterator and of its sample reader, run in a child
process (a case of kind "leak" in a corpus): a few thousand tiny samples after a warm-up, with
the resident memory measured before and after."""
import gc
import json

from tests.robustness.harness import rss_kib


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
