"""Turns one validation image into detections: letterbox, model, decoder, back to the image.

A model plugs in through a small decoder: a callable that takes the model's outputs for one
image (batch axis removed, NumPy arrays) and returns its detections in model-input pixels.
"""
from __future__ import annotations

from typing import Callable, List, Optional, Protocol, Sequence, Tuple

import numpy as np
import tensorflow as tf

from vireo.quillon.datasets.utils import letterbox
from vireo.quillon.evaluators.metrics import box_iou

__all__ = ["Decoder", "ModelRunner", "non_max_suppression"]

Detections = Tuple[np.ndarray, np.ndarray, np.ndarray]


class Decoder(Protocol):
    """What a model's decoder provides to :class:`ModelRunner`."""

    def __call__(self, outputs: Sequence[np.ndarray]) -> Detections:
        """Decodes the model's outputs for one image.

        Args:
            outputs: every output of ``model(images, training=False)`` for one image, batch
                axis removed, as NumPy arrays.

        Returns:
            tuple: ``(boxes, class_ids, scores)``: boxes float (K, 4) x_min, y_min, x_max,
            y_max in pixels of the model input; class_ids int (K,), 0-based indices into the
            runner's classes (no background); scores float (K,).
        """
        ...


def non_max_suppression(boxes: np.ndarray, scores: np.ndarray, iou: float) -> np.ndarray:
    """Greedy non-maximum suppression.

    Args:
        boxes: (K, 4) x_min, y_min, x_max, y_max.
        scores: (K,).
        iou: boxes overlapping a kept box by more than this are dropped.

    Returns:
        np.ndarray: int64 indices of the kept boxes, highest score first.
    """
    order = np.argsort(-np.asarray(scores), kind="stable")
    keep = []
    while order.size:
        best = order[0]
        keep.append(best)
        rest = order[1:]
        order = rest[box_iou(boxes[best:best + 1], boxes[rest])[0] <= iou]
    return np.asarray(keep, np.int64)


class ModelRunner:
    """Runs a Keras detector on one image of any size.

    The image is letterboxed (or resized) to the model input, scaled to 0..1, passed through
    the model in inference mode, decoded by ``decoder``, mapped back to the original image,
    optionally reduced by per-class non-maximum suppression, and returned ranked by score.

    Args:
        model: a Keras model (or any callable ``model(images, training=False)``).
        input_shape: the model input, height, width[, channels].
        decoder: the model's :class:`Decoder`.
        classes: class names, indexed by the decoder's class ids.
        letter_box: keep the aspect ratio and pad (as the datasets' letterbox); False stretches.
        nms_iou: IoU of per-class non-maximum suppression, or None for none.
        max_detections: detections returned per image, highest scores first.
        preprocess: maps the uint8 batch to the model's input; default: ``x / 255``.
    """

    def __init__(self, model: Callable, input_shape: Sequence[int], decoder: Decoder,
                 classes: Optional[Sequence[str]] = None, letter_box: bool = True, nms_iou: Optional[float] = None,
                 max_detections: int = 100, preprocess: Optional[Callable[[np.ndarray], np.ndarray]] = None) -> None:
        if len(input_shape) < 2 or int(input_shape[0]) < 1 or int(input_shape[1]) < 1:
            raise ValueError("input_shape must start with a positive height and width, got %r" % (input_shape,))
        self.model = model
        self.input_shape = (int(input_shape[0]), int(input_shape[1]))
        self.decoder = decoder
        self.classes = list(classes or [])
        self.letter_box = bool(letter_box)
        self.nms_iou = None if nms_iou is None else float(nms_iou)
        self.max_detections = int(max_detections)
        self.preprocess = preprocess
        self._infer = tf.function(self._forward, reduce_retracing=True)

    def _forward(self, images: tf.Tensor) -> object:
        return self.model(images, training=False)

    def _fit(self, image: np.ndarray) -> Tuple[np.ndarray, Tuple[float, float], Tuple[float, float]]:
        """The image at the model input size, with the scale and offset that map input pixels back."""
        height, width = image.shape[:2]
        if self.letter_box:
            resized, (rx, ry), (left, top) = letterbox(image, self.input_shape, auto=False)
            return resized, (rx * width, ry * height), (left, top)
        import cv2

        resized = cv2.resize(image, (self.input_shape[1], self.input_shape[0]), interpolation=cv2.INTER_LINEAR)
        return resized.reshape(self.input_shape + (-1,)), (float(self.input_shape[1]), float(self.input_shape[0])), (0, 0)

    def run_single_instance(self, image: np.ndarray) -> Detections:
        """Detects objects in one image.

        Args:
            image: H x W x C (or H x W) uint8 image.

        Returns:
            tuple: ``(boxes, labels, scores)``: boxes float32 (K, 4) x_min, y_min, x_max, y_max
            divided by the image's width and height and clipped to 0..1; labels, object array
            of class names; scores float32 (K,), highest first.

        Raises:
            ValueError: an image that is not 2-D or 3-D, or a decoder class id outside the classes.
        """
        image = np.asarray(image)
        if image.ndim == 2:
            image = image[..., None]
        if image.ndim != 3 or image.shape[0] == 0 or image.shape[1] == 0:
            raise ValueError("expected one H x W x C image, got an array of shape %s" % (image.shape,))
        if image.shape[2] == 1:
            image = np.repeat(image, 3, axis=2)
        fitted, (scale_x, scale_y), (left, top) = self._fit(np.ascontiguousarray(image[..., :3], dtype=np.uint8))
        batch = fitted[None].astype(np.float32)
        batch = self.preprocess(batch) if self.preprocess is not None else batch / 255.0
        outputs = self._infer(tf.convert_to_tensor(batch))
        if isinstance(outputs, dict):
            outputs = list(outputs.values())
        elif not isinstance(outputs, (list, tuple)):
            outputs = [outputs]
        boxes, class_ids, scores = self.decoder([np.asarray(o)[0] for o in outputs])

        boxes = np.asarray(boxes, np.float64).reshape(-1, 4)
        class_ids = np.asarray(class_ids).astype(np.int64).reshape(-1)
        scores = np.asarray(scores, np.float64).reshape(-1)
        if not len(boxes) == len(class_ids) == len(scores):
            raise ValueError("the decoder returned %d boxes, %d class ids and %d scores"
                             % (len(boxes), len(class_ids), len(scores)))
        if len(class_ids) and (class_ids.min() < 0 or class_ids.max() >= len(self.classes)):
            raise ValueError("the decoder returned class id %d, outside the %d classes %s"
                             % (class_ids.max() if class_ids.max() >= len(self.classes) else class_ids.min(),
                                len(self.classes), self.classes))
        # Input pixels -> original image, divided by its size.
        boxes = (boxes - [left, top, left, top]) / [scale_x, scale_y, scale_x, scale_y]
        boxes = np.clip(boxes, 0.0, 1.0)

        keep = np.arange(len(scores))
        if self.nms_iou is not None:
            kept: List[int] = []
            for c in np.unique(class_ids):
                members = np.nonzero(class_ids == c)[0]
                kept.extend(members[non_max_suppression(boxes[members], scores[members], self.nms_iou)])
            keep = np.asarray(kept, np.int64)
        keep = keep[np.argsort(-scores[keep], kind="stable")][: self.max_detections]
        labels = np.array([self.classes[c] for c in class_ids[keep]], dtype=object)
        return boxes[keep].astype(np.float32), labels, scores[keep].astype(np.float32)
