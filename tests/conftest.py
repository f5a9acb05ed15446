"""Shared test setup: vireo is imported first so TensorFlow loads with Keras 2 (tf-keras)."""
import os
import sys

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
os.environ.setdefault("NO_ALBUMENTATIONS_UPDATE", "1")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "kit"))

import vireo  # noqa: E402,F401

import pytest  # noqa: E402


@pytest.fixture
def count_calls(monkeypatch):
    """`count_calls(owner, name)` wraps owner.name so that each call is noted (the original still
    does the work) and returns the list of the calls' positional arguments."""
    def count(owner, name):
        calls, original = [], getattr(owner, name)

        def counting(*args, **kwargs):
            calls.append(args)
            return original(*args, **kwargs)

        monkeypatch.setattr(owner, name, counting)
        return calls
    return count
