"""Segmentation datasets under malformed inputs (each replayed in a child process) and a long run
of the training iterator: no crash, no hang, the expected kind of error, memory that stays flat."""
import json
import os
import subprocess
import sys

from tests.robustness import corpus_segmentation as corpus
from tests.robustness.harness import ROOT, SCALE, replay


def test_malformed_inputs_end_in_clear_errors(tmp_path):
    cases = corpus.build_cases(str(tmp_path), scale=SCALE)
    report = replay("tests.robustness.corpus_segmentation", cases, timeout=60)
    print(report.summary())
    assert len(report.outcomes) == len(cases)
    assert report.faults == []
    kinds = {o.kind for o in report.outcomes}
    assert kinds == {"ok", "error"}  # the corpus holds both good and bad inputs


def test_training_iterator_memory_stays_flat(tmp_path):
    corpus.write_leak_samples(str(tmp_path))
    env = dict(os.environ, PYTHONPATH=ROOT, TF_CPP_MIN_LOG_LEVEL="3")
    out = subprocess.run([sys.executable, "-m", "tests.robustness.corpus_segmentation", "leak", str(tmp_path), "1500"],
                         cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
    result = json.loads(out.stdout.strip().splitlines()[-1])
    warm, middle, end = result["rss_kib"]
    print(result)
    assert result["samples"] >= 3000
    # Leaking one image (3 KiB) per sample would add 4.5 MiB over the second 1,500 samples.
    assert end - middle < 1024, result
