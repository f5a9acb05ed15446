"""Head-pose (attitude) datasets: face images with pitch, yaw and roll, alone or with boxes."""

from typing import Any, ClassVar, Optional

import numpy as np
import tensorflow as tf

class AttitudeDataset:
    """Head-attitude dataset: face images labelled with pitch, yaw and roll.

    Images lie in one folder and their annotations in another, one annotation file per image
    with the image's base name; one such pair of folders for training and one for validation.

    Args:
        shape (list): height, width and channel count of the network input.
        train_images (str): folder of the training images (PNG or JPEG).
        train_annotations (str): folder of the training annotation files.
        val_images (str): folder of the validation images (PNG or JPEG).
        val_annotations (str): folder of the validation annotation files.
        file_extension (str): extension of the annotation files, "mat" by default.

    Raises:
        FileNotFoundError: a training folder does not exist.
        ValueError: the training or the validation split has no image with an annotation file,
            or a folder path holds a NUL byte.
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
        """Pairs every PNG and JPEG image of each split with its annotation file.

        Args:
            shape (list): height, width and channel count of the network input.
            train_images (str): folder of the training images.
            train_annotations (str): folder of the training annotation files.
            val_images (str): folder of the validation images.
            val_annotations (str): folder of the validation annotation files.
            num_bins (int): kept as ``num_bins`` for the caller; not used here.
            file_extension (str): extension of the annotation files.

        Raises:
            FileNotFoundError: a training folder does not exist (from ``flow_inspection``).
            ValueError: a split has no image with an annotation file, or a path holds a NUL byte.
            TypeError: an argument has the wrong type.
        """
    def read_annotations(self, annotations_path: Optional[str] = None) -> tuple[np.ndarray, np.ndarray]:
        """Reads one MATLAB head-pose annotation file.

        Args:
            annotations_path (str): path of the ``.mat`` file.

        Returns:
            A tuple ``(pose_params, pt2d)``: pitch, yaw and roll from row 0 of ``Pose_Para`` as a
            float32 array of 3, and the ``pt2d`` landmarks as float32.

        Raises:
            KeyError: the file has no ``Pose_Para`` or no ``pt2d``.
            ValueError: ``Pose_Para`` holds no three real numbers in its first row, or a NaN, an
                infinity or a number beyond float32 among them; the path holds a NUL byte.
            TypeError: ``annotations_path`` is not a str.
            OSError: the file is missing or unreadable (with ``loadmat``'s own errors).
        """
    def tf_load_instance(self, data: Any) -> Any:
        """Loads one sample inside the pipeline, through ``tf.numpy_function``.

        Args:
            data: string tensor of shape [2]: the image path, then the annotation path.

        Returns:
            The tensors of ``_load_instance``, without static shape.
        """
    def _load_instance(self, data: Any) -> Any: ...
    def tf_augment(self, image: tf.Tensor, angles: tf.Tensor) -> Any:
        """Passes a sample through ``_augment`` inside the pipeline, through ``tf.numpy_function``.

        Args:
            image (tf.Tensor): uint8 image.
            angles (tf.Tensor): float32 pitch, yaw and roll.

        Returns:
            The tensors ``_augment`` returns.
        """
    def _augment(self, image: tf.Tensor, angles: tf.Tensor) -> Any: ...
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset:
        """Builds the training iterator: the whole split shuffled anew every pass, loaded, passed
        through the augmentation hook and batched (a smaller last batch is kept). Each batch is
        loaded in one call that runs ``_load_instance`` and ``_augment`` on its samples in order;
        a subclass that replaces ``tf_load_instance`` or ``tf_augment`` is mapped sample by sample
        through them instead. The pipeline runs with tf.data's autotuning off: the loads run one
        per core.

        Args:
            batch_size (int): samples per batch.
            prefetch (int): batches prepared ahead of the consumer.

        Returns:
            A ``tf.data.Dataset`` of (images uint8 [B, H, W, 3], angles float32 [B, 3]).
        """
    def build_val_iterator(self, batch_size: int = 1, prefetch: int = 10) -> tf.data.Dataset:
        """Builds the validation iterator: the (image path, annotation path) pairs in storage order.

        Args:
            batch_size (int): accepted and not used.
            prefetch (int): accepted and not used.

        Returns:
            A ``tf.data.Dataset`` of string tensors of shape [2].

        Raises:
            FileNotFoundError: the validation image or annotation folder does not exist.
        """
    def get_num_train_samples(self) -> int:
        """Counts the training samples, computed on each call.

        Returns:
            The number of training pairs (images with an annotation file).
        """

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
        """Builds an attitude dataset from a YAML description file.

        The file names the folders under ``train`` and ``validation`` (``images`` and
        ``annotations``); the classes that need it read ``classes`` too.

        Args:
            shape (list): height, width and channel count of the network input.
            info_file (str): path of the description file.
            num_bins (int): kept as ``num_bins`` for the caller (``AttitudeDatasetYaml`` only).
            add_bkg_class (bool): put a background class first (``AttitudeAndDetectDatasetYaml``
                only).

        Raises:
            FileNotFoundError: the description file or one of its four folders does not exist.
            ValueError: a folder entry is missing, the class list is empty where classes are
                needed, the file or a section is not a mapping, or a path holds a NUL byte.
            TypeError: an argument has the wrong type.
        """
    def get_num_train_samples(self) -> int:
        """Counts the training samples, computed on each call.

        Returns:
            The number of training pairs (images with an annotation file).
        """

class AttitudeAndDetectDataset(AttitudeDataset):
    """Extends the attitude dataset to detection plus attitude. Each angle entry comes with the box that encloses the same face."""

    add_bkg_class: bool
    classes: list[str]
    label_offset: int

    def __init__(self, shape: Optional[list[int]] = None, train_images: Optional[str] = None,
                 train_annotations: Optional[str] = None, val_images: Optional[str] = None,
                 val_annotations: Optional[str] = None, classes: Optional[list[str]] = None,
                 add_bkg_class: bool = True) -> None:
        """Pairs every image with its JSON annotation file and sets up the class list.

        Args:
            shape (list): height, width and channel count of the network input.
            train_images (str): folder of the training images.
            train_annotations (str): folder of the training JSON files.
            val_images (str): folder of the validation images.
            val_annotations (str): folder of the validation JSON files.
            classes (list): class names in label order, without a background class.
            add_bkg_class (bool): put "background" first and add 1 to every label.

        Raises:
            FileNotFoundError, ValueError: as ``AttitudeDataset``.
            TypeError: ``classes`` is None while ``add_bkg_class`` is true, or an argument has the
                wrong type.
        """
    def get_num_train_samples(self) -> int:
        """Counts the training samples, computed on each call.

        Returns:
            The number of training pairs (images with an annotation file).
        """
    def get_classes(self) -> list[str]:
        """Gives the class names in label order.

        Returns:
            The class list, "background" first when the dataset adds it.
        """
    def tf_load_instance(self, data: Any) -> Any:
        """Loads one sample inside the pipeline, through ``tf.numpy_function``.

        Args:
            data: string tensor of shape [2]: the image path, then the annotation path.

        Returns:
            The tensors of ``_load_instance``, without static shape.
        """
    def _load_instance(self, data: Any) -> Any: ...
    def tf_augment(self, image: tf.Tensor, bboxes: Optional[tf.Tensor] = None,  # type: ignore[override]
                   angles: Optional[tf.Tensor] = None) -> Any:
        """Passes a sample through ``_augment`` inside the pipeline, through ``tf.numpy_function``.

        Args:
            image (tf.Tensor): uint8 image.
            bboxes (tf.Tensor): float32 boxes [N, 5].
            angles (tf.Tensor): float32 angles [M, 3].

        Returns:
            The tensors ``_augment`` returns.
        """
    def _augment(self, image: tf.Tensor, bboxes: Optional[tf.Tensor] = None,  # type: ignore[override]
                 angles: Optional[tf.Tensor] = None) -> Any: ...
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset:
        """Builds the training iterator: shuffled anew every pass, loaded, passed through the
        augmentation hook and batched with the boxes and angles padded by zero rows. Each batch is
        loaded in one call that runs ``_load_instance`` and ``_augment`` on its samples in order;
        a subclass that replaces ``tf_load_instance`` or ``tf_augment`` is mapped sample by sample
        through them instead. The pipeline runs with tf.data's autotuning off: the loads run one
        per core.

        Args:
            batch_size (int): samples per batch.
            prefetch (int): batches prepared ahead of the consumer.

        Returns:
            A ``tf.data.Dataset`` of (images uint8 [B, *shape], boxes float32 [B, Nmax, 5],
            angles float32 [B, Mmax, 3]).
        """

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
        """Pairs every image with its JSON annotation file; each sample is later cropped to its
        first face.

        Args:
            shape (list): height, width and channel count of the network input.
            train_images (str): folder of the training images.
            train_annotations (str): folder of the training JSON files.
            val_images (str): folder of the validation images.
            val_annotations (str): folder of the validation JSON files.

        Raises:
            FileNotFoundError, ValueError, TypeError: as ``AttitudeDataset``.
        """
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
        """Builds an attitude dataset from a YAML description file.

        The file names the folders under ``train`` and ``validation`` (``images`` and
        ``annotations``); the classes that need it read ``classes`` too.

        Args:
            shape (list): height, width and channel count of the network input.
            info_file (str): path of the description file.
            num_bins (int): kept as ``num_bins`` for the caller (``AttitudeDatasetYaml`` only).
            add_bkg_class (bool): put a background class first (``AttitudeAndDetectDatasetYaml``
                only).

        Raises:
            FileNotFoundError: the description file or one of its four folders does not exist.
            ValueError: a folder entry is missing, the class list is empty where classes are
                needed, the file or a section is not a mapping, or a path holds a NUL byte.
            TypeError: an argument has the wrong type.
        """

class AttitudeDatasetJsonYaml(AttitudeDatasetJson):
    """Head-pose dataset with face crops, described by a YAML file.

    Args:
        shape: height, width and channels of the network input.
        info_file: path of the description file.
    """

    def __init__(self, shape: Optional[list[int]] = None, info_file: Optional[str] = None) -> None:
        """Builds an attitude dataset from a YAML description file.

        The file names the folders under ``train`` and ``validation`` (``images`` and
        ``annotations``); the classes that need it read ``classes`` too.

        Args:
            shape (list): height, width and channel count of the network input.
            info_file (str): path of the description file.
            num_bins (int): kept as ``num_bins`` for the caller (``AttitudeDatasetYaml`` only).
            add_bkg_class (bool): put a background class first (``AttitudeAndDetectDatasetYaml``
                only).

        Raises:
            FileNotFoundError: the description file or one of its four folders does not exist.
            ValueError: a folder entry is missing, the class list is empty where classes are
                needed, the file or a section is not a mapping, or a path holds a NUL byte.
            TypeError: an argument has the wrong type.
        """
