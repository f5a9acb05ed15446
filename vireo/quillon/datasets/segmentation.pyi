"""Segmentation datasets: polygon outlines (per-image JSON or COCO JSON) turned into class masks."""

from typing import Any, Optional

import numpy as np
import tensorflow as tf

class SegmentationDataset:
    """Semantic-segmentation dataset of images with one JSON annotation file per image.

    Each annotation file names its image and lists the objects as outlines:

        {"image": "name.jpg",
         "segment": [[{"polygon": [[x, y], ...], "class": 0}, ...], ...]}

    ``segment`` is a list of objects, each a list of parts; a part's ``polygon`` holds its
    outline as [x, y] points divided by the image width and height, and ``class`` the 0-based
    index into ``labels``. Masks hold 0 for the background and class + 1 inside outlines.

    Args:
        shape (list): height, width and channels of the network input.
        train_images (str): folder of the training images.
        val_images (str): folder of the validation images.
        train_annotations (str): folder of the training annotation files.
        val_annotations (str): folder of the validation annotation files.
        labels (list): class names, without a background entry.
        tasks (list): tasks to serve, among "segment" and "boxes".
        num_points (int): number of points every outline is resampled to.
        letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.
        add_bkg_class (bool): sets ``class_offset`` to 1 (stored for callers).

    Raises:
        FileNotFoundError: a folder is None or does not exist.
        ValueError: ``tasks`` is None or holds an unknown task, a folder path holds a null
            byte, the training annotation folder holds no JSON file, or ``shape`` is not
            [height, width, 3] with a mask that fits in memory and room for the training crops
            (height at least 5, width at least height // 2).
        TypeError: an argument annotated ``str`` or ``list`` has another type, or ``shape`` is
            None.
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
        """Builds the dataset: see the class documentation."""
    def get_num_segmentation_classes(self) -> int:
        """Number of mask classes.

        Returns:
            int: ``len(labels) + 1``, the labels plus the background.
        """
    def get_num_train_samples(self) -> int:
        """Number of training samples.

        Returns:
            int: the number of training annotation files.
        """
    def validate_tasks(self, tasks: Optional[list[str]] = None) -> list[str]:
        """Checks the tasks to serve against the supported ones.

        Args:
            tasks (list): task names, each among the instance's current ``tasks``.

        Returns:
            list: ``tasks`` itself.

        Raises:
            ValueError: ``tasks`` is None, or an entry is not a supported task.
        """
    def validate_path(self, path: Optional[str] = None) -> str:
        """Checks that a path exists.

        Args:
            path (str): a file or folder.

        Returns:
            str: ``path`` unchanged.

        Raises:
            FileNotFoundError: ``path`` is None or does not exist.
            ValueError: ``path`` holds a null byte.
        """
    def apply_augmentation(self, image: np.ndarray, mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Augments one training image and its mask with the dataset's pipeline.

        Args:
            image (np.ndarray): uint8 image, height x width x channels.
            mask (np.ndarray): class mask of the same height and width.

        Returns:
            tuple: the augmented image (uint8) and mask (int32).
        """
    def tf_apply_augmentation(self, image: tf.Tensor, mask: tf.Tensor) -> tuple[tf.Tensor, tf.Tensor]:
        """Graph-side ``apply_augmentation``, through ``tf.numpy_function``.

        Args:
            image (tf.Tensor): uint8 image.
            mask (tf.Tensor): int32 class mask.

        Returns:
            tuple: the augmented image (tf.uint8) and mask (tf.int32).
        """
    def build_train_iterator(self, batch_size: int = 10, prefetch: int = 10) -> tf.data.Dataset:
        """The training pipeline of one epoch: shuffled, read, painted, augmented, batched, with
        tf.data's autotuning off (each stage runs one call per core).

        Args:
            batch_size (int): samples per batch; a last, smaller batch is dropped.
            prefetch (int): batches prepared ahead.

        Returns:
            tf.data.Dataset: batches (image uint8 [B, H, W, C], mask int32 [B, H, W]).
        """
    def build_gt_mask(self, data: Any) -> tf.Tensor:
        """Graph-side ``_build_gt_mask``.

        Args:
            data: [image, outlines, classes], three tensors.

        Returns:
            tuple: the image and its int32 class mask.

        Raises:
            ValueError: ``data`` does not hold exactly three items.
        """
    def _build_gt_mask(self, masks: Any, classes: Any) -> np.ndarray: ...
    def read_data(self, annotation_file: Any, train: bool = True) -> Any:
        """Graph-side ``_read_data``, through ``tf.py_function``.

        Args:
            annotation_file: scalar string tensor, the path of one annotation file.
            train (bool): read from the training split (else validation, with the image path).

        Returns:
            list: tensors image (uint8), outlines (float32), classes (int32) and, when not
            training, the image path (string).
        """
    def _read_data(self, annotation_file: Any, train: bool = True) -> Any: ...
    def build_val_iterator(self, prefetch: int = 10) -> tf.data.Dataset:
        """The validation samples, in file order, neither augmented nor batched.

        Args:
            prefetch (int): samples prepared ahead.

        Returns:
            tf.data.Dataset: (image uint8, mask int32, image path) per sample.
        """

class SegmentationDatasetYaml(SegmentationDataset):
    """Semantic-segmentation dataset described by a YAML file:

        classes: ['person', 'car', ...]
        train:
            images: /path/to/train/images
            annotations: /path/to/train/annotations
        validation:
            images: /path/to/validation/images
            annotations: /path/to/validation/annotations

    The annotation folders hold one JSON file per image (see ``SegmentationDataset``).

    Args:
        info_file (str): path of the description file.
        shape (list): height, width and channels of the network input.
        letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.
        num_points (int): number of points every outline is resampled to.
        add_bkg_class (bool): sets ``class_offset`` to 1 (stored for callers).
        tasks (list): tasks to serve, among "segment" and "boxes".

    Raises:
        ValueError: the file holds no mapping, no classes, or misses a section or folder key.
        FileNotFoundError: the file or one of its folders does not exist.
        TypeError: an argument annotated ``str`` or ``list`` has another type.
    """

    def __init__(self, info_file: Optional[str] = None, shape: Optional[list[int]] = None, letter_box: bool = True,
                 num_points: int = 300, add_bkg_class: bool = True, tasks: Optional[list[str]] = None) -> None:
        """Reads the description file, then builds the base dataset."""

class SegmentationDatasetJsonCOCO:
    """Semantic-segmentation dataset whose training annotations lie in one COCO-style JSON file.

    Read keys: ``images`` (``file_name``, ``id``), ``categories`` (``id``, ``name``; id 0 is
    skipped) and ``annotations`` (``image_id``, ``category_id``, ``segmentation`` as a list of
    flat x1, y1, x2, y2, ... polygons in pixels). Run-length ``segmentation`` entries and
    annotations of a category not listed are skipped, with a printed count. A category is
    painted as its position in ``labels`` plus 1, so mask values stay below
    ``get_num_segmentation_classes()``. Only the training split is served.

    Args:
        train_json_file (str): COCO JSON file of the training split.
        val_json_file (str): stored, not read.
        train_images (str): folder of the training images.
        val_images (str): stored, not read.
        shape (list): height, width and channels of the network input.
        letter_box (bool): letterbox (keep the aspect ratio) rather than plainly resize.
        num_points (int): number of points every outline is resampled to.
        add_bkg_class (bool): stored.
        tasks (list): stored.

    Raises:
        FileNotFoundError: the training file is empty, None or missing.
        ValueError: the file holds no images or no annotations, an image entry has no
            ``file_name`` or ``id``, an entry is malformed (the message names it), or ``shape``
            cannot be served (as for ``SegmentationDataset``).
        TypeError: an annotation is not an object or has no ``segmentation`` list, or an
            argument annotated ``str`` or ``list`` has another type.
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
        """Reads and indexes the training file: see the class documentation."""
    def get_num_train_samples(self) -> int:
        """Number of training samples.

        Returns:
            int: the number of listed training images, annotated or not.
        """
    def get_num_segmentation_classes(self) -> int:
        """Number of mask classes.

        Returns:
            int: ``len(labels) + 1``, the categories plus the background.
        """
    def read_data(self, image_id: tf.Tensor) -> Any:
        """Graph-side ``_read_data``, through ``tf.numpy_function``.

        Args:
            image_id (tf.Tensor): the id of one listed image.

        Returns:
            list: tensors image (uint8), outlines (float32) and classes (int32).
        """
    def _read_data(self, image_id: Any) -> Any: ...
    def build_gt_mask(self, data: Any) -> tf.Tensor:
        """Graph-side ``_build_gt_mask``.

        Args:
            data: [image, outlines, classes], three tensors.

        Returns:
            tuple: the image and its int32 class mask.

        Raises:
            ValueError: ``data`` does not hold exactly three items.
        """
    def _build_gt_mask(self, masks: Any, classes: Any) -> np.ndarray: ...
    def apply_augmentation(self, image: np.ndarray, mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Augments one training image and its mask with the dataset's pipeline.

        Args:
            image (np.ndarray): uint8 image, height x width x channels.
            mask (np.ndarray): class mask of the same height and width.

        Returns:
            tuple: the augmented image (uint8) and mask (int32).
        """
    def tf_apply_augmentation(self, image: tf.Tensor, mask: tf.Tensor) -> tuple[tf.Tensor, tf.Tensor]:
        """Graph-side ``apply_augmentation``, through ``tf.numpy_function``.

        Args:
            image (tf.Tensor): uint8 image.
            mask (tf.Tensor): int32 class mask.

        Returns:
            tuple: the augmented image (tf.uint8) and mask (tf.int32).
        """
    def build_train_iterator(self, batch_size: int = 10, prefetch: int = 10) -> tf.data.Dataset:
        """The training pipeline of one epoch: shuffled, read, painted, augmented, batched, with
        tf.data's autotuning off (each stage runs one call per core).

        Args:
            batch_size (int): samples per batch; a last, smaller batch is dropped.
            prefetch (int): batches prepared ahead.

        Returns:
            tf.data.Dataset: batches (image uint8 [B, H, W, C], mask int32 [B, H, W]).
        """
    def build_val_iterator(self, batch_size: int = 10, prefetch: int = 10) -> tf.data.Dataset:
        """No validation split is served.

        Args:
            batch_size (int): not used.
            prefetch (int): not used.

        Returns:
            None.
        """
