"""The harness itself: each outcome is told apart, and a crash or hang does not hide later cases."""
from tests.robustness.harness import replay


def test_outcomes_are_told_apart_and_replay_goes_on():
    cases = [
        {"name": "ok", "action": "ok"},
        {"name": "crash", "action": "crash"},
        {"name": "error", "action": "error", "expect": ("ValueError",)},
        {"name": "hang", "action": "hang"},
        {"name": "wrong", "action": "wrong", "expect": ("ValueError",)},
        {"name": "last", "action": "ok"},
    ]
    report = replay("tests.robustness.corpus_selftest", cases, timeout=3)
    assert [o.kind for o in report.outcomes] == ["ok", "crash", "error", "hang", "error", "ok"]
    assert [f.split(":")[0] for f in report.faults] == ["crash", "hang", "wrong"]
    assert "6 inputs, 1 clear errors, 2 accepted, 1 unexpected outcomes, 1 crashes, 1 hangs" in report.summary()
