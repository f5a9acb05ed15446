"""The schedule, the TensorBoard logger and the detection trainer under hostile arguments and
calls: every case ends in success or a clear error of the expected kind, in a child process
(no crash, no hang)."""
from tests.robustness import corpus_trainer
from tests.robustness.harness import SCALE, Report, replay


def test_hostile_arguments_end_in_clear_errors(tmp_path):
    cases = corpus_trainer.make_cases(str(tmp_path), SCALE)
    report = replay("tests.robustness.corpus_trainer", cases, timeout=60, label="schedule, logger and trainer")
    for module in ("schedule", "logger", "trainer"):
        print(Report(module, [o for o in report.outcomes if o.name.startswith(module + " ")]).summary())
    assert report.count("crash") == report.count("hang") == 0, report.faults
    assert report.faults == []
    assert len(report.outcomes) == len(cases) >= 300
    assert report.count("error") > len(cases) // 2  # the corpus does reach the checks
