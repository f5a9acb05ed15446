"""Training callbacks: the hook interface the detection trainer notifies."""


class QuillonTrainingCallback:
    """Receives the trainer's notifications. Every hook does nothing; subclass and override
    the ones you need. The end-of-validation hook is spelled ``on_evaluaiton_end``: that is
    the name the trainer calls."""

    def on_train_start(self, epochs=None):
        pass

    def on_evaluation_start(self):
        pass

    def on_evaluaiton_end(self, metrics=None):
        pass

    def on_epoch_start(self, epoch=None):
        pass

    def on_step_start(self, step=None):
        pass

    def on_step_end(self, losses=None, lr=None):
        pass

    def on_model_save(self, model=None):
        pass

    def on_epoch_end(self, losses=None, metrics=None):
        pass

    def on_train_end(self):
        pass
