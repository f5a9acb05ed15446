"""Base class of the detection datasets: the loading sequence and the batched iterators."""

from typing import Any, Optional, TypeVar

import numpy as np
import tensorflow as tf

_T = TypeVar("_T")

class _LoadsAfterConstruction(type):
    """Runs the loading sequence once the outermost constructor has returned."""

    def __call__(cls: type[_T], *args: Any, **kwargs: Any) -> _T: ...

class BaseDetectionDataset(metaclass=_LoadsAfterConstruction):
    """Detection dataset: subclasses check the description, list samples and read one sample;
    this class turns them into ``tf.data`` pipelines.

    Training elements are ``(images, (boxes,))``: images uint8 [B, H, W, C], boxes float32
    [B, N, 5] (x_min, y_min, x_max, y_max, label) zero-padded to the largest N of the batch.
    Validation elements are batched ``(image, boxes, name)``.

    Args:
        info_file: path of the description file, or None.
        shape: height, width and channels of the training samples.
        letter_box: letterbox rather than plainly resize training samples.
        add_bkg_class: reserve label 0 for a background class (``class_offset`` 1).
        aug_cfg: augmentation configuration, kept for callers.
    """

    info_file: Optional[str]
    shape: list[int]
    letter_box: bool
    class_offset: int
    aug_cfg: Optional[dict[str, Any]]
    classes: list[str]
    train_storage: list[Any]
    val_storage: list[Any]
    num_train_samples: int
    num_val_samples: int

    def __init__(self, info_file: Optional[str], shape: list[int], letter_box: bool, add_bkg_class: bool = True,
                 aug_cfg: Optional[dict[str, Any]] = None) -> None:
        """Stores the settings and two empty storages; loading runs after construction."""
    def validate_info_file(self, info_file: str) -> dict[str, Any]:
        """Reads the YAML description file and returns its content."""
    def validate_info_file_content(self, info_dataset: dict[str, Any]) -> None:
        """Checks the description and sets the paths and ``classes`` (subclasses)."""
    def load_storage(self) -> None:
        """Lists the samples of both splits (subclasses)."""
    def build_and_load_base_iterator(self, storage: list[Any], shuffle: bool = True) -> tf.data.Dataset:
        """A ``tf.data.Dataset`` over one storage (subclasses)."""
    def load_instance(self, data: Any, training: bool = True) -> tuple[np.ndarray, ...]:
        """One storage element as ``(image, boxes)``, or ``(image, boxes, name)`` (subclasses)."""
    def build_train_iterator(self, batch_size: int = 16, prefetch: int = 10) -> tf.data.Dataset:
        """Shuffled, batched training pipeline of ``(images, (boxes,))``, with tf.data's
        autotuning off: the batch loads run one per core.

        Args:
            batch_size: images per batch.
            prefetch: batches prepared ahead.

        Returns:
            tf.data.Dataset: images uint8 [B, H, W, C], boxes float32 [B, N, 5].
        """
    def build_val_iterator(self, batch_size: int = 1) -> tf.data.Dataset:
        """Validation pipeline of batched ``(image, boxes, name)``, boxes divided by the image size.

        Args:
            batch_size: images per batch (the trainer evaluates only the first of each).

        Returns:
            tf.data.Dataset: image uint8 [B, H, W, C], boxes float32 [B, N, 5], name string [B].
        """
