"""The warm-up, hold and cosine-decay learning-rate schedule."""

from typing import Any

import tensorflow as tf

class WarmUpCosineDecay(tf.keras.optimizers.schedules.LearningRateSchedule):
    """Learning-rate schedule: linear warm-up, optional hold, then half-cosine decay.

    The rate rises linearly from 0 to ``target_lr`` over ``warmup_steps`` steps, stays at
    ``target_lr`` for ``hold`` steps, then follows a half cosine down to 0 at ``total_steps``.
    It never falls below ``start_lr`` and equals ``start_lr`` after ``total_steps``.

    Args:
        start_lr (float): floor of the schedule and its value after ``total_steps``.
        target_lr (float): peak rate, reached at the end of the warm-up.
        warmup_steps (int): number of steps of the linear warm-up.
        total_steps (int): step after which the rate is ``start_lr``.
        hold (int): number of steps spent at ``target_lr`` after the warm-up.
    """

    start_lr: float
    target_lr: float
    warmup_steps: int
    total_steps: int
    hold: int
    _warmup_lr: tf.Variable
    _learning_rate: tf.Variable

    def __init__(self, start_lr: float, target_lr: float, warmup_steps: int, total_steps: int, hold: int) -> None:
        """Stores the schedule's parameters.

        Args:
            start_lr (float): floor of the schedule and its value after ``total_steps``.
            target_lr (float): peak rate, reached at the end of the warm-up.
            warmup_steps (int): number of steps of the linear warm-up (stored unchanged).
            total_steps (int): step after which the rate is ``start_lr`` (stored unchanged).
            hold (int): number of steps spent at ``target_lr`` after the warm-up (stored unchanged).

        Raises:
            TypeError: when ``start_lr`` or ``target_lr`` is not a number, or a step count is neither
                a number nor a tensor.
            ValueError: when a rate or a step count is NaN or infinite.
        """
    def get_warmup(self) -> tf.Variable:
        """The warm-up line's value at the latest evaluation (a graph function).

        Returns:
            tf.Variable: float32, 0 before the first evaluation.
        """
    def get_learning_rate(self) -> tf.Variable:
        """The hold or decay value at the latest evaluation, before the warm-up choice and the floor
        (a graph function).

        Returns:
            tf.Variable: float32, 0 before the first evaluation.
        """
    def lr_warmup_cosine_decay(self, global_step: Any, warmup_steps: Any, hold: Any = 0, total_steps: Any = 0,
                               start_lr: Any = 0.0, target_lr: Any = 0.001) -> tf.Tensor:
        """Computes the rate before the end-of-schedule rule (a graph function).

        Args:
            global_step: the step, as a float32 tensor.
            warmup_steps: length of the warm-up, as a float32 tensor.
            hold (int): steps at ``target_lr`` after the warm-up; tested with ``> 0`` when traced.
            total_steps (int): step at which the cosine reaches 0.
            start_lr (float): accepted and not read: the floor is the attribute ``start_lr``.
            target_lr (float): peak rate.

        Returns:
            tf.Tensor: float32 scalar, the rate floored at ``self.start_lr``.
        """
    def __call__(self, step: tf.Tensor) -> tf.Tensor:
        """The learning rate at ``step``.

        Args:
            step (tf.Tensor): the step count (any integer or float dtype), usually
                ``optimizer.iterations``. A plain number is converted to a tensor first, so that
                eager calls with Python ints share one traced graph.

        Returns:
            tf.Tensor: float32 scalar, made by the select operation named ``learning_rate``.
        """
    def get_config(self) -> dict[str, Any]:
        """The schedule's configuration, for Keras' model and optimizer saving.

        Returns:
            dict: ``start_lr``, ``target_lr``, ``warmup_steps``, ``total_steps`` and ``hold``;
            ``WarmUpCosineDecay.from_config(config)`` (or ``WarmUpCosineDecay(**config)``) builds
            an equal schedule.
        """
