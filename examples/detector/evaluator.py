"""Validation of the shape detector with the package's evaluator.

`vireo.quillon.evaluators` does the matching, the metrics, the summary and the plots; a model
plugs in through a decoder that turns its outputs for one image into boxes, class ids and
scores in model-input pixels. This file holds the detector's decoder and the one call that
puts the pieces together.
"""
import numpy as np
from scipy.ndimage import maximum_filter

from vireo.quillon.evaluators import DetectionEvaluator, ModelRunner

from .model import STRIDE


class CenterNetDecoder:
    """Decodes the detector's heatmap and box maps (outputs 2 and 3 of `model.build_detector`).

    Objects are the local 3 x 3 maxima of the per-class heatmap scoring at least `min_score`
    (at most `max_peaks`); the box map at a peak gives the centre offset inside the cell and
    the box size in input pixels.
    """

    def __init__(self, stride=STRIDE, min_score=0.05, max_peaks=50, heatmap_output=2, boxes_output=3):
        self.stride = float(stride)
        self.min_score = float(min_score)
        self.max_peaks = int(max_peaks)
        self.heatmap_output = int(heatmap_output)
        self.boxes_output = int(boxes_output)

    def __call__(self, outputs):
        heat = np.asarray(outputs[self.heatmap_output], np.float32)     # [h, w, C]
        regression = np.asarray(outputs[self.boxes_output], np.float32)  # [h, w, 4]
        peaks = np.where(heat == maximum_filter(heat, size=(3, 3, 1), mode="nearest"), heat, 0.0)
        flat = peaks.reshape(-1)
        count = min(self.max_peaks, int(np.count_nonzero(flat >= self.min_score)))
        top = np.argsort(-flat, kind="stable")[:count]
        rows, cols, class_ids = np.unravel_index(top, heat.shape)
        reg = regression[rows, cols]
        cx = (cols + reg[:, 0]) * self.stride
        cy = (rows + reg[:, 1]) * self.stride
        boxes = np.stack([cx - reg[:, 2] / 2, cy - reg[:, 3] / 2, cx + reg[:, 2] / 2, cy + reg[:, 3] / 2], axis=1)
        return boxes, class_ids, flat[top]


def make_evaluator(model, input_shape, classes, score_threshold=0.3, min_score=0.05, max_detections=50,
                   nms_iou=0.6):
    """The evaluator for `DetectionTrainer.train`, running `model` (the one being trained) on
    letterboxed validation images. `classes` are the real class names in output order."""
    runner = ModelRunner(model, input_shape, CenterNetDecoder(min_score=min_score, max_peaks=max_detections),
                         classes=classes, nms_iou=nms_iou, max_detections=max_detections)
    return DetectionEvaluator(runner, classes=classes, score_threshold=score_threshold)
