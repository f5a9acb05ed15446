"""TensorBoard logger of training metrics."""

from typing import Any, Optional

import numpy as np

class TensorBoard:
    """Writes the listed training metrics and losses as TensorBoard scalars, and images.

    Args:
        storage: log folder.
        metric_names: the names to write, in this order; other keys are ignored.
    """

    storage: str
    metric_names: Optional[list[str]]
    global_step: int
    writer: Any

    def __init__(self, storage: str, metric_names: Optional[list[str]] = None) -> None:
        """Creates the summary writer on ``storage``."""
    def update_metrics(self, metrics: Optional[dict[str, Any]] = None, losses: Optional[dict[str, Any]] = None) -> None:
        """Writes one scalar per listed name with a truthy value (metrics win over losses)."""
    def upload_image(self, caption: str, image: np.ndarray, epoch: int) -> None:
        """Writes one H x W x C image at step ``epoch``."""
    def refresh(self) -> None:
        """Flushes the writer."""
