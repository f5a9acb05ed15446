"""Writers handed to evaluators during training."""
import numpy as np
import tensorflow as tf


class TrainingTensorBoardWriter:
    """Keeps the training logger's summary writer so an evaluator can log to the same run.

    Args:
        writer (tf.summary.SummaryWriter): the logger's writer.
    """

    def __init__(self, writer):
        self.writer = writer

    def write_image(self, tag, image, step):
        """Logs one H x W x C uint8 image (or a batch of them) and flushes.

        Args:
            tag (str): the image's tag.
            image (np.ndarray): H x W x C, or N x H x W x C.
            step (int): the summary's step.
        """
        image = np.asarray(image)
        if image.ndim == 3:
            image = image[None]
        with self.writer.as_default():
            tf.summary.image(tag, image, step=step)
        self.writer.flush()

    def write_scalar(self, tag, value, step):
        """Logs one scalar and flushes.

        Args:
            tag (str): the scalar's tag.
            value (float): the value.
            step (int): the summary's step.
        """
        with self.writer.as_default():
            tf.summary.scalar(tag, value, step=step)
        self.writer.flush()
