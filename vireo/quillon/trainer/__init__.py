"""vireo.quillon.trainer: needs Keras 2 (tf-keras)."""
import vireo

vireo.require_keras2()
