"""Writers handed to evaluators during training."""

from typing import Any

import numpy as np

class TrainingTensorBoardWriter:
    """Keeps the training logger's summary writer so an evaluator can log to the same run.

    Args:
        writer: a ``tf.summary`` writer (the TensorBoard logger's ``writer``).
    """

    writer: Any

    def __init__(self, writer: Any) -> None:
        """Keeps ``writer``."""
    def write_image(self, tag: str, image: np.ndarray, step: int) -> None:
        """Logs one H x W x C uint8 image (or a batch of them) at ``step`` and flushes."""
    def write_scalar(self, tag: str, value: float, step: int) -> None:
        """Logs one scalar at ``step`` and flushes."""
