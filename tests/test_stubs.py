"""The typed stubs IDEs and type checkers read: checked against the runtime modules by
mypy's stubtest (names, parameters, defaults, kinds), complete, documented, and useful to a
type checker on real calling code."""
import ast
import glob
import os
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "vireo")
# TensorFlow ships no type information: names from it are Any for the checker.
MYPY_CONFIG = "[mypy]\nignore_missing_imports = True\n"


def module_name(path):
    rel = os.path.relpath(path, ROOT)
    rel = rel.split(".")[0] if not rel.endswith("__init__.pyi") else os.path.dirname(rel)
    return rel.replace(os.sep, ".")


def stub_files():
    return sorted(glob.glob(os.path.join(PACKAGE, "**", "*.pyi"), recursive=True))


def checked_modules():
    """Every module with a stub, plus the evaluators package (typed inline). stubtest walks a
    package's submodules itself, so a module inside a listed package is not listed again."""
    names = sorted({module_name(p) for p in stub_files()} | {"vireo.quillon.evaluators"})
    return [n for n in names if not any(n.startswith(other + ".") for other in names)]


def run_checker(args, cwd, code=None):
    """Runs mypy (or stubtest) from a folder outside the tree, so that the package is found once,
    through MYPYPATH, and the runtime through the repository root."""
    env = dict(os.environ, MYPYPATH=ROOT, PYTHONPATH=ROOT, TF_CPP_MIN_LOG_LEVEL="3")
    config = os.path.join(cwd, "mypy.ini")
    with open(config, "w") as f:
        f.write(MYPY_CONFIG)
    return subprocess.run([sys.executable, "-m", *args, "--config-file" if args[0] == "mypy" else "--mypy-config-file",
                           config], cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


EXTENSIONS = ["vireo.quillon.datasets.darknet", "vireo.quillon.datasets.tfrecord", "vireo.quillon.datasets.segmentation",
              "vireo.quillon.datasets.attitude", "vireo.quillon.trainer.detection",
              "vireo.quillon.schedulers.scheduler", "vireo.quillon.callbacks.tensorboard",
              "vireo.quillon.evaluators.matching"]
PLATFORM_LAYERS = ["vireo.quillon.datasets.core", "vireo.quillon.datasets.utils", "vireo.quillon.callbacks",
                   "vireo.verdane.writers", "vireo.quillon.reporting"]


def test_every_module_is_stubbed_and_the_package_is_typed():
    assert os.path.isfile(os.path.join(PACKAGE, "py.typed"))
    stubbed = {module_name(p) for p in stub_files()}
    assert not set(EXTENSIONS + PLATFORM_LAYERS) - stubbed
    built = {module_name(p) for p in glob.glob(os.path.join(PACKAGE, "**", "*.so"), recursive=True)}
    assert set(EXTENSIONS) <= built


def test_stubs_match_the_runtime(tmp_path):
    """No allowlist: every difference between a stub and its module is an error."""
    done = run_checker(["mypy.stubtest", *checked_modules()], str(tmp_path))
    report = "\n".join(line for line in (done.stdout + done.stderr).splitlines() if not line.startswith(("W0000",
                                                                                                         "I0000")))
    assert done.returncode == 0, report[-6000:]
    assert "Success: no issues found" in done.stdout


def public_definitions(tree):
    """(qualified name, node) of every public class, function and method of a stub."""
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            yield node.name, node
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and (not item.name.startswith("_") or item.name in (
                        "__init__", "__call__")):
                    yield "%s.%s" % (node.name, item.name), item
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            yield node.name, node


@pytest.mark.parametrize("path", stub_files(), ids=lambda p: os.path.relpath(p, PACKAGE))
def test_stubs_document_every_public_class_and_method(path):
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    assert ast.get_docstring(tree), "module docstring"
    missing = [name for name, node in public_definitions(tree) if not ast.get_docstring(node)]
    assert not missing, "no docstring: %s" % ", ".join(missing)
    for name, node in public_definitions(tree):
        if isinstance(node, ast.ClassDef):
            init = next((i for i in node.body if isinstance(i, ast.FunctionDef) and i.name == "__init__"), None)
            if init is not None and len(init.args.args) > 1:
                # The constructor's parameters, in the class's or in __init__'s docstring.
                documented = ast.get_docstring(node) + (ast.get_docstring(init) or "")
                assert "Args:" in documented, "%s: no docstring lists the constructor's Args" % name


USAGE = textwrap.dedent('''
    import numpy as np
    from vireo.quillon.datasets.darknet import DarknetDatasetYaml
    from vireo.quillon.schedulers.scheduler import WarmUpCosineDecay
    from vireo.quillon.callbacks.tensorboard import TensorBoard
    from vireo.quillon.trainer.detection import DetectionTrainer
    from vireo.quillon.callbacks import QuillonTrainingCallback
    from vireo.quillon.evaluators import DetectionEvaluator, ModelRunner

    ds = DarknetDatasetYaml("data.yaml", [416, 416, 3], True, add_bkg_class=True)
    n: int = ds.num_train_samples
    names: list[str] = ds.classes
    schedule = WarmUpCosineDecay(1e-5, 1e-3, warmup_steps=500, total_steps=20000, hold=0)
    logger = TensorBoard("runs", ["total-loss"])
    trainer = DetectionTrainer(None, ds, None, None, logger, checkpoint="runs", metric="map", classes=names)
    runner = ModelRunner(lambda images, training: [images], [416, 416, 3],
                         lambda outputs: (np.zeros((0, 4)), np.zeros(0), np.zeros(0)))
    trainer.train(10, evaluator=DetectionEvaluator(runner), callback_handler=QuillonTrainingCallback())
    best: str = trainer.best
    DarknetDatasetYaml("data.yaml", [416, 416, 3], letterbox=True)
    WarmUpCosineDecay(1e-5, 1e-3, 500, 20000)
    logger.update_metrics({"mAP@0.5": 0.5}, losses=[1.0])
    trainer.train("10")
''')


def test_a_type_checker_reads_the_stubs(tmp_path):
    """Correct quickstart calls pass; each misuse below the `best` line is reported on its line."""
    (tmp_path / "usage.py").write_text(USAGE)
    done = run_checker(["mypy", "usage.py", "--no-incremental"], str(tmp_path))
    lines = USAGE.splitlines()
    flagged = sorted({int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line})
    first_misuse = next(i for i, text in enumerate(lines, 1) if text.startswith("DarknetDatasetYaml(\"data"))
    assert flagged == list(range(first_misuse, len(lines) + 1)), done.stdout
