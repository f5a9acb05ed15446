"""The packaged detection evaluator: COCO agreement, known cases, the native matching core,
the runner's mapping back to the image, and the reports a pass leaves behind."""
import contextlib
import io
import os

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from vireo.quillon.evaluators import DetectionEvaluator, ModelRunner, match_image
from vireo.quillon.evaluators.matching import match_detections
from vireo.quillon.evaluators.metrics import IOU_THRESHOLDS
from vireo.verdane.writers import TrainingTensorBoardWriter

CLASSES = ["cat", "dog", "bird", "fish"]


class NoRunner:
    """The trainer's runner slot; these tests hand detections to single_evaluation directly."""

    def run_single_instance(self, image):
        raise AssertionError("not used")


def make_evaluator(score_threshold=0.3, **kwargs):
    return DetectionEvaluator(NoRunner(), score_threshold=score_threshold, **kwargs)(
        val_messenger=None, labels=["background"] + CLASSES)


def instances(gt_boxes, gt_labels, dt_boxes, dt_labels, dt_scores, image=None, size=(40, 40)):
    return {
        "gt_instance": {"image": image, "height": size[0], "width": size[1],
                        "boxes": np.array(gt_boxes, np.float32).reshape(-1, 4), "labels": np.array(gt_labels),
                        "image_path": "x.jpg"},
        "dt_instance": {"boxes": np.array(dt_boxes, np.float32).reshape(-1, 4), "labels": np.array(dt_labels),
                        "scores": np.array(dt_scores, np.float32)},
    }


# ---------------------------------------------------------------- agreement with COCOeval

def random_box(rng, width, height):
    w, h = rng.uniform(0.08, 0.5) * width, rng.uniform(0.08, 0.5) * height
    x, y = rng.uniform(0, width - w), rng.uniform(0, height - h)
    return np.array([x, y, x + w, y + h])


def scenario(seed, n_images, max_objects, false_positives, score_step, crowded_image):
    """Images of random sizes with ground truth and detections in pixels: jittered copies of
    true boxes (some missed, some duplicated), misclassified copies and random boxes."""
    rng = np.random.default_rng(seed)
    images = []
    for index in range(n_images):
        width, height = int(rng.integers(80, 400)), int(rng.integers(80, 400))
        gt = [(int(rng.integers(0, len(CLASSES))), random_box(rng, width, height))
              for _ in range(int(rng.integers(0, max_objects + 1)))]
        dt = []
        for cls, box in gt:
            for _ in range(int(rng.choice([0, 1, 1, 1, 2]))):
                size = np.array([box[2] - box[0], box[3] - box[1]] * 2)
                jittered = box + rng.normal(0, rng.choice([0.02, 0.08, 0.2]), 4) * size
                jittered[2:] = np.maximum(jittered[2:], jittered[:2] + 1)
                label = cls if rng.random() < 0.85 else int(rng.integers(0, len(CLASSES)))
                dt.append((label, jittered, rng.random()))
        for _ in range(int(rng.integers(0, false_positives + 1))):
            dt.append((int(rng.integers(0, len(CLASSES))), random_box(rng, width, height), rng.random() * 0.7))
        if crowded_image and index == 0:  # more than 100 detections of one class in one image
            dt += [(1, random_box(rng, width, height), rng.random()) for _ in range(130)]
        if score_step:  # coarse scores: many ties, decided by order as in COCO
            dt = [(c, b, round(s / score_step) * score_step) for c, b, s in dt]
        images.append({"width": width, "height": height, "gt": gt, "dt": dt})
    return images


def coco_stats(images):
    from pycocotools.coco import COCO
    from pycocotools.cocoeval import COCOeval

    def xywh(box):
        return [float(box[0]), float(box[1]), float(box[2] - box[0]), float(box[3] - box[1])]

    gt = COCO()
    annotations, results = [], []
    for image_id, image in enumerate(images, 1):
        for cls, box in image["gt"]:
            b = xywh(box)
            annotations.append({"id": len(annotations) + 1, "image_id": image_id, "category_id": cls + 1,
                                "bbox": b, "area": b[2] * b[3], "iscrowd": 0})
        for cls, box, score in image["dt"]:
            results.append({"image_id": image_id, "category_id": cls + 1, "bbox": xywh(box), "score": float(score)})
    gt.dataset = {"images": [{"id": i, "width": im["width"], "height": im["height"]} for i, im in enumerate(images, 1)],
                  "categories": [{"id": i + 1, "name": n} for i, n in enumerate(CLASSES)],
                  "annotations": annotations}
    with contextlib.redirect_stdout(io.StringIO()):
        gt.createIndex()
        evaluation = COCOeval(gt, gt.loadRes(results), "bbox")
        evaluation.evaluate()
        evaluation.accumulate()
        evaluation.summarize()
    return evaluation.stats


def our_metrics(images):
    evaluator = make_evaluator()
    for image in images:
        scale = np.array([image["width"], image["height"]] * 2, np.float64)
        gt_boxes = [box / scale for _, box in image["gt"]]
        dt_boxes = [box / scale for _, box, _ in image["dt"]]
        truth = evaluator.single_evaluation(instances(
            gt_boxes, [CLASSES[c] for c, _ in image["gt"]], dt_boxes, [CLASSES[c] for c, _, _ in image["dt"]],
            [s for _, _, s in image["dt"]]), 1, False)
    return evaluator.conclude(truth, epoch=1)


SCENARIOS = {
    "sparse": dict(seed=1, n_images=30, max_objects=3, false_positives=2, score_step=0, crowded_image=False),
    "crowded": dict(seed=2, n_images=25, max_objects=12, false_positives=10, score_step=0, crowded_image=False),
    "tied scores": dict(seed=3, n_images=40, max_objects=6, false_positives=4, score_step=0.1, crowded_image=False),
    "over 100 per class": dict(seed=4, n_images=10, max_objects=5, false_positives=3, score_step=0, crowded_image=True),
    "empty images": dict(seed=5, n_images=30, max_objects=1, false_positives=1, score_step=0.25, crowded_image=False),
}


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_map_agrees_with_cocoeval(name):
    images = scenario(**SCENARIOS[name])
    stats = coco_stats(images)
    metrics = our_metrics(images)
    assert stats[0] > 0.05  # a meaningful value, not two zeros
    assert metrics["mAP"]["0.5:0.95"] == pytest.approx(stats[0], abs=1e-3)
    assert metrics["mAP"]["0.5"] == pytest.approx(stats[1], abs=1e-3)
    assert metrics["mAP"]["0.75"] == pytest.approx(stats[2], abs=1e-3)


# ---------------------------------------------------------------- known cases

A, B = [0.1, 0.1, 0.4, 0.4], [0.5, 0.5, 0.9, 0.9]
SHIFTED = [0.1, 0.1, 0.4, 0.286]  # IoU with A is 0.62: a match at 0.50-0.60 only
HALF = 51 / 101  # COCO's AP when precision is 1 up to recall 0.5: recall levels 0, 0.01, ..., 0.5

CASES = {
    # name: (gt boxes, gt labels, dt boxes, dt labels, dt scores, expected values)
    "perfect": ([A, B], ["dog", "bird"], [A, B], ["dog", "bird"], [0.9, 0.8],
                {"mAP": (1, 1, 1), "mAR": (1, 1, 1), "mACC": (1, 1, 1), "OP": 1, "OR": 1, "OA": 1}),
    "one missed": ([A, B], ["dog", "dog"], [A], ["dog"], [0.9],
                   {"mAP": (HALF,) * 3, "mAR": (0.5, 0.5, 0.5), "mACC": (0.5, 0.5, 0.5), "OP": 1, "OR": 0.5, "OA": 0.5}),
    "false positive ranked last": ([A], ["cat"], [A, B], ["cat", "cat"], [0.9, 0.5],
                                   {"mAP": (1, 1, 1), "mAR": (1, 1, 1), "OP": 0.5, "OR": 1, "OA": 0.5}),
    "false positive ranked first": ([A], ["cat"], [A, B], ["cat", "cat"], [0.5, 0.9],
                                    {"mAP": (0.5, 0.5, 0.5), "OP": 0.5, "OR": 1}),
    "IoU between 0.5 and 0.75": ([A], ["bird"], [SHIFTED], ["bird"], [0.9],
                                 {"mAP": (1, 0, 0.3), "mAR": (1, 0, 0.3), "mACC": (1, 0, 0.3), "OA": 1}),
    "class mismatch": ([A], ["dog"], [A], ["bird"], [0.9],
                       {"mAP": (0, 0, 0), "mAR": (0, 0, 0), "mACC": (0, 0, 0), "OP": 0, "OR": 0, "OA": 0}),
    "below the operating score": ([A], ["dog"], [A], ["dog"], [0.1],
                                  {"mAP": (1, 1, 1), "mAR": (0, 0, 0), "OR": 0, "OA": 0}),
    "empty image row ignored": ([[0, 0, 0, 0]], ["background"], [], [], [],
                                {"mAP": (0, 0, 0), "OP": 0, "OR": 0, "OA": 0}),
    "label unknown to the classes": ([A], ["zebra"], [A], ["zebra"], [0.9], {"mAP": (1, 1, 1), "OA": 1}),
}


@pytest.mark.parametrize("case", list(CASES))
def test_metrics_on_known_cases(case):
    *sample, expected = CASES[case]
    evaluator = make_evaluator()
    metrics = evaluator.conclude(evaluator.single_evaluation(instances(*sample), 1, False), epoch=1)
    assert set(metrics) == {"OP", "OR", "OA", "mAP", "mAR", "mACC"}
    for key, value in expected.items():
        if isinstance(value, tuple):
            got = (metrics[key]["0.5"], metrics[key]["0.75"], metrics[key]["0.5:0.95"])
            np.testing.assert_allclose(got, value, atol=1e-6, err_msg=key)
        else:
            assert metrics[key] == pytest.approx(value), key


def test_conclude_starts_a_new_pass_and_the_trainer_call_resets():
    evaluator = make_evaluator()
    evaluator.single_evaluation(instances([A], ["dog"], [A], ["dog"], [0.9]), 1, False)
    truth = evaluator.single_evaluation(instances([B], ["dog"], [], [], []), 1, False)
    assert evaluator.conclude(truth, epoch=1)["mAR"]["0.5"] == pytest.approx(0.5)
    truth = evaluator.single_evaluation(instances([B], ["dog"], [B], ["dog"], [0.9]), 2, False)
    assert evaluator.conclude(truth, epoch=2)["mAR"]["0.5"] == pytest.approx(1.0)
    # A pass interrupted (an exception in the trainer) does not leak into the next train().
    evaluator.single_evaluation(instances([A], ["dog"], [], [], []), 3, False)
    evaluator(val_messenger=None, labels=["background"] + CLASSES)
    truth = evaluator.single_evaluation(instances([A], ["dog"], [A], ["dog"], [0.9]), 1, False)
    assert evaluator.conclude(truth, epoch=1)["mAR"]["0.5"] == pytest.approx(1.0)


@pytest.mark.parametrize("bad, message", [
    (instances([A, B], ["dog"], [], [], []), "2 boxes but 1 labels"),
    (instances([A], ["dog"], [A], ["dog", "cat"], [0.9]), "1 boxes, 2 labels"),
    (instances([A], ["dog"], [[0.1, np.nan, 0.2, 0.3]], ["dog"], [0.9]), "not finite"),
])
def test_inconsistent_samples_are_refused(bad, message):
    with pytest.raises(ValueError, match=message):
        make_evaluator().single_evaluation(bad, 1, False)


def test_runner_without_the_method_is_refused():
    with pytest.raises(TypeError, match="run_single_instance"):
        DetectionEvaluator(object())


# ---------------------------------------------------------------- native matching core

def test_native_matching_takes_the_best_free_box_and_caps_the_threshold():
    gt = np.array([[0, 0, 10, 10], [0, 0, 10, 10], [20, 20, 30, 30]], np.float64)
    dt = np.array([[0, 0, 10, 10], [0, 0, 10, 10], [0, 0, 10, 10], [20, 20, 30, 30]], np.float64)
    tp = match_detections(dt, [0, 0, 0, 1], gt, [0, 0, 1], [0.5, 1.0])
    # Two identical boxes of label 0 take the two identical true boxes; the third finds none
    # free; label 1 only matches label 1. Threshold 1.0 still matches an exact box.
    assert tp.tolist() == [[True, True], [True, True], [False, False], [True, True]]


def test_native_matching_agrees_with_a_plain_python_loop():
    rng = np.random.default_rng(7)
    for _ in range(20):
        gt = np.sort(rng.uniform(0, 1, (8, 4)).reshape(8, 2, 2), axis=1).transpose(0, 2, 1).reshape(8, 4)
        dt = np.clip(np.repeat(gt, 2, axis=0) + rng.normal(0, 0.05, (16, 4)), 0, 1)
        gl, dl = rng.integers(0, 2, 8), rng.integers(0, 2, 16)
        expected = np.zeros((16, len(IOU_THRESHOLDS)), bool)
        for t, threshold in enumerate(IOU_THRESHOLDS):
            taken = np.zeros(8, bool)
            for d in range(16):
                best, chosen = min(threshold, 1 - 1e-10), -1
                for g in range(8):
                    x1, y1 = max(dt[d, 0], gt[g, 0]), max(dt[d, 1], gt[g, 1])
                    x2, y2 = min(dt[d, 2], gt[g, 2]), min(dt[d, 3], gt[g, 3])
                    inter = max(x2 - x1, 0) * max(y2 - y1, 0)
                    union = np.prod(dt[d, 2:] - dt[d, :2]) + np.prod(gt[g, 2:] - gt[g, :2]) - inter
                    iou = inter / union if union > 0 else 0.0
                    if taken[g] or dl[d] != gl[g] or iou < best:
                        continue
                    best, chosen = iou, g
                if chosen >= 0:
                    taken[chosen] = expected[d, t] = True
        np.testing.assert_array_equal(match_detections(dt, dl, gt, gl, IOU_THRESHOLDS), expected)


@pytest.mark.parametrize("args, error, message", [
    (([[0, 0, 1]], [0], [], [], [0.5]), ValueError, r"dt_boxes must have shape \(K, 4\).*got \(1, 3\)"),
    (([[0, 0, 1, 1]], [0, 1], [], [], [0.5]), ValueError, r"dt_labels must hold one label per box \(1\)"),
    (([], [], [[0, 0, 1, np.inf]], [0], [0.5]), ValueError, "gt_boxes row 0 holds a value that is not finite"),
    (([], [], [], [], [1.5]), ValueError, r"thresholds\[0\] must lie in 0..1"),
    (([["a", "b", "c", "d"]], [0], [], [], [0.5]), TypeError, "dt_boxes must be an array of numbers"),
])
def test_native_matching_names_bad_input(args, error, message):
    with pytest.raises(error, match=message):
        match_detections(*args)


def test_detections_beyond_the_cap_per_class_do_not_count():
    boxes = np.array([[0.1, 0.1, 0.2, 0.2]] * 3 + [[0.5, 0.5, 0.6, 0.6]])
    labels, scores, tp = match_image(boxes, [0, 0, 0, 1], [0.9, 0.8, 0.95, 0.1], [[0.1, 0.1, 0.2, 0.2]], [0],
                                     max_detections=2)
    assert labels.tolist() == [0, 0, 1] and scores.tolist() == [0.95, 0.9, 0.1]
    assert tp[:, 0].tolist() == [True, False, False]


# ---------------------------------------------------------------- runner

def fixed_output_model(size, maps):
    """A Keras model whose output is the given constant map, whatever the image."""
    inputs = tf.keras.Input(shape=(size, size, 3))
    out = inputs[:, :1, :1, :1] * 0.0 + tf.constant(maps[None])
    return tf.keras.Model(inputs, [out, out])


def peak_decoder(outputs):
    """Decodes a (1, 6) map: x_min, y_min, x_max, y_max (input pixels), class, score."""
    rows = outputs[1].reshape(-1, 6)
    return rows[:, :4], rows[:, 4].astype(int), rows[:, 5]


def test_runner_maps_input_pixels_back_to_the_image():
    rows = np.array([[[16, 40, 48, 72, 1, 0.9], [16, 40, 48, 72, 1, 0.5], [100, 100, 128, 128, 0, 0.7]]], np.float32)
    runner = ModelRunner(fixed_output_model(128, rows), (128, 128, 3), peak_decoder, classes=["cat", "dog"],
                         nms_iou=0.6)
    # A 200 x 100 image is scaled by 0.64 into the 128 x 128 input, with 32 rows of padding on top.
    boxes, labels, scores = runner.run_single_instance(np.zeros((100, 200, 3), np.uint8))
    np.testing.assert_allclose(boxes, [[0.125, 0.125, 0.375, 0.625], [0.78125, 1.0, 1.0, 1.0]], atol=1e-6)
    assert list(labels) == ["dog", "cat"] and scores.tolist() == pytest.approx([0.9, 0.7])


@pytest.mark.parametrize("rows, message", [
    (np.array([[[0, 0, 8, 8, 5, 0.9]]], np.float32), "class id 5, outside the 2 classes"),
    (np.zeros((1, 0, 6), np.float32), None),
])
def test_runner_checks_the_decoder(rows, message):
    runner = ModelRunner(fixed_output_model(32, rows), (32, 32), peak_decoder, classes=["cat", "dog"])
    if message:
        with pytest.raises(ValueError, match=message):
            runner.run_single_instance(np.zeros((20, 20), np.uint8))
    else:
        boxes, labels, scores = runner.run_single_instance(np.zeros((20, 20), np.uint8))
        assert boxes.shape == (0, 4) and len(labels) == len(scores) == 0


# ---------------------------------------------------------------- reports

def test_plots_summary_and_tensorboard_images(tmp_path):
    from tensorboard.backend.event_processing.event_accumulator import EventAccumulator

    writer = tf.summary.create_file_writer(str(tmp_path / "logs"))
    evaluator = DetectionEvaluator(NoRunner(), max_plot_images=1)
    evaluator(val_messenger=TrainingTensorBoardWriter(writer), labels=["background"] + CLASSES)
    image = np.full((40, 60, 3), 128, np.uint8)
    for add_image in (True, True, False):
        truth = evaluator.single_evaluation(instances([A], ["dog"], [A], ["dog"], [0.9], image=image), 3, add_image)
    evaluator.conclude(truth, epoch=3)
    written = evaluator.save_plots_disk(plots=evaluator.current_plots, path=str(tmp_path / "validation"))
    assert sorted(os.path.basename(p) for p in written) == ["pr_curve.png", "sample_00.png"]
    drawn = np.asarray(Image.open(tmp_path / "validation" / "sample_00.png"))
    assert drawn.shape == image.shape and (drawn != 128).any()
    assert "dog" in evaluator.current_summary and "mAP" in evaluator.current_summary

    events = EventAccumulator(str(tmp_path / "logs"), size_guidance={"tensors": 0})
    events.Reload()
    tags = set(events.Tags()["tensors"])
    assert {"validation/sample_00", "validation/sample_01", "validation/pr_curve"} <= tags
    assert [e.step for e in events.Tensors("validation/pr_curve")] == [3]
