"""vireo.quillon: datasets, trainer, schedules and callbacks."""
import vireo  # noqa: F401  (sets the Keras environment before TensorFlow loads)
