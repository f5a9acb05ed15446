"""The training loop of a detection model: training step, validation, checkpoints."""

from typing import Any, Iterable, Optional

import tensorflow as tf

from vireo.quillon.callbacks import QuillonTrainingCallback
from vireo.verdane.writers import TrainingTensorBoardWriter

class DetectionTrainer:
    """Trains an object-detection Keras model with a gradient-tape loop, validates it every few
    epochs and keeps a best and a last checkpoint.

    Args:
        model (tf.keras.models.Model): the model to train. Its first two outputs are training-only
            heads, removed from every saved checkpoint; it needs at least one more output.
        dataset: the dataset object (kept for reference only).
        optimizer: a Keras optimizer; its ``lr`` may be a learning-rate schedule.
        loss: loss object whose ``compute_loss(targets, outputs)`` returns a dictionary of scalar
            tensors holding at least ``"total-loss"``.
        logger: TensorBoard logger with a ``writer`` and ``update_metrics(metrics, losses)``.
        checkpoint (str): folder of ``best.h5``, ``last.h5``, ``config.json``, ``labels.txt``,
            ``summary.csv`` and the ``validation`` results; created when missing.
        info (dict): run configuration, written to ``config.json`` and logged to DVC Live.
        metric (str): checkpoint metric at IoU 0.5: ``"acc"`` (mACC), ``"map"`` (mAP), any other
            value mAR (a value other than ``"mar"`` is warned about).
        iou (float): IoU threshold for non-maximum suppression (kept for reference).
        classes (list): class names indexed by class id; written to ``labels.txt``.
        display (int): validation samples whose images are sent per evaluation; negative: all;
            None or 0: none.
        dvclive_output (str): DVC Live folder, or None to leave DVC Live off.
        skip_validation_steps (int): validate in the epochs whose number is a multiple of this.
        skip_initial_validation (bool): skip the validation before the first epoch.
        activate_mlflow (bool): log checkpoints as artifacts of the active MLflow run.
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
    restored_epoch: int

    def __init__(self, model: Any, dataset: Any, optimizer: Any, loss: Any, logger: Any = "out",
                 checkpoint: str = "out", info: Any = None, metric: str = "acc", iou: float = 0.5,
                 classes: Any = None, display: Optional[int] = None, dvclive_output: Optional[str] = None,
                 skip_validation_steps: int = 1, skip_initial_validation: bool = False,
                 activate_mlflow: bool = False) -> None:
        """Stores the collaborators, creates the checkpoint folder and writes ``config.json`` and,
        with classes, ``labels.txt``. Temporaries that an interrupted save left in the folder are
        removed.

        Args:
            See the class documentation.

        Raises:
            ValueError: when the model has fewer than three outputs.
            AttributeError: when the logger has no ``writer`` (nothing is written then).
            TypeError: when ``classes`` has no length (after ``config.json`` is written), or
                ``info`` cannot be serialised to JSON.
        """
    def preprocess_input(self, x: tf.Tensor) -> tf.Tensor:
        """Scales an image batch to float32 in 0..1 (a graph function).

        Args:
            x (tf.Tensor): images of any numeric type in the range 0..255.

        Returns:
            tf.Tensor: ``tf.cast(x, tf.float32) / 255.0``.
        """
    def train_step(self, data: Any) -> dict[str, Any]:
        """Runs one gradient step on one batch (a graph function, traced on the first call).

        The gradient is taken of the loss's ``"total-loss"`` plus the model's regularisation
        losses; the latter is reported on its own as ``"L2-loss"``.

        Args:
            data (tuple): the image batch, then the target tensors handed to ``compute_loss``.

        Returns:
            dict: the loss dictionary of ``compute_loss``, with ``"L2-loss"`` added.

        Raises:
            ValueError: when the batch does not fit the model's input (the shapes are named).
            ReferenceError: when the trainer was released before the call (TensorFlow binds the
                method through a weak reference; keep the trainer in a variable).
        """
    def remove_training_outputs(self, model: Optional[tf.keras.models.Model] = None) -> tf.keras.models.Model:
        """Builds the inference model: the model's input and all but its first two outputs.

        Args:
            model (tf.keras.models.Model): the model to rewrite; None: the trainer's model.

        Returns:
            tf.keras.models.Model: a new, uncompiled model sharing the layers.
        """
    def to_nchw(self, model: tf.keras.models.Model) -> tf.keras.models.Model:
        """Wraps a channels-last model for channels-first input.

        Args:
            model (tf.keras.models.Model): a model with one 4-D (N, H, W, C) input. A single
                output is transposed to channels-first; of several outputs, the 4-D ones are.

        Returns:
            tf.keras.models.Model: a model taking (N, C, H, W) input.

        Raises:
            ValueError: when the model's input is not four-dimensional.
        """
    def save_model(self, val: float) -> None:
        """Writes ``last.h5`` and, when ``val`` ties or beats the best value so far, ``best.h5``.

        Each file holds the inference model (without the two training heads, channels-first when
        ``NCHW`` is set), uncompiled, and replaces the previous file only once it is completely
        written. Temporaries that an interrupted save left in the folder are removed first.

        Args:
            val (float): the checkpoint metric; -1.0 (or less) saves ``last.h5`` only, silently.

        Raises:
            TypeError: when ``val`` is not a number.
            ImportError: when ``activate_mlflow`` is set and MLflow is not installed.
            OSError: when a file cannot be written (the previous file is kept).
        """
    def update_metrics(self, metrics: Optional[dict[str, Any]] = ..., losses: Optional[dict[str, Any]] = ...,
                       epoch: int = 0, live: Any = None) -> None:
        """Records one validation's metrics: DVC Live, the active MLflow run, the TensorBoard logger
        and ``summary.csv`` (one row per validation so far).

        Args:
            metrics (dict): the evaluator's metrics: ``OP``, ``OR``, ``OA`` and the dictionaries
                ``mAP``, ``mAR``, ``mACC`` keyed ``"0.5"``, ``"0.75"``, ``"0.5:0.95"``.
            losses (dict): the last training batch's losses, written to TensorBoard beside.
            epoch (int): the epoch number of the row.
            live: the DVC Live run, or None.

        Raises:
            TypeError: when ``metrics`` or ``losses`` is not exactly a dict (or None), or a value
                is not a number.
            AttributeError: when a metric family is missing.
        """
    def run_validation_step(self, loop: Iterable[Any], evaluator: Any, epoch: int) -> dict[str, Any]:
        """Evaluates the first sample of each validation batch and saves the checkpoints by the
        chosen metric.

        Args:
            loop: iterable of ``(image, boxes, names)`` batches.
            evaluator: the evaluator (``runner.run_single_instance``, ``single_evaluation``,
                ``conclude``).
            epoch (int): the epoch number handed to the evaluator.

        Returns:
            dict: the metrics returned by ``evaluator.conclude``.

        Raises:
            UnboundLocalError: when the loop yields no sample.
            ValueError: when an element does not unpack into three items.
            IndexError: when a class id is outside ``classes``.
        """
    def restore(self) -> int:
        """Loads the latest training state of the checkpoint folder, so that training goes on exactly
        where the run that wrote it stopped.

        Every epoch end writes the state to ``<checkpoint>/state/`` (the last two are kept): the whole
        model, training heads included; the optimizer, slots and step count, so a learning-rate
        schedule goes on; the epoch, ``best_value``, ``summary_rows`` and the logger's step. Restoring
        it sets all of these, rewrites ``summary.csv`` from the restored rows, and drops what the
        stopped run wrote after that state: TensorBoard points (so no step number appears twice)
        and half-written state files. The next ``train`` then skips the validation before the first
        epoch (the restored rows hold it), resumes the DVC Live run at its next step, and logs to the
        MLflow run that is active. ``best.h5`` is replaced only by a model that beats the restored
        best value. Prints one line saying what was restored.

        Example:

        ```python
        trainer = DetectionTrainer(model, dataset, optimizer, loss, logger, checkpoint="out", ...)
        trainer.train(epochs, train_ds, val_ds, evaluator, start=trainer.restore())
        ```

        ``epochs`` may be larger than the stopped run's.

        Returns:
            int: the epoch to start from: the restored epoch + 1, or 1 when the folder holds no
            state (nothing is changed then).

        Raises:
            ValueError: when the state was written for a model or optimizer of another architecture,
                for another ``metric``, or by a newer version; the trainer is left as it was.
        """
    def train(self, epochs: int, train_ds: Optional[Iterable[Any]] = None, val_ds: Optional[Iterable[Any]] = None,
              evaluator: Any = None, start: int = 1, callback_handler: QuillonTrainingCallback = ...) -> None:
        """Runs a training run: an initial validation, then per epoch the training batches, a
        validation every ``skip_validation_steps`` epochs and a ``last.h5`` checkpoint, notifying
        the callback handler at each stage.

        A model built in a tf.distribute strategy's scope trains on every replica: each batch of
        ``train_ds`` is a global batch that the replicas share, the losses handed on are those of
        the global batch, and only the chief writes files (other workers write into temporary
        folders that they remove). See docs/distribute.md.

        Args:
            epochs (int): last epoch number (inclusive).
            train_ds: iterable of training tuples ``(images, *targets)``, iterated once per epoch.
            val_ds: iterable of validation batches ``(image, boxes, names)``.
            evaluator: the evaluator, or None for no validation at all. It is called once with
                ``val_messenger`` and ``labels`` before the first validation.
            start (int): first epoch number.
            callback_handler (QuillonTrainingCallback): notified at each stage; the default is one
                handler shared by every call.

        Returns:
            None.

        Raises:
            ZeroDivisionError: when ``skip_validation_steps`` is 0 and an evaluator is given.
            TypeError: when ``train_ds`` is not iterable; under a strategy, when it is not a
                ``tf.data.Dataset`` (or a dataset the strategy distributed).
            ValueError: under a strategy, when a batch leaves a replica without samples.
            Any error of a callback, the evaluator, the datasets or the file system ends the run
            and propagates; ``on_train_end`` is then not called.
        """
