"""The seven deliverables and the package's other native modules: one exported symbol each, each
imported without the deliverables, imports in order."""
import glob
import json
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DELIVERABLES = [
    "vireo.quillon.datasets.darknet",
    "vireo.quillon.datasets.tfrecord",
    "vireo.quillon.datasets.segmentation",
    "vireo.quillon.datasets.attitude",
    "vireo.quillon.trainer.detection",
    "vireo.quillon.schedulers.scheduler",
    "vireo.quillon.callbacks.tensorboard",
]
# Native modules beside the deliverables: the dataset check's scanner and the evaluator's matching.
EXTRA_MODULES = [
    "vireo.quillon.datasets.tools.scanner",
    "vireo.quillon.evaluators.matching",
]
# Imports a module makes while it loads, in this order (others it makes are not listed here).
IMPORT_ORDER = {
    "vireo.quillon.schedulers.scheduler": ["tensorflow", "numpy"],
    "vireo.quillon.callbacks.tensorboard": ["numpy", "tensorflow", "warnings", "os"],
    "vireo.quillon.datasets.darknet": ["vireo.quillon.datasets.utils", "vireo.quillon.datasets.core", "tensorflow",
                                       "PIL", "os.path", "numpy", "glob", "cv2", "tqdm", "warnings"],
    "vireo.quillon.datasets.tfrecord": ["vireo.quillon.datasets.utils", "vireo.quillon.datasets.utils",
                                        "vireo.quillon.datasets.core", "tensorflow", "os.path", "numpy", "glob", "cv2"],
    "vireo.quillon.trainer.detection": ["vireo.verdane.writers", "tqdm", "tensorflow", "numpy", "json", "os", "time",
                                        "csv", "vireo.quillon.callbacks"],
    "vireo.quillon.datasets.attitude": ["os.path", "vireo.quillon.datasets.utils", "PIL", "tensorflow", "scipy.io",
                                        "numpy", "json", "cv2"],
}

# One interpreter loads the heavy common packages once, then forks a child per deliverable; each
# child imports the parent package, then the module alone, recording the imports the module's
# initialisation asks for directly (nested imports are not recorded). No deliverable is loaded
# before the fork.
PROBE = r"""
import builtins, importlib, json, os, sys, traceback
import vireo
import numpy, tensorflow
tensorflow.keras.optimizers.schedules.LearningRateSchedule
deliverables = sys.argv[1:]
assert not [d for d in deliverables if d in sys.modules]
for name in deliverables:
    sys.stdout.flush()
    pid = os.fork()
    if pid:
        os.waitpid(pid, 0)
        continue
    report = {"name": name}
    try:
        importlib.import_module(name.rpartition(".")[0])
        calls, depth, real = [], [0], builtins.__import__
        def tracing(module, *args, **kwargs):
            if depth[0] == 0:
                calls.append(module)
            depth[0] += 1
            try:
                return real(module, *args, **kwargs)
            finally:
                depth[0] -= 1
        builtins.__import__ = tracing
        try:
            importlib.import_module(name)
        finally:
            builtins.__import__ = real
        report.update(loaded=[d for d in deliverables if d in sys.modules], imports=calls)
    except BaseException:
        report["error"] = traceback.format_exc()
    print(json.dumps(report), flush=True)
    os._exit(0)
"""


def shared_objects():
    return sorted(glob.glob(os.path.join(ROOT, "vireo", "**", "*.so"), recursive=True))


def test_every_deliverable_is_built():
    built = {os.path.relpath(p, ROOT).split(".")[0].replace(os.sep, ".") for p in shared_objects()}
    assert built == set(DELIVERABLES) | set(EXTRA_MODULES)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("path", shared_objects(), ids=lambda p: os.path.basename(p).split(".")[0])
def test_exports_only_its_init_function(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + os.path.basename(path).split(".")[0]]


@pytest.fixture(scope="module")
def probes():
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2", PYTHONPATH=ROOT)
    done = subprocess.run([sys.executable, "-c", PROBE, *DELIVERABLES, *EXTRA_MODULES], cwd=ROOT, env=env,
                          capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    reports = [json.loads(line) for line in done.stdout.splitlines() if line.startswith('{"name"')]
    return {r["name"]: r for r in reports}


@pytest.mark.parametrize("name", DELIVERABLES + EXTRA_MODULES)
def test_imports_alone(probes, name):
    report = probes[name]
    assert "error" not in report, report["error"]
    assert report["loaded"] == [name]


@pytest.mark.parametrize("name", sorted(IMPORT_ORDER))
def test_import_order(probes, name):
    report = probes[name]
    assert "error" not in report, report["error"]
    assert [m for m in report["imports"] if m in IMPORT_ORDER[name]] == IMPORT_ORDER[name]
