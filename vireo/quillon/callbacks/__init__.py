"""Training callbacks: the hook interface the detection trainer notifies."""


class QuillonTrainingCallback:
    """Receives the trainer's notifications.

    Every hook does nothing; subclass and override the ones you need. Return values are
    ignored. The end-of-validation hook is spelled ``on_evaluaiton_end``: that is the name
    the trainer calls.
    """

    def on_train_start(self, epochs=None):
        """Called once, before the initial validation.

        Args:
            epochs (int): the last epoch number of the run.
        """

    def on_evaluation_start(self):
        """Called before each validation pass."""

    def on_evaluaiton_end(self, metrics=None):
        """Called after each validation pass (the name is spelled this way).

        Args:
            metrics (dict): the evaluator's metrics of this pass.
        """

    def on_epoch_start(self, epoch=None):
        """Called at the start of each epoch.

        Args:
            epoch (int): the epoch number.
        """

    def on_step_start(self, step=None):
        """Called before each training batch.

        Args:
            step (int): the batch index within the epoch, from 0.
        """

    def on_step_end(self, losses=None, lr=None):
        """Called after each training batch.

        Args:
            losses (dict): the batch's loss dictionary (the trainer adds the step time and
                the learning rate to it afterwards).
            lr: the learning rate in force (a tensor or a variable).
        """

    def on_model_save(self, model=None):
        """Called after each epoch's checkpoint save.

        Args:
            model (tf.keras.models.Model): the model being trained.
        """

    def on_epoch_end(self, losses=None, metrics=None):
        """Called last in each epoch.

        Args:
            losses (dict): the epoch's last batch losses.
            metrics (dict): the latest validation metrics, or an empty dict.
        """

    def on_train_end(self):
        """Called once, at the very end of a run that did not fail."""
