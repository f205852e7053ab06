# murvex: build, test and demo from a fresh clone.
#   make build   set up .venv with Python 3.13 and install the freshly built murvex
#   make test    build, then run the C++ core tests (ctest) and the Python tests (pytest)
#   make demo    build, then search the demo corpus
# PYTHON=/path/to/python3.13 chooses the interpreter.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV := .venv
PY := $(VENV)/bin/python
CORE_BUILD := build/core

.PHONY: build test test-core test-python demo clean venv

venv:
	@python=$$(scripts/find-python.sh); \
	if ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then \
		echo "creating $(VENV) with $$python"; rm -rf $(VENV); "$$python" -m venv $(VENV); \
	fi; \
	scripts/ensure-debian-packages.sh "$$($(PY) -c 'import sys; print(sys._base_executable)')"
	@$(PY) -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.20" ninja

build: venv
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
	@$(PY) -c 'import murvex; print("built", murvex.__file__)'

test-core: venv
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DMURVEX_BUILD_TESTS=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(CORE_BUILD)
	cd $(CORE_BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure

test-python: build
	$(PY) -m pytest

test: test-core test-python

demo: build
	$(PY) examples/demo.py

clean:
	rm -rf build $(VENV) .pytest_cache
