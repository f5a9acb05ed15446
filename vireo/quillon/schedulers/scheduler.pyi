"""The warm-up, hold and cosine-decay learning-rate schedule."""

from typing import Any

import tensorflow as tf

class WarmUpCosineDecay(tf.keras.optimizers.schedules.LearningRateSchedule):
    """Learning-rate schedule: linear warm-up, optional hold, then half-cosine decay.

    Args:
        start_lr: floor of the schedule and its value after ``total_steps``.
        target_lr: peak rate, reached at the end of the warm-up.
        warmup_steps: number of steps of the linear warm-up.
        total_steps: step after which the rate is ``start_lr``.
        hold: number of steps spent at ``target_lr`` after the warm-up.
    """

    start_lr: float
    target_lr: float
    warmup_steps: int
    total_steps: int
    hold: int
    _warmup_lr: tf.Variable
    _learning_rate: tf.Variable

    def __init__(self, start_lr: float, target_lr: float, warmup_steps: int, total_steps: int, hold: int) -> None:
        """Stores the five settings (the rates as floats)."""
    def get_warmup(self) -> tf.Variable:
        """The warm-up line's value at the latest evaluation (a ``tf.function``)."""
    def get_learning_rate(self) -> tf.Variable:
        """The hold/decay value at the latest evaluation (a ``tf.function``)."""
    def lr_warmup_cosine_decay(self, global_step: Any, warmup_steps: Any, hold: Any = 0, total_steps: Any = 0,
                               start_lr: Any = 0.0, target_lr: Any = 0.001) -> tf.Tensor:
        """The rate at ``global_step`` (a ``tf.function``)."""
    def __call__(self, step: tf.Tensor) -> tf.Tensor:
        """The rate at ``step``; ``start_lr`` after ``total_steps`` (a ``tf.function``)."""
    def get_config(self) -> dict[str, Any]:
        """The five constructor settings, for Keras serialisation."""
