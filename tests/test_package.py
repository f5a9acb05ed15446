"""The package selects Keras 2 before TensorFlow loads it, and says clearly when it cannot."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(code):
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3", PYTHONPATH=ROOT)
    env.pop("TF_USE_LEGACY_KERAS", None)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=ROOT)


@pytest.mark.parametrize("prelude", ["", "import tensorflow as tf; "], ids=["vireo first", "tensorflow first"])
def test_trainer_gets_keras2(prelude):
    result = run(prelude + "import vireo.quillon.trainer.detection; import tensorflow as tf; print(tf.keras.__name__)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().startswith("tf_keras")


def test_keras3_already_loaded_is_a_clear_error():
    result = run("import tensorflow as tf; tf.keras.Model; import vireo.quillon.schedulers.scheduler")
    assert result.returncode != 0
    assert "ImportError: vireo.quillon needs Keras 2 (tf-keras)" in result.stderr
    assert "TF_USE_LEGACY_KERAS" in result.stderr


def test_missing_tf_keras_is_a_clear_error():
    # A None entry in sys.modules is how Python marks a module that cannot be imported.
    result = run("import sys; sys.modules['tf_keras'] = None; import vireo.quillon.schedulers.scheduler")
    assert result.returncode != 0
    assert "ImportError: vireo.quillon needs Keras 2 from the tf-keras package" in result.stderr
    assert "RecursionError" not in result.stderr
