"""vireo: the package root.

The trainer relies on Keras 2 semantics (``optimizer.lr``, TF ops on Keras inputs, HDF5
saving), which TensorFlow 2.16+ provides through the tf-keras package when
``TF_USE_LEGACY_KERAS`` is set before TensorFlow is first imported.
"""
import os

os.environ.setdefault("TF_USE_LEGACY_KERAS", "1")
os.environ.setdefault("NO_ALBUMENTATIONS_UPDATE", "1")


def require_keras2():
    """Fails clearly when tf.keras is Keras 3: TensorFlow had already loaded its Keras before
    vireo set TF_USE_LEGACY_KERAS. The trainer and the schedule need Keras 2."""
    import importlib.util
    import sys

    # Without tf-keras, TensorFlow's lazy `tf.keras` recurses into itself instead of failing.
    if importlib.util.find_spec("tf_keras") is None:
        raise ImportError(
            "vireo.quillon needs Keras 2 from the tf-keras package, which is not installed: "
            "pip install tf-keras (or install vireo-quillon with its [cpu] or [gpu] extra)."
        )
    tf = sys.modules.get("tensorflow")
    if tf is None:  # TensorFlow will load with the setting above
        return
    name = getattr(tf.keras, "__name__", "")
    if not name.startswith("tf_keras"):
        raise ImportError(
            "vireo.quillon needs Keras 2 (tf-keras), but tf.keras is %r: Keras was loaded before "
            "vireo with TF_USE_LEGACY_KERAS unset. Import vireo before using tf.keras, or set "
            "TF_USE_LEGACY_KERAS=1 in the environment." % name
        )
