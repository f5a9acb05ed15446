"""The training loop of a detection model: training step, validation, checkpoints."""

from typing import Any, Iterable, Optional

import tensorflow as tf

from vireo.quillon.callbacks import QuillonTrainingCallback
from vireo.verdane.writers import TrainingTensorBoardWriter

class DetectionTrainer:
    """Trains an object-detection Keras model with a gradient-tape loop, validates it every few
    epochs and keeps a best and a last checkpoint.

    Args:
        model: the model to train; its first two outputs are training-only heads.
        dataset: the dataset object (kept for reference only).
        optimizer: a Keras optimizer; its ``lr`` may be a learning-rate schedule.
        loss: object whose ``compute_loss(targets, outputs)`` returns a dictionary of scalar
            tensors holding at least ``"total-loss"``.
        logger: TensorBoard logger with a ``writer`` and ``update_metrics(metrics, losses)``.
        checkpoint: folder of ``best.h5``, ``last.h5``, ``config.json``, ``labels.txt``,
            ``summary.csv`` and ``validation/``.
        info: run configuration, written to ``config.json``.
        metric: checkpoint metric at IoU 0.5: ``"acc"``, ``"map"``, any other value mAR.
        iou: IoU threshold for non-maximum suppression (kept for reference).
        classes: class names indexed by class id.
        display: validation samples drawn per evaluation; negative: all.
        dvclive_output: DVC Live folder, or None.
        skip_validation_steps: validate in the epochs whose number is a multiple of this.
        skip_initial_validation: skip the validation before the first epoch.
        activate_mlflow: log checkpoints as artifacts of the active MLflow run.
    """

    dvclive_output: Optional[str]
    info: Any
    model: Any
    metric: str
    dataset: Any
    optimizer: Any
    loss: Any
    logger: Any
    evaluator: None
    val_messenger: TrainingTensorBoardWriter
    best_value: float
    iou: float
    classes: Any
    display: Any
    NCHW: bool
    activate_mlflow: bool
    current_lr: Any
    checkpoint: str
    best: str
    last: str
    summary_rows: list[dict[str, Any]]
    skip_validation_steps: int
    skip_initial_validation: bool

    def __init__(self, model: Any, dataset: Any, optimizer: Any, loss: Any, logger: Any = "out",
                 checkpoint: str = "out", info: Any = None, metric: str = "acc", iou: float = 0.5,
                 classes: Any = None, display: Optional[int] = None, dvclive_output: Optional[str] = None,
                 skip_validation_steps: int = 1, skip_initial_validation: bool = False,
                 activate_mlflow: bool = False) -> None:
        """Stores the run's parts, writes ``config.json`` and ``labels.txt``."""
    def preprocess_input(self, x: tf.Tensor) -> tf.Tensor:
        """``tf.cast(x, tf.float32) / 255.0`` (a ``tf.function``)."""
    def train_step(self, data: Any) -> dict[str, Any]:
        """One gradient step on a batch ``(images, *targets)``; returns the loss dictionary
        with ``"L2-loss"`` added (a ``tf.function``)."""
    def remove_training_outputs(self, model: Optional[tf.keras.models.Model] = None) -> tf.keras.models.Model:
        """The model without its first two (training-only) outputs."""
    def to_nchw(self, model: tf.keras.models.Model) -> tf.keras.models.Model:
        """A channels-first wrapper of a channels-last model with one 4-D output."""
    def save_model(self, val: float) -> None:
        """Rewrites ``last.h5``, and ``best.h5`` when ``val`` is not below the best so far."""
    def update_metrics(self, metrics: Optional[dict[str, Any]] = ..., losses: Optional[dict[str, Any]] = ...,
                       epoch: int = 0, live: Any = None) -> None:
        """Sends a validation's metrics to DVC Live, MLflow, the logger and ``summary.csv``."""
    def run_validation_step(self, loop: Iterable[Any], evaluator: Any, epoch: int) -> dict[str, Any]:
        """Runs the evaluator over one validation pass and saves checkpoints by ``metric``."""
    def train(self, epochs: int, train_ds: Optional[Iterable[Any]] = None, val_ds: Optional[Iterable[Any]] = None,
              evaluator: Any = None, start: int = 1, callback_handler: QuillonTrainingCallback = ...) -> None:
        """Runs the whole training: initial validation, epochs, validations, checkpoints."""
