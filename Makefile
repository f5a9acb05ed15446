# The README's commands: setup · test · demo · bench · clean
SHELL := /bin/bash
VENV  := .venv
PY    := $(VENV)/bin/python
BUILD := build/cmake
DEPS  := $(VENV)/.deps-installed
export TF_CPP_MIN_LOG_LEVEL ?= 2
export NO_ALBUMENTATIONS_UPDATE := 1
export PYTHONDONTWRITEBYTECODE := 1

.PHONY: setup test demo bench clean module fuzz

setup: $(DEPS)
	@test -f $(BUILD)/build.ninja || $(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja \
	    -DVIREO_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	@$(VENV)/bin/cmake --build $(BUILD) -j2

# The pinned stack, installed once per change of the requirement files. The repository root
# goes on the venv's path so the in-place modules import as `vireo.quillon...`.
$(DEPS): requirements.txt requirements-nodeps.txt
	test -x $(PY) || python3 -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements.txt
	$(PY) -m pip install -q --disable-pip-version-check --no-deps -r requirements-nodeps.txt
	$(PY) -c "import site, os; open(os.path.join(site.getsitepackages()[0], 'vireo-inplace.pth'), 'w').write(os.getcwd() + '\n')"
	touch $@

# Builds one module in a build folder of its own: `make module T=darknet` (for working on
# one module while others build).
module: $(DEPS)
	@test -f build/one-$(T)/build.ninja || $(VENV)/bin/cmake -S . -B build/one-$(T) -G Ninja \
	    -DVIREO_INPLACE=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	@$(VENV)/bin/cmake --build build/one-$(T) --target $(T)

test: setup
	$(PY) -m pytest -q tests

# The robustness corpora at ten times the size `make test` replays (each case in a child process).
fuzz: setup
	VIREO_FUZZ_SCALE=$${VIREO_FUZZ_SCALE:-10} $(PY) -m pytest -q tests/robustness

demo: setup
	$(PY) examples/demo.py

bench: setup
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV) .pytest_cache
	find vireo tests bench -name '*.so' -delete
	find . -name __pycache__ -prune -exec rm -rf {} +
