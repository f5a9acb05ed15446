"""vireo: the package root.

The trainer relies on Keras 2 semantics (``optimizer.lr``, TF ops on Keras inputs, HDF5
saving), which TensorFlow 2.16+ provides through the tf-keras package when
``TF_USE_LEGACY_KERAS`` is set before TensorFlow is first imported.
"""
import os

os.environ.setdefault("TF_USE_LEGACY_KERAS", "1")
os.environ.setdefault("NO_ALBUMENTATIONS_UPDATE", "1")


def _check_keras():
    """Fails clearly when tf.keras is Keras 3 (TensorFlow was imported before vireo)."""
    import sys

    tf = sys.modules.get("tensorflow")
    if tf is None:
        return
    name = getattr(tf.keras, "__name__", "")
    if not name.startswith("tf_keras"):
        raise ImportError(
            "vireo.quillon needs Keras 2 (tf-keras), but tf.keras is %r. TensorFlow was imported "
            "before vireo with TF_USE_LEGACY_KERAS unset: import vireo first, or set "
            "TF_USE_LEGACY_KERAS=1 in the environment." % name
        )
