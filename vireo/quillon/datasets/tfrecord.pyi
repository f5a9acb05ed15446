"""TFRecord detection datasets: ``tf.train.Example`` records served as ``tf.data``."""

import inspect
from typing import Any, ClassVar, Optional

import numpy as np
import tensorflow as tf

from vireo.quillon.datasets.core import BaseDetectionDataset

class TFRecordDatasetYaml(BaseDetectionDataset):
    """Detection dataset read from TFRecord files, configured by a YAML description file.

    The description:

        type: tfrecord
        classes: ['class 1', 'class 2', ..., 'class n']
        train:
            path: /absolute/path/to/train/records     # folder of *.tfrecord files
            samples: 1200                             # optional
        validation:
            path: /absolute/path/to/validation/records
            samples: 300

    Without ``type`` the older layout is accepted: the folders are given under ``images``.
    Each record is a ``tf.train.Example`` with the features ``image`` (JPEG bytes),
    ``image_name`` (bytes), ``width`` and ``height`` (int64), ``objects`` (int64, one class
    index per object) and ``bboxes`` (float, x-centre, y-centre, width, height per object,
    divided by the image size). The description is checked and the record files listed once the
    constructor has returned.

    Args:
        info_file (str): path of the description file.
        shape (list): height, width and channels of the training samples.
        letter_box (bool): letterbox (keep the aspect ratio, pad) rather than plainly resize
            training samples.
        add_bkg_class (bool): reserve label 0 for a background class; labels are then the class
            index plus 1.
        aug_cfg (dict): augmentation configuration, kept for the base class.

    Raises:
        TypeError: ``info_file``, ``shape`` or ``aug_cfg`` is not exactly a str, list or dict.
        ValueError: the description cannot be used, a folder holds no record file, or a listed
            file is not a TFRecord file.
        AttributeError: the ``train`` or ``validation`` section is missing.
    """

    # The constructor's signature, for help() and IDEs (the loading metaclass hides it).
    __signature__: ClassVar[inspect.Signature]
    path_train_images: Optional[str]
    path_train_annotations: Optional[str]
    path_val_images: Optional[str]
    path_val_annotations: Optional[str]
    train_images: Optional[str]
    val_images: Optional[str]
    train_annotations: Optional[str]
    val_annotations: list[Any]

    def __init__(self, info_file: Optional[str] = None, shape: Optional[list[int]] = None, letter_box: bool = True,
                 add_bkg_class: bool = True, aug_cfg: Optional[dict[str, Any]] = None) -> None:
        """Runs the base constructor, then resets the folder attributes.

        Args:
            info_file (str): path of the description file.
            shape (list): height, width and channels of the training samples.
            letter_box (bool): letterbox (keep the aspect ratio, pad) rather than plainly resize
                training samples.
            add_bkg_class (bool): reserve label 0 for a background class; labels are then the class
                index plus 1.
            aug_cfg (dict): augmentation configuration, kept for the base class.

        Raises:
            TypeError: an argument annotated str, list or dict has another type.
        """
    num_train_samples: Optional[int]  # type: ignore[assignment]  # the description's ``samples``, or None
    num_val_samples: Optional[int]  # type: ignore[assignment]

    def validate_info_file_content(self, info_dataset: Optional[dict[str, Any]] = None) -> None:
        """Checks the description; stores its classes, sample counts and record folders.

        Args:
            info_dataset (dict): the dataset description.

        Returns:
            None.

        Raises:
            ValueError: a sample count is 0, there are no classes, the type is not exactly
                ``tfrecord``, or no folder is given under the layout's key.
            AttributeError: the ``train`` or ``validation`` section is missing or not a mapping.
            TypeError: ``classes`` is missing.
        """
    def load_storage(self) -> None:
        """Lists the "*.tfrecord" files of both record folders.

        A folder that does not exist is left as its path, with a printed line; the iterator builder
        then refuses it.

        Returns:
            None.

        Raises:
            ValueError: a folder holds no record file, or a listed file is not a TFRecord file (its
                first record header is cut short or fails its checksum).
        """
    def load_instance(self, data: tf.Tensor, training: bool = True) -> tuple[np.ndarray, ...]:
        """Decodes one serialized example into a sample.

        Training images are decoded with the network's channel count (``shape[2]`` when 1 or 3) and
        fitted to ``shape`` (letterbox or plain resize); validation images keep the JPEG's size and
        channels. A record without objects has the single box row 0, 0, 0, 0, 0.

        Args:
            data: one serialized ``tf.train.Example`` (bytes or a scalar string tensor).
            training (bool): decode a training sample rather than a validation one.

        Returns:
            ``(image, boxes)`` when training, else ``(image, boxes, name)``: image uint8
            height x width x channels; boxes float32 N x 5 (x_min, y_min, x_max, y_max, label) in
            pixels of the fitted image (training) or divided by the stored size (validation), label =
            class + ``class_offset``; name the record's ``image_name`` tensor.

        Raises:
            ValueError: the bytes are not a valid ``tf.train.Example``; ``objects`` and ``bboxes`` do
                not line up; a box value is not finite; a class id is not an index of the
                description's classes (the message names the record).
            tf.errors.InvalidArgumentError: a required feature is missing, or the image cannot be
                decoded.
        """
    def build_and_load_base_iterator(self, storage: Optional[list[Any]], shuffle: bool = True) -> tf.data.Dataset:
        """The serialized examples of every record file in ``storage``.

        Args:
            storage (list): record file paths, read in parallel.
            shuffle (bool): shuffle through a buffer of 200 records, anew at every pass.

        Returns:
            A ``tf.data.Dataset`` of scalar string tensors.

        Raises:
            TypeError: ``storage`` is not exactly a list (or None), as when its folder did not exist.
        """

class TFRecordDataset(TFRecordDatasetYaml):
    """Detection dataset read from TFRecord files, configured by a description dictionary.

    Takes the same description as ``TFRecordDatasetYaml`` already loaded; the dictionary is kept
    in ``info_dataset`` and gains the key ``type`` with the value ``tfrecord``. Its iterator
    builders count a split whose sample count is 0.

    Args:
        info_dataset (dict): the dataset description; the caller's dictionary gains ``type``.
        shape (list): height, width and channels of the training samples.
        letter_box (bool): letterbox (keep the aspect ratio, pad) rather than plainly resize
            training samples.
        add_bkg_class (bool): reserve label 0 for a background class; labels are then the class
            index plus 1.
        aug_cfg (dict): augmentation configuration, kept for the base class.

    Raises:
        TypeError: ``info_dataset``, ``shape`` or ``aug_cfg`` is not exactly a dict, list or dict.
        AttributeError: ``info_dataset`` is None.
        ValueError: the description cannot be used, or a folder holds no record file.
    """

    # The constructor's signature, for help() and IDEs (the loading metaclass hides it).
    __signature__: ClassVar[inspect.Signature]
    info_dataset: dict[str, Any]

    def __init__(self, info_dataset: Optional[dict[str, Any]] = None, shape: Optional[list[int]] = None,
                 letter_box: bool = True, add_bkg_class: bool = True,
                 aug_cfg: Optional[dict[str, Any]] = None) -> None:
        """Keeps the description, marks it ``type: tfrecord`` and runs the file variant's constructor.

        Args:
            info_dataset (dict): the dataset description; the caller's dictionary gains ``type``.
            shape (list): height, width and channels of the training samples.
            letter_box (bool): letterbox (keep the aspect ratio, pad) rather than plainly resize
                training samples.
            add_bkg_class (bool): reserve label 0 for a background class; labels are then the class
                index plus 1.
            aug_cfg (dict): augmentation configuration, kept for the base class.

        Raises:
            TypeError: an argument annotated dict or list has another type.
            AttributeError: ``info_dataset`` is None (it has no ``update``).
        """
    def validate_info_file(self, info_file: Optional[str]) -> dict[str, Any]:
        """Returns the description given to the constructor, whatever ``info_file`` holds.

        Args:
            info_file (str): ignored (the base class passes None).

        Returns:
            The ``info_dataset`` dictionary.
        """
    def build_val_iterator(self, batch_size: int = 1) -> tf.data.Dataset:
        """Batched validation samples of the records.

        A sample count of 0 is replaced by the number of samples, counted with one pass.

        Args:
            batch_size (int): samples per batch.

        Returns:
            A ``tf.data.Dataset`` of batched ``(image, boxes, name)``.
        """
    # The training batch size has no default here, unlike the base class.
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset:  # type: ignore[override]
        """Shuffled training batches of the records.

        A sample count of 0 is replaced by the number of samples, counted with one pass. The batches
        are those of the base class, with tf.data's autotuning off: the batch loads run one per core.

        Args:
            batch_size (int): samples per batch.
            prefetch (int): batches prepared ahead.

        Returns:
            A ``tf.data.Dataset`` of ``(images, (boxes,))``.
        """
