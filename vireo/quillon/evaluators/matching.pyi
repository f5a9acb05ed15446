"""Native matching core of vireo.quillon.evaluators."""

from typing import Any

import numpy as np

def match_detections(dt_boxes: Any, dt_labels: Any, gt_boxes: Any, gt_labels: Any, thresholds: Any) -> np.ndarray:
    """Matches one image's detections with its ground-truth boxes at several IoU thresholds.

    Each detection, in the given order, takes the unmatched ground-truth box of its own label
    with the highest IoU, if that IoU reaches the threshold (COCO's greedy matching).

    Args:
        dt_boxes: detections, shape (K, 4): x_min, y_min, x_max, y_max, highest score first.
        dt_labels: integer label of each detection, shape (K,).
        gt_boxes: ground-truth boxes, shape (G, 4), in the same units as ``dt_boxes``.
        gt_labels: integer label of each ground-truth box, shape (G,).
        thresholds: IoU thresholds, shape (T,), each in 0..1.

    Returns:
        numpy.ndarray: bool, shape (K, T): True where the detection is a true positive.

    Raises:
        ValueError: an array of the wrong shape, a box value that is not finite, or a threshold
            outside 0..1.
        TypeError: an argument that is not an array of numbers.
    """
