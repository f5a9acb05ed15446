"""TensorBoard logger of training metrics."""

from typing import Any, Optional

import numpy as np

class TensorBoard:
    """Writes training metrics and losses to TensorBoard event files in ``storage``.

    ``metric_names`` acts as a filter: only the keys it lists are written, in its order, each as
    one scalar whose tag is the key, at the logger's own step counter ``global_step``.

    Args:
        storage (str): log folder; created when missing.
        metric_names (list): names of the values to write.

    Raises:
        ValueError: when ``metric_names`` is None or empty.
    """

    storage: str
    metric_names: Optional[list[str]]
    global_step: int
    writer: Any

    def __init__(self, storage: str, metric_names: Optional[list[str]] = None) -> None:
        """Creates the log folder when missing and a summary writer on it, and prints its path.

        Args:
            storage (str): log folder.
            metric_names (list): names of the values to write, in writing order.

        Raises:
            ValueError: when ``metric_names`` is None or empty (before any folder is created).
            TypeError: when ``storage`` is not a str or ``metric_names`` not a list.
        """
    def update_metrics(self, metrics: Optional[dict[str, Any]] = None, losses: Optional[dict[str, Any]] = None) -> None:
        """Writes one scalar per listed name at ``global_step``, then flushes and advances the step.

        For each name, a truthy value in ``metrics`` is written, else a truthy value in ``losses``;
        0, False and None are never written. Without ``metrics`` nothing is written, yet the step
        advances. With ``metric_names`` emptied after construction, a warning is issued instead
        and the step stays.

        Args:
            metrics (dict): validation metrics, consulted first.
            losses (dict): training losses, consulted when the metric is missing or falsy.

        Returns:
            None.

        Raises:
            TypeError: when ``metrics`` or ``losses`` is not exactly a dict (or None).
            Errors of ``tf.summary.scalar`` (a value that is not a number) propagate; the step
            then does not advance.
        """
    def upload_image(self, caption: str, image: np.ndarray, epoch: int) -> None:
        """Writes one image summary at the caller's ``epoch`` (not ``global_step``).

        Args:
            caption (str): the image's tag.
            image (np.ndarray): one H x W x C image; a batch axis of 1 is added.
            epoch (int): the step of the summary.

        Returns:
            None.

        Raises:
            TypeError: when ``caption`` is not a str.
        """
    def refresh(self) -> None:
        """Flushes the summary writer.

        Returns:
            None.
        """
