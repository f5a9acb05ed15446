"""Training callbacks: the hook interface the detection trainer notifies."""

from typing import Any, Optional

class QuillonTrainingCallback:
    """Receives the trainer's notifications. Every hook does nothing; subclass and override
    the ones you need. The end-of-validation hook is spelled ``on_evaluaiton_end``: that is
    the name the trainer calls (a method named ``on_evaluation_end`` is never called)."""

    def on_train_start(self, epochs: Optional[int] = None) -> None:
        """Once, before the initial validation. Args: epochs: the last epoch number."""
    def on_evaluation_start(self) -> None:
        """Before each validation pass."""
    def on_evaluaiton_end(self, metrics: Optional[dict[str, Any]] = None) -> None:
        """After each validation pass (note the spelling). Args: metrics: the evaluator's
        metrics dictionary."""
    def on_epoch_start(self, epoch: Optional[int] = None) -> None:
        """At the start of each epoch. Args: epoch: its number."""
    def on_step_start(self, step: Optional[int] = None) -> None:
        """Before each training batch. Args: step: batch index within the epoch, from 0."""
    def on_step_end(self, losses: Optional[dict[str, Any]] = None, lr: Any = None) -> None:
        """After each batch. Args: losses: the loss dictionary; lr: the current learning rate."""
    def on_model_save(self, model: Any = None) -> None:
        """After each epoch's checkpoint save. Args: model: the model being trained."""
    def on_epoch_end(self, losses: Optional[dict[str, Any]] = None, metrics: Optional[dict[str, Any]] = None) -> None:
        """Last thing in each epoch. Args: losses: the last batch's losses; metrics: the
        latest validation metrics, or ``{}``."""
    def on_train_end(self) -> None:
        """Once, at the very end of ``train``."""
