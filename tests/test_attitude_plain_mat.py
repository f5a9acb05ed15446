"""The MATLAB head-pose loader reads plain annotation files natively: the angles of every such
file are those read_annotations (scipy.io.loadmat) gives, and every other file, a replaced
read_annotations included, still goes through read_annotations with its values and errors."""
import os

import numpy as np
import pytest
import scipy.io as sio

from vireo.quillon.datasets import attitude as A

from robustness import matlab_bytes as mb
from test_attitude import element, make, mat_split

POSE = [[1.5, -2.25, 3.0, 0.1, 0.2, 0.3, 0.4]]


def savemat_file(pose=POSE, pt2d=np.arange(136.0).reshape(2, 68), extra=None, **options):
    def write(path):
        sio.savemat(path, {"Pose_Para": pose, "pt2d": pt2d, **(extra or {})}, **options)
    return write


def bytes_file(data):
    def write(path):
        with open(path, "wb") as f:
            f.write(data)
    return write


def int64_pose(order="<"):
    values = np.asarray(POSE, np.dtype(np.int64).newbyteorder(order))
    pose = mb.matrix(order, mb.DOUBLE_CLASS, [1, 7], "Pose_Para", mb.element(order, 12, values.tobytes(order="F")))
    return mb.mat_file(order, pose, mb.numbers(order, "pt2d", np.zeros((2, 68))))


PLAIN = {
    "row, as 300W-LP stores it": savemat_file(),
    "compressed": savemat_file(do_compression=True),
    "vector saved as a column": savemat_file(pose=np.asarray(POSE[0]), oned_as="column"),
    "first row of three": savemat_file(pose=np.array([[4.0, 5.0, 6.0], [7.0, 8.0, 9.0], [1.0, 2.0, 3.0]])),
    "single precision": savemat_file(pose=np.asarray(POSE, np.float32)),
    "double not exact in float32": savemat_file(pose=[[0.1, 1e-40, 3.4e38]]),
    "int16 values": savemat_file(pose=np.array([[-300, 2, 30000]], np.int16)),
    "uint32 values": savemat_file(pose=np.array([[4294967295, 16777217, 7]], np.uint32)),
    "int8 landmarks, other variables": savemat_file(pt2d=np.zeros((2, 68), np.int8),
                                                     extra={"Shape_Para": np.ones((199, 1)), "roi": np.ones((1, 4))}),
    "big-endian bytes": bytes_file(mb.pose_file(">")),
    "little-endian bytes": bytes_file(mb.pose_file("<")),
}

OTHER = {
    "a cell variable beside": savemat_file(extra={"names": np.array(["a", "b"], dtype=object)}),
    "a text variable beside": savemat_file(extra={"note": "a face"}),
    "complex angles": savemat_file(pose=np.array([[1 + 1j, 2, 3]])),
    "logical angles": savemat_file(pose=np.array([[True, False, True]])),
    "64-bit integers": bytes_file(int64_pose()),
    "trailing bytes": bytes_file(mb.pose_file("<") + b"\0\0\0"),
    "level 4": savemat_file(pose=np.array([[1.5, -2.25, 3.0]]), format="4"),
    "no pt2d": lambda path: sio.savemat(path, {"Pose_Para": POSE}),
    "no Pose_Para": lambda path: sio.savemat(path, {"pt2d": np.zeros((2, 68))}),
    "two angles": savemat_file(pose=[[1.0, 2.0]]),
    "an angle past float32": savemat_file(pose=[[1.0, 1e39, 3.0]]),
    "a NaN angle": savemat_file(pose=[[1.0, np.nan, 3.0]]),
    "cut short": lambda path: (savemat_file()(path), os.truncate(path, 200)),
}


@pytest.fixture
def loadmat_calls(count_calls):
    return count_calls(sio, "loadmat")


def outcome(call):
    try:
        return call()
    except Exception as error:  # the exact error is compared
        return type(error), str(error)


def angles_of(ds, storage_entry):
    return outcome(lambda: ds._load_instance(element(storage_entry))[1].tolist())


def expected_angles(ds, path):
    return outcome(lambda: [float(v) for v in ds.read_annotations(path)[0]])


@pytest.mark.parametrize("write", PLAIN.values(), ids=list(PLAIN))
@pytest.mark.parametrize("cls", [A.AttitudeDataset, A.AttitudeDatasetYaml], ids=["base", "yaml"])
def test_plain_files_give_read_annotations_angles_without_loadmat(tmp_path, write, cls, loadmat_calls):
    ds = make(A.AttitudeDataset, mat_split(tmp_path))
    ds.__class__ = cls  # the YAML class inherits the loader; its constructor needs a file
    image, annotation = ds.train_storage[0]
    write(annotation)
    expected = expected_angles(ds, annotation)
    loadmat_calls.clear()
    got = angles_of(ds, (image, annotation))
    assert loadmat_calls == []
    assert got == expected and isinstance(got, list)


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize("write", OTHER.values(), ids=list(OTHER))
def test_other_files_go_through_read_annotations(tmp_path, write, loadmat_calls):
    ds = make(A.AttitudeDataset, mat_split(tmp_path))
    image, annotation = ds.train_storage[0]
    write(annotation)
    expected = expected_angles(ds, annotation)
    loadmat_calls.clear()
    assert angles_of(ds, (image, annotation)) == expected
    assert len(loadmat_calls) == 1


def test_a_replaced_read_annotations_is_used(tmp_path):
    class Shifted(A.AttitudeDataset):
        def read_annotations(self, annotations_path=None):
            pose, pt2d = super().read_annotations(annotations_path)
            return pose + 100, pt2d

    f = mat_split(tmp_path)
    for ds in (make(Shifted, f), make(A.AttitudeDataset, f)):
        if type(ds) is A.AttitudeDataset:  # replaced on the instance this time
            ds.read_annotations = lambda path: (np.float32([7, 8, 9]), None)
        image, annotation = ds.train_storage[1]
        stored = sio.loadmat(annotation)["Pose_Para"][0][:3]
        expected = [float(v) + 100 for v in stored] if isinstance(ds, Shifted) else [7.0, 8.0, 9.0]
        assert ds._load_instance(element((image, annotation)))[1].tolist() == expected
