"""Robustness of the Darknet and TFRecord datasets: malformed inputs replayed in child processes
(no crash, no hang, only the clear errors each case names), and the memory of each training
iterator and sample reader over a few thousand samples.

VIREO_FUZZ_SCALE enlarges the random parts of the corpora."""
import json

import pytest

from tests.robustness import corpus_darknet, corpus_tfrecord
from tests.robustness.harness import SCALE, replay

CORPORA = {"darknet": corpus_darknet, "tfrecord": corpus_tfrecord}


@pytest.mark.parametrize("module", list(CORPORA))
def test_malformed_inputs_end_in_clear_errors(tmp_path, module):
    corpus = CORPORA[module]
    cases = corpus.make_cases(str(tmp_path), scale=SCALE)
    report = replay(corpus.__name__, cases, timeout=60, label=module)
    print(report.summary())
    assert report.count("crash") == 0 and report.count("hang") == 0, report.faults
    assert report.faults == []
    assert report.count("error") > len(cases) // 2  # the corpus does reach the checks


@pytest.mark.parametrize("module", list(CORPORA))
def test_training_iterator_and_reader_do_not_grow(tmp_path, module):
    corpus = CORPORA[module]
    case = {"name": module + " leak check", "kind": "leak", "root": str(tmp_path / "data"),
            "report": str(tmp_path / "rss.json"), "samples": 3000, "warmup": 600,
            "iterator_bound_kib": 16 * 1024, "reader_bound_kib": 4 * 1024, "expect": ()}
    report = replay(corpus.__name__, [case], timeout=300, label=module)
    assert report.faults == []
    with open(case["report"]) as f:
        print(module, json.load(f))
