"""The attitude datasets under malformed input and long runs: every input of the corpus ends in
success or a clear error of the expected kind, in a child process (no crash, no hang), and the
training iterators keep their memory bounded."""
import json
import os
import subprocess
import sys

from tests.robustness import corpus_attitude
from tests.robustness.harness import ROOT, SCALE, replay

TRAINING_CLASSES = ["AttitudeDataset", "AttitudeDatasetJson", "AttitudeAndDetectDataset"]


def test_corpus_gives_clear_errors_only(tmp_path):
    cases = corpus_attitude.make_cases(str(tmp_path), SCALE)
    report = replay("tests.robustness.corpus_attitude", cases, timeout=30, label="attitude")
    print(report.summary())
    assert report.faults == []
    assert report.count("crash") == report.count("hang") == 0
    assert len(report.outcomes) == len(cases) >= 300


def test_training_iterators_keep_memory_bounded(tmp_path):
    corpus_attitude.write_leak_split(str(tmp_path))
    samples, warmup = 2000 * SCALE, 400
    code = "from tests.robustness.corpus_attitude import leak_run; leak_run(%r, %r, %d, %d)" % (
        str(tmp_path), TRAINING_CLASSES, samples, warmup)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3",
               PYTHONPATH=os.pathsep.join([ROOT, os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    runs = [json.loads(line) for line in out.stdout.splitlines() if line.startswith("{")]
    assert [r["class"] for r in runs] == TRAINING_CLASSES
    for run in runs:
        growth_kib = run["end"] - run["warm"]
        print("%s: %d samples, RSS %+d KiB after the first %d" % (run["class"], run["samples"], growth_kib, warmup))
        # One 48 x 64 image kept per sample would add about 14 MB over these samples.
        assert run["samples"] >= samples and growth_kib < 4096, run
