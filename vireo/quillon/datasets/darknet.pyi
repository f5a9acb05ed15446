"""Darknet detection datasets: images with Darknet text annotations, served as ``tf.data``."""

import inspect
from typing import Any, ClassVar, Optional

import numpy as np
import tensorflow as tf

from vireo.quillon.datasets.core import BaseDetectionDataset

class DarknetDatasetYaml(BaseDetectionDataset):
    """Detection dataset of images with Darknet text annotations, described by a YAML file.

    The description names the classes and the image and annotation folders of both splits:

        type: darknet
        classes: ['class 1', 'class 2', ..., 'class n']
        anchors: ...                      # optional, kept in ``_anchors``
        train:
            images: /absolute/path/to/train/images
            annotations: /absolute/path/to/train/annotations
        validation:
            images: /absolute/path/to/validation/images
            annotations: /absolute/path/to/validation/annotations

    An image ``name.jpg`` (png, jpg or jpeg, any case) pairs with ``name.txt`` in the annotation
    folder; images without one are skipped. Each line of an annotation file is one object:
    ``class x_center y_center width height``, the last four divided by the image size, the class an
    index of ``classes``. The description is checked and the samples listed once the constructor
    has returned (``validate_info_file`` -> ``validate_info_file_content`` -> ``load_storage``).

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
        ValueError: the description cannot be used, or a split has no samples (a line first names
            each folder that does not exist).
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
    _anchors: Any

    def __init__(self, info_file: Optional[str] = None, shape: Optional[list[int]] = None, letter_box: bool = True,
                 add_bkg_class: bool = True, aug_cfg: Optional[dict[str, Any]] = None) -> None:
        """Runs the base constructor, then resets the folder attributes.

        The description is loaded after construction, by the base class.

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
    def validate_info_file_content(self, info_dataset: Optional[dict[str, Any]] = None) -> None:
        """Checks the description and stores its classes and folders.

        Prints a line for a ``train`` or ``validation`` section given as null. Folder paths are stored
        before they are checked.

        Args:
            info_dataset (dict): the dataset description.

        Returns:
            None.

        Raises:
            ValueError: the type is not darknet (any case), there are no classes, or a section lacks
                ``images`` or ``annotations``.
            AttributeError: ``type`` is missing or not a string.
            TypeError: ``classes`` is missing; ``info_dataset`` is not exactly a dict.
        """
    def load_instance(self, data: tf.Tensor, training: bool = True) -> tuple[np.ndarray, ...]:
        """Reads one sample: its image and its boxes.

        Training samples are fitted to ``shape`` (letterbox or plain resize) with boxes in pixels of
        the fitted image; validation samples keep the stored size, with boxes divided by it. Boxes are
        clipped, never dropped; a sample without objects (no or empty annotation file) has the single
        box row 0, 0, 0, 0, 0.

        Args:
            data: the image path and the annotation path, as byte strings.
            training (bool): read a training sample rather than a validation one.

        Returns:
            ``(image, boxes)`` when training, else ``(image, boxes, name)``: image uint8
            height x width x 3 RGB; boxes float32 N x 5 (x_min, y_min, x_max, y_max, label), label =
            class + ``class_offset``; name the image's file name.

        Raises:
            ValueError: ``data`` does not hold two paths; a path holds a NUL byte; an annotation line
                does not hold 5 values, holds a value that is not a finite number, or a class id that
                is not an index of the description's classes (the message names the file and line).
            PIL.UnidentifiedImageError: the image file cannot be read.
        """
    def load_storage(self) -> None:
        """Lists the image and annotation pairs of both splits and counts them.

        Images are the png, jpg and jpeg files of the split's images folder (png first); each pairs
        with the ``.txt`` file of the same base name in the annotations folder, and images without
        one are skipped. A green progress bar shows each split.

        Returns:
            None.

        Raises:
            ValueError: a split has no sample; a line first names each folder that does not exist.
        """
    def build_and_load_base_iterator(self, storage: Optional[list[Any]], shuffle: bool = True) -> tf.data.Dataset:
        """The ``tf.data.Dataset`` over a storage list.

        Args:
            storage (list): ``[image path, annotation path]`` entries.
            shuffle (bool): reshuffle the whole list at every pass.

        Returns:
            A ``tf.data.Dataset`` of string tensors of shape (2,).

        Raises:
            TypeError: ``storage`` is not exactly a list (or None).
        """

class DarknetDataset(DarknetDatasetYaml):
    """Detection dataset of images with Darknet text annotations, described by a dictionary.

    The dictionary has the layout of the ``DarknetDatasetYaml`` description file. It is kept in
    ``info_dataset`` and gains (or has overwritten) the key ``type`` set to ``darknet``.

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
        ValueError: the description cannot be used, or a split has no samples.
    """

    # The constructor's signature, for help() and IDEs (the loading metaclass hides it).
    __signature__: ClassVar[inspect.Signature]
    info_dataset: dict[str, Any]

    def __init__(self, info_dataset: Optional[dict[str, Any]] = None, shape: Optional[list[int]] = None,
                 letter_box: bool = True, add_bkg_class: bool = True,
                 aug_cfg: Optional[dict[str, Any]] = None) -> None:
        """Keeps the description, marks it ``type: darknet`` and runs the file variant's constructor.

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
