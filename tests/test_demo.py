"""The main job on a tiny generated dataset: two epochs through the real dataset, schedule,
logger and trainer, with every promised file written."""
import csv
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)


@pytest.mark.parametrize("tfrecord", [False, True], ids=["darknet", "tfrecord"])
def test_two_epoch_demo_writes_everything(tmp_path, tfrecord):
    from examples import demo

    argv = ["--out", str(tmp_path), "--epochs", "2", "--train-images", "16", "--val-images", "6", "--no-extras"]
    paths, final_map = demo.main(argv + (["--tfrecord"] if tfrecord else []))

    for key in ("best checkpoint", "last checkpoint", "summary", "results plot", "validation report",
                "first training batch", "TFRecord description"):
        assert os.path.isfile(paths[key]), key
    with open(paths["summary"], newline="", encoding="utf8") as f:
        rows = list(csv.DictReader(f))
    assert [int(r["epoch"]) for r in rows] == [0, 2]  # initial validation, then every second epoch
    assert 0.0 <= final_map <= 1.0
    assert any(name.startswith("events.out.tfevents") for name in os.listdir(tmp_path / "tensorboard"))
