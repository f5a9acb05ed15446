"""Validation of the detector: a runner that turns one image into detections, and an evaluator
that matches detections with ground truth, accumulates them over a validation pass and turns
them into metrics, a text summary and plots.

Metric definitions (IoU thresholds 0.50, 0.55, ..., 0.95; a detection matches at most one
ground-truth box of its own class, greedily by decreasing score, COCO style):

- AP of a class at an IoU threshold: area under its precision-recall curve (all detections,
  precision made monotone, all-point interpolation).
- Operating point: the detections whose score is at least `score_threshold`. There, per class
  and threshold, TP = matched detections, FP = unmatched detections, FN = unmatched ground truth;
  recall = TP / (TP + FN), precision = TP / (TP + FP), accuracy = TP / (TP + FP + FN).
- mAP and mAR average over the classes that have ground truth; mACC over the classes that have
  ground truth or detections. "0.5:0.95" averages the ten thresholds.
- OP, OR, OA: precision, recall and accuracy at IoU 0.5 and the operating point, counted over all
  classes together.
Ground-truth rows labelled "background" or of zero area (the empty-image row) are ignored.
"""
import os

import cv2
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402
from PIL import Image  # noqa: E402

from vireo.quillon.datasets.utils import letterbox  # noqa: E402

from .model import STRIDE  # noqa: E402

IOU_THRESHOLDS = np.round(np.arange(0.5, 0.951, 0.05), 2)
_I50, _I75 = 0, 5  # indices of 0.5 and 0.75 in IOU_THRESHOLDS


def box_iou(a, b):
    """IoU matrix of boxes a [N, 4] and b [M, 4] (x_min, y_min, x_max, y_max)."""
    a = np.asarray(a, np.float64).reshape(-1, 4)
    b = np.asarray(b, np.float64).reshape(-1, 4)
    x1 = np.maximum(a[:, None, 0], b[None, :, 0])
    y1 = np.maximum(a[:, None, 1], b[None, :, 1])
    x2 = np.minimum(a[:, None, 2], b[None, :, 2])
    y2 = np.minimum(a[:, None, 3], b[None, :, 3])
    inter = np.clip(x2 - x1, 0, None) * np.clip(y2 - y1, 0, None)
    area_a = (a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1])
    area_b = (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1])
    union = area_a[:, None] + area_b[None, :] - inter
    return np.where(union > 0, inter / np.maximum(union, 1e-12), 0.0)


def _nms(boxes, scores, iou):
    """Indices kept by greedy non-maximum suppression, highest score first."""
    order = np.argsort(-scores, kind="stable")
    keep = []
    while order.size:
        i = order[0]
        keep.append(i)
        rest = order[1:]
        order = rest[box_iou(boxes[i:i + 1], boxes[rest])[0] < iou]
    return np.asarray(keep, np.int64)


class DetectionRunner:
    """Runs the detector on one image of any size.

    `run_single_instance(image)` letterboxes an H x W x 3 uint8 image to the model input, runs
    the inference outputs, keeps heatmap peaks (local 3 x 3 maxima scoring at least
    `min_score`, at most `max_detections`), applies per-class NMS and returns
    `(boxes, labels, scores)`: boxes [K, 4] x_min, y_min, x_max, y_max normalised to the
    image's width and height, labels the class names, scores in 0..1.
    """

    def __init__(self, model, input_shape, classes, min_score=0.05, max_detections=50, nms_iou=0.6):
        self.model = model
        self.input_shape = tuple(int(v) for v in input_shape[:2])
        self.classes = list(classes)
        self.min_score = float(min_score)
        self.max_detections = int(max_detections)
        self.nms_iou = float(nms_iou)
        self._infer = tf.function(self._forward, reduce_retracing=True)

    def _forward(self, images):
        outputs = self.model(images, training=False)
        heat, boxes = outputs[2], outputs[3]
        peaks = tf.nn.max_pool2d(heat, 3, 1, "SAME")
        return heat * tf.cast(tf.equal(heat, peaks), heat.dtype), boxes

    def run_single_instance(self, image):
        image = np.asarray(image)
        if image.ndim == 2:
            image = np.repeat(image[..., None], 3, axis=2)
        height, width = image.shape[:2]
        resized, (rx, ry), (padw, padh) = letterbox(image[..., :3].astype(np.uint8), self.input_shape, auto=False)
        batch = tf.convert_to_tensor(resized[None].astype(np.float32) / 255.0)
        heat, regression = (t.numpy()[0] for t in self._infer(batch))

        flat = heat.reshape(-1)
        count = min(self.max_detections, int(np.count_nonzero(flat >= self.min_score)))
        top = np.argsort(-flat, kind="stable")[:count]
        rows, cols, cls = np.unravel_index(top, heat.shape)
        scores = flat[top]
        reg = regression[rows, cols]
        cx = (cols + reg[:, 0]) * STRIDE
        cy = (rows + reg[:, 1]) * STRIDE
        boxes = np.stack([cx - reg[:, 2] / 2, cy - reg[:, 3] / 2, cx + reg[:, 2] / 2, cy + reg[:, 3] / 2], 1)
        # Back from letterboxed input pixels to the original image, normalised to 0..1.
        boxes = (boxes - [padw, padh, padw, padh]) / [rx * width, ry * height, rx * width, ry * height]
        boxes = np.clip(boxes, 0.0, 1.0).reshape(-1, 4)

        keep = []
        for c in np.unique(cls):
            idx = np.nonzero(cls == c)[0]
            keep.extend(idx[_nms(boxes[idx], scores[idx], self.nms_iou)])
        keep = np.asarray(sorted(keep, key=lambda i: -scores[i]), np.int64)
        labels = np.array([self.classes[c] for c in cls[keep]], dtype=object)
        return boxes[keep].astype(np.float32), labels, scores[keep].astype(np.float32)


def match_image(gt_boxes, gt_labels, dt_boxes, dt_labels, dt_scores, classes):
    """Matches one image's detections with its ground truth. Returns, per class name in
    `classes`, (scores [K], tp [K, 10] booleans per IoU threshold, number of ground-truth boxes)."""
    result = {}
    for name in classes:
        gt = np.asarray(gt_boxes, np.float64).reshape(-1, 4)[np.asarray(gt_labels) == name]
        sel = np.asarray(dt_labels) == name
        dt = np.asarray(dt_boxes, np.float64).reshape(-1, 4)[sel]
        scores = np.asarray(dt_scores, np.float64).reshape(-1)[sel]
        order = np.argsort(-scores, kind="stable")
        dt, scores = dt[order], scores[order]
        tp = np.zeros((len(dt), len(IOU_THRESHOLDS)), bool)
        if len(dt) and len(gt):
            iou = box_iou(dt, gt)
            for t, threshold in enumerate(IOU_THRESHOLDS):
                taken = np.zeros(len(gt), bool)
                for d in range(len(dt)):
                    candidates = np.where(taken, -1.0, iou[d])
                    g = int(np.argmax(candidates))
                    if candidates[g] >= threshold:
                        taken[g] = True
                        tp[d, t] = True
        result[name] = (scores, tp, len(gt))
    return result


def average_precision(scores, tp, n_gt):
    """AP per IoU threshold [10] from pooled detections of one class (all-point interpolation),
    with the precision and recall arrays of the first threshold for plotting."""
    if n_gt == 0:
        return np.zeros(tp.shape[1]), np.zeros(0), np.zeros(0)
    order = np.argsort(-scores, kind="stable")
    tp = tp[order].astype(np.float64)
    ctp = np.cumsum(tp, axis=0)
    cfp = np.cumsum(1.0 - tp, axis=0)
    recall = ctp / n_gt
    precision = ctp / np.maximum(ctp + cfp, 1e-12)
    aps = np.zeros(tp.shape[1])
    for t in range(tp.shape[1]):
        r = np.concatenate([[0.0], recall[:, t], [recall[-1, t] if len(recall) else 0.0]])
        p = np.concatenate([[1.0], precision[:, t], [0.0]])
        p = np.maximum.accumulate(p[::-1])[::-1]
        aps[t] = np.sum((r[1:] - r[:-1]) * p[1:])
    return aps, precision[:, 0], recall[:, 0]


class DetectionEvaluator:
    """The trainer's evaluator: owns a `DetectionRunner` for the model being trained and turns
    the per-sample matches of a validation pass into metrics, a summary and plots.

    `classes` are the detector's class names in output-channel order. The trainer's
    `evaluator(val_messenger=..., labels=...)` call may replace them with its label list; a
    leading "background" is dropped there.
    """

    def __init__(self, model, input_shape, classes=None, score_threshold=0.3, min_score=0.05,
                 max_detections=50, nms_iou=0.6, max_plot_images=6):
        self.model = model
        self.input_shape = input_shape
        self.classes = list(classes or [])
        self.score_threshold = float(score_threshold)
        self.max_plot_images = int(max_plot_images)
        self.runner = DetectionRunner(model, input_shape, self.classes, min_score, max_detections, nms_iou)
        self.val_messenger = None
        self.current_plots = {}
        self.current_summary = ""
        self.last_metrics = None
        self._reset()

    def __call__(self, val_messenger=None, labels=None):
        self.val_messenger = val_messenger
        if labels is not None:
            names = list(labels)
            if names and names[0] == "background":
                names = names[1:]
            self.classes = names
            self.runner.classes = names
        return self

    def _reset(self):
        self._state = {"classes": {}, "images": [], "shown": 0}

    def single_evaluation(self, instances, epoch, add_image):
        """Records one sample: matches `instances["dt_instance"]` with
        `instances["gt_instance"]`. Returns the state accumulated since the last `conclude`."""
        gt, dt = instances["gt_instance"], instances["dt_instance"]
        gt_boxes = np.asarray(gt["boxes"], np.float64).reshape(-1, 4)
        gt_labels = np.asarray(gt["labels"]).reshape(-1)
        real = (gt_labels != "background") & (gt_boxes[:, 2] > gt_boxes[:, 0]) & (gt_boxes[:, 3] > gt_boxes[:, 1])
        gt_boxes, gt_labels = gt_boxes[real], gt_labels[real]
        dt_labels = np.asarray(dt["labels"]).reshape(-1)
        names = list(dict.fromkeys(list(self.classes) + [str(v) for v in gt_labels] + [str(v) for v in dt_labels]))
        matches = match_image(gt_boxes, gt_labels, dt["boxes"], dt_labels, dt["scores"], names)
        for name, (scores, tp, n_gt) in matches.items():
            entry = self._state["classes"].setdefault(name, {"scores": [], "tp": [], "n_gt": 0})
            entry["scores"].append(scores)
            entry["tp"].append(tp)
            entry["n_gt"] += n_gt
        if add_image:
            drawn = self._draw(gt.get("image"), gt_boxes, gt_labels, dt)
            if drawn is not None:
                # Named by display position, so each pass overwrites the previous pass's files
                # and TensorBoard shows one series per position.
                name = "sample_%02d" % self._state["shown"]
                self._state["shown"] += 1
                if len(self._state["images"]) < self.max_plot_images:
                    self._state["images"].append((name, drawn))
                if self.val_messenger is not None and hasattr(self.val_messenger, "write_image"):
                    self.val_messenger.write_image("validation/%s" % name, drawn, step=int(epoch))
        return self._state

    def conclude(self, truth_values, epoch=0):
        """Metrics of the pass recorded in `truth_values`; starts a new accumulation."""
        per_class = {}
        curves = {}
        totals = np.zeros(3)  # TP, FP, FN at IoU 0.5 and the operating point, all classes
        for name, entry in truth_values["classes"].items():
            scores = np.concatenate(entry["scores"]) if entry["scores"] else np.zeros(0)
            tp = np.concatenate(entry["tp"]) if entry["tp"] else np.zeros((0, len(IOU_THRESHOLDS)), bool)
            n_gt = entry["n_gt"]
            if n_gt == 0 and len(scores) == 0:
                continue
            aps, precision, recall = average_precision(scores, tp, n_gt)
            chosen = scores >= self.score_threshold
            n_tp = tp[chosen].sum(axis=0).astype(np.float64)
            n_fp = chosen.sum() - n_tp
            n_fn = n_gt - n_tp
            per_class[name] = {
                "n_gt": n_gt, "n_dt": int(chosen.sum()), "ap": aps,
                "recall": n_tp / n_gt if n_gt else np.zeros_like(n_tp),
                "precision": n_tp / np.maximum(n_tp + n_fp, 1.0),
                "acc": n_tp / np.maximum(n_tp + n_fp + n_fn, 1.0),
            }
            totals += [n_tp[_I50], n_fp[_I50], n_fn[_I50]]
            if n_gt:
                curves[name] = (recall, precision)

        with_gt = [v for v in per_class.values() if v["n_gt"] > 0]

        def family(key, rows):
            if not rows:
                return {"0.5": 0.0, "0.75": 0.0, "0.5:0.95": 0.0}
            values = np.mean([r[key] for r in rows], axis=0)
            return {"0.5": float(values[_I50]), "0.75": float(values[_I75]), "0.5:0.95": float(values.mean())}

        tp50, fp50, fn50 = totals
        metrics = {
            "OP": float(tp50 / max(tp50 + fp50, 1.0)),
            "OR": float(tp50 / max(tp50 + fn50, 1.0)),
            "OA": float(tp50 / max(tp50 + fp50 + fn50, 1.0)),
            "mAP": family("ap", with_gt),
            "mAR": family("recall", with_gt),
            "mACC": family("acc", list(per_class.values())),
        }
        self.last_metrics = metrics
        self.current_summary = self._summary(metrics, per_class, epoch)
        self.current_plots = self._plots(curves, truth_values["images"], epoch)
        if self.val_messenger is not None and hasattr(self.val_messenger, "write_image"):
            self.val_messenger.write_image("validation/pr_curve", self.current_plots["pr_curve"], step=int(epoch))
        self._reset()
        return metrics

    def _summary(self, metrics, per_class, epoch):
        lines = ["Validation, epoch %d (IoU 0.5 unless stated; P/R/ACC at score >= %.2f)"
                 % (epoch, self.score_threshold), ""]
        header = "%-12s %6s %6s %8s %8s %10s %8s %8s %8s" % (
            "class", "gt", "dt", "AP@0.5", "AP@0.75", "AP@.5:.95", "P", "R", "ACC")
        lines += [header, "-" * len(header)]
        for name, v in per_class.items():
            lines.append("%-12s %6d %6d %8.3f %8.3f %10.3f %8.3f %8.3f %8.3f" % (
                name, v["n_gt"], v["n_dt"], v["ap"][_I50], v["ap"][_I75], v["ap"].mean(),
                v["precision"][_I50], v["recall"][_I50], v["acc"][_I50]))
        lines.append("-" * len(header))
        m = metrics
        lines.append("%-12s %6s %6s %8.3f %8.3f %10.3f %8.3f %8.3f %8.3f" % (
            "all", "", "", m["mAP"]["0.5"], m["mAP"]["0.75"], m["mAP"]["0.5:0.95"], m["OP"], m["OR"], m["OA"]))
        lines.append("")
        for key in ("mAP", "mAR", "mACC"):
            lines.append("%-5s 0.5: %.4f   0.75: %.4f   0.5:0.95: %.4f" % (
                key, m[key]["0.5"], m[key]["0.75"], m[key]["0.5:0.95"]))
        lines.append("OP %.4f   OR %.4f   OA %.4f" % (m["OP"], m["OR"], m["OA"]))
        return "\n".join(lines) + "\n"

    def _draw(self, image, gt_boxes, gt_labels, dt):
        """The image with true boxes (green) and detections at the operating point (red)."""
        if image is None:
            return None
        canvas = np.ascontiguousarray(np.asarray(image)[..., :3], dtype=np.uint8).copy()
        height, width = canvas.shape[:2]
        scale = np.array([width, height, width, height], np.float64)

        def rect(box, colour, text, above):
            x1, y1, x2, y2 = (int(round(v)) for v in np.asarray(box, np.float64) * scale)
            cv2.rectangle(canvas, (x1, y1), (x2, y2), colour, 1)
            y = max(y1 - 3, 9) if above else min(y2 + 10, height - 2)
            cv2.putText(canvas, text, (x1, y), cv2.FONT_HERSHEY_SIMPLEX, 0.35, colour, 1, cv2.LINE_AA)

        for box, label in zip(gt_boxes, gt_labels):
            rect(box, (0, 255, 0), str(label), True)
        for box, label, score in zip(np.asarray(dt["boxes"]).reshape(-1, 4), np.asarray(dt["labels"]).reshape(-1),
                                     np.asarray(dt["scores"]).reshape(-1)):
            if score >= self.score_threshold:
                rect(box, (255, 0, 0), "%s %.2f" % (label, score), False)
        return canvas

    def _plots(self, curves, images, epoch):
        """Images to save: the precision-recall curves at IoU 0.5 and the displayed samples."""
        fig, ax = plt.subplots(figsize=(5, 4), dpi=100)
        plotted = False
        for name, (recall, precision) in curves.items():
            if len(recall):
                plotted = True
                ax.plot(np.concatenate([[0.0], recall]), np.concatenate([[1.0], precision]), label=name)
        ax.set_xlim(0, 1)
        ax.set_ylim(0, 1.02)
        ax.set_xlabel("recall")
        ax.set_ylabel("precision")
        ax.set_title("Precision-recall at IoU 0.5, epoch %d" % epoch)
        if plotted:
            ax.legend(loc="lower left")
        ax.grid(alpha=0.3)
        fig.tight_layout()
        fig.canvas.draw()
        curve = np.asarray(fig.canvas.buffer_rgba())[..., :3].copy()
        plt.close(fig)
        plots = {"pr_curve": curve}
        for name, image in images:
            plots[name] = image
        return plots

    def save_plots_disk(self, plots=None, path="."):
        """Writes each plot as `<name>.png` in `path`; returns the written paths."""
        os.makedirs(path, exist_ok=True)
        written = []
        for name, image in (plots if plots is not None else self.current_plots).items():
            file_name = os.path.join(path, "%s.png" % name)
            Image.fromarray(np.asarray(image, np.uint8)).save(file_name)
            written.append(file_name)
        return written
