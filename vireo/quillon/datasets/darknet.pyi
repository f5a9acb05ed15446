"""Darknet detection datasets: images with Darknet text annotations, served as ``tf.data``."""

import inspect
from typing import Any, ClassVar, Optional

import numpy as np
import tensorflow as tf

from vireo.quillon.datasets.core import BaseDetectionDataset

class DarknetDatasetYaml(BaseDetectionDataset):
    """Detection dataset of images with Darknet text annotations, described by a YAML file.

    Args:
        info_file: path of the description file.
        shape: height, width and channels of the training samples.
        letter_box: letterbox rather than plainly resize training samples.
        add_bkg_class: reserve label 0 for a background class.
        aug_cfg: augmentation configuration, kept for the base class.
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
        """Runs the base constructor, then resets the folder attributes."""
    def validate_info_file_content(self, info_dataset: Optional[dict[str, Any]] = None) -> None:
        """Checks the description and stores its classes and folders."""
    def load_instance(self, data: tf.Tensor, training: bool = True) -> tuple[np.ndarray, ...]:
        """Reads one sample: ``(image, boxes)`` when training, else ``(image, boxes, name)``."""
    def load_storage(self) -> None:
        """Lists the image and annotation pairs of both splits and counts them."""
    def build_and_load_base_iterator(self, storage: Optional[list[Any]], shuffle: bool = True) -> tf.data.Dataset:
        """The ``tf.data.Dataset`` over a storage list."""

class DarknetDataset(DarknetDatasetYaml):
    """Detection dataset of images with Darknet text annotations, described by a dictionary.

    Args:
        info_dataset: the dataset description (it gains ``type: darknet``).
        shape: height, width and channels of the training samples.
        letter_box: letterbox rather than plainly resize training samples.
        add_bkg_class: reserve label 0 for a background class.
        aug_cfg: augmentation configuration, kept for the base class.
    """

    # The constructor's signature, for help() and IDEs (the loading metaclass hides it).
    __signature__: ClassVar[inspect.Signature]
    info_dataset: dict[str, Any]

    def __init__(self, info_dataset: Optional[dict[str, Any]] = None, shape: Optional[list[int]] = None,
                 letter_box: bool = True, add_bkg_class: bool = True,
                 aug_cfg: Optional[dict[str, Any]] = None) -> None:
        """Keeps the description, marks it ``type: darknet`` and runs the file variant's constructor."""
    def validate_info_file(self, info_file: Optional[str]) -> dict[str, Any]:
        """Returns the description given to the constructor."""
