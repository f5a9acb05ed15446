"""Head-pose (attitude) datasets: face images with pitch, yaw and roll, alone or with boxes."""

from typing import Any, ClassVar, Optional

import numpy as np
import tensorflow as tf

class AttitudeDataset:
    """Head-pose dataset of images with MATLAB annotations (``Pose_Para``, ``pt2d``).

    Args:
        shape: height, width and channels of the network input.
        train_images: training image folder.
        train_annotations: training annotation folder.
        val_images: validation image folder.
        val_annotations: validation annotation folder.
        num_bins: kept for callers.
        file_extension: extension of the annotation files.
    """

    train_images: Optional[str]
    train_annotations: Optional[str]
    val_images: Optional[str]
    val_annotations: Optional[str]
    num_bins: int
    shape: list[int]
    train_storage: list[list[str]]
    val_storage: list[list[str]]

    def __init__(self, shape: Optional[list[int]] = None, train_images: Optional[str] = None,
                 train_annotations: Optional[str] = None, val_images: Optional[str] = None,
                 val_annotations: Optional[str] = None, num_bins: int = 66, file_extension: str = "mat") -> None:
        """Pairs the images of both splits with their annotation files."""
    def read_annotations(self, annotations_path: Optional[str] = None) -> tuple[np.ndarray, np.ndarray]:
        """Reads one MATLAB annotation: the (pitch, yaw, roll) angles and the landmarks."""
    def tf_load_instance(self, data: Any) -> Any:
        """One sample read inside a graph (a ``tf.function``)."""
    def _load_instance(self, data: Any) -> Any: ...
    def tf_augment(self, image: tf.Tensor, angles: tf.Tensor) -> Any:
        """``_augment`` inside the pipeline."""
    def _augment(self, image: tf.Tensor, angles: tf.Tensor) -> Any: ...
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset:
        """Shuffled, batched ``(images, angles)`` pipeline."""
    def build_val_iterator(self, batch_size: int = 1, prefetch: int = 10) -> tf.data.Dataset:
        """``(image path, annotation path)`` pipeline."""
    def get_num_train_samples(self) -> int:
        """The number of training samples."""

class AttitudeDatasetYaml(AttitudeDataset):
    """Head-pose dataset with MATLAB annotations, described by a YAML file.

    Args:
        shape: height, width and channels of the network input.
        info_file: path of the description file.
        num_bins: kept for callers.
    """

    train_msg_images: ClassVar[str]
    train_msg_ann: ClassVar[str]
    val_msg_images: ClassVar[str]
    val_msg_ann: ClassVar[str]
    location_msg: ClassVar[str]

    def __init__(self, shape: Optional[list[int]] = None, info_file: Optional[str] = None, num_bins: int = 3) -> None:
        """Reads the description and runs the base constructor with its folders."""
    def get_num_train_samples(self) -> int:
        """The number of training samples."""

class AttitudeAndDetectDataset(AttitudeDataset):
    """Head-pose dataset with face boxes, JSON annotations (``boxes``, ``angles``).

    Args:
        shape: height, width and channels of the network input.
        train_images: training image folder.
        train_annotations: training annotation folder.
        val_images: validation image folder.
        val_annotations: validation annotation folder.
        classes: class names of the boxes.
        add_bkg_class: reserve label 0 for a background class.
    """

    add_bkg_class: bool
    classes: list[str]
    label_offset: int

    def __init__(self, shape: Optional[list[int]] = None, train_images: Optional[str] = None,
                 train_annotations: Optional[str] = None, val_images: Optional[str] = None,
                 val_annotations: Optional[str] = None, classes: Optional[list[str]] = None,
                 add_bkg_class: bool = True) -> None:
        """Pairs the images with their JSON annotations and keeps the classes."""
    def get_num_train_samples(self) -> int:
        """The number of training samples."""
    def get_classes(self) -> list[str]:
        """The class names, "background" first with ``add_bkg_class``."""
    def tf_load_instance(self, data: Any) -> Any:
        """One sample read inside a graph (a ``tf.function``)."""
    def _load_instance(self, data: Any) -> Any: ...
    def tf_augment(self, image: tf.Tensor, bboxes: Optional[tf.Tensor] = None,  # type: ignore[override]
                   angles: Optional[tf.Tensor] = None) -> Any:
        """``_augment`` inside the pipeline."""
    def _augment(self, image: tf.Tensor, bboxes: Optional[tf.Tensor] = None,  # type: ignore[override]
                 angles: Optional[tf.Tensor] = None) -> Any: ...
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset:
        """Shuffled, batched ``(images, boxes, angles)`` pipeline, zero-padded."""

class AttitudeDatasetJson(AttitudeDataset):
    """Head-pose dataset with JSON annotations, each sample cropped to its first face box.

    Args:
        shape: height, width and channels of the network input.
        train_images: training image folder.
        train_annotations: training annotation folder.
        val_images: validation image folder.
        val_annotations: validation annotation folder.
    """

    def __init__(self, shape: Optional[list[int]] = None, train_images: Optional[str] = None,
                 train_annotations: Optional[str] = None, val_images: Optional[str] = None,
                 val_annotations: Optional[str] = None) -> None:
        """Pairs the images with their JSON annotations."""
    def _load_instance(self, data: Any) -> Any: ...

class AttitudeAndDetectDatasetYaml(AttitudeAndDetectDataset):
    """Head-pose dataset with face boxes, described by a YAML file.

    Args:
        shape: height, width and channels of the network input.
        info_file: path of the description file.
        add_bkg_class: reserve label 0 for a background class.
    """

    def __init__(self, shape: Optional[list[int]] = None, info_file: Optional[str] = None,
                 add_bkg_class: bool = True) -> None:
        """Reads the description and runs the base constructor."""

class AttitudeDatasetJsonYaml(AttitudeDatasetJson):
    """Head-pose dataset with face crops, described by a YAML file.

    Args:
        shape: height, width and channels of the network input.
        info_file: path of the description file.
    """

    def __init__(self, shape: Optional[list[int]] = None, info_file: Optional[str] = None) -> None:
        """Reads the description and runs the base constructor."""
