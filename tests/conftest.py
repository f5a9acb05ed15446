"""Shared test setup: vireo is imported first so TensorFlow loads with Keras 2 (tf-keras)."""
import os
import sys

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
os.environ.setdefault("NO_ALBUMENTATIONS_UPDATE", "1")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "kit"))

import vireo  # noqa: E402,F401
