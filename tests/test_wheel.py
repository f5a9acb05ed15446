"""The package as pip sees it: its metadata declares what the modules import, in the right
place (always, with TensorFlow through the cpu/gpu extras, or with the tracking extra), and
the wheel holds the modules, their stubs and py.typed, and no sources."""
import ast
import email.parser
import functools
import glob
import importlib.metadata
import os
import re
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "vireo")

# Imports of the native modules: pykit's import helpers and pybind11's module import.
NATIVE_IMPORT = re.compile(r'(?:import_module|import_name|import_from|from_import|module_::import)\(\s*(?:m,\s*)?"([\w.]+)"')
# Modules TensorFlow loads on use: tf.keras is Keras 2 from tf-keras (vireo sets
# TF_USE_LEGACY_KERAS), and tf.summary writes through the tensorboard package.
USED_THROUGH_TENSORFLOW = {"tf_keras": re.compile(r'\bkeras\b'),
                           "tensorboard": re.compile(r'tf\.summary\b|attr\("summary"\)')}
# Distributions that install the same import package; one of them is declared.
SAME_PACKAGE = {"tensorflow-cpu": "tensorflow", "tensorflow-intel": "tensorflow", "tensorflow-macos": "tensorflow"}
TENSORFLOW = {"tensorflow", "tf-keras"}  # through the cpu and gpu extras
TRACKING = {"dvclive", "mlflow"}         # imported only when asked for


def normalise(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def imported_modules():
    """Top-level names of everything the package's Python and C++ sources import."""
    names = set()
    for path in glob.glob(os.path.join(PACKAGE, "**", "*.py"), recursive=True):
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read())
        for node in ast.walk(tree):
            if isinstance(node, ast.Import):
                names.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
                names.add(node.module)
    used = set()
    for path in glob.glob(os.path.join(PACKAGE, "**", "*.[ch]pp"), recursive=True) + \
            glob.glob(os.path.join(PACKAGE, "**", "*.py"), recursive=True):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if path.endswith("pp"):
            names.update(NATIVE_IMPORT.findall(text))
        used.update(module for module, pattern in USED_THROUGH_TENSORFLOW.items() if pattern.search(text))
    top = {n.split(".")[0] for n in names} - set(sys.stdlib_module_names) - {"vireo"}
    return top | used


@functools.lru_cache(maxsize=None)
def installed_packages():
    return importlib.metadata.packages_distributions()


def distributions_of(module):
    providers = installed_packages().get(module, [])
    assert providers, "%s is imported but installed by no distribution here" % module
    return {SAME_PACKAGE.get(normalise(p), normalise(p)) for p in providers}


def requirements(metadata):
    """{extra or "": {distribution name}} from Requires-Dist lines."""
    declared = {}
    for line in metadata.get_all("Requires-Dist") or []:
        name = normalise(re.match(r"[A-Za-z0-9_.-]+", line).group(0))
        extra = re.search(r'extra == "([^"]+)"', line)
        declared.setdefault(extra.group(1) if extra else "", set()).add(name)
    return declared


@pytest.fixture(scope="module")
def metadata(tmp_path_factory):
    """The metadata the build backend gives pip, without compiling (the PEP 517 hook)."""
    out = tmp_path_factory.mktemp("metadata")
    code = "import scikit_build_core.build as b, sys; print(b.prepare_metadata_for_build_wheel(sys.argv[1]))"
    done = subprocess.run([sys.executable, "-c", code, str(out)], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    with open(os.path.join(out, done.stdout.split()[-1], "METADATA"), encoding="utf-8") as f:
        return email.parser.Parser().parse(f)


def test_every_import_is_a_declared_dependency_in_its_place(metadata):
    declared = requirements(metadata)
    always = declared.get("", set())
    problems = []
    for module in sorted(imported_modules()):
        wanted = distributions_of(module)
        if wanted & TENSORFLOW:
            for extra in ("cpu", "gpu"):
                if not wanted & declared.get(extra, set()):
                    problems.append("%s (%s) missing from the %s extra" % (module, "/".join(wanted), extra))
        elif wanted & TRACKING:
            if not wanted & declared.get("tracking", set()):
                problems.append("%s missing from the tracking extra" % module)
        elif not wanted & always:
            problems.append("%s (%s) is not a dependency" % (module, "/".join(sorted(wanted))))
    assert not problems, problems


def test_no_dependency_is_stale_and_none_is_pinned(metadata):
    provided = set().union(*(distributions_of(m) for m in imported_modules()))
    declared = requirements(metadata)
    assert set().union(*declared.values()) <= provided, "declared but never imported"
    for line in metadata.get_all("Requires-Dist"):
        assert "==" not in line.split(";")[0], "a pin in the package metadata: %s" % line
    assert declared["cpu"] == declared["gpu"] == TENSORFLOW


@pytest.mark.slow
def test_wheel_holds_modules_stubs_and_no_sources(metadata, tmp_path):
    # A build folder kept between runs: rebuilding an unchanged tree takes seconds.
    build_dir = os.path.join(ROOT, "build", "wheel")
    done = subprocess.run([sys.executable, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-build-isolation", "-q",
                           "-w", str(tmp_path), "--config-settings=build-dir=" + build_dir],
                          capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stderr[-3000:]
    (wheel,) = glob.glob(str(tmp_path / "vireo_quillon-*.whl"))
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        (meta_name,) = [n for n in names if n.endswith(".dist-info/METADATA")]
        built = email.parser.Parser().parsestr(archive.read(meta_name).decode())
    assert requirements(built) == requirements(metadata)
    assert "vireo/py.typed" in names
    stubs = {os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(PACKAGE, "**", "*.pyi"), recursive=True)}
    assert stubs <= set(names)
    for so in glob.glob(os.path.join(PACKAGE, "**", "*.so"), recursive=True):
        module_path = os.path.relpath(so, ROOT).split(".")[0]
        assert any(n.startswith(module_path + ".") and n.endswith(".so") for n in names), module_path
    assert not [n for n in names if n.endswith((".cpp", ".hpp"))]
