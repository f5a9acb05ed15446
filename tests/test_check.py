"""The dataset check: datasets on disk with one planted problem each are reported with that
problem's file and place and nothing else; clean datasets pass and stream through their
training iterators; descriptions the datasets refuse give exit status 2 with a message that
names the key."""
import json
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

import check_datasets as cd
from tests.robustness import matlab_bytes
from vireo.quillon.datasets.tools import check, scanner

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHAPE = [32, 32, 3]


def build(fmt, root):
    """A clean dataset of `fmt`: (description path, keyword arguments of check.check)."""
    if fmt == "darknet":
        return cd.darknet(root), {}
    if fmt == "tfrecord":
        return cd.tfrecord(tf, root), {}
    if fmt == "segmentation":
        return cd.segmentation(root), {}
    if fmt == "coco":
        path, images = cd.coco(root)
        return path, {"images_dir": images}
    layout = {"attitude": "mat", "attitude-detect": "detect", "attitude-json": "crop"}[fmt]
    return cd.attitude(root, layout), {"fmt": fmt}


def stream(fmt, path, images_dir=None):
    """Builds the dataset class for `fmt` and runs its iterators over every sample; returns the
    number of elements served."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if fmt == "darknet":
            from vireo.quillon.datasets.darknet import DarknetDatasetYaml
            ds = DarknetDatasetYaml(path, SHAPE)
            iterators = [ds.build_train_iterator(batch_size=2), ds.build_val_iterator(batch_size=1)]
        elif fmt == "tfrecord":
            from vireo.quillon.datasets.tfrecord import TFRecordDatasetYaml
            ds = TFRecordDatasetYaml(path, shape=SHAPE)
            iterators = [ds.build_train_iterator(batch_size=2), ds.build_val_iterator(batch_size=1)]
        elif fmt == "segmentation":
            from vireo.quillon.datasets.segmentation import SegmentationDatasetYaml
            ds = SegmentationDatasetYaml(path, shape=SHAPE, tasks=["segment"])
            iterators = [ds.build_train_iterator(batch_size=1), ds.build_val_iterator()]
        elif fmt == "coco":
            from vireo.quillon.datasets.segmentation import SegmentationDatasetJsonCOCO
            ds = SegmentationDatasetJsonCOCO(train_json_file=path, train_images=images_dir, shape=SHAPE,
                                             tasks=["segment"])
            iterators = [ds.build_train_iterator(batch_size=1)]
        else:
            from vireo.quillon.datasets import attitude
            cls = {"attitude": attitude.AttitudeDatasetYaml, "attitude-detect": attitude.AttitudeAndDetectDatasetYaml,
                   "attitude-json": attitude.AttitudeDatasetJsonYaml}[fmt]
            iterators = [cls(shape=SHAPE, info_file=path).build_train_iterator(batch_size=2)]
        return sum(1 for iterator in iterators for _ in iterator)


def findings(report):
    return [f for split in report["splits"].values() for f in split["findings"]]


FORMATS = ["darknet", "tfrecord", "segmentation", "coco", "attitude", "attitude-detect", "attitude-json"]


@pytest.mark.parametrize("fmt", FORMATS)
def test_clean_dataset_passes_and_streams(tmp_path, fmt):
    path, options = build(fmt, str(tmp_path))
    report = check.check(path, **options)
    assert findings(report) == []
    assert report["exit_status"] == 0
    assert report["format"] == fmt
    assert all(split["samples"] > 0 and split["samples_failing"] == 0 for split in report["splits"].values())
    assert stream(fmt, path, options.get("images_dir")) > 0


def plants():
    layouts = {"mat": "attitude", "detect": "attitude-detect", "crop": "attitude-json"}
    cases = [("darknet", p) for p in cd.DARKNET_PLANTS] + [("tfrecord", p) for p in cd.TFRECORD_PLANTS]
    cases += [("segmentation", p) for p in cd.SEGMENTATION_PLANTS] + [("coco", p) for p in cd.COCO_PLANTS]
    cases += [(layouts[p.__name__.split("_")[0]], p) for p in cd.ATTITUDE_PLANTS]
    return [pytest.param(fmt, plant, id="%s-%s-%d" % (fmt, plant.__name__, i)) for i, (fmt, plant) in enumerate(cases)]


@pytest.mark.parametrize("fmt,plant", plants())
def test_planted_problem_is_reported_alone(tmp_path, fmt, plant):
    root = str(tmp_path)
    path, options = build(fmt, root)
    expected = plant(tf, root) if fmt == "tfrecord" else plant(root)
    report = check.check(path, **options)
    found = cd.relative(root, findings(report))
    assert cd.matches(expected, found), "expected %s, found %s" % (expected, found)
    assert report["exit_status"] == (1 if any(e[0] == "error" for e in expected) else 0)
    if report["exit_status"] == 0:  # what passes must load
        assert stream(fmt, path, options.get("images_dir")) > 0


IMAGE_PLANTS = [p for p in cd.DARKNET_PLANTS if p.__name__.startswith("image-")]


@pytest.mark.parametrize("plant", IMAGE_PLANTS, ids=lambda p: p.__name__)
def test_decoding_agrees_with_headers(tmp_path, plant):
    root = str(tmp_path)
    path = cd.darknet(root)
    expected = plant(root)
    report = check.check(path, split="train", decode=True)
    assert cd.matches(expected, cd.relative(root, findings(report)))
    assert report["decode"] is True


def test_decoding_record_images_names_truncation(tmp_path):
    root = str(tmp_path)
    path = cd.tfrecord(tf, root)
    plant = next(p for p in cd.TFRECORD_PLANTS if p.__name__ == "image-truncated")
    expected = plant(tf, root)
    report = check.check(path, split="train", decode=True)
    found = cd.relative(root, findings(report))
    assert found == expected
    assert "decode_jpeg fails" in findings(report)[0]["message"]


# The check reads label values as np.genfromtxt does (Python's float()), ASCII or not.
TOKENS = ["0.5", "+0.5", ".5", "5e-1", "5E-1", "0.5_0", "०.५", "0x1", "1.5f", "0..5", "_5", "5_", "e5", "0.5.",
          "--1", "inf", "-Infinity", "NaN", "nan", "1e999", "1e-999", "0.5e", "١"]


@pytest.mark.parametrize("token", TOKENS)
def test_label_values_read_as_genfromtxt_reads_them(tmp_path, token):
    root = str(tmp_path)
    path = cd.darknet(root)
    label = os.path.join(root, "train", "labels", "001.txt")
    cd.write_text(label, "0 %s 0.5 0.2 0.2\n" % token)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        value = np.genfromtxt(label, encoding="utf-8")[1]
    report = check.check(path, split="train")
    kinds = {f["kind"] for f in findings(report) if f["severity"] == "error"}
    if math.isnan(value) and token.lower().lstrip("+-") != "nan":
        assert kinds == {"not-a-number"}
    elif not math.isfinite(value):
        assert kinds == {"non-finite"}
    else:
        assert kinds == set()
        if value == 0.5:
            assert findings(report) == []


def edit_yaml(path, edit):
    with open(path) as f:
        info = yaml.safe_load(f)
    edit(info)
    with open(path, "w") as f:
        yaml.safe_dump(info, f)


def rename(info, old, new):
    info[new] = info.pop(old)


DESCRIPTION_MISTAKES = [
    ("darknet", lambda i: rename(i, "classes", "names"), "``classes:`` is missing; the file has ``names:``"),
    ("darknet", lambda i: rename(i, "validation", "val"), "``validation:`` is missing; the file has ``val:``"),
    ("darknet", lambda i: i.update(train="images/train"), "``train:`` must be a mapping with ``images:``"),
    ("darknet", lambda i: i["train"].update(labels=i["train"].pop("annotations")),
     "``train.annotations:`` is missing; the section has ``labels:``"),
    ("darknet", lambda i: i["validation"].update(images="no/such/folder"),
     "``validation.images:`` folder not found: 'no/such/folder' is resolved against the working directory"),
    ("darknet", lambda i: i.pop("type"), "``type:`` is missing: the Darknet dataset needs ``type: darknet``"),
    ("darknet", lambda i: i.update(type="yolo"), "``type:`` is 'yolo'"),
    ("darknet", lambda i: i.update(classes=[]), "``classes:`` is empty"),
    ("tfrecord", lambda i: i.update(type="TFRecord"), "write ``type: tfrecord`` in lower case"),
    ("tfrecord", lambda i: i["train"].update(samples=0), "``train.samples:`` is 0"),
    ("tfrecord", lambda i: i.pop("type"), "``type:`` is missing: a TFRecord description with ``path:``"),
    ("segmentation", lambda i: i.pop("classes"), "``classes:`` is missing"),
    ("attitude", lambda i: i["train"].pop("annotations"), "``train.annotations:`` is missing"),
]


@pytest.mark.parametrize("fmt,edit,message", DESCRIPTION_MISTAKES,
                         ids=["%s-%d" % (m[0], i) for i, m in enumerate(DESCRIPTION_MISTAKES)])
def test_unusable_description_says_which_key(tmp_path, capsys, fmt, edit, message):
    path, options = build(fmt, str(tmp_path))
    edit_yaml(path, edit)
    status = check.main([path] + (["--format", fmt] if fmt == "attitude" else []))
    assert status == 2
    assert message in capsys.readouterr().err


def test_relative_folder_that_exists_beside_the_description_is_explained(tmp_path, capsys, monkeypatch):
    path = cd.darknet(str(tmp_path))
    edit_yaml(path, lambda i: i["train"].update(images=os.path.join("train", "images")))
    monkeypatch.chdir(os.path.dirname(str(tmp_path)))
    assert check.main([path]) == 2
    err = capsys.readouterr().err
    assert "it exists relative to the description file: %s" % os.path.join(str(tmp_path), "train", "images") in err


def test_empty_split_cannot_be_built(tmp_path, capsys):
    root = str(tmp_path)
    path = cd.darknet(root)
    for name in cd.names(2):
        os.remove(os.path.join(root, "validation", "labels", name + ".txt"))
    assert check.main([path]) == 2
    out = capsys.readouterr().out
    assert "image-without-annotation (2)" in out
    assert "``validation:`` lists no sample" in out


def test_coco_needs_its_image_folder(tmp_path, capsys):
    path, _ = cd.coco(str(tmp_path))
    assert check.main([path]) == 2
    assert "a COCO file needs --images" in capsys.readouterr().err


def test_split_option_scans_only_that_split(tmp_path):
    root = str(tmp_path)
    path = cd.darknet(root)
    cd.write_text(os.path.join(root, "validation", "labels", "000.txt"), "9 0.5 0.5 0.1 0.1\n")
    train = check.check(path, split="train")
    assert list(train["splits"]) == ["train"] and train["exit_status"] == 0
    validation = check.check(path, split="validation")
    assert list(validation["splits"]) == ["validation"] and validation["exit_status"] == 1


def test_report_counts_samples_objects_and_classes(tmp_path):
    root = str(tmp_path)
    path = cd.darknet(root)
    cd.write_text(os.path.join(root, "train", "labels", "000.txt"), "1 0.5 0.5 0.1 0.1\n2 0.3 0.3 0.1 0.1\n")
    cd.write_text(os.path.join(root, "train", "labels", "001.txt"), "")
    cd.write_text(os.path.join(root, "train", "labels", "002.txt"), "7 0.5 0.5 0.1 0.1\n")
    train = check.check(path, split="train")["splits"]["train"]
    assert train["samples"] == 4
    assert train["objects"] == 4
    assert train["samples_without_objects"] == 1
    assert train["classes"] == {"cat": 1, "dog": 1, "bird": 1}  # class 7 counts as an object, in no class
    assert train["samples_failing"] == 1
    assert train["counts"] == {"error": 1, "warning": 0, "note": 0}


def run_cli(*args, cwd=ROOT):
    env = dict(os.environ, PYTHONPATH=ROOT, TF_CPP_MIN_LOG_LEVEL="3")
    return subprocess.run([sys.executable, "-m", "vireo.quillon.datasets.tools.check", *args], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=300)


def test_command_line_exit_statuses_and_json_report(tmp_path):
    root = str(tmp_path / "data")
    path = cd.darknet(root)
    clean = run_cli(path)
    assert clean.returncode == 0, clean.stderr
    assert "Result: every sample loads (exit status 0" in clean.stdout

    cd.write_text(os.path.join(root, "train", "labels", "002.txt"), "0 0.5 0.5 0.1 0.1\n5 0.5 0.5 0.1 0.1\n")
    report_path = str(tmp_path / "report.json")
    failing = run_cli(path, "--json", report_path)
    assert failing.returncode == 1
    lines = failing.stdout.splitlines()
    group = lines.index("  class-out-of-range (1)")
    assert lines[group + 1].split() == ["train", os.path.join(root, "train", "labels", "002.txt"), "line", "2:",
                                        "class", "id", "5", "is", "outside", "the", "3", "classes", "of", "the",
                                        "description", "(0..2)"]
    with open(report_path) as f:
        report = json.load(f)
    assert report["exit_status"] == 1
    listed = report["splits"]["train"]["findings"]
    assert isinstance(listed[0].pop("sample"), int)  # its place in glob's (unsorted) listing
    assert listed == [{
        "severity": "error", "kind": "class-out-of-range", "file": os.path.join(root, "train", "labels", "002.txt"),
        "where": "line 2", "message": "class id 5 is outside the 3 classes of the description (0..2)"}]

    unusable = run_cli(str(tmp_path / "missing.yaml"))
    assert unusable.returncode == 2
    assert "description file not found" in unusable.stderr


@pytest.mark.parametrize("fmt", ["darknet", "segmentation", "attitude-detect"])
def test_preview_draws_a_training_batch(tmp_path, fmt):
    path, options = build(fmt, str(tmp_path / "data"))
    report = check.check(path, **options)
    out = str(tmp_path / "preview" / "batch.png")
    assert check.write_preview(report, path, out, SHAPE, options.get("images_dir"), count=2) == out
    sheet = np.asarray(Image.open(out).convert("RGB"))
    assert sheet.shape == (SHAPE[0] + 8, 2 * (SHAPE[1] + 4) + 4, 3)
    colours = {tuple(c) for c in sheet.reshape(-1, 3)}
    if fmt == "darknet":  # box outlines in the class colours
        assert colours & {cd_colour for cd_colour in check.PALETTE[:3]}
    if fmt == "attitude-detect":  # the axes
        assert {(255, 0, 0), (0, 255, 0), (0, 0, 255)} <= colours


def test_scanner_counts_progress_and_keeps_findings_across_worker_counts(tmp_path):
    root = str(tmp_path)
    cd.darknet(root)
    images = sorted(os.path.join(root, "train", "images", n + ".jpg") for n in cd.names(4)) * 5
    labels = [os.path.join(root, "train", "labels", os.path.basename(i)[:-4] + ".txt") for i in images]
    cd.write_text(labels[1], "4 0.5 0.5 0.1 0.1\n")
    reported = []
    one = scanner.scan_darknet(images, labels, 3, workers=1, progress=reported.append)
    many = scanner.scan_darknet(images, labels, 3, workers=4)
    assert sum(reported) == len(images)
    assert one == many
    assert [f[0] for f in one["findings"]] == [1, 5, 9, 13, 17]


def test_scanner_stops_when_progress_raises(tmp_path):
    root = str(tmp_path)
    cd.darknet(root)
    images = [os.path.join(root, "train", "images", "000.jpg")] * 50
    labels = [os.path.join(root, "train", "labels", "000.txt")] * 50

    def stop(_):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        scanner.scan_darknet(images, labels, 3, progress=stop)


@pytest.mark.parametrize("call,error", [
    (lambda: scanner.scan_darknet(["a.jpg"], [], 3), "must pair up"),
    (lambda: scanner.scan_darknet(["a.jpg"], ["a.txt"], -1), "num_classes must not be negative"),
    (lambda: scanner.scan_darknet([1], ["a.txt"], 3), "paths must be str or bytes, not int"),
    (lambda: scanner.scan_attitude(["a.jpg"], ["a.mat"], "yaml", 0), "layout must be 'mat', 'detect' or 'crop'"),
    (lambda: scanner.scan_darknet(("a.jpg",), ["a.txt"], 3), "Argument 'images' has incorrect type"),
])
def test_scanner_refuses_bad_arguments(call, error):
    with pytest.raises((TypeError, ValueError), match=error):
        call()


def test_missing_and_unreadable_files_are_findings_not_crashes(tmp_path):
    missing = str(tmp_path / "nope.jpg")
    folder = str(tmp_path)
    result = scanner.scan_darknet([missing, folder], [missing[:-4] + ".txt", folder], 3)
    kinds = {(f[0], f[2]) for f in result["findings"]}
    assert kinds == {(0, "image-missing"), (0, "annotation-unreadable"), (1, "image-unreadable"),
                     (1, "annotation-unreadable")}
    records = scanner.scan_tfrecord([str(tmp_path / "none.tfrecord")], 3)
    assert [(f[0], f[2]) for f in records["findings"]] == [(None, "record-unreadable")]


def unknown_field(record):
    """The record with a field tf.train.Example does not define appended: well-formed protocol
    buffers, which the native reader leaves to TensorFlow's parser."""
    return record + b"\x10\x01"


@pytest.mark.parametrize("objects,expected", [((0,), set()), ((5,), {("error", "class-out-of-range")})])
def test_records_of_unusual_encoding_are_judged_by_tensorflow(tmp_path, objects, expected):
    root = str(tmp_path)
    path = cd.tfrecord(tf, root)
    record = unknown_field(cd.example(tf, name="odd.jpg", objects=objects))
    cd.write_records(tf, os.path.join(root, "train", "part-1.tfrecord"), [record])
    report = check.check(path, split="train")
    assert {(f["severity"], f["kind"]) for f in findings(report)} == expected
    assert report["splits"]["train"]["samples"] == 5


def test_records_are_numbered_across_files(tmp_path):
    root = str(tmp_path)
    files = []
    for k in range(3):
        records = [cd.example(tf, name="%d-%d.jpg" % (k, i), objects=(9 if (k, i) == (2, 1) else 0,)) for i in range(2)]
        files.append(cd.write_records(tf, os.path.join(root, "part-%d.tfrecord" % k), records))
    result = scanner.scan_tfrecord(files, 3, workers=2)
    assert result["samples"] == 6
    assert [(f[0], f[2], os.path.basename(f[3]), f[4]) for f in result["findings"]] == [
        (5, "class-out-of-range", "part-2.tfrecord", "record 1 '2-1.jpg'")]


def jpeg_with_trailer(path):
    cd.write_image(path)
    with open(path, "ab") as f:
        f.write(b"\x00" * 100 + b"camera maker data")


def png_without_end(path):
    cd.write_image(path, fmt="PNG")
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:-12])


@pytest.mark.parametrize("make,decode,expected", [
    (jpeg_with_trailer, False, set()),
    (jpeg_with_trailer, True, set()),
    (png_without_end, False, {("warning", "image-truncated")}),
    (png_without_end, True, set()),  # Pillow decodes it whole: the end chunk alone was missing
    (lambda p: (cd.write_image(p, size=(96, 64)), cd.truncate(p)), True, {("error", "image-truncated")}),
], ids=["jpeg-trailer", "jpeg-trailer-decoded", "png-no-end", "png-no-end-decoded", "cut-decoded"])
def test_image_endings_in_a_segmentation_dataset(tmp_path, make, decode, expected):
    root = str(tmp_path)
    path = cd.segmentation(root)
    make(os.path.join(root, "train", "images", "001.png"))
    report = check.check(path, split="train", decode=decode)
    assert {(f["severity"], f["kind"]) for f in findings(report)} == expected


@pytest.mark.parametrize("content,expected", [
    ({"image": "001.png", "segment": {"a": 1}}, ("annotation-layout", "segment")),
    ({"image": "001.png", "segment": [[{"polygon": cd.SQUARE}]]}, ("annotation-layout", "segment[0][0]")),
    ({"image": "001.png", "segment": [[{"polygon": [[0.1, 0.1], [0.2], [0.3, 0.3]], "class": 0}]]},
     ("outline-layout", "segment[0][0]")),
    ({"image": "001.png", "segment": [[{"polygon": cd.SQUARE, "class": "1"}]]}, ("class-not-integer", "segment[0][0]")),
    ({"image": 7, "segment": []}, ("annotation-layout", None)),
    ([1, 2], ("annotation-layout", None)),
])
def test_segmentation_layout_errors_name_their_place(tmp_path, content, expected):
    root = str(tmp_path)
    path = cd.segmentation(root)
    cd.write_text(os.path.join(root, "train", "annotations", "002.json"), json.dumps(content))
    report = check.check(path, split="train")
    errors = [(f["kind"], f["where"]) for f in findings(report) if f["severity"] == "error"]
    assert errors == [expected]


@pytest.mark.parametrize("layout,text,expected", [
    ("crop", '{"angles": [[1, 2, 3]]}', {("error", "face-box-missing")}),
    ("crop", '{"boxes": [], "angles": [[1, 2, 3]]}', {("warning", "face-box-missing")}),
    ("crop", '{"boxes": [[0.5, 0.5, 0.5, 0.5, 0]], "angles": [[1, 2]]}', {("error", "angles-unusable")}),
    ("detect", '{"boxes": [[0.5, 0.5, 0.5, 0.5, 0]]}', {("warning", "angles-missing")}),
    ("detect", '{"boxes": [[0.5, 0.5, 0.5]], "angles": []}', {("error", "annotation-layout")}),
    ("detect", '{"boxes": [[0.5, 0.5, 0.5, 0.5, 0], [0.2, 0.2, 0.1, 0.1, 0]], '
               '"angles": [{"pitch": 1, "yaw": 2, "roll": 3}]}', {("warning", "faces-mismatch")}),
    ("mat", b"MATLAB 5.0 MAT-file, but then nothing", {("error", "annotation-unreadable")}),
    # a data type outside the format, on which scipy.io.loadmat crashes
    ("mat", matlab_bytes.pose_file(">", 149), {("error", "annotation-unreadable")}),
])
def test_head_pose_annotation_problems(tmp_path, layout, text, expected):
    root = str(tmp_path)
    path = cd.attitude(root, layout)
    target = os.path.join(root, "train", "annotations", "000." + ("mat" if layout == "mat" else "json"))
    with open(target, "wb") as f:
        f.write(text if isinstance(text, bytes) else text.encode())
    fmt = {"mat": "attitude", "detect": "attitude-detect", "crop": "attitude-json"}[layout]
    report = check.check(path, split="train", fmt=fmt)
    assert {(f["severity"], f["kind"]) for f in findings(report)} == expected


def test_coco_duplicate_image_ids_are_reported(tmp_path):
    root = str(tmp_path)
    path, images = cd.coco(root)
    with open(path) as f:
        content = json.load(f)
    content["images"][2]["id"] = 1  # id 3 is gone: its annotation now refers to no image
    cd.write_text(path, json.dumps(content))
    report = check.check(path, images_dir=images)
    assert [(f["kind"], f["where"]) for f in findings(report)] == [("coco-duplicate-id", "images[2]"),
                                                                   ("coco-unknown-image", "annotations[2]")]


@pytest.mark.parametrize("part,kind", [
    ({"polygon": cd.SQUARE, "class": True}, "class-not-integer"),
    ({"polygon": cd.SQUARE[:2], "class": 9}, "class-out-of-range"),  # the class is read before the skip
    ({"polygon": [[0.1, 0.1], [1e7, 0.2], [0.3, 0.3]], "class": 0}, "outline-far"),
    ({"polygon": [[True, False], [True, True], [False, True]], "class": 0}, "outline-layout"),
])
def test_segmentation_parts_the_dataset_refuses(tmp_path, part, kind):
    root = str(tmp_path)
    path = cd.segmentation(root)
    cd.write_text(os.path.join(root, "train", "annotations", "002.json"),
                  json.dumps({"image": "002.png", "segment": [[part]]}))
    report = check.check(path, split="train")
    assert [(f["severity"], f["kind"], f["where"]) for f in findings(report)] == [("error", kind, "segment[0][0]")]
    with pytest.raises(Exception):
        stream("segmentation", path)


@pytest.mark.parametrize("edit,kind", [
    (lambda c: c["images"][1].pop("id"), "coco-image"),
    (lambda c: c["categories"].append("cat"), "coco-category"),
    (lambda c: c["annotations"].append(cd.annotation(image_id=77, segmentation=(1, 2, 3))), "outline-layout"),
    (lambda c: c["annotations"].append(cd.annotation(image_id=[1])), "coco-annotation"),
])
def test_coco_entries_the_dataset_refuses_when_built(tmp_path, edit, kind):
    root = str(tmp_path)
    path, images = cd.coco(root)
    with open(path) as f:
        content = json.load(f)
    edit(content)
    cd.write_text(path, json.dumps(content))
    report = check.check(path, images_dir=images)
    assert kind in {f["kind"] for f in findings(report) if f["severity"] == "error"}
    assert report["exit_status"] == 1
    with pytest.raises(Exception):
        stream("coco", path, images)
