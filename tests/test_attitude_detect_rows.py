"""The attitude-and-detection loader's boxes and angles: for every record, the arrays the
documented NumPy steps give (xywhn2xyxy in float64, negatives zeroed, labels offset, float32),
whichever way the loader computes them, and the same errors."""
import json

import numpy as np
import pytest

from vireo.quillon.datasets import attitude as A
from vireo.quillon.datasets.utils import xywhn2xyxy

from test_attitude import element, json_split, make


def expected_rows(record, shape, offset):
    if "boxes" in record:
        boxes = np.reshape(np.asarray(record["boxes"], dtype=np.float64), (-1, 5))
    else:
        boxes = np.array([[0, 0, 0, 0, 0]], dtype=np.float32)
    boxes = xywhn2xyxy(boxes, shape[1], shape[0], 0, 0)
    boxes[boxes < 0] = 0
    boxes[:, 4] = boxes[:, 4] + offset
    rows = [[face.get("pitch"), face.get("yaw"), face.get("roll")] for face in record.get("angles", [])]
    return boxes.astype(np.float32), np.asarray(rows or [[0, 0, 0]], dtype=np.float32)


def random_record(rng, faces):
    boxes = [[float(v) for v in rng.uniform(-0.2, 1.2, 4)] + [int(rng.integers(0, 3))] for _ in range(faces)]
    angles = [dict(zip(("pitch", "yaw", "roll"), (float(v) for v in rng.uniform(-99, 99, 3)))) for _ in range(faces)]
    return {"boxes": boxes, "angles": angles}


RECORDS = {
    "random, one face": random_record(np.random.default_rng(1), 1),
    "random, five faces": random_record(np.random.default_rng(2), 5),
    "integers and whole floats": {"boxes": [[0, 1, 1, 2, 2.0], [1, 0, 3, 1, 0]],
                                  "angles": [{"pitch": 1, "yaw": -2, "roll": 3.0}]},
    "negative zero and tiny values": {"boxes": [[-0.0, 1e-300, 0.5, 5e-324, 0]],
                                      "angles": [{"pitch": -0.0, "yaw": 1e-46, "roll": 0.1}]},
    "corners rounding in float32": {"boxes": [[1 / 3, 2 / 3, 0.1, 0.7, 1]],
                                    "angles": [{"pitch": 16777217, "yaw": 0.1, "roll": 3.4028235e38}]},
    "no faces": {"boxes": [], "angles": []},
    "boxes without angles": {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]]},
    "a flat list of boxes": {"boxes": [0.5, 0.5, 0.5, 0.5, 0, 0.2, 0.2, 0.1, 0.1, 1], "angles": []},
    "true as a number": {"boxes": [[0.5, 0.5, True, 0.5, 0]], "angles": [{"pitch": True, "yaw": 0, "roll": 0}]},
    "extra keys": {"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 1, "yaw": 2, "roll": 3, "id": "x"}],
                   "note": "kept aside"},
}


@pytest.mark.parametrize("record", RECORDS.values(), ids=list(RECORDS))
@pytest.mark.parametrize("add_bkg_class, shape", [(True, [20, 24, 3]), (False, [37, 101, 3])])
def test_boxes_and_angles_are_those_of_the_numpy_steps(tmp_path, record, add_bkg_class, shape):
    ds = make(A.AttitudeAndDetectDataset, json_split(tmp_path, [record]), shape=shape, classes=["face"],
              add_bkg_class=add_bkg_class)
    _, boxes, angles = ds._load_instance(element(ds.train_storage[0]))
    want_boxes, want_angles = expected_rows(json.loads(json.dumps(record)), shape, ds.label_offset)
    for got, want in ((boxes, want_boxes), (angles, want_angles)):
        assert got.dtype == np.float32 and got.shape == want.shape and got.flags.c_contiguous
        assert got.tobytes() == want.tobytes()  # bit for bit, signed zeros included


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize("record, message", [
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 1.5]], "angles": []}, "class id 1.5: not a whole number from 0"),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, -1]], "angles": []}, "class id -1.0: not a whole number from 0"),
    ({"boxes": [[0.5, 0.5, 1e300, 0.5, 0]], "angles": []}, "does not give finite float32 pixel corners"),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 1, "yaw": 2}]}, "the roll is None"),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [{"pitch": 1e39, "yaw": 2, "roll": 3}]}, "the pitch is 1e+39"),
    ({"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1, 2, 3]]}, "must be an object with pitch, yaw and roll"),
])
def test_unusable_numbers_raise_the_loader_errors(tmp_path, record, message):
    ds = make(A.AttitudeAndDetectDataset, json_split(tmp_path, [record]), classes=["face"])
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace("+", r"\+")):
        ds._load_instance(element(ds.train_storage[0]))
