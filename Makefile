# murvex: build, test and demo from a fresh clone.
#   make build   set up .venv with Python 3.13 and install the freshly built murvex with its test tools
#   make test    build, then run the C++ core tests (ctest) and the Python tests (pytest)
#   make demo    install murvex alone, then search the demo corpus
# PYTHON=/path/to/python3.13 chooses the interpreter.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV := .venv
PY := $(VENV)/bin/python
CORE_BUILD := build/core

SANITIZE_BUILD := build/sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1
# The interpreter is not built with the sanitizers: preload their runtime, and
# leave leak checking to the C++ tests (the interpreter keeps objects alive
# until exit by design; our own leaks are caught by the reference-count tests
# and by `make valgrind`).
SANITIZE_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 MURVEX_SANITIZED=1

# Both extension modules must come from the sanitized build.
export SANITIZED_CHECK := import murvex, murvex_tools._native as n, sys; \
	sys.exit(0 if all(sys.argv[1] in m.__file__ for m in (murvex, n)) else "not the sanitized build: " + n.__file__)

# ThreadSanitizer over the core's suites that run threads (the worker pool,
# the parallel search and appends, the loads on workers) and the Python tests
# of threads on the companion's indexes.
THREADED_SUITES := ^(WorkerPool|ShardedIndex|SavedIndex)\.
TSAN_BUILD := build/tsan
TSAN_FLAGS := -fsanitize=thread -fno-omit-frame-pointer -g -O1
TSAN_TESTS := tests/test_parallel.py tests/test_bulk.py

FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fuzz_matcher fuzz_store fuzz_json_lines

.PHONY: cross test-versions fuzz-seeds core-tests test-tools bench-ingest bench-serve tsan gtest wheel install build bench-scale test-core-aarch64 test test-core test-python demo bench sanitize fuzz soak valgrind package-check lint clean venv

venv:
	@python=$$(scripts/find-python.sh); \
	if ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then \
		echo "creating $(VENV) with $$python"; rm -rf $(VENV); "$$python" -m venv $(VENV); \
	fi; \
	scripts/ensure-debian-packages.sh "$$($(PY) -c 'import sys; print(sys._base_executable)')"
	@$(PY) -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" "cmake>=3.20" ninja

# GoogleTest, for the targets that build the C++ tests.
gtest: venv
	scripts/ensure-debian-packages.sh "" libgtest-dev

# The optional dependencies named in pyproject.toml's extra $(1).
extra = $$($(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["$(1)"])')

install: venv
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .
	@$(PY) -c 'import murvex; print("built", murvex.__file__)'

# Ray, Playwright and chromium are optional: where one cannot be installed its
# tests are skipped, saying why (the commands are not echoed, so that the
# message shows only when it is true).
build: venv
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
	@echo "installing Ray, Playwright and chromium for their tests"
	@$(PY) -m pip install -q --disable-pip-version-check $(call extra,ray) \
		|| echo "Ray could not be installed here: the RayMurvex tests will be skipped"
	@$(PY) -m pip install -q --disable-pip-version-check $(call extra,browser) \
		|| echo "Playwright could not be installed here: the test of the serve page in a browser will be skipped"
	@scripts/ensure-debian-packages.sh "" chromium \
		|| echo "chromium could not be installed here: the test of the serve page in a browser will be skipped"
	@$(PY) -c 'import murvex; print("built", murvex.__file__)'

core-tests: gtest
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DMURVEX_BUILD_TESTS=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(CORE_BUILD)

test-core: core-tests
	cd $(CORE_BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure

# The core and its tests built for aarch64 and run under qemu: the NEON form
# of the lane kernel against the oracle, as on an ARM machine. The suites of
# the kernels, the store, the search and the saved files (their bytes as
# this CPU lays them out) run there; the rest holds no code of an
# instruction set's own.
AARCH64_BUILD := build/aarch64
AARCH64_SUITES := ^(Fold|CharMask|Compile|ErrorBudget|BestMatch|RecordStore|EightLanes|Score|Search|Kernel|Forgiving|SavedIndex)\.
test-core-aarch64: venv
	scripts/ensure-debian-packages.sh "" g++-aarch64-linux-gnu qemu-user googletest
	$(VENV)/bin/cmake -S . -B $(AARCH64_BUILD) -G Ninja -DMURVEX_BUILD_TESTS=ON \
		-DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/aarch64-linux-gnu.cmake) \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(AARCH64_BUILD)
	cd $(AARCH64_BUILD) && $(SAMPLED) $(abspath $(VENV))/bin/ctest --output-on-failure -R '$(AARCH64_SUITES)'

# The core and its tests built with zig (PyPI's ziglang) for macOS on both
# CPUs and for Windows, whose tests run under wine (Debian's wine64): the
# first build of each target compiles zig's C++ runtime for it (minutes).
CROSS_TARGETS := x86_64-windows-gnu x86_64-macos aarch64-macos
export ZIGLANG := ziglang==0.17.1

cross: venv
	scripts/ensure-debian-packages.sh "" wine64 googletest file
	$(PY) -m pip install -q --disable-pip-version-check "$(ZIGLANG)"
	for target in $(CROSS_TARGETS); do PY=$(abspath $(PY)) scripts/cross-build.sh $$target || exit 1; done

test-python: build
	$(PY) -m pytest

test: test-core test-python

# The Python tests on CPython 3.10, 3.11 and 3.12 as well (from pyenv or the
# PATH): all but those that need the package installed (make test runs them).
TEST_VERSIONS ?= 3.10 3.11 3.12
test-versions: build
	for version in $(TEST_VERSIONS); do bash scripts/test-version.sh $$version || exit 1; done

demo: install
	$(PY) examples/demo.py

# The sanitized runs take the test tools from the venv (no build of the
# package: the modules come from the sanitized build), sample the core's
# exhaustive tests (MURVEX_SAMPLED: the saved-file flips, the index's sweep
# of every form and worker count), and run the Python tests that drive
# native code in this process: not the type checkers, nor Ray's actors (in
# processes of Ray's), nor the command line's and README's subprocesses,
# whose native paths the in-process tests take.
test-tools: venv
	@$(PY) -m pip install -q --disable-pip-version-check $(call extra,test)
SAMPLED := MURVEX_SAMPLED=1
NATIVE_TESTS := --ignore=tests/test_typing.py --ignore=tests/test_ray.py --ignore=tests/test_cli.py \
	--ignore=tests/test_readme.py

sanitize: gtest test-tools
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DMURVEX_BUILD_TESTS=ON -DMURVEX_BUILD_PYTHON=ON \
		-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$(SANITIZE_FLAGS)" \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD)
	cd $(SANITIZE_BUILD) && $(SAMPLED) ASAN_OPTIONS=detect_leaks=1 $(abspath $(VENV))/bin/ctest --output-on-failure
	path=$$(scripts/overlay-build.sh $(SANITIZE_BUILD)); \
	export $(SANITIZE_ENV) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$$path; \
	$(PY) -c "$$SANITIZED_CHECK" $(SANITIZE_BUILD) && $(PY) -m pytest -p no:cacheprovider $(NATIVE_TESTS)

tsan: gtest test-tools
	$(VENV)/bin/cmake -S . -B $(TSAN_BUILD) -G Ninja -DMURVEX_BUILD_TESTS=ON -DMURVEX_BUILD_PYTHON=ON \
		-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" \
		-DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(TSAN_BUILD)
	cd $(TSAN_BUILD) && $(SAMPLED) TSAN_OPTIONS=halt_on_error=1 $(abspath $(VENV))/bin/ctest --output-on-failure \
		-R '$(THREADED_SUITES)'
	path=$$(scripts/overlay-build.sh $(TSAN_BUILD)); \
	export TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 suppressions=$(abspath scripts/tsan.supp)" MURVEX_SANITIZED=1 \
		LD_PRELOAD="$$(g++ -print-file-name=libtsan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONPATH=$$path; \
	$(PY) -c "$$SANITIZED_CHECK" $(TSAN_BUILD) && $(PY) -m pytest -p no:cacheprovider -q $(TSAN_TESTS)

# Each libFuzzer target first replays its committed seeds (fuzz/seeds/TARGET:
# inputs that reach every branch the targets had found, and every input that
# once failed), then all run side by side for FUZZ_SECONDS; a crash fails make
# with the input saved under $(FUZZ_BUILD)/artifacts. `make fuzz-seeds` merges what a run
# found into the seeds. Each run is waited for by its pid: `wait -n` answers 127
# when two end at the same moment.
FUZZ_SEEDS := fuzz/seeds
fuzz: venv
	scripts/ensure-debian-packages.sh "" clang-14 libclang-rt-14-dev
	CXX=clang++-14 $(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DMURVEX_BUILD_FUZZ=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all" \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)
	@for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$target $(FUZZ_BUILD)/artifacts; \
		echo "replaying the seeds of $$target"; \
		$(FUZZ_BUILD)/fuzz/$$target -runs=0 -max_len=2048 $(FUZZ_SEEDS)/$$target 2>&1 \
			| grep -E '^(Done|==|SUMMARY|.*disagrees)' || exit 1; \
	done
	@echo "fuzzing $(FUZZ_TARGETS) for $(FUZZ_SECONDS) s, side by side"; \
	pids=; for target in $(FUZZ_TARGETS); do \
		$(FUZZ_BUILD)/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -max_len=2048 -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_BUILD)/artifacts/$$target- $(FUZZ_BUILD)/corpus/$$target $(FUZZ_SEEDS)/$$target \
			> $(FUZZ_BUILD)/$$target.log 2>&1 & pids="$$pids $$!"; \
	done; \
	failed=0; for pid in $$pids; do wait $$pid || failed=1; done; \
	for target in $(FUZZ_TARGETS); do \
		echo "$$target:"; grep -E '^(Done|stat::number_of_executed_units|==|SUMMARY|.*disagrees)' $(FUZZ_BUILD)/$$target.log || true; \
	done; \
	exit $$failed

fuzz-seeds: fuzz
	@for target in $(FUZZ_TARGETS); do \
		$(FUZZ_BUILD)/fuzz/$$target -merge=1 -max_len=2048 $(FUZZ_SEEDS)/$$target $(FUZZ_BUILD)/corpus/$$target 2>&1 \
			| grep -E '^MERGE-OUTER: [0-9]+ new files' || exit 1; \
	done

# A million mixed operations; RSS and reference counts must stay flat.
soak: build
	$(PY) scripts/soak.py

# The core tests under valgrind's memcheck: no invalid read or write, no use
# of an uninitialised value, nothing definitely lost. The sweeps of every form
# against the oracle over random stores run natively and under the
# sanitizers; here run the suites that allocate, free and lay out memory
# (AddressSanitizer's leak checker covers the extensions' code).
VALGRIND_SKIP := *AgreesWithTheReference*:*EveryKernel*:*AnswersAsOneEngine*:*SearchManyInBatches*
valgrind: core-tests
	scripts/ensure-debian-packages.sh "" valgrind
	$(SAMPLED) valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
		$(CORE_BUILD)/core/murvex_core_tests --gtest_brief=1 --gtest_filter=-$(VALGRIND_SKIP)

# The wheel a package index takes (manylinux-tagged by auditwheel) in wheelhouse/.
wheel:
	scripts/build-wheel.sh wheelhouse

# The repaired wheel and the sdist, each installed into a fresh venv and tried.
package-check:
	scripts/check-packaging.sh

# ruff, clang-format and clang-tidy over the tree; the release workflow
# against GitHub's schema and the cibuildwheel configuration by the wheels
# it would build.
LINT_TOOLS := "ruff>=0.6" "clang-format~=23.1" "clang-tidy~=23.1" "cibuildwheel==4.3.5" "check-jsonschema>=0.29"
RELEASE_WHEELS := cp310-manylinux_x86_64 cp311-manylinux_x86_64 cp312-manylinux_x86_64 cp313-manylinux_x86_64 cp314-manylinux_x86_64 \
	cp310-manylinux_aarch64 cp311-manylinux_aarch64 cp312-manylinux_aarch64 cp313-manylinux_aarch64 cp314-manylinux_aarch64 \
	cp310-musllinux_x86_64 cp311-musllinux_x86_64 cp312-musllinux_x86_64 cp313-musllinux_x86_64 cp314-musllinux_x86_64
RELEASE_WHEELS_MACOS := cp310-macosx_x86_64 cp310-macosx_arm64 cp311-macosx_x86_64 cp311-macosx_arm64 \
	cp312-macosx_x86_64 cp312-macosx_arm64 cp313-macosx_x86_64 cp313-macosx_arm64 cp314-macosx_x86_64 cp314-macosx_arm64
RELEASE_WHEELS_WINDOWS := cp310-win_amd64 cp311-win_amd64 cp312-win_amd64 cp313-win_amd64 cp314-win_amd64
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' '*.inc')
TIDY_SOURCES = $(shell git ls-files 'core/src/*.cpp' 'src/*.cpp' 'companion/*.cpp' 'core/tests/*.cpp' 'bench/*.cpp')
lint: gtest
	@$(PY) -m pip install -q --disable-pip-version-check $(LINT_TOOLS)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/check-jsonschema --builtin-schema vendor.github-workflows .github/workflows/*.yml
	test "$$(CIBW_ARCHS_LINUX='x86_64 aarch64' $(VENV)/bin/cibuildwheel --print-build-identifiers --platform linux \
		| xargs)" = "$(RELEASE_WHEELS)"
	test "$$(CIBW_ARCHS_MACOS='x86_64 arm64' $(VENV)/bin/cibuildwheel --print-build-identifiers --platform macos \
		| xargs)" = "$(RELEASE_WHEELS_MACOS)"
	test "$$($(VENV)/bin/cibuildwheel --print-build-identifiers --platform windows | xargs)" = "$(RELEASE_WHEELS_WINDOWS)"
	$(VENV)/bin/cmake -S . -B build/lint -G Ninja -DMURVEX_BUILD_TESTS=ON -DMURVEX_BUILD_PYTHON=ON \
		-DMURVEX_BUILD_BENCH=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build build/lint --target murvex_fold_table >/dev/null  # a generated header
	printf '%s\n' $(TIDY_SOURCES) | xargs -P 2 -n 2 $(VENV)/bin/clang-tidy -p build/lint --quiet

bench: build
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation ".[test,bench]"
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DMURVEX_BUILD_BENCH=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build build/bench
	$(PY) bench/run.py --kernel-bench build/bench/murvex_kernel_bench
	$(PY) bench/small.py
	$(PY) bench/batches.py

# ShardedMurvex and RayMurvex on 1,000,000 and 5,000,000 records (about 10 GB of memory).
bench-scale: build
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DMURVEX_BUILD_BENCH=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build build/bench
	$(PY) bench/scale.py --kernel-bench build/bench/murvex_kernel_bench

# Getting 1,000,000 records in: dicts, str, Arrow tables, saved indexes; the command line against ugrep; a fuzzy join.
bench-ingest: build
	$(PY) bench/ingest.py

# murvex serve over 1,000,000 records: 8 clients × 500 queries, and keystrokes in the page in chromium.
bench-serve: build
	$(PY) bench/serve_load.py --browser /usr/lib/chromium/chromium

clean:
	rm -rf build $(VENV) .pytest_cache
