"""The detection trainer's evaluator: matches a validation pass's detections with the ground
truth and turns them into metrics, a text summary and plots.

Metrics (IoU thresholds 0.50, 0.55, ..., 0.95):

- AP of a class: COCO's AP (greedy matching by decreasing score, up to ``max_detections``
  per class and image, 101-point interpolated precision-recall), from all detections.
- At the operating point, the detections scoring at least ``score_threshold``: per class and
  threshold TP (matched), FP (unmatched detections), FN (unmatched ground truth); recall =
  TP / (TP + FN), precision = TP / (TP + FP), accuracy = TP / (TP + FP + FN).
- mAP and mAR average over the classes with ground truth; mACC over the classes with ground
  truth or operating-point detections. "0.5:0.95" averages the ten thresholds.
- OP, OR, OA: precision, recall and accuracy at IoU 0.5 and the operating point, counted over
  all classes together.

Ground-truth rows labelled "background" and rows of zero area (the empty-image row
0, 0, 0, 0) are not objects and are left out.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple

import cv2
import numpy as np
from PIL import Image

from vireo.quillon.evaluators.metrics import IOU_50, IOU_75, IOU_THRESHOLDS, average_precision, match_image

__all__ = ["DetectionEvaluator", "PassRecord"]

BACKGROUND = "background"
FAMILY_KEYS = ("0.5", "0.75", "0.5:0.95")


@dataclass
class PassRecord:
    """What a validation pass has recorded so far (returned by ``single_evaluation``).

    Attributes:
        labels, scores, tp: per image, the kept detections' class indices, scores and
            true-positive flags (K, len(IOU_THRESHOLDS)).
        n_gt: ground-truth boxes per class index.
        images: (name, picture) of the drawn samples kept for the plots.
        shown: samples drawn so far in this pass.
    """

    labels: List[np.ndarray] = field(default_factory=list)
    scores: List[np.ndarray] = field(default_factory=list)
    tp: List[np.ndarray] = field(default_factory=list)
    n_gt: List[int] = field(default_factory=list)
    images: List[Tuple[str, np.ndarray]] = field(default_factory=list)
    shown: int = 0


def _family(values: List[np.ndarray]) -> Dict[str, float]:
    """{"0.5", "0.75", "0.5:0.95"} of the class mean of per-threshold values (0 without classes)."""
    if not values:
        return {key: 0.0 for key in FAMILY_KEYS}
    mean = np.mean(values, axis=0)
    return {"0.5": float(mean[IOU_50]), "0.75": float(mean[IOU_75]), "0.5:0.95": float(mean.mean())}


class DetectionEvaluator:
    """The evaluator that ``DetectionTrainer.train`` takes.

    The trainer calls it once per ``train()`` as ``evaluator(val_messenger=..., labels=...)``,
    then, per validation pass, ``runner.run_single_instance(image)`` and
    ``single_evaluation(instances, epoch, add_image)`` for every sample and
    ``conclude(truth_values, epoch=...)`` once; it then writes ``current_summary`` to
    ``results.txt`` and calls ``save_plots_disk(plots=current_plots, path=...)``.

    Args:
        runner: turns one image into ``(boxes, labels, scores)``, e.g. a
            :class:`~vireo.quillon.evaluators.ModelRunner`; boxes divided by the image size.
        classes: class names (without "background"); the trainer's ``labels`` replace them.
        score_threshold: the operating point of recall, precision and accuracy.
        max_detections: detections per class and image taken into AP (COCO: 100).
        max_plot_images: drawn samples kept in ``current_plots`` per pass.
    """

    def __init__(self, runner: Any, classes: Optional[Sequence[str]] = None, score_threshold: float = 0.3,
                 max_detections: int = 100, max_plot_images: int = 6) -> None:
        if not hasattr(runner, "run_single_instance"):
            raise TypeError("runner must have a run_single_instance(image) method, got %s" % type(runner).__name__)
        self.runner = runner
        self.classes: List[str] = []
        self.score_threshold = float(score_threshold)
        self.max_detections = int(max_detections)
        self.max_plot_images = int(max_plot_images)
        self.val_messenger: Any = None
        self.current_plots: Dict[str, np.ndarray] = {}
        self.current_summary = ""
        self.last_metrics: Optional[Dict[str, Any]] = None
        self.last_per_class: Dict[str, Dict[str, Any]] = {}
        self._index: Dict[str, int] = {}
        self._set_classes(classes or [])
        self._record = PassRecord()

    def _set_classes(self, names: Sequence[str]) -> None:
        names = [str(n) for n in names]
        if names and names[0] == BACKGROUND:
            names = names[1:]
        self.classes = names
        self._index = {name: i for i, name in enumerate(names)}
        if hasattr(self.runner, "classes"):
            self.runner.classes = list(names)

    def __call__(self, val_messenger: Any = None, labels: Optional[Sequence[str]] = None) -> "DetectionEvaluator":
        """Prepares a training run (the trainer calls this once per ``train()``).

        Args:
            val_messenger: a writer with ``write_image(tag, image, step)`` (the trainer's
                ``TrainingTensorBoardWriter``), or None to log nothing.
            labels: the trainer's class list; a leading "background" is dropped.

        Returns:
            DetectionEvaluator: itself.
        """
        self.val_messenger = val_messenger
        if labels is not None:
            self._set_classes(list(labels))
        self._record = PassRecord()
        return self

    def _class_indices(self, names: np.ndarray) -> np.ndarray:
        """Class index of each name; names not met before are added to the classes."""
        out = np.zeros(len(names), np.int64)
        for i, name in enumerate(names):
            name = str(name)
            if name not in self._index:
                self._index[name] = len(self.classes)
                self.classes.append(name)
            out[i] = self._index[name]
        return out

    def single_evaluation(self, instances: Dict[str, Dict[str, Any]], epoch: int, add_image: bool) -> PassRecord:
        """Records one validation sample.

        Args:
            instances: ``{"gt_instance": {"image", "height", "width", "boxes", "labels",
                "image_path"}, "dt_instance": {"boxes", "labels", "scores"}}`` as the trainer
                fills it: boxes (N, 4) divided by the image size, labels class names.
            epoch: the epoch of this pass (the TensorBoard step of the drawn sample).
            add_image: draw this sample and log it.

        Returns:
            PassRecord: everything recorded since the last ``conclude``.

        Raises:
            ValueError: boxes and labels of different lengths, or box values that are not finite.
        """
        gt, dt = instances["gt_instance"], instances["dt_instance"]
        gt_boxes = np.asarray(gt["boxes"], np.float64).reshape(-1, 4) if np.size(gt["boxes"]) else np.zeros((0, 4))
        gt_names = np.asarray(gt["labels"]).reshape(-1)
        if len(gt_boxes) != len(gt_names):
            raise ValueError("ground truth of %s: %d boxes but %d labels"
                             % (gt.get("image_path", "?"), len(gt_boxes), len(gt_names)))
        real = ((gt_names.astype(str) != BACKGROUND) & (gt_boxes[:, 2] > gt_boxes[:, 0])
                & (gt_boxes[:, 3] > gt_boxes[:, 1]))
        gt_boxes, gt_names = gt_boxes[real], gt_names[real]
        dt_boxes = np.asarray(dt["boxes"], np.float64).reshape(-1, 4) if np.size(dt["boxes"]) else np.zeros((0, 4))
        dt_names = np.asarray(dt["labels"]).reshape(-1)
        dt_scores = np.asarray(dt["scores"], np.float64).reshape(-1)

        gt_labels = self._class_indices(gt_names)
        labels, scores, tp = match_image(dt_boxes, self._class_indices(dt_names), dt_scores, gt_boxes, gt_labels,
                                         self.max_detections)
        record = self._record
        record.labels.append(labels)
        record.scores.append(scores)
        record.tp.append(tp)
        counts = np.bincount(gt_labels, minlength=len(self.classes))
        record.n_gt.extend([0] * (len(self.classes) - len(record.n_gt)))
        for index in np.nonzero(counts)[0]:
            record.n_gt[index] += int(counts[index])

        if add_image:
            drawn = self._draw(gt.get("image"), gt_boxes, gt_names, dt_boxes, dt_names, dt_scores)
            if drawn is not None:
                # Named by display position: each pass overwrites the previous pass's files and
                # TensorBoard shows one series per position.
                name = "sample_%02d" % record.shown
                record.shown += 1
                if len(record.images) < self.max_plot_images:
                    record.images.append((name, drawn))
                self._log_image("validation/%s" % name, drawn, epoch)
        return record

    def conclude(self, truth_values: PassRecord, epoch: int = 0) -> Dict[str, Any]:
        """Metrics of the pass recorded in ``truth_values``; the next sample starts a new pass.

        Also sets ``current_summary`` (text), ``current_plots`` (``pr_curve`` and the drawn
        samples) and ``last_per_class``, and logs the precision-recall picture.

        Args:
            truth_values: what the last ``single_evaluation`` returned.
            epoch: the epoch of this pass.

        Returns:
            dict: ``{"OP", "OR", "OA": float, "mAP", "mAR", "mACC": {"0.5", "0.75",
            "0.5:0.95": float}}``.
        """
        record = truth_values
        labels = np.concatenate(record.labels) if record.labels else np.zeros(0, np.int64)
        scores = np.concatenate(record.scores) if record.scores else np.zeros(0)
        tp = np.concatenate(record.tp) if record.tp else np.zeros((0, len(IOU_THRESHOLDS)), bool)
        n_gt = list(record.n_gt) + [0] * (len(self.classes) - len(record.n_gt))

        per_class: Dict[str, Dict[str, Any]] = {}
        curves = {}
        totals = np.zeros(3)  # TP, FP, FN at IoU 0.5 and the operating point, all classes
        for index, name in enumerate(self.classes):
            mine = labels == index
            class_scores, class_tp, count = scores[mine], tp[mine], n_gt[index]
            chosen = class_scores >= self.score_threshold
            if count == 0 and not chosen.any():
                continue
            ap, precision, recall = average_precision(class_scores, class_tp, count)
            n_tp = class_tp[chosen].sum(axis=0).astype(np.float64)
            n_fp = chosen.sum() - n_tp
            n_fn = count - n_tp
            per_class[name] = {
                "n_gt": count, "n_dt": int(chosen.sum()), "ap": ap,
                "recall": n_tp / count if count else np.zeros_like(n_tp),
                "precision": n_tp / np.maximum(n_tp + n_fp, 1.0),
                "acc": n_tp / np.maximum(n_tp + n_fp + n_fn, 1.0),
            }
            totals += [n_tp[IOU_50], n_fp[IOU_50], n_fn[IOU_50]]
            if count:
                curves[name] = (recall, precision)

        with_gt = [v for v in per_class.values() if v["n_gt"] > 0]
        tp50, fp50, fn50 = totals
        metrics: Dict[str, Any] = {
            "OP": float(tp50 / max(tp50 + fp50, 1.0)),
            "OR": float(tp50 / max(tp50 + fn50, 1.0)),
            "OA": float(tp50 / max(tp50 + fp50 + fn50, 1.0)),
            "mAP": _family([v["ap"] for v in with_gt]),
            "mAR": _family([v["recall"] for v in with_gt]),
            "mACC": _family([v["acc"] for v in per_class.values()]),
        }
        self.last_metrics = metrics
        self.last_per_class = per_class
        self.current_summary = self._summary(metrics, per_class, epoch)
        self.current_plots = self._plots(curves, record.images, epoch)
        self._log_image("validation/pr_curve", self.current_plots["pr_curve"], epoch)
        self._record = PassRecord()
        return metrics

    def save_plots_disk(self, plots: Optional[Dict[str, np.ndarray]] = None, path: str = ".") -> List[str]:
        """Writes each plot as ``<name>.png`` in ``path`` (created when missing).

        Args:
            plots: name -> H x W x 3 uint8 picture; default ``current_plots``.
            path: the folder.

        Returns:
            list: the written file paths.
        """
        os.makedirs(path, exist_ok=True)
        written = []
        for name, picture in (plots if plots is not None else self.current_plots).items():
            file_name = os.path.join(path, "%s.png" % name)
            Image.fromarray(np.asarray(picture, np.uint8)).save(file_name)
            written.append(file_name)
        return written

    # ------------------------------------------------------------------ reports

    def _log_image(self, tag: str, picture: np.ndarray, epoch: int) -> None:
        if self.val_messenger is not None and hasattr(self.val_messenger, "write_image"):
            self.val_messenger.write_image(tag, picture, step=int(epoch))

    def _summary(self, metrics: Dict[str, Any], per_class: Dict[str, Dict[str, Any]], epoch: int) -> str:
        lines = ["Validation, epoch %d (IoU 0.5 unless stated; P/R/ACC at score >= %.2f)"
                 % (epoch, self.score_threshold), ""]
        header = "%-12s %6s %6s %8s %8s %10s %8s %8s %8s" % (
            "class", "gt", "dt", "AP@0.5", "AP@0.75", "AP@.5:.95", "P", "R", "ACC")
        lines += [header, "-" * len(header)]
        for name, v in per_class.items():
            ap = np.nan_to_num(v["ap"])
            lines.append("%-12s %6d %6d %8.3f %8.3f %10.3f %8.3f %8.3f %8.3f" % (
                name, v["n_gt"], v["n_dt"], ap[IOU_50], ap[IOU_75], ap.mean(),
                v["precision"][IOU_50], v["recall"][IOU_50], v["acc"][IOU_50]))
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

    def _draw(self, image: Any, gt_boxes: np.ndarray, gt_names: np.ndarray, dt_boxes: np.ndarray,
              dt_names: np.ndarray, dt_scores: np.ndarray) -> Optional[np.ndarray]:
        """The image with true boxes (green) and operating-point detections (red)."""
        if image is None:
            return None
        canvas = np.asarray(image)
        if canvas.ndim == 2:
            canvas = canvas[..., None]
        canvas = np.ascontiguousarray(np.repeat(canvas, 3, axis=2) if canvas.shape[2] == 1 else canvas[..., :3],
                                      dtype=np.uint8).copy()
        height, width = canvas.shape[:2]
        scale = np.array([width, height, width, height], np.float64)

        def rect(box: np.ndarray, colour: Tuple[int, int, int], text: str, above: bool) -> None:
            x1, y1, x2, y2 = (int(round(v)) for v in np.asarray(box, np.float64) * scale)
            cv2.rectangle(canvas, (x1, y1), (x2, y2), colour, 1)
            y = max(y1 - 3, 9) if above else min(y2 + 10, height - 2)
            cv2.putText(canvas, text, (x1, y), cv2.FONT_HERSHEY_SIMPLEX, 0.35, colour, 1, cv2.LINE_AA)

        for box, name in zip(gt_boxes, gt_names):
            rect(box, (0, 255, 0), str(name), True)
        for box, name, score in zip(dt_boxes, dt_names, dt_scores):
            if score >= self.score_threshold:
                rect(box, (255, 0, 0), "%s %.2f" % (name, score), False)
        return canvas

    def _plots(self, curves: Dict[str, Tuple[np.ndarray, np.ndarray]], images: List[Tuple[str, np.ndarray]],
               epoch: int) -> Dict[str, np.ndarray]:
        """The precision-recall curves at IoU 0.5 as a picture, then the drawn samples."""
        # A figure of its own with the Agg canvas: no pyplot state, safe beside other plots.
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        fig = Figure(figsize=(5, 4), dpi=100)
        canvas = FigureCanvasAgg(fig)
        ax = fig.subplots()
        plotted = False
        for name, (recall, precision) in curves.items():
            if len(recall):
                plotted = True
                ax.plot(np.concatenate([[0.0], recall]), np.concatenate([[precision[0]], precision]), label=name)
        ax.set_xlim(0, 1)
        ax.set_ylim(0, 1.02)
        ax.set_xlabel("recall")
        ax.set_ylabel("precision")
        ax.set_title("Precision-recall at IoU 0.5, epoch %d" % epoch)
        if plotted:
            ax.legend(loc="lower left")
        ax.grid(alpha=0.3)
        fig.tight_layout()
        canvas.draw()
        curve = np.asarray(canvas.buffer_rgba())[..., :3].copy()
        plots = {"pr_curve": curve}
        for name, picture in images:
            plots[name] = picture
        return plots
