"""TFRecord detection datasets: ``tf.train.Example`` records served as ``tf.data``."""

import inspect
from typing import Any, ClassVar, Optional

import numpy as np
import tensorflow as tf

from vireo.quillon.datasets.core import BaseDetectionDataset

class TFRecordDatasetYaml(BaseDetectionDataset):
    """Detection dataset stored as TFRecord files, described by a YAML file.

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

    def __init__(self, info_file: Optional[str] = None, shape: Optional[list[int]] = None, letter_box: bool = True,
                 add_bkg_class: bool = True, aug_cfg: Optional[dict[str, Any]] = None) -> None:
        """Runs the base constructor, then resets the path attributes."""
    num_train_samples: Optional[int]  # type: ignore[assignment]  # the description's ``samples``, or None
    num_val_samples: Optional[int]  # type: ignore[assignment]

    def validate_info_file_content(self, info_dataset: Optional[dict[str, Any]] = None) -> None:
        """Checks the description and stores its classes, record folders and sample counts."""
    def load_storage(self) -> None:
        """Lists the record files of both splits."""
    def load_instance(self, data: tf.Tensor, training: bool = True) -> tuple[np.ndarray, ...]:
        """Decodes one serialised record: ``(image, boxes)`` when training, else ``(image, boxes, name)``."""
    def build_and_load_base_iterator(self, storage: Optional[list[Any]], shuffle: bool = True) -> tf.data.Dataset:
        """The ``tf.data.TFRecordDataset`` over a list of record files."""

class TFRecordDataset(TFRecordDatasetYaml):
    """Detection dataset stored as TFRecord files, described by a dictionary.

    Args:
        info_dataset: the dataset description.
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
        """Keeps the description and runs the file variant's constructor."""
    def validate_info_file(self, info_file: Optional[str]) -> dict[str, Any]:
        """Returns the description given to the constructor."""
    def build_val_iterator(self, batch_size: int = 1) -> tf.data.Dataset:
        """Validation pipeline of batched ``(image, boxes, name)``."""
    # The training batch size has no default here, unlike the base class.
    def build_train_iterator(self, batch_size: int, prefetch: int = 10) -> tf.data.Dataset:  # type: ignore[override]
        """Shuffled, batched training pipeline of ``(images, (boxes,))``."""
