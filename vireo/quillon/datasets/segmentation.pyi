"""Segmentation datasets: polygon outlines (per-image JSON or COCO JSON) turned into class masks."""

from typing import Any, Optional

import numpy as np
import tensorflow as tf

class SegmentationDataset:
    """Segmentation dataset of images with one JSON outline file per image.

    Args:
        shape: height, width and channels of the network input.
        train_images: training image folder.
        val_images: validation image folder.
        train_annotations: training annotation folder.
        val_annotations: validation annotation folder.
        labels: class names, without a background entry.
        tasks: tasks to serve, a subset of ``["segment", "boxes"]``.
        num_points: points every outline is resampled to.
        letter_box: letterbox (keep the aspect ratio, pad) rather than plainly resize.
        add_bkg_class: kept as ``class_offset`` for callers.
    """

    shape: list[int]
    train_images: str
    val_images: str
    train_annotations: str
    val_annotations: str
    tasks: list[str]
    labels: list[str]
    num_points: int
    letter_box: bool
    class_offset: int
    _augmentation_pipeline: Any
    train_storage: list[str]
    val_storage: list[str]
    num_training_samples: int
    num_validation_samples: int

    def __init__(self, shape: Optional[list[int]] = None, train_images: Optional[str] = None,
                 val_images: Optional[str] = None, train_annotations: Optional[str] = None,
                 val_annotations: Optional[str] = None, labels: Optional[list[str]] = None,
                 tasks: Optional[list[str]] = None, num_points: int = 300, letter_box: bool = True,
                 add_bkg_class: bool = True) -> None:
        """Checks the folders and tasks and lists the annotation files of both splits."""
    def get_num_segmentation_classes(self) -> int:
        """``len(labels) + 1``: the mask classes, background (0) included."""
    def get_num_train_samples(self) -> int:
        """The number of training samples."""
    def validate_tasks(self, tasks: Optional[list[str]] = None) -> list[str]:
        """Returns ``tasks`` when every entry is supported."""
    def validate_path(self, path: Optional[str] = None) -> str:
        """Returns ``path`` when it exists."""
    def apply_augmentation(self, image: np.ndarray, mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Runs the augmentation pipeline on one image and its mask."""
    def tf_apply_augmentation(self, image: tf.Tensor, mask: tf.Tensor) -> tuple[tf.Tensor, tf.Tensor]:
        """``apply_augmentation`` inside a graph (a ``tf.function``)."""
    def build_train_iterator(self, batch_size: int = 10, prefetch: int = 10) -> tf.data.Dataset:
        """Shuffled, augmented, batched ``(images, masks)`` pipeline."""
    def build_gt_mask(self, data: Any) -> tf.Tensor:
        """The class mask of one sample, inside a graph (a ``tf.function``)."""
    def _build_gt_mask(self, masks: Any, classes: Any) -> np.ndarray: ...
    def read_data(self, annotation_file: Any, train: bool = True) -> Any:
        """One sample read inside a graph (a ``tf.function``)."""
    def _read_data(self, annotation_file: Any, train: bool = True) -> Any: ...
    def build_val_iterator(self, prefetch: int = 10) -> tf.data.Dataset:
        """``(image, mask, image path)`` pipeline, one sample at a time."""

class SegmentationDatasetYaml(SegmentationDataset):
    """Segmentation dataset described by a YAML file (``classes``, ``train`` and ``validation``
    with ``images`` and ``annotations`` folders).

    Args:
        info_file: path of the description file.
        shape: height, width and channels of the network input.
        letter_box: letterbox rather than plainly resize.
        num_points: points every outline is resampled to.
        add_bkg_class: kept as ``class_offset`` for callers.
        tasks: tasks to serve.
    """

    def __init__(self, info_file: Optional[str] = None, shape: Optional[list[int]] = None, letter_box: bool = True,
                 num_points: int = 300, add_bkg_class: bool = True, tasks: Optional[list[str]] = None) -> None:
        """Reads the description and runs the base constructor with its folders and classes."""

class SegmentationDatasetJsonCOCO:
    """Segmentation dataset read from a COCO-style JSON file.

    Args:
        train_json_file: COCO JSON of the training split.
        val_json_file: COCO JSON of the validation split (kept).
        train_images: training image folder.
        val_images: validation image folder (kept).
        shape: height, width and channels of the network input.
        letter_box: letterbox rather than plainly resize.
        num_points: points every outline is resampled to.
        add_bkg_class: kept for callers.
        tasks: kept for callers.
    """

    train_ann_file: Optional[str]
    val_ann_file: Optional[str]
    train_images: Optional[str]
    val_images: Optional[str]
    shape: list[int]
    num_points: int
    letterbox: bool
    add_bkg_class: bool
    tasks: Optional[list[str]]
    _augmentation_pipeline: Any
    train_storage_images: list[str]
    train_images_id: list[Any]
    train_storage_ann: dict[Any, list[dict[str, Any]]]
    labels: list[str]
    train_storage: list[Any]

    def __init__(self, train_json_file: Optional[str] = None, val_json_file: Optional[str] = None,
                 train_images: Optional[str] = None, val_images: Optional[str] = None,
                 shape: Optional[list[int]] = None, letter_box: bool = True, num_points: int = 300,
                 add_bkg_class: bool = True, tasks: Optional[list[str]] = None) -> None:
        """Reads the training COCO file: images, categories and outlines."""
    def get_num_train_samples(self) -> int:
        """The number of training images."""
    def get_num_segmentation_classes(self) -> int:
        """``len(labels) + 1``: the mask classes, background (0) included."""
    def read_data(self, image_id: tf.Tensor) -> Any:
        """One sample read inside a graph (a ``tf.function``)."""
    def _read_data(self, image_id: Any) -> Any: ...
    def build_gt_mask(self, data: Any) -> tf.Tensor:
        """The class mask of one sample, inside a graph (a ``tf.function``)."""
    def _build_gt_mask(self, masks: Any, classes: Any) -> np.ndarray: ...
    def apply_augmentation(self, image: np.ndarray, mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Runs the augmentation pipeline on one image and its mask."""
    def tf_apply_augmentation(self, image: tf.Tensor, mask: tf.Tensor) -> tuple[tf.Tensor, tf.Tensor]:
        """``apply_augmentation`` inside a graph (a ``tf.function``)."""
    def build_train_iterator(self, batch_size: int = 10, prefetch: int = 10) -> tf.data.Dataset:
        """Shuffled, augmented, batched ``(images, masks)`` pipeline."""
    def build_val_iterator(self, batch_size: int = 10, prefetch: int = 10) -> tf.data.Dataset:
        """Batched validation pipeline."""
