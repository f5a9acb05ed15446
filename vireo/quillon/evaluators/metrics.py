"""COCO-style detection metrics: per-image matching, pooled precision-recall and AP.

The IoU thresholds (0.50, 0.55, ..., 0.95), the greedy matching and the 101-point
interpolated AP are those of COCO's evaluation, so AP agrees with pycocotools' ``COCOeval``
on the same detections. The matching itself runs in the native module
``vireo.quillon.evaluators.matching``.
"""
from __future__ import annotations

from typing import Tuple

import numpy as np

from vireo.quillon.evaluators.matching import match_detections

# The same expressions as COCO's evaluation parameters, so the values are bit-identical.
IOU_THRESHOLDS: np.ndarray = np.linspace(0.5, 0.95, int(np.round((0.95 - 0.5) / 0.05)) + 1, endpoint=True)
RECALL_LEVELS: np.ndarray = np.linspace(0.0, 1.00, int(np.round((1.00 - 0.0) / 0.01)) + 1, endpoint=True)
IOU_50, IOU_75 = 0, 5  # indices of 0.5 and 0.75 in IOU_THRESHOLDS

__all__ = ["IOU_THRESHOLDS", "RECALL_LEVELS", "IOU_50", "IOU_75", "box_iou", "match_image", "average_precision"]


def box_iou(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """IoU of every box of ``a`` with every box of ``b``.

    Args:
        a: boxes, shape (N, 4): x_min, y_min, x_max, y_max.
        b: boxes, shape (M, 4), same units.

    Returns:
        np.ndarray: float64, shape (N, M); 0 where the union is empty.
    """
    a = np.asarray(a, np.float64).reshape(-1, 4)
    b = np.asarray(b, np.float64).reshape(-1, 4)
    width = np.minimum(a[:, None, 2], b[None, :, 2]) - np.maximum(a[:, None, 0], b[None, :, 0])
    height = np.minimum(a[:, None, 3], b[None, :, 3]) - np.maximum(a[:, None, 1], b[None, :, 1])
    inter = np.clip(width, 0, None) * np.clip(height, 0, None)
    area_a = (a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1])
    area_b = (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1])
    union = area_a[:, None] + area_b[None, :] - inter
    return np.where(union > 0, inter / np.where(union > 0, union, 1.0), 0.0)


def match_image(dt_boxes: np.ndarray, dt_labels: np.ndarray, dt_scores: np.ndarray, gt_boxes: np.ndarray,
                gt_labels: np.ndarray, max_detections: int = 100) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Matches one image's detections with its ground truth at every IoU threshold.

    Detections are ranked by decreasing score (ties keep their order) and only the first
    ``max_detections`` of each label take part, as in COCO's evaluation.

    Args:
        dt_boxes: detections, shape (K, 4): x_min, y_min, x_max, y_max.
        dt_labels: integer label per detection, shape (K,).
        dt_scores: score per detection, shape (K,).
        gt_boxes: ground-truth boxes, shape (G, 4), same units as ``dt_boxes``.
        gt_labels: integer label per ground-truth box, shape (G,).
        max_detections: detections kept per label, highest scores first.

    Returns:
        tuple: ``(labels, scores, tp)`` of the kept detections in rank order: labels (K',),
        scores (K',) and tp, bool (K', len(IOU_THRESHOLDS)).

    Raises:
        ValueError: arrays of mismatched or wrong shapes, or boxes with values that are not finite.
    """
    dt_boxes = np.asarray(dt_boxes, np.float64).reshape(-1, 4) if np.size(dt_boxes) else np.zeros((0, 4))
    dt_labels = np.asarray(dt_labels, np.int64).reshape(-1)
    dt_scores = np.asarray(dt_scores, np.float64).reshape(-1)
    if not len(dt_boxes) == len(dt_labels) == len(dt_scores):
        raise ValueError("detections disagree in length: %d boxes, %d labels, %d scores"
                         % (len(dt_boxes), len(dt_labels), len(dt_scores)))
    order = np.argsort(-dt_scores, kind="mergesort")
    if len(order) > max_detections:
        # Rank of each detection among those of its label, in score order.
        ranked_labels = dt_labels[order]
        by_label = np.argsort(ranked_labels, kind="stable")
        grouped = ranked_labels[by_label]
        rank = np.empty(len(order), np.int64)
        rank[by_label] = np.arange(len(order)) - np.searchsorted(grouped, grouped, side="left")
        order = order[rank < max_detections]
    tp = match_detections(dt_boxes[order], dt_labels[order], gt_boxes, gt_labels, IOU_THRESHOLDS)
    return dt_labels[order], dt_scores[order], tp


def average_precision(scores: np.ndarray, tp: np.ndarray, n_gt: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """AP at each IoU threshold from the pooled detections of one class.

    Detections are ranked by decreasing score (stable), precision is made non-increasing in
    recall, and AP is its mean at the 101 recall levels 0, 0.01, ..., 1 (COCO's interpolation).

    Args:
        scores: score per detection, shape (K,).
        tp: bool, shape (K, T): true positive per detection and IoU threshold.
        n_gt: number of ground-truth boxes of the class.

    Returns:
        tuple: ``(ap, precision, recall)``: AP per threshold (T,), and the interpolated
        precision at each detection rank with its recall at the first threshold (for plots).
        With ``n_gt == 0`` AP is NaN (the class has nothing to find).
    """
    tp = np.asarray(tp, bool)
    if tp.ndim == 1:
        tp = tp[:, None]
    thresholds = tp.shape[1]
    if n_gt == 0:
        return np.full(thresholds, np.nan), np.zeros(0), np.zeros(0)
    order = np.argsort(-np.asarray(scores, np.float64), kind="mergesort")
    tp = tp[order]
    tps = np.cumsum(tp, axis=0, dtype=np.float64)
    fps = np.cumsum(~tp, axis=0, dtype=np.float64)
    recall = tps / n_gt
    precision = tps / (tps + fps + np.spacing(1))
    precision = np.maximum.accumulate(precision[::-1], axis=0)[::-1]  # best precision at this recall or more
    ap = np.zeros(thresholds)
    for t in range(thresholds):
        index = np.searchsorted(recall[:, t], RECALL_LEVELS, side="left")
        reached = index < len(recall)
        ap[t] = np.where(reached, precision[np.minimum(index, max(len(recall) - 1, 0)), t] if len(recall) else 0.0,
                         0.0).mean()
    return ap, precision[:, 0], recall[:, 0]
